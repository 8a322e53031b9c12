#pragma once
// Inside the main window: the controls whose value lives in the page state,
// each with the member it shows.

#include <utility>
#include <vector>

#include "main_form.h"

namespace fleetburn::ui {

// Every control whose value lives in SettingsPageState, with the member it shows.
struct TMainForm::Bindings {
  template <class W, class M>
  using Row = std::pair<W*, M SettingsPageState::*>;

  std::vector<Row<QLineEdit, std::string>> texts;
  std::vector<Row<QAbstractButton, bool>> checks;      // check boxes and radio buttons
  std::vector<Row<QRadioButton, bool>> inverseRadios;  // checked while the member is false
  std::vector<Row<QComboBox, ComboState>> combos;
  std::vector<Row<QWidget, bool>> visible;
  std::vector<Row<QWidget, bool>> enabled;
};

}  // namespace fleetburn::ui
