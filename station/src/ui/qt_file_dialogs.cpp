#include "qt_file_dialogs.h"

#include <QFileDialog>

namespace fleetburn::ui {
namespace {

std::optional<std::filesystem::path> Run(QWidget* parent, const FileDialogRequest& request,
                                         QFileDialog::AcceptMode mode) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(mode);
  dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  dialog.setNameFilter(NameFilterOf(request.filter));
  std::string suffix = request.defaultExtension;
  if (!suffix.empty() && suffix.front() == '.') suffix.erase(0, 1);
  dialog.setDefaultSuffix(QString::fromStdString(suffix));
  dialog.setDirectory(QString::fromStdString(request.initialDirectory.string()));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return std::filesystem::path(dialog.selectedFiles().front().toStdString());
}

}  // namespace

QString NameFilterOf(std::string_view filter) {
  const QString shown = QString::fromStdString(std::string(filter.substr(0, filter.find('|'))));
  const qsizetype open = shown.indexOf('(');
  if (open <= 0 || shown[open - 1] == ' ') return shown;
  return shown.left(open) + ' ' + shown.mid(open);
}

std::optional<std::filesystem::path> QtFileDialogs::openFile(const FileDialogRequest& request) {
  return Run(parent_, request, QFileDialog::AcceptOpen);
}

std::optional<std::filesystem::path> QtFileDialogs::saveFile(const FileDialogRequest& request) {
  return Run(parent_, request, QFileDialog::AcceptSave);
}

}  // namespace fleetburn::ui
