#pragma once
// A line edit's key filter: each typed character goes through the station's
// filter (kept, changed or dropped), and pasted or dropped-in text goes
// through the same filter character by character. Text the window shows
// itself is not filtered.

#include <QLineEdit>
#include <QValidator>
#include <functional>
#include <optional>

namespace fleetburn::ui {

using KeyFilter = std::function<std::optional<char32_t>(char32_t)>;

// The text with every character passed through `filter`.
QString FilterText(const QString& text, const KeyFilter& filter);

class KeyFilterValidator final : public QValidator {
 public:
  // Filtered text longer than `maxLength` keeps its first `maxLength`
  // characters. While `*bypass` is true (the window is showing its state)
  // text passes unchanged.
  KeyFilterValidator(KeyFilter filter, int maxLength, const bool* bypass, QObject* parent);
  State validate(QString& input, int& position) const override;

 private:
  KeyFilter filter_;
  int maxLength_;
  const bool* bypass_;
};

class KeyPressFilter final : public QObject {
 public:
  KeyPressFilter(KeyFilter filter, QObject* parent) : QObject(parent), filter_(std::move(filter)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  KeyFilter filter_;
};

// Both on `edit`. Its maximum length moves into the validator, so that a
// paste is filtered first and cut to the length afterwards.
void AttachKeyFilter(QLineEdit* edit, const KeyFilter& filter, const bool* bypass);

}  // namespace fleetburn::ui
