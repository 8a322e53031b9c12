#include "station/port_board.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/private_profile.h"
#include "station/settings_io.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

constexpr int kTemperatureItem = 13;
constexpr int kQcTemperatureItem = 28;

std::string Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Formatted(const char* format, ...) {
  char text[96];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

bool FailedTemperatureItem(const PortRecord& record) {
  const auto failed = [&record](int item) {
    return static_cast<int>(record.shownItem) == item && record.itemResult[static_cast<std::size_t>(item)] == kResultFail;
  };
  return failed(kTemperatureItem) || failed(kQcTemperatureItem);
}

const PanelView& NoPanel() {
  static const PanelView none{};
  return none;
}

}  // namespace

std::uint32_t PanelColourRgb(PanelColour colour) {
  switch (colour) {
    case PanelColour::Yellow: return 0xFFFF00;
    case PanelColour::Lime: return 0x00FF00;
    case PanelColour::Red: return 0xFF0000;
    case PanelColour::ButtonFace: break;
  }
  return 0xF0F0F0;
}

std::string FailCaption(const PortRecord& record) {
  const TestItem& item = TestItemOf(static_cast<int>(record.shownItem));
  const std::string code(item.code);
  if (record.failKind >= 2) return Formatted("Fail (%s)(- -)", code.c_str());
  if (record.failKind >= 1) return Formatted("Fail (%s)(%2.2d)", code.c_str(), static_cast<int>(record.subError));
  if (FailedTemperatureItem(record)) {
    return Formatted("Fail (%s), Temperature:%d", code.c_str(), static_cast<int>(record.temperature));
  }
  return std::string(item.itemName) + " Fail (" + code + ")";
}

PortBoard::PortBoard(int panelCount, BoardView* view)
    : panels_(static_cast<std::size_t>(std::clamp(panelCount, 0, static_cast<int>(kPortSlots)))), view_(view) {}

const PanelView& PortBoard::panel(int port) const {
  return hasPanel(port) ? panels_[static_cast<std::size_t>(port)] : NoPanel();
}

void PortBoard::publish(int port) {
  if (view_ != nullptr) view_->panelChanged(port, panels_[static_cast<std::size_t>(port)]);
}

void PortBoard::UpdateDrawPanel(PortRecordTable& table, int portCount, devlib::SettingsRecord& counters,
                                bool runInProgress) {
  const std::lock_guard lock(access_);
  const int ports = std::clamp(portCount, 0, static_cast<int>(kPortSlots));
  for (int port = 0; port < ports; ++port) {
    PortRecord& record = table[static_cast<std::size_t>(port)];
    PanelView* panel = hasPanel(port) ? &panels_[static_cast<std::size_t>(port)] : nullptr;
    if (panel != nullptr) {
      panel->colour = PanelColour::ButtonFace;
      panel->shown = false;
    }
    if (record.active != 0) {
      // Counted under the board's lock, so a finished port counts once.
      if (record.countResult == -1 || record.countResult == 1) {
        ++counters.TotalTestCount;
        if (record.countResult == 1) ++counters.NumberOfPass;
        record.countResult = 0;
      }
      if (panel != nullptr) {
        panel->colour = PanelColour::Yellow;
        panel->shown = true;
        std::string caption;
        if (record.serialNumber.empty()) {
          caption = Formatted("%u MB", static_cast<unsigned>(record.capacityMB));
          if (!runInProgress) panel->gauge = 0;
        } else {
          panel->snText = record.serialNumber.str();
        }
        if (!record.uniqueId.empty()) panel->uidText = record.uniqueId.str();
        if (record.finalResult == 1) {
          caption = "Pass";
          panel->colour = PanelColour::Lime;
        } else if (record.finalResult == -1) {
          caption = FailCaption(record);
          panel->colour = PanelColour::Red;
        }
        if (!caption.empty()) panel->caption = caption;
      }
    } else if (panel != nullptr && record.hubState != 0) {
      panel->caption = "Not KW";
    }
    if (panel != nullptr) publish(port);
  }
  ShowYield(counters);
}

void PortBoard::ClearPanel(int port) {
  if (!hasPanel(port)) return;
  PanelView& panel = panels_[static_cast<std::size_t>(port)];
  panel.caption.clear();
  panel.snText.clear();
  panel.uidText.clear();
  publish(port);
}

void PortBoard::SetCaption(int port, std::string caption) {
  if (!hasPanel(port)) return;
  panels_[static_cast<std::size_t>(port)].caption = std::move(caption);
  publish(port);
}

void PortBoard::SetGauge(int port, int percent) {
  if (!hasPanel(port)) return;
  panels_[static_cast<std::size_t>(port)].gauge = std::clamp(percent, 0, 100);
  publish(port);
}

void PortBoard::ShowYield(const devlib::SettingsRecord& counters) {
  yieldText_ = YieldText(counters.NumberOfPass, counters.TotalTestCount);
  if (view_ != nullptr) view_->yieldChanged(yieldText_);
}

bool PortBoard::ResetYieldBtnClick(devlib::SettingsRecord& counters, const std::filesystem::path& vadidLog) {
  counters.TotalTestCount = 0;
  counters.NumberOfPass = 0;
  ShowYield(counters);
  const bool total = platform::profile::writeString("TestRecord", "TotalTestCount", "0", vadidLog);
  return platform::profile::writeString("TestRecord", "NumberOfPass", "0", vadidLog) && total;
}

DetailChoice MyBitBtnClick(int port, int presentCount) {
  SelectedPort = port + 1;
  if (port < 0 || static_cast<std::size_t>(port) >= kPortSlots) return DetailChoice::Nothing;
  const PortRecord& record = PortTable[static_cast<std::size_t>(port)];
  if (presentCount == 0 || record.active == 0) return DetailChoice::Nothing;
  return record.errorCode != 0 ? DetailChoice::ErrorDialog : DetailChoice::DetailDialog;
}

bool StartAllowed(bool supportFilesOk, int connectDevNum, int activeCount) {
  return supportFilesOk && (connectDevNum == 0 || connectDevNum == activeCount);
}

}  // namespace fleetburn
