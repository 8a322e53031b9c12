#include "qt_prompt.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace blockprobe {
namespace {

QString Text(std::string_view text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

void QtPrompt::message(std::string_view text) {
  QMessageBox::information(QApplication::activeWindow(), QApplication::applicationName(), Text(text));
}

std::optional<std::string> QtPrompt::input(std::string_view caption, std::string_view label,
                                           std::string_view initial) {
  bool accepted = false;
  const QString answer = QInputDialog::getText(QApplication::activeWindow(), Text(caption), Text(label),
                                               QLineEdit::Normal, Text(initial), &accepted);
  if (!accepted) return std::nullopt;
  return answer.toLatin1().toStdString();
}

}  // namespace blockprobe
