#pragma once
// The port board: one panel per hub port found at start-up, each showing its
// drive's serial number, unique ID, progress and a coloured result caption,
// and the pass / total counters the redraw keeps. Plain values: the window
// shows what each PanelView says and forwards the board's buttons here.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "devlib/settings_record.h"
#include "station/port_record.h"

namespace fleetburn {

enum class PanelColour { ButtonFace, Yellow, Lime, Red };

// The colour as 0xRRGGBB.
std::uint32_t PanelColourRgb(PanelColour colour);

// What one port panel shows.
struct PanelView {
  bool shown = false;  // the panel with its "?" button
  PanelColour colour = PanelColour::ButtonFace;
  std::string caption;
  std::string snText;   // the SN edit
  std::string uidText;  // the WWN UID edit
  int gauge = 0;        // the progress gauge (the second gauge stays hidden)
  std::string counterText;  // the cycle counter label

  bool operator==(const PanelView&) const = default;
};

// What the board tells the window. Every call comes on the thread that owns
// the board (the GUI thread).
class BoardView {
 public:
  virtual ~BoardView() = default;
  virtual void panelChanged(int port, const PanelView& view) = 0;
  virtual void yieldChanged(const std::string& text) = 0;
};

// The caption of a failed port, from the item table row of its shownItem.
// The temperature form is kept for a failure of a temperature item itself
// (13 or 28): a port that failed earlier has those items marked -1 as well.
std::string FailCaption(const PortRecord& record);

class PortBoard {
 public:
  // `panelCount` panels, one per hub port found at start-up (at most the
  // station's ports); a port without a panel is skipped everywhere.
  explicit PortBoard(int panelCount, BoardView* view = nullptr);

  int panelCount() const { return static_cast<int>(panels_.size()); }
  bool hasPanel(int port) const { return port >= 0 && port < panelCount(); }
  // A port without a panel reads as a hidden, empty one.
  const PanelView& panel(int port) const;
  const std::string& yieldText() const { return yieldText_; }

  // Serialises the rescans and the redraws ("KWMPAcess"); the GUI thread
  // takes it again from inside a rescan.
  std::recursive_mutex& access() { return access_; }

  // Redraws every panel of the first `portCount` records of `table` and
  // counts each finished port once into the settings' counters. While a run
  // is in progress a port without a serial keeps its gauge.
  void UpdateDrawPanel(PortRecordTable& table, int portCount, devlib::SettingsRecord& counters,
                       bool runInProgress = false);

  // A keep-mode rescan found the port empty: caption and both edits emptied.
  void ClearPanel(int port);

  // What a worker shows while it runs: the item's name, its progress.
  void SetCaption(int port, std::string caption);
  void SetGauge(int port, int percent);

  // Both counters to 0, shown, and written to `vadidLog` [TestRecord];
  // false when the file could not be written.
  bool ResetYieldBtnClick(devlib::SettingsRecord& counters, const std::filesystem::path& vadidLog);

  void ShowYield(const devlib::SettingsRecord& counters);

 private:
  void publish(int port);

  std::vector<PanelView> panels_;
  BoardView* view_;
  std::string yieldText_;
  std::recursive_mutex access_;
};

// --- The board's buttons ----------------------------------------------------

enum class DetailChoice { Nothing, ErrorDialog, DetailDialog };

// The "?" button of port `port`: sets SelectedPort, then which dialog opens.
DetailChoice MyBitBtnClick(int port, int presentCount);

// START may run when the support files are there and the number of active
// ports is what Connect Check asks for (0: any number).
bool StartAllowed(bool supportFilesOk, int connectDevNum, int activeCount);

}  // namespace fleetburn
