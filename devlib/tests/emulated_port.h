#pragma once
// A port of the device library wired to a drive of an emulated line, on the
// fast clock, for tests that run the library against the emulated hardware.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "devlib/port_io.h"
#include "drivesim/line.h"
#include "platform/clock.h"
#include "platform/storage.h"

namespace devlib::testing {

// How the port reaches its drive.
enum class PortPath {
  OwnUsb,       // the controller's own USB interface: vendor blocks go as SCSI commands
  Bridge,       // behind a USB-to-SATA bridge: vendor blocks are tunnelled through SAT
  NativeSata,   // on a SATA port through ATA pass-through (the diagnostic utility's way)
};

inline const char* PortPathName(PortPath path) {
  switch (path) {
    case PortPath::OwnUsb: return "OwnUsb";
    case PortPath::Bridge: return "Bridge";
    case PortPath::NativeSata: return "NativeSata";
  }
  return "?";
}

inline drivesim::DriveConfig DriveFor(PortPath path, int index) {
  const std::string number = std::to_string(index);
  switch (path) {
    case PortPath::OwnUsb: return drivesim::DriveConfig::ownUsb("\\\\?\\usbstor#disk&ven_tolvane#own" + number);
    case PortPath::Bridge:
      return drivesim::DriveConfig::bridge("\\\\?\\usbstor#disk&ven_bridge#b" + number, 7,
                                           drivesim::DriveConfig::keyOfChipType(7));
    case PortPath::NativeSata: return drivesim::DriveConfig::sataPort("\\\\?\\ide#disksata#" + number);
  }
  return {};
}

// Points the port's record at a drive the way the programs' port matching does.
inline void WirePort(int port, const std::string& devicePath, PortPath path) {
  ASSERT_TRUE(
      SetPortTransport(port, devicePath, path == PortPath::OwnUsb ? 1 : 0, path == PortPath::NativeSata ? 1 : 0));
  ASSERT_TRUE(ApplyVendorOpcodeSet(port));
}

class EmulatedLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousBackend_ = platform::storage::currentBackend();
    platform::storage::installBackend(line_);
  }
  void TearDown() override { platform::storage::installBackend(previousBackend_); }

  // Adds a drive reached by `path` and wires `port` to it.
  drivesim::Drive& Attach(int port, PortPath path) {
    drivesim::Drive& drive = line_->addDrive(DriveFor(path, port));
    WirePort(port, drive.config().path, path);
    return drive;
  }

  platform::clock::ScopedFastClock clock_;
  std::shared_ptr<drivesim::Line> line_ = std::make_shared<drivesim::Line>();

 private:
  std::shared_ptr<platform::storage::Backend> previousBackend_;
};

// A RAM code image the emulated controller recognises by the magic at 0x300.
inline std::vector<std::uint8_t> RamCodeImage(const char magic[4]) {
  std::vector<std::uint8_t> image(0xFC00, 0);
  for (int i = 0; i < 4; ++i) image[0x300 + i] = static_cast<std::uint8_t>(magic[i]);
  return image;
}

}  // namespace devlib::testing
