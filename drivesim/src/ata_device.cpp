#include "ata_device.h"

#include <algorithm>

#include "ata_data.h"
#include "bytes.h"
#include "wire_entry.h"

namespace drivesim::detail {
namespace {

using bytes::hex;
using platform::storage::AtaCommand;
using platform::storage::Direction;

constexpr std::uint64_t kLba28Max = 0x0fffffff;
constexpr std::uint8_t kLbaMode = 0x40;

std::uint64_t lba28(const AtaCommand& c) {
  const auto& r = c.current;
  return std::uint64_t{r.device & 0x0fu} << 24 | std::uint64_t{r.lbaHigh} << 16 | std::uint64_t{r.lbaMid} << 8 |
         r.lbaLow;
}

// A command sent without the extend flag carries no high-order bytes: they read as zero.
std::uint64_t lba48(const AtaCommand& c) {
  const auto& r = c.current;
  const auto hi = c.extended ? c.previous : platform::storage::AtaRegisters{};
  return std::uint64_t{hi.lbaHigh} << 40 | std::uint64_t{hi.lbaMid} << 32 | std::uint64_t{hi.lbaLow} << 24 |
         std::uint64_t{r.lbaHigh} << 16 | std::uint64_t{r.lbaMid} << 8 | r.lbaLow;
}

std::uint32_t sectors(const AtaCommand& c, bool extended) {
  if (!extended) return c.current.count == 0 ? 256 : c.current.count;
  const std::uint32_t count = (c.extended ? std::uint32_t{c.previous.count} << 8 : 0) | c.current.count;
  return count == 0 ? 65536 : count;
}

bool noData(const AtaCommand& c) { return c.direction == Direction::None || c.data.empty(); }
bool dataIn(const AtaCommand& c) { return c.direction == Direction::In && !c.data.empty(); }

// Hands the host as much of a 512-byte block as its buffer holds.
std::size_t give(const AtaCommand& c, const DataSector& sector) {
  const std::size_t length = std::min(c.data.size(), sector.size());
  std::copy_n(sector.begin(), length, c.data.begin());
  return length;
}

}  // namespace

AtaDevice::AtaDevice(const DriveConfig& config, LbaStore& store, TolvaneController& controller, WireLog& wire)
    : config_(config),
      store_(store),
      controller_(controller),
      wire_(wire),
      tunnel_(controller, wire),
      nativeSectors_(config.sectorCount),
      currentSectors_(config.sectorCount) {}

bool AtaDevice::tunnels(std::uint8_t command) const {
  return controller_.vendorMode() && TunnelDecoder::isTunnelOpcode(command);
}

AtaResult AtaDevice::execute(const AtaCommand& command, std::optional<std::uint8_t> forcedError) {
  const auto id = wire_.record(
      received(Layer::Ata, taskFileBytes(command), command.direction, command.useDma, command.data));
  Answer answer;
  if (forcedError) {
    answer = {ataFailed(command, *forcedError), "fault: ATA error " + hex(*forcedError)};
  } else if (!controller_.responsive()) {
    answer = {ataFailed(command, kErrorAbort), "abort: the controller is restarting"};
  } else {
    answer = dispatch(command);
  }
  wire_.annotate(id, std::move(answer.note));
  return answer.result;
}

AtaDevice::Answer AtaDevice::dispatch(const AtaCommand& c) {
  const std::uint8_t code = c.current.command;
  if (tunnels(code)) return {tunnel_.handle(c), "tunnel " + hex(code) + " tag " + hex(c.current.lbaLow)};
  switch (code) {
    case 0xec: return identify(c);
    case 0xef: return setFeatures(c);
    case 0xb0: return smart(c);
    case 0xe7:
      if (!noData(c)) break;
      return {ataDone(c), "flush cache"};
    case 0xf8: return readNativeMax(c, false);
    case 0x27: return readNativeMax(c, true);
    case 0xf9: return setMax(c, false);
    case 0x37: return setMax(c, true);
    case 0xc8: return transfer(c, false, false);
    case 0xca: return transfer(c, true, false);
    case 0x25: return transfer(c, false, true);
    case 0x35: return transfer(c, true, true);
    // Outside vendor mode these two are READ MULTIPLE and WRITE MULTIPLE.
    case 0xc4: return transfer(c, false, false);
    case 0xc5: return transfer(c, true, false);
    case 0x8f: case 0x8a: case 0x88: case 0x86:
      return {ataFailed(c, kErrorAbort), "abort: vendor command " + hex(code) + " with vendor mode off"};
    default:
      return {ataFailed(c, kErrorAbort), "abort: unknown command " + hex(code)};
  }
  return {ataFailed(c, kErrorAbort), "abort: " + hex(code) + " with a data phase"};
}

// Downloaded firmware of the other kind ('U') carries no IDENTIFY image:
// the drive's own identity stands in.
const BootedFirmware* AtaDevice::bootedSata() const {
  const BootedFirmware* booted = controller_.booted();
  return booted != nullptr && booted->mode == 'S' ? booted : nullptr;
}

std::string AtaDevice::modelText() const {
  if (const auto* booted = bootedSata()) return booted->model();
  return controller_.runState() == RunState::Firmware ? config_.model : config_.loaderModel;
}

std::string AtaDevice::firmwareText() const {
  if (const auto* booted = bootedSata()) return booted->firmwareRevision();
  return config_.firmwareRevision;
}

// The downloaded image with the capacity words of the medium (the firmware
// counts its own sectors, and a SET MAX shows there).
DataSector AtaDevice::bootedIdentify(const BootedFirmware& booted) const {
  IdentifyFacts facts;
  facts.userSectors = currentSectors_;
  facts.lba28Sectors = config_.identifyLba28Sectors;
  facts.lba48Sectors = config_.identifyLba48Sectors;
  const DataSector capacity = identifyData(facts);
  DataSector image = booted.identifyImage();
  for (const int word : {60, 61, 100, 101, 102, 103}) {
    image[2 * word] = capacity[2 * word];
    image[2 * word + 1] = capacity[2 * word + 1];
  }
  if (image[510] == 0xa5) {
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < image.size(); ++i) sum += image[i];
    image[511] = static_cast<std::uint8_t>(0x100 - (sum & 0xff));
  }
  return image;
}

