#include "controller.h"

#include <algorithm>
#include <cstring>

#include "ata_data.h"
#include "bytes.h"
#include "wire_entry.h"

namespace drivesim::detail {
namespace {

using bytes::hex;
using P = DataPhase;

constexpr std::uint32_t kRamCodeBase = 0x40000000;
constexpr std::uint32_t kRamCodeMagic = kRamCodeBase + 0x300;
constexpr std::uint32_t kRamCodeTag = kRamCodeBase + 0x304;
constexpr std::size_t kTagBytes = 6;
constexpr std::uint8_t kBusy = 0xaa;
constexpr std::uint8_t kTunnelSignature = 0xe5;
constexpr std::uint8_t kDramCheckDone = 21;
constexpr std::uint16_t kListEnd = 0xffff;

// Final status of RAM-code operations 1..4 (2 is not used by the host programs).
constexpr std::uint8_t kOperationDone[] = {14, 12, 10, 18};

const char* stateName(RunState state) {
  switch (state) {
    case RunState::Firmware: return "firmware";
    case RunState::Loader: return "loader";
    case RunState::GdpRamCode: return "GDP";
    case RunState::TstRamCode: return "TST";
    case RunState::GdpARamCode: return "GDP_A";
  }
  return "?";
}

std::uint32_t addressAt(const VendorBlock& block, std::size_t at) { return bytes::be32(block, at); }

PageAddress pageAddress(const VendorBlock& block) {
  return {block[3], block[4], bytes::be16(block, 5), bytes::be16(block, 7)};
}

std::string pageText(const PageAddress& a) {
  return "unit " + std::to_string(a.unit) + " ce " + std::to_string(a.chipEnable) + " block " +
         std::to_string(a.block) + " page " + std::to_string(a.page);
}

void zero(std::span<std::uint8_t> data) { std::fill(data.begin(), data.end(), std::uint8_t{0}); }

// Copies as much of `content` as the data phase holds; the rest stays zero.
void put(std::span<std::uint8_t> data, std::span<const std::uint8_t> content) {
  zero(data);
  std::copy_n(content.begin(), std::min(content.size(), data.size()), data.begin());
}

}  // namespace

TolvaneController::TolvaneController(const DriveConfig& config, WireLog& wire)
    : config_(config), wire_(wire), runState_(config.runState) {}

void TolvaneController::powerOn() {
  runState_ = config_.runState;
  vendorMode_ = false;
  registers_.clear();
  memory_.clear();
  busyPollsLeft_ = 0;
  status_ = 0;
}

std::optional<TolvaneController::SubOp> TolvaneController::find(std::uint8_t code, ReplyPath path) const {
  using C = TolvaneController;
  static constexpr SubOp kEveryState[] = {
      {0x80, P::In, &C::controllerInfo}, {0x81, P::None, &C::sessionStart},   {0x82, P::None, &C::runRamCode},
      {0x83, P::None, &C::setRunMode},   {0x84, P::In, &C::readRegister},     {0x85, P::None, &C::writeRegister},
      {0x86, P::In, &C::readMemory},     {0x87, P::Out, &C::writeMemory},     {0x88, P::In, &C::readFlashId},
      {0x89, P::In, &C::readFlashPages}, {0x8a, P::Out, &C::writeFlashPages}, {0x8b, P::None, &C::eraseBlock},
      {0x8c, P::In, &C::readMemory},
  };
  static constexpr SubOp kGdp[] = {
      {0x00, P::In, &C::readStatus},     {0x01, P::None, &C::startOperation}, {0x02, P::None, &C::startOperation},
      {0x03, P::None, &C::startOperation}, {0x04, P::None, &C::startOperation}, {0x05, P::In, &C::flashIdReport},
      {0x06, P::In, &C::failureReport},  {0x07, P::In, &C::loaderList},       {0x08, P::Out, &C::writeEraseCounts},
  };
  static constexpr SubOp kTst[] = {
      {0x00, P::In, &C::readStatus}, {0x01, P::In, &C::flashTestStep}, {0x02, P::In, &C::testResult},
      {0x03, P::In, &C::readMemory}, {0x04, P::Out, &C::writeMemory},  {0x05, P::Out, &C::dramCheck},
  };
  static constexpr SubOp kFirmware[] = {
      {0x00, P::In, &C::badBlockList},
      {0x01, P::In, &C::readEraseCounts},
      {0x04, P::In, &C::readFlashPages},
  };
  static constexpr SubOp kFirmwareOnUsb[] = {{0x05, P::In, &C::smartBlock}};

  auto lookup = [code](std::span<const SubOp> table) -> std::optional<SubOp> {
    const auto found = std::find_if(table.begin(), table.end(), [code](const SubOp& s) { return s.code == code; });
    if (found == table.end()) return std::nullopt;
    return *found;
  };
  if (auto common = lookup(kEveryState)) return common;
  switch (runState_) {
    case RunState::GdpRamCode:
    case RunState::GdpARamCode:
      return lookup(kGdp);
    case RunState::TstRamCode:
      return lookup(kTst);
    case RunState::Firmware:
      if (auto sub = lookup(kFirmware)) return sub;
      return path == ReplyPath::Usb ? lookup(kFirmwareOnUsb) : std::nullopt;
    case RunState::Loader:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<DataPhase> TolvaneController::dataPhaseOf(std::uint8_t subOp, ReplyPath path) const {
  const auto sub = find(subOp, path);
  if (!sub) return std::nullopt;
  return sub->phase;
}

bool TolvaneController::execute(const VendorBlock& block, std::span<std::uint8_t> data, ReplyPath path) {
  const auto sub = find(block[2], path);
  using platform::storage::Direction;
  Direction direction = Direction::None;
  if (sub && sub->phase == DataPhase::In) direction = Direction::In;
  if (sub && sub->phase == DataPhase::Out) direction = Direction::Out;
  const auto id = wire_.record(received(Layer::Controller, {block.begin(), block.end()}, direction, false, data));

  std::string note;
  bool done = false;
  if (!sub) {
    note = "sub-op " + hex(block[2]) + " not served while " + stateName(runState_) + " runs";
  } else {
    done = (this->*sub->handler)(Request{block, data, path, note});
  }
  wire_.annotate(id, done ? note : "failed: " + note);
  return done;
}

std::uint8_t TolvaneController::registerByte(std::uint32_t address) const {
  const auto found = registers_.find(address);
  return found == registers_.end() ? 0 : found->second;
}

void TolvaneController::reply(const Request& r, std::uint8_t value) const {
  zero(r.data);
  if (r.path == ReplyPath::Tunnel) {
    if (r.data.size() >= 2) {
      r.data[0] = kTunnelSignature;
      r.data[1] = value;
    }
  } else if (!r.data.empty()) {
    r.data[0] = value;
  }
}

void TolvaneController::startBusy(std::uint8_t finalStatus) {
  busyPollsLeft_ = config_.busyPolls;
  status_ = finalStatus;
}

// Byte 0: the run state (0 firmware, 1 loader, 2 GDP, 3 TST, 4 GDP_A);
// bytes 44-45: the loader header sequence number; the rest zeros.
bool TolvaneController::controllerInfo(const Request& r) {
  std::array<std::uint8_t, 512> info{};
  info[0] = static_cast<std::uint8_t>(runState_);
  bytes::putLe16(info, 44, config_.headerSequence);
  put(r.data, info);
  r.note = "controller info";
  return true;
}

bool TolvaneController::sessionStart(const Request& r) {
  r.note = "session start " + hex(r.block[3]);
  return true;
}

bool TolvaneController::runRamCode(const Request& r) {
  std::array<std::uint8_t, 4> magic{};
  std::array<std::uint8_t, kTagBytes> tagBytes{};
  memory_.read(kRamCodeMagic, magic);
  memory_.read(kRamCodeTag, tagBytes);
  const std::string tag(reinterpret_cast<const char*>(tagBytes.data()),
                        strnlen(reinterpret_cast<const char*>(tagBytes.data()), kTagBytes));
  if (std::memcmp(magic.data(), "GDP_", 4) == 0) {
    runState_ = tag == config_.gdpATag.substr(0, kTagBytes) ? RunState::GdpARamCode : RunState::GdpRamCode;
  } else if (std::memcmp(magic.data(), "TST_", 4) == 0) {
    runState_ = RunState::TstRamCode;
  } else {
    r.note = "run RAM code: no image at " + hex(kRamCodeBase, 8);
    return false;
  }
  vendorMode_ = false;
  busyPollsLeft_ = 0;
  status_ = 0;
  r.note = std::string("run RAM code: ") + stateName(runState_);
  return true;
}

bool TolvaneController::setRunMode(const Request& r) {
  const std::uint8_t mode = r.block[3];
  r.note = "set run mode " + std::to_string(mode);
  if (mode == 0) {
    runState_ = RunState::Loader;
  } else if (mode == 2 || mode == 3) {
    runState_ = RunState::Firmware;
  } else {
    return false;
  }
  vendorMode_ = false;
  busyPollsLeft_ = 0;
  status_ = 0;
  r.note += std::string(" (") + stateName(runState_) + ")";
  return true;
}

bool TolvaneController::readRegister(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 3);
  const std::uint8_t value = registerByte(address);
  reply(r, value);
  r.note = "read register " + hex(address, 8) + " = " + hex(value);
  return true;
}

bool TolvaneController::writeRegister(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 3);
  registers_[address] = r.block[7];
  r.note = "write register " + hex(address, 8) + " = " + hex(r.block[7]);
  return true;
}

bool TolvaneController::readMemory(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  r.note = "memory read " + hex(address, 8) + ", " + std::to_string(r.data.size()) + " bytes";
  return memory_.read(address, r.data);
}

bool TolvaneController::writeMemory(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  r.note = "memory write " + hex(address, 8) + ", " + std::to_string(r.data.size()) + " bytes";
  return memory_.write(address, r.data);
}

bool TolvaneController::readFlashId(const Request& r) {
  put(r.data, config_.flashId);
  r.note = "flash ID channel " + std::to_string(r.block[3]) + " ce " + std::to_string(r.block[4]);
  return true;
}

bool TolvaneController::readFlashPages(const Request& r) {
  const auto address = pageAddress(r.block);
  flash_.read(address, r.data);
  r.note = "flash read " + pageText(address);
  return true;
}

bool TolvaneController::writeFlashPages(const Request& r) {
  const auto address = pageAddress(r.block);
  flash_.write(address, r.data);
  r.note = "flash write " + pageText(address);
  return true;
}

bool TolvaneController::eraseBlock(const Request& r) {
  const std::uint16_t block = bytes::be16(r.block, 5);
  flash_.eraseBlock(r.block[3], r.block[4], block);
  r.note = "erase unit " + std::to_string(r.block[3]) + " ce " + std::to_string(r.block[4]) + " block " +
           std::to_string(block);
  return true;
}

bool TolvaneController::readStatus(const Request& r) {
  std::uint8_t status = status_;
  if (busyPollsLeft_ > 0) {
    --busyPollsLeft_;
    status = kBusy;
  }
  reply(r, status);
  r.note = "status " + hex(status);
  return true;
}

bool TolvaneController::startOperation(const Request& r) {
  const std::uint8_t operation = r.block[2];
  startBusy(kOperationDone[operation - 1]);
  r.note = "start operation " + std::to_string(operation) + " (options " + hex(r.block[3]) + ")";
  return true;
}

bool TolvaneController::flashIdReport(const Request& r) {
  std::array<std::uint8_t, 10> report{};
  std::copy(config_.flashId.begin(), config_.flashId.end(), report.begin());
  report[7] = config_.flashChannels;
  report[8] = config_.flashBanks;
  report[9] = config_.flashChipEnables;
  put(r.data, report);
  r.note = "flash ID report";
  return true;
}

// No operation of this model fails, so the report holds no failure: all zeros.
bool TolvaneController::failureReport(const Request& r) {
  zero(r.data);
  r.note = "failure report";
  return true;
}

bool TolvaneController::loaderList(const Request& r) {
  std::vector<std::uint8_t> list(2 * (config_.loaderBlocks.size() + 1));
  for (std::size_t i = 0; i < config_.loaderBlocks.size(); ++i) bytes::putLe16(list, 2 * i, config_.loaderBlocks[i]);
  bytes::putLe16(list, list.size() - 2, kListEnd);
  put(r.data, list);
  r.note = "loader list";
  return true;
}

bool TolvaneController::writeEraseCounts(const Request& r) {
  eraseCounts_[{r.block[3], r.block[4]}].assign(r.data.begin(), r.data.end());
  r.note = "erase counts written, channel " + std::to_string(r.block[3]) + " bank " + std::to_string(r.block[4]);
  return true;
}

// Every step passes: reply byte 0 = 1 (a result follows), byte 1 = 0xFF (pass).
bool TolvaneController::flashTestStep(const Request& r) {
  const std::array<std::uint8_t, 2> result{1, 0xff};
  put(r.data, result);
  r.note = "flash test step " + std::to_string(r.block[3]) + " block " + std::to_string(bytes::be16(r.block, 4));
  return true;
}

// An empty result list: the end mark 0xFF where the first entry would be.
bool TolvaneController::testResult(const Request& r) {
  const std::array<std::uint8_t, 5> result{0, 0, 0, 0, 0xff};
  put(r.data, result);
  r.note = "test result";
  return true;
}

bool TolvaneController::dramCheck(const Request& r) {
  startBusy(kDramCheckDone);
  r.note = "DRAM check " + hex(addressAt(r.block, 4), 8) + ", length " + hex(addressAt(r.block, 8), 8);
  return true;
}

// No bad blocks: the entry count at byte 4 is 0.
bool TolvaneController::badBlockList(const Request& r) {
  zero(r.data);
  r.note = "bad-block list channel " + std::to_string(r.block[3]) + " ce " + std::to_string(r.block[4]);
  return true;
}

// What was written with sub-op 0x08 for this channel and bank, else a table of
// `eraseCountBlocks` zero counts: byte 0 bank, byte 1 channel, u16 count at 4.
bool TolvaneController::readEraseCounts(const Request& r) {
  const std::uint8_t channel = r.block[3];
  const std::uint8_t bank = r.block[4];
  r.note = "erase counts channel " + std::to_string(channel) + " bank " + std::to_string(bank);
  if (const auto saved = eraseCounts_.find({channel, bank}); saved != eraseCounts_.end()) {
    put(r.data, saved->second);
    return true;
  }
  zero(r.data);
  if (r.data.size() >= 6) {
    r.data[0] = bank;
    r.data[1] = channel;
    bytes::putLe16(r.data, 4, config_.eraseCountBlocks);
  }
  return true;
}

bool TolvaneController::smartBlock(const Request& r) {
  put(r.data, smartData(config_.temperature));
  r.note = "S.M.A.R.T. block";
  return true;
}

}  // namespace drivesim::detail
