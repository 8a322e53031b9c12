#pragma once
// The serial number dialog shown at start-up when the setting ShowTitle is
// on: a work order and a serial number (ShowTitle 1), or three short fields
// joined by "-" (ShowTitle 2). Its result becomes the first serial number of
// the run. No widgets: the window's dialog shows the fields and calls these.

#include <cstdint>
#include <optional>
#include <string>

#include "devlib/settings_record.h"

namespace fleetburn {

// Which of the dialog's fields show.
struct TitleFormLayout {
  bool WOEditVisible = false;
  bool SNEditVisible = false;
  bool Edit1Visible = false;
  bool Edit2Visible = false;
  bool Edit3Visible = false;
  bool Label1Visible = false;
  bool Label2Visible = false;
};

// The key filter of Edit1..Edit3: Enter, Backspace, digits and capitals
// pass, small letters become capitals, other characters 32..127 are
// dropped, and everything else passes unchanged.
std::optional<char32_t> AlphaNumKeyPress(char32_t key);

// The text of the field with `tag` after a change: 7 characters for tags 0
// and 2, 4 for tag 1.
std::string Edit1Change(int tag, std::string text);

enum class ModalResult { None = 0, OK = 1, Cancel = 2 };

class TTitleForm {
 public:
  explicit TTitleForm(int showTitle);

  const TitleFormLayout& layout() const { return layout_; }

  // What the fields hold when OK or Cancel is pressed.
  std::string WOEdit;
  std::string SNEdit;
  std::string Edit1;
  std::string Edit2;
  std::string Edit3;
  bool SNChkBx = false;  // "Auto Increase"

  void OKBtnClick();
  void CancelBtnClick() { modalResult_ = ModalResult::Cancel; }

  ModalResult modalResult() const { return modalResult_; }
  const std::string& TitleText() const { return titleText_; }
  bool TitleAutoInc() const { return titleAutoInc_; }

 private:
  int showTitle_;
  TitleFormLayout layout_;
  ModalResult modalResult_ = ModalResult::None;
  std::string titleText_;
  bool titleAutoInc_ = false;
};

// The window's show handler: after OK, a non-empty TitleText becomes the
// serial number (cut to its field) and the "Auto Increase" box SNAutoInc.
void ApplyTitleForm(const TTitleForm& form, devlib::SettingsRecord& record);

}  // namespace fleetburn
