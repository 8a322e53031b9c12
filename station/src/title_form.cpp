#include "station/title_form.h"

#include "page_values.h"

namespace fleetburn {
namespace {

constexpr char32_t kEnter = U'\r';
constexpr char32_t kBackspace = U'\b';
constexpr std::size_t kWideFieldLength = 7;  // tags 0 and 2
constexpr std::size_t kMiddleFieldLength = 4;  // tag 1

std::string Joined(const std::string& left, const std::string& right) {
  return !left.empty() && !right.empty() ? "-" : "";
}

}  // namespace

std::optional<char32_t> AlphaNumKeyPress(char32_t key) {
  if (key == kEnter || key == kBackspace) return key;
  if ((key >= U'0' && key <= U'9') || (key >= U'A' && key <= U'Z')) return key;
  if (key >= U'a' && key <= U'z') return key - U'a' + U'A';
  if (key >= U' ' && key <= 127) return std::nullopt;
  return key;
}

std::string Edit1Change(int tag, std::string text) {
  std::size_t limit = 0;
  switch (tag) {
    case 0:
    case 2: limit = kWideFieldLength; break;
    case 1: limit = kMiddleFieldLength; break;
    default: return text;
  }
  return std::string(page_values::CharPrefix(text, limit));
}

TTitleForm::TTitleForm(int showTitle) : showTitle_(showTitle) {
  if (showTitle == 1) {
    layout_.WOEditVisible = layout_.SNEditVisible = true;
  } else if (showTitle == 2) {
    layout_.Edit1Visible = layout_.Edit2Visible = layout_.Edit3Visible = true;
    layout_.Label1Visible = layout_.Label2Visible = true;
  }
}

void TTitleForm::OKBtnClick() {
  if (showTitle_ == 1) {
    titleText_ = WOEdit + SNEdit;
  } else if (showTitle_ == 2) {
    titleText_ = Edit1 + Joined(Edit1, Edit2) + Edit2 + Joined(Edit2, Edit3) + Edit3;
  } else {
    titleText_.clear();
  }
  titleAutoInc_ = SNChkBx;
  modalResult_ = ModalResult::OK;
}

void ApplyTitleForm(const TTitleForm& form, devlib::SettingsRecord& record) {
  if (form.modalResult() != ModalResult::OK) return;
  if (!form.TitleText().empty()) page_values::CopyText(record.SerialNum, form.TitleText());
  record.SNAutoInc = form.TitleAutoInc() ? 1 : 0;
}

}  // namespace fleetburn
