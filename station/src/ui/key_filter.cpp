#include "key_filter.h"

#include <QKeyEvent>
#include <algorithm>

namespace fleetburn::ui {

QString FilterText(const QString& text, const KeyFilter& filter) {
  QString filtered;
  for (const char32_t character : text.toUcs4()) {
    if (const std::optional<char32_t> kept = filter(character)) filtered += QString::fromUcs4(&*kept, 1);
  }
  return filtered;
}

KeyFilterValidator::KeyFilterValidator(KeyFilter filter, int maxLength, const bool* bypass, QObject* parent)
    : QValidator(parent), filter_(std::move(filter)), maxLength_(maxLength), bypass_(bypass) {}

QValidator::State KeyFilterValidator::validate(QString& input, int& position) const {
  if (*bypass_) return Acceptable;
  // The caret stays behind the same characters it was behind.
  const QString before = FilterText(input.left(position), filter_);
  input = (before + FilterText(input.mid(position), filter_)).left(maxLength_);
  position = static_cast<int>(std::min<qsizetype>(before.size(), maxLength_));
  return Acceptable;
}

bool KeyPressFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  const QList<uint> typed = key->text().toUcs4();
  // Navigation and editing keys carry no character (or a control one that
  // the filters pass anyway); shortcuts with Ctrl are not typing.
  if (typed.size() != 1 || (key->modifiers() & Qt::ControlModifier) != 0) return false;
  const std::optional<char32_t> kept = filter_(typed.front());
  if (!kept) return true;
  if (*kept == typed.front()) return false;
  if (auto* edit = qobject_cast<QLineEdit*>(watched)) edit->insert(QString::fromUcs4(&*kept, 1));
  return true;
}

void AttachKeyFilter(QLineEdit* edit, const KeyFilter& filter, const bool* bypass) {
  edit->installEventFilter(new KeyPressFilter(filter, edit));
  edit->setValidator(new KeyFilterValidator(filter, edit->maxLength(), bypass, edit));
  edit->setMaxLength(QLineEdit().maxLength());
}

}  // namespace fleetburn::ui
