#pragma once
// The window system's open and save dialogs for the settings and table files.

#include <QWidget>

#include "station/settings_io.h"

namespace fleetburn::ui {

class QtFileDialogs final : public FileDialogs {
 public:
  explicit QtFileDialogs(QWidget* parent = nullptr) : parent_(parent) {}
  void setParent(QWidget* parent) { parent_ = parent; }

  std::optional<std::filesystem::path> openFile(const FileDialogRequest& request) override;
  std::optional<std::filesystem::path> saveFile(const FileDialogRequest& request) override;

 private:
  QWidget* parent_;
};

// A filter as the station writes it ("EEPROM INI file(*.ini)|*.ini") as the
// dialog names it: "EEPROM INI file (*.ini)".
QString NameFilterOf(std::string_view filter);

}  // namespace fleetburn::ui
