#pragma once
// A minimal host for tests: sends vendor blocks to an emulated drive the way
// each path carries them (a SCSI command on the controller's own USB
// interface, a command sector and a data phase in vendor ATA commands
// otherwise) and reads status bytes by the reply rule of the path.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "drive_test_support.h"

namespace drivesim::test {

enum class HostPath { OwnUsb, Bridge, Sata };

inline const char* hostPathName(HostPath path) {
  switch (path) {
    case HostPath::OwnUsb: return "ownUsb";
    case HostPath::Bridge: return "bridge";
    case HostPath::Sata: return "sata";
  }
  return "?";
}

inline DriveConfig configFor(HostPath path) {
  switch (path) {
    case HostPath::OwnUsb: return DriveConfig::ownUsb(kUsbPath);
    case HostPath::Bridge: return DriveConfig::bridge(kBridgePath, 7, DriveConfig::keyOfChipType(7));
    case HostPath::Sata: return DriveConfig::sataPort(kSataPath);
  }
  return {};
}

inline const char* devicePathOf(HostPath path) {
  switch (path) {
    case HostPath::OwnUsb: return kUsbPath;
    case HostPath::Bridge: return kBridgePath;
    case HostPath::Sata: return kSataPath;
  }
  return "";
}

class VendorHost {
 public:
  VendorHost(Device& device, HostPath path) : device_(device), path_(path) {}

  bool tunnelled() const { return path_ != HostPath::OwnUsb; }

  // SET FEATURES 0xDC: on (0x4B) or off (0x57); the own USB interface has no such switch.
  bool vendorMode(bool on) {
    if (!tunnelled()) return true;
    const std::uint8_t value = on ? 0x4b : 0x57;
    if (path_ == HostPath::Bridge) return clean(scsi(device_, setFeaturesCdb(0xdc, value)));
    return clean(ata(device_, setFeatures(0xdc, value)));
  }

  // One vendor block with its data phase: sectors of `data` in or out.
  bool send(std::uint8_t subOp, std::initializer_list<std::uint8_t> params, Direction direction = Direction::None,
            std::span<std::uint8_t> data = {}) {
    Bytes block = vendorBlock(tunnelled() ? 0xe5 : 0x04, subOp, params);
    if (!tunnelled()) return clean(scsi(device_, block, direction, data));
    Bytes sector = commandSector(block);
    if (!tunnel(true, 0xff, sector)) return false;
    if (direction == Direction::None || data.empty()) return true;
    return tunnel(direction == Direction::Out, subOp, data);
  }

  // Sub-op 0x00 of the RAM codes; nothing when the command or the signature fails.
  std::optional<std::uint8_t> status() {
    Bytes reply(kSector, 0x77);
    if (!send(0x00, {}, Direction::In, reply)) return std::nullopt;
    if (!tunnelled()) return reply[0];
    if (reply[0] != 0xe5) return std::nullopt;
    return reply[1];
  }

  // The register byte of sub-op 0x84 by the reply rule.
  std::optional<std::uint8_t> readRegister(std::uint32_t address) {
    Bytes reply(kSector, 0x77);
    const Bytes a = test::address(address);
    if (!send(0x84, {a[0], a[1], a[2], a[3]}, Direction::In, reply)) return std::nullopt;
    if (!tunnelled()) return reply[0];
    if (reply[0] != 0xe5) return std::nullopt;
    return reply[1];
  }

  // Session start then set-run-mode, as a host switches modes.
  bool switchRunMode(std::uint8_t mode, std::uint8_t argument) {
    return send(0x81, {tunnelled() ? std::uint8_t{1} : argument}) && send(0x83, {mode});
  }

 private:
  bool clean(const ScsiOutcome& o) const { return o.transportOk && o.scsiStatus == 0; }
  bool clean(const AtaOutcome& o) const { return o.transportOk && !ataFailed(o); }

  // Opcode set 2: 0x88 out, 0x86 in, UDMA.
  bool tunnel(bool write, std::uint8_t tag, std::span<std::uint8_t> data) {
    const auto sectors = static_cast<std::uint8_t>(data.size() / kSector);  // 256 sectors: 0
    const Direction direction = write ? Direction::Out : Direction::In;
    if (path_ == HostPath::Bridge) return clean(scsi(device_, tunnelCdb(kSet2, write, sectors, tag), direction, data));
    return clean(ata(device_, tunnelRegisters(write ? kSet2.write : kSet2.read, sectors, tag), direction, data, true));
  }

  Device& device_;
  HostPath path_;
};

// A RAM code image the controller recognises by the magic at 0x300 and the tag at 0x304.
inline Bytes ramCodeImage(const std::string& magic, const std::string& tag = {}) {
  Bytes image(126 * kSector, 0);
  for (std::size_t i = 0; i < magic.size(); ++i) image[0x300 + i] = static_cast<std::uint8_t>(magic[i]);
  for (std::size_t i = 0; i < tag.size(); ++i) image[0x304 + i] = static_cast<std::uint8_t>(tag[i]);
  for (std::size_t i = 0x400; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 13 + 5);
  return image;
}

// Writes the image to RAM (sub-op 0x87, param 3, 0x40000000) and starts it (0x82),
// then turns vendor mode back on; false at the first failure.
inline bool loadRamCode(VendorHost& host, Bytes image) {
  return host.send(0x87, {3, 0x40, 0, 0, 0}, Direction::Out, image) && host.send(0x82, {}) && host.vendorMode(true);
}

}  // namespace drivesim::test
