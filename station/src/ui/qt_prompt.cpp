#include "qt_prompt.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <cstdio>

namespace fleetburn::ui {
namespace {

QString Text(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::optional<std::string> Ask(std::string_view caption, std::string_view label, std::string_view initial,
                               QLineEdit::EchoMode echo) {
  bool accepted = false;
  const QString answer =
      QInputDialog::getText(QApplication::activeWindow(), Text(caption), Text(label), echo, Text(initial), &accepted);
  if (!accepted) return std::nullopt;
  return answer.toStdString();
}

}  // namespace

void QtPrompt::message(std::string_view text) {
  QMessageBox::information(QApplication::activeWindow(), QApplication::applicationName(), Text(text));
}

std::optional<std::string> QtPrompt::input(std::string_view caption, std::string_view label, std::string_view initial) {
  return Ask(caption, label, initial, QLineEdit::Normal);
}

std::optional<std::string> QtPrompt::inputSecret(std::string_view caption, std::string_view label) {
  return Ask(caption, label, "", QLineEdit::Password);
}

void UnattendedPrompt::message(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

std::optional<std::string> UnattendedPrompt::input(std::string_view, std::string_view, std::string_view) {
  return std::string();
}

}  // namespace fleetburn::ui
