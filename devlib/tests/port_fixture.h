#pragma once
// A port table with one drive attached to a recording fake backend.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "devlib/port_io.h"
#include "testsupport/fake_storage.h"

namespace devlib::test {

// Looks like a Windows interface path; the library must not read meaning
// into its text.
inline const std::string kDrivePath =
    R"(\\?\usbstor#disk&ven_tolvane&prod_flash_disk#7&1a2b3c4d&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})";

// How the drive reaches the host.
enum class Link {
  UsbPath,    // the controller's own USB interface
  Bridge,     // behind a USB-to-SATA bridge: SAT blocks through SCSI pass-through
  NativeAta,  // on a SATA port: ATA pass-through
};

// Table rows print as their name when GoogleTest reports a parameter.
template <typename Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class PortTest : public ::testing::Test {
 protected:
  static constexpr int kPort = 5;

  void SetUp() override { InitPortIoTable(ProgramKind::Fleetburn); }
  void TearDown() override { EXPECT_EQ(storage->openHandles(), 0u) << "a device handle was left open"; }

  PortIoRecord& Attach(Link link, bool onUsb = true, int port = kPort, const std::string& path = kDrivePath) {
    storage->addDevice(path, {.onUsb = onUsb});
    EXPECT_TRUE(SetPortTransport(port, path, link == Link::UsbPath ? 1 : 0, link == Link::NativeAta ? 1 : 0));
    return *PortIo(port);
  }

  std::vector<testsupport::RecordedCommand> Sent() const { return storage->commands(); }

  mutable testsupport::ScopedFakeStorage storage;
};

}  // namespace devlib::test