AtaDevice::Answer AtaDevice::identify(const AtaCommand& c) {
  if (!dataIn(c)) return {ataFailed(c, kErrorAbort), "abort: IDENTIFY without a data-in phase"};
  if (config_.identifyFails) return {ataFailed(c, kErrorAbort), "abort: IDENTIFY fails on this drive"};
  if (const auto* booted = bootedSata()) {
    return {ataDone(c, give(c, bootedIdentify(*booted))), "identify (downloaded firmware)"};
  }
  const IdentifyFacts facts{.model = modelText(),
                            .serial = config_.serial,
                            .firmwareRevision = config_.firmwareRevision,
                            .userSectors = currentSectors_,
                            .worldWideName = config_.worldWideName,
                            .lba28Sectors = config_.identifyLba28Sectors,
                            .lba48Sectors = config_.identifyLba48Sectors,
                            .rotationRate = config_.rotationRate};
  return {ataDone(c, give(c, identifyData(facts))), "identify"};
}

AtaDevice::Answer AtaDevice::setFeatures(const AtaCommand& c) {
  if (!noData(c)) return {ataFailed(c, kErrorAbort), "abort: SET FEATURES with a data phase"};
  constexpr std::uint8_t kVendorFeature = 0xdc;
  const auto& r = c.current;
  if (r.features == kVendorFeature && config_.refusesVendorMode) {
    return {ataFailed(c, kErrorAbort), "abort: vendor mode refused"};
  }
  if (r.features == kVendorFeature && r.count == 0x4b) {
    controller_.setVendorMode(true);
    return {ataDone(c), "vendor mode on"};
  }
  if (r.features == kVendorFeature && r.count == 0x57) {
    controller_.setVendorMode(false);
    tunnel_.reset();
    return {ataDone(c), "vendor mode off"};
  }
  return {ataDone(c), "set features " + hex(r.features) + " " + hex(r.count)};
}

AtaDevice::Answer AtaDevice::smart(const AtaCommand& c) {
  const auto& r = c.current;
  if (r.features != 0xd0 || r.lbaMid != 0x4f || r.lbaHigh != 0xc2) {
    return {ataFailed(c, kErrorAbort), "abort: SMART feature " + hex(r.features)};
  }
  if (!dataIn(c)) return {ataFailed(c, kErrorAbort), "abort: SMART READ DATA without a data-in phase"};
  return {ataDone(c, give(c, smartData(config_.temperature, config_.smartTemperatureAttribute))), "smart read data"};
}

AtaDevice::Answer AtaDevice::readNativeMax(const AtaCommand& c, bool extended) {
  if (!noData(c)) return {ataFailed(c, kErrorAbort), "abort: READ NATIVE MAX with a data phase"};
  const std::uint64_t max = nativeSectors_ == 0 ? 0 : nativeSectors_ - 1;
  const std::uint64_t value = extended ? max : std::min(max, kLba28Max);
  AtaResult result = ataDone(c);
  auto byteOf = [value](int shift) { return static_cast<std::uint8_t>(value >> shift); };
  result.current.lbaLow = byteOf(0);
  result.current.lbaMid = byteOf(8);
  result.current.lbaHigh = byteOf(16);
  if (extended) {
    result.previous.lbaLow = byteOf(24);
    result.previous.lbaMid = byteOf(32);
    result.previous.lbaHigh = byteOf(40);
  } else {
    result.current.device = static_cast<std::uint8_t>((result.current.device & 0xf0) | (byteOf(24) & 0x0f));
  }
  return {result, std::string("read native max") + (extended ? " ext" : "") + " = " + std::to_string(value)};
}

AtaDevice::Answer AtaDevice::setMax(const AtaCommand& c, bool extended) {
  if (!noData(c)) return {ataFailed(c, kErrorAbort), "abort: SET MAX with a data phase"};
  const std::uint64_t max = extended ? lba48(c) : lba28(c);
  if (max >= nativeSectors_) {
    return {ataFailed(c, kErrorIdNotFound), "IDNF: max address " + std::to_string(max) + " beyond the medium"};
  }
  currentSectors_ = max + 1;
  return {ataDone(c), std::string("set max address") + (extended ? " ext" : "") + " = " + std::to_string(max)};
}

AtaDevice::Answer AtaDevice::transfer(const AtaCommand& c, bool write, bool extended) {
  const std::uint8_t code = c.current.command;
  if (!extended && (c.current.device & kLbaMode) == 0) {
    return {ataFailed(c, kErrorAbort), "abort: " + hex(code) + " with CHS addressing"};
  }
  const std::uint64_t lba = extended ? lba48(c) : lba28(c);
  const std::uint32_t count = sectors(c, extended);
  const std::string what = hex(code) + (write ? " write " : " read ") + std::to_string(count) + " at " +
                           std::to_string(lba);
  if (c.direction != (write ? Direction::Out : Direction::In) || c.data.size() != std::size_t{count} * kSectorBytes) {
    return {ataFailed(c, kErrorAbort), "abort: " + what + " with " + std::to_string(c.data.size()) + " data bytes"};
  }
  if (lba + count > currentSectors_) return {ataFailed(c, kErrorIdNotFound), "IDNF: " + what};
  if (write) {
    if (const auto bad = store_.write(lba, c.data)) {
      return {ataFailed(c, kErrorAbort), "ABRT: " + what + ", write fault at " + std::to_string(*bad)};
    }
  } else if (const auto bad = store_.read(lba, c.data)) {
    return {ataFailed(c, kErrorUncorrectable), "UNC: " + what + ", read error at " + std::to_string(*bad)};
  }
  return {ataDone(c, c.data.size()), what};
}

}  // namespace drivesim::detail
