#include "controller.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "ata_data.h"
#include "bytes.h"
#include "config_page.h"
#include "platform/clock.h"
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
constexpr std::uint16_t kListEnd = 0xffff;
// Operation 1's options and the status it ends with when the defect tables are missing.
constexpr std::uint8_t kEraseUserBlocks = 0x01;
constexpr std::uint8_t kReinitialise = 0x10;
constexpr std::uint8_t kNoDefectTables = 15;

// Final status of each job: operations 1..4 (2 is not used by the host
// programs) and the DRAM check.
std::uint8_t finalStatusOf(Job job) {
  switch (job) {
    case Job::Operation1: return 14;
    case Job::Operation2: return 12;
    case Job::Operation3: return 10;
    case Job::Operation4: return 18;
    case Job::DramCheck: return 21;
  }
  return 0;
}

// The bus interface test's memory, served by sub-ops 0x03 / 0x04 of the TST code.
constexpr std::uint32_t kTestMemoryBase = 0xb0021000;
constexpr std::size_t kTestMemoryBytes = 32 * 1024;

// Unit selectors of the flash sub-ops: one channel 0..7, or all of them.
constexpr std::uint8_t kAllChannels = 8;
constexpr std::uint8_t kMaxChannels = 8;
// The firmware's physical page read: all channels with newer firmware, and
// the part of the reply after the first read.
constexpr std::uint8_t kAllChannelsNewer = 15;
constexpr std::uint8_t kSecondPart = 0xf0;
// Each channel's part of a physical page reply, and the memory window through
// which older firmware hands over the part after the first read.
constexpr std::size_t kChannelStep = 16 * 1024;
constexpr std::uint32_t kPageWindow = 0xb0030000;
constexpr std::uint8_t kErased = 0xff;
constexpr std::size_t kSectorBytes = 512;

// The test RAM code's flash interface steps and their result block, and the
// status of a DRAM check that found a cell not holding the pattern.
constexpr std::uint8_t kFirstTestStep = 1;
constexpr std::uint8_t kLastTestStep = 3;
constexpr std::uint8_t kStepPassed = 0xff;
constexpr std::size_t kTestResultFirstEntry = 4;
constexpr std::size_t kTestResultEntryBytes = 4;
constexpr std::uint8_t kDramCellFailed = 20;

constexpr const char* kOlderDateCodes[] = {"100811", "110222", "110224", "110225"};

struct Channels {
  std::uint8_t first = 0;
  std::uint8_t count = 0;
};

// The channels a unit selector of 0x89 / 0x8A / 0x8B names.
std::optional<Channels> channelsOf(std::uint8_t selector) {
  if (selector < kMaxChannels) return Channels{selector, 1};
  if (selector == kAllChannels) return Channels{0, kMaxChannels};
  return std::nullopt;
}

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
  return "unit " + std::to_string(a.channel) + " ce " + std::to_string(a.chipEnable) + " block " +
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
    : config_(config),
      wire_(wire),
      runState_(config.runState),
      flash_(decodeFlashTypeWord(config.flashTypeWord), config.flashChannels,
             chipEnableIds(config.flashBanks, config.flashChipEnables)) {
  programLoaderHeaders(config, flash_);
  badBlocks_ = initialBook(config, flash_);
}

void TolvaneController::powerOn() {
  runState_ = config_.runState;
  booted_.reset();
  if (runState_ == RunState::Firmware) {
    // The mode the host would pick from the loader's file count.
    const bool usbFirmware = config_.frontEnd == FrontEnd::OwnUsb && loaderFileCount(config_, flash_) == 3;
    std::string note;
    runState_ = enterFirmware(usbFirmware ? 3 : 2, note);
    if (!note.empty()) {
      wire_.record(received(Layer::Controller, {}, platform::storage::Direction::None, false, {}, "power-up " + note));
    }
  }
  vendorMode_ = false;
  registers_.clear();
  memory_.clear();
  sessionOpen_ = false;
  unresponsiveUntilMs_.reset();
  reenumerationLeft_ = 0;
  job_.reset();
  status_ = 0;
  testMemoryWrites_ = 0;
  pageImage_.clear();
  pageImageSent_ = 0;
  errorBlock_.clear();
  clearFlashTestResults();
}

bool TolvaneController::responsive() const {
  return !unresponsiveUntilMs_ || platform::clock::tickMs() >= *unresponsiveUntilMs_;
}

bool TolvaneController::takeReenumerationAttempt() {
  if (reenumerationLeft_ <= 0) return false;
  --reenumerationLeft_;
  return true;
}

// What every change of the running code resets.
void TolvaneController::restarted() {
  vendorMode_ = false;
  sessionOpen_ = false;
  job_.reset();
  status_ = 0;
  pageImage_.clear();
  pageImageSent_ = 0;
  errorBlock_.clear();
  clearFlashTestResults();
  if (config_.unresponsiveMs > 0) unresponsiveUntilMs_ = platform::clock::tickMs() + config_.unresponsiveMs;
}

bool TolvaneController::olderFirmware() const {
  const std::string dateCode = booted() ? booted()->dateCode() : config_.firmwareDateCode;
  return std::find(std::begin(kOlderDateCodes), std::end(kOlderDateCodes), dateCode) != std::end(kOlderDateCodes);
}

RunState TolvaneController::enterFirmware(std::uint8_t runMode, std::string& note) {
  booted_.reset();
  if (!downloadPresent(config_, flash_)) return RunState::Firmware;
  BootOutcome outcome = bootDownload(config_, flash_, runMode);
  note = std::move(outcome.note);
  if (!outcome.firmware) return RunState::Loader;
  booted_ = std::move(outcome.firmware);
  return RunState::Firmware;
}

std::optional<TolvaneController::SubOp> TolvaneController::find(std::uint8_t code, ReplyPath path) const {
  using C = TolvaneController;
  static constexpr SubOp kEveryState[] = {
      {0x80, P::In, &C::controllerInfo}, {0x81, P::None, &C::sessionStart},   {0x82, P::None, &C::runRamCode},
      {0x83, P::None, &C::setRunMode},   {0x84, P::In, &C::readRegister},     {0x85, P::None, &C::writeRegister},
      {0x86, P::In, &C::readMemory},     {0x87, P::Out, &C::writeMemory},     {0x88, P::In, &C::readFlashId},
      {0x89, P::In, &C::readFlashPages}, {0x8a, P::Out, &C::writeFlashPages}, {0x8b, P::None, &C::eraseBlock},
      {0x8c, P::In, &C::readMemoryWindow},
  };
  static constexpr SubOp kGdp[] = {
      {0x00, P::In, &C::readStatus},     {0x01, P::None, &C::startOperation}, {0x02, P::None, &C::startOperation},
      {0x03, P::None, &C::startOperation}, {0x04, P::None, &C::startOperation}, {0x05, P::In, &C::flashIdReport},
      {0x06, P::In, &C::failureReport},  {0x07, P::In, &C::loaderList},       {0x08, P::Out, &C::writeEraseCounts},
  };
  static constexpr SubOp kTst[] = {
      {0x00, P::In, &C::readStatus}, {0x01, P::In, &C::flashTestStep}, {0x02, P::In, &C::testResult},
      {0x03, P::In, &C::readTestMemory}, {0x04, P::Out, &C::writeTestMemory}, {0x05, P::Out, &C::dramCheck},
  };
  static constexpr SubOp kFirmware[] = {
      {0x00, P::In, &C::badBlockList},
      {0x01, P::In, &C::readEraseCounts},
      {0x04, P::In, &C::readPhysicalPage},
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

void TolvaneController::startJob(Job job) {
  const auto configured = config_.jobs.find(job);
  if (configured == config_.jobs.end()) {
    job_ = RunningJob{.pollsLeft = config_.busyPolls,
                      .busyUntilMs = platform::clock::tickMs(),
                      .stuck = false,
                      .finalStatus = finalStatusOf(job)};
    return;
  }
  const JobBehaviour& behaviour = configured->second;
  job_ = RunningJob{.pollsLeft = behaviour.busyPolls,
                    .busyUntilMs = platform::clock::tickMs() + behaviour.busyMs,
                    .stuck = behaviour.stuckBusy,
                    .finalStatus = behaviour.finalStatus ? *behaviour.finalStatus : finalStatusOf(job)};
}

// Byte 0: the run state (0 firmware, 1 loader, 2 GDP, 3 TST, 4 GDP_A);
// bytes 44-45: the loader header sequence number (the loader's: the newest
// header in its blocks, the configured one while they hold none); the rest zeros.
bool TolvaneController::controllerInfo(const Request& r) {
  std::array<std::uint8_t, 512> info{};
  info[0] = static_cast<std::uint8_t>(runState_);
  std::uint16_t sequence = config_.headerSequence;
  if (runState_ == RunState::Loader) sequence = newestHeaderSequence(config_, flash_).value_or(sequence);
  bytes::putLe16(info, 44, sequence);
  put(r.data, info);
  r.note = "controller info";
  return true;
}

bool TolvaneController::sessionStart(const Request& r) {
  sessionOpen_ = true;
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
  restarted();
  r.note = std::string("run RAM code: ") + stateName(runState_);
  return true;
}

bool TolvaneController::setRunMode(const Request& r) {
  const std::uint8_t mode = r.block[3];
  r.note = "set run mode " + std::to_string(mode);
  // The switch belongs to the session that 0x81 opens.
  if (!sessionOpen_) {
    r.note += " without a session start";
    return false;
  }
  sessionOpen_ = false;
  const bool toFirmware = mode == 2 || mode == 3;
  if (mode != 0 && !toFirmware) return false;
  std::string boot;
  if (toFirmware && !config_.stuckInLoader) {
    runState_ = enterFirmware(mode, boot);
  } else {
    runState_ = RunState::Loader;
    booted_.reset();
  }
  restarted();
  reenumerationLeft_ = config_.reenumerationAttempts;
  r.note += std::string(" (") + stateName(runState_) + (toFirmware && config_.stuckInLoader ? ", stuck" : "") + ")";
  if (!boot.empty()) r.note += ", " + boot;
  return true;
}

bool TolvaneController::readRegister(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 3);
  std::uint8_t value = registerByte(address);
  const auto fault = std::find_if(config_.registerFaults.begin(), config_.registerFaults.end(),
                                  [address](const RegisterFault& f) { return f.address == address; });
  if (fault != config_.registerFaults.end()) {
    if (!fault->readsAs) {
      r.note = "read register " + hex(address, 8) + ": fault: read fails";
      return false;
    }
    value = *fault->readsAs;
  }
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

// The firmware maps its configuration page at address 0 of parameter 3.
bool TolvaneController::readMemory(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  r.note = "memory read " + hex(address, 8) + ", " + std::to_string(r.data.size()) + " bytes";
  if (!memory_.read(address, r.data)) return false;
  if (runState_ == RunState::Firmware && r.block[3] == kConfigPageParam && address < kConfigPageBytes) {
    overlayConfigPage(config_, booted(), address, r.data);
    r.note += ", configuration page";
  }
  return true;
}

bool TolvaneController::writeMemory(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  r.note = "memory write " + hex(address, 8) + ", " + std::to_string(r.data.size()) + " bytes";
  return memory_.write(address, r.data);
}

// Where no chip sits, nothing drives the bus: the ID reads as 0xFF bytes.
bool TolvaneController::readFlashId(const Request& r) {
  const std::uint8_t channel = r.block[3];
  const std::uint8_t chipEnable = r.block[4];
  std::array<std::uint8_t, 5> id{kErased, kErased, kErased, kErased, kErased};
  if (flash_.present(channel, chipEnable)) {
    id = config_.flashId;
    for (const auto& at : config_.flashIdsAt) {
      if (at.channel == channel && at.chipEnable == chipEnable) id = at.id;
    }
  }
  put(r.data, id);
  r.note = "flash ID channel " + std::to_string(channel) + " ce " + std::to_string(chipEnable) +
           (flash_.present(channel, chipEnable) ? "" : " (no chip)");
  return true;
}

// One channel moves one page; selector 8 moves channel c's page at
// c x page bytes. A channel or chip enable the drive does not have reads as
// erased flash (0xFF), so a host may walk channels 0..7 whatever the drive
// carries; programming or erasing there fails.
std::optional<PageAddress> TolvaneController::flashTransfer(const Request& r, const char* what) const {
  const auto address = pageAddress(r.block);
  r.note = std::string(what) + " " + pageText(address);
  const auto channels = channelsOf(address.channel);
  if (!flash_.geometry()) {
    r.note += ": no flash geometry (type word " + hex(config_.flashTypeWord, 4) + ")";
    return std::nullopt;
  }
  if (!channels) {
    r.note += ": no such unit selector";
    return std::nullopt;
  }
  if (!flash_.inRange(address.block, address.page)) {
    r.note += ": beyond the flash";
    return std::nullopt;
  }
  if (r.data.size() > channels->count * flash_.pageBytes()) {
    r.note += ": " + std::to_string(r.data.size()) + " bytes for " + std::to_string(channels->count) + " page(s)";
    return std::nullopt;
  }
  return address;
}

bool TolvaneController::readFlashPages(const Request& r) {
  const auto address = flashTransfer(r, "flash read");
  if (!address) return false;
  const Channels channels = *channelsOf(address->channel);
  const std::size_t pageBytes = flash_.pageBytes();
  for (std::uint8_t k = 0; k < channels.count && k * pageBytes < r.data.size(); ++k) {
    const auto part = r.data.subspan(k * pageBytes, std::min(pageBytes, r.data.size() - k * pageBytes));
    flash_.read({static_cast<std::uint8_t>(channels.first + k), address->chipEnable, address->block, address->page},
                part);
  }
  return true;
}

bool TolvaneController::writeFlashPages(const Request& r) {
  const auto address = flashTransfer(r, "flash write");
  if (!address) return false;
  const Channels channels = *channelsOf(address->channel);
  const std::size_t pageBytes = flash_.pageBytes();
  std::vector<PageAddress> targets;
  std::vector<std::uint8_t> again;
  for (std::uint8_t k = 0; k < channels.count && k * pageBytes < r.data.size(); ++k) {
    const PageAddress page{static_cast<std::uint8_t>(channels.first + k), address->chipEnable, address->block,
                           address->page};
    if (!flash_.present(page.channel, page.chipEnable)) continue;
    targets.push_back(page);
    if (flash_.programmed(page)) {
      reprogramAttempts_.push_back(page);
      again.push_back(page.channel);
    }
  }
  if (targets.empty()) {
    r.note += ": no chip there";
    return false;
  }
  // NAND takes one program per page between erases: nothing is written.
  if (!again.empty()) {
    r.note += ": programmed again without an erase of its block on channel(s)";
    for (const std::uint8_t channel : again) r.note += " " + std::to_string(channel);
    return false;
  }
  for (const PageAddress& page : targets) {
    const std::size_t at = (page.channel - channels.first) * pageBytes;
    flash_.program(page, r.data.subspan(at, std::min(pageBytes, r.data.size() - at)));
  }
  const std::size_t programmed = targets.size();
  if (channels.count > 1) r.note += ", " + std::to_string(programmed) + " channel(s)";
  return true;
}

bool TolvaneController::eraseBlock(const Request& r) {
  const auto address = flashTransfer(r, "erase");
  if (!address) return false;
  const Channels channels = *channelsOf(address->channel);
  int erased = 0;
  for (std::uint8_t k = 0; k < channels.count; ++k) {
    const auto channel = static_cast<std::uint8_t>(channels.first + k);
    if (!flash_.present(channel, address->chipEnable)) continue;
    flash_.erase(channel, address->chipEnable, address->block);
    ++erased;
  }
  if (erased == 0) r.note += ": no chip there";
  return erased > 0;
}

// Older firmware hands over the rest of its last physical page reply here.
bool TolvaneController::readMemoryWindow(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  const bool window = runState_ == RunState::Firmware && olderFirmware() && !pageImage_.empty() &&
                      address >= kPageWindow && address - kPageWindow < pageImage_.size();
  if (!window) return readMemory(r);
  const std::size_t from = pageImageSent_ + (address - kPageWindow);
  for (std::size_t i = 0; i < r.data.size(); ++i) {
    r.data[i] = from + i < pageImage_.size() ? pageImage_[from + i] : kErased;
  }
  r.note = "page window " + hex(address, 8) + ", " + std::to_string(r.data.size()) + " bytes";
  return true;
}

bool TolvaneController::readStatus(const Request& r) {
  std::uint8_t status = status_;
  if (job_) {
    const bool polling = job_->pollsLeft > 0;
    if (polling) --job_->pollsLeft;
    if (job_->stuck || polling || platform::clock::tickMs() < job_->busyUntilMs) {
      status = kBusy;
    } else {
      status = status_ = job_->finalStatus;
      job_.reset();
    }
  }
  reply(r, status);
  r.note = "status " + hex(status);
  return true;
}

bool TolvaneController::startOperation(const Request& r) {
  const std::uint8_t operation = r.block[2];
  errorBlock_.clear();
  startJob(static_cast<Job>(operation - 1));
  r.note = "start operation " + std::to_string(operation) + " (options " + hex(r.block[3]) + ")";
  if (operation == 1) operationOneStarted(r.block[3], r.note);
  if (operation == 3) preformatStarted(r.block[3]);
  return true;
}

// Option 0x10 re-initialises the loader blocks: they are erased, so that a
// download or a defect table can be written into them. Without it (and
// without the erase option 0x01) a drive set to check them looks for the
// loader blocks' defect tables and, when there are none, ends with status 15
// in place of 14 (a configured status wins).
void TolvaneController::operationOneStarted(std::uint8_t options, std::string& note) {
  if ((options & kReinitialise) != 0) {
    eraseLoaderBlocks(config_, flash_);
    note += ", loader blocks erased";
    return;
  }
  if (!config_.initChecksDefectTables || (options & kEraseUserBlocks) != 0 || defectTablesPresent(config_, flash_)) {
    return;
  }
  note += ", no defect tables";
  const auto configured = config_.jobs.find(Job::Operation1);
  const bool statusGiven = configured != config_.jobs.end() && configured->second.finalStatus;
  if (job_ && !statusGiven) job_->finalStatus = kNoDefectTables;
}

// The preformat builds its tables at once; the status polls still answer
// busy as configured, then its outcome (a configured status wins).
void TolvaneController::preformatStarted(std::uint8_t options) {
  const PreformatOutcome outcome = preformat(config_, options, flash_, badBlocks_);
  if ((options & kKeepEraseCounts) == 0) eraseCounts_.clear();
  errorBlock_ = outcome.errorBlock;
  const auto configured = config_.jobs.find(Job::Operation3);
  const bool statusGiven = configured != config_.jobs.end() && configured->second.finalStatus;
  if (job_ && !statusGiven) job_->finalStatus = outcome.status;
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

// The error block of the last operation; all zeros when it reported nothing.
bool TolvaneController::failureReport(const Request& r) {
  put(r.data, errorBlock_);
  r.note = "failure report";
  return true;
}

bool TolvaneController::loaderList(const Request& r) {
  if (config_.loaderListFails) {
    r.note = "loader list: fault: fails";
    return false;
  }
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

void TolvaneController::clearFlashTestResults() {
  flashTestFaultHits_.assign(config_.flashTestFaults.size(), 0);
  flashTestFailures_.clear();
}

// Reply byte 0 = 1 (a result follows), byte 1 = 0xFF for a pass, else the
// failure code of the first fault that catches the step. Every fault that
// catches it counts the command, and joins the result block the first time.
bool TolvaneController::flashTestStep(const Request& r) {
  const std::uint8_t step = r.block[3];
  const std::uint16_t block = bytes::be16(r.block, 4);
  r.note = "flash test step " + std::to_string(step) + " block " + std::to_string(block);
  if (step < kFirstTestStep || step > kLastTestStep) {
    r.note += ": no such step";
    return false;
  }
  flashTestFaultHits_.resize(config_.flashTestFaults.size(), 0);
  std::optional<std::uint8_t> failure;
  for (std::size_t i = 0; i < config_.flashTestFaults.size(); ++i) {
    const FlashTestFault& fault = config_.flashTestFaults[i];
    if (fault.step != step || (fault.commands > 0 && flashTestFaultHits_[i] >= fault.commands)) continue;
    ++flashTestFaultHits_[i];
    if (std::find(flashTestFailures_.begin(), flashTestFailures_.end(), i) == flashTestFailures_.end()) {
      flashTestFailures_.push_back(i);
    }
    if (!failure) failure = fault.code;
  }
  const std::array<std::uint8_t, 2> result{1, failure.value_or(kStepPassed)};
  put(r.data, result);
  if (failure) r.note += ", fault: code " + std::to_string(*failure);
  return true;
}

// Four-byte entries from byte 4 (channel, bank, failure code, 0) for the
// faults the steps have found since the test RAM code started, then the end
// mark: 0xFF bytes. Entries that do not fit before the end mark are left out.
bool TolvaneController::testResult(const Request& r) {
  std::array<std::uint8_t, kSectorBytes> result{};
  std::size_t at = kTestResultFirstEntry;
  for (const std::size_t i : flashTestFailures_) {
    if (at + 2 * kTestResultEntryBytes > result.size()) break;
    const FlashTestFault& fault = config_.flashTestFaults[i];
    result[at] = fault.channel;
    result[at + 1] = fault.bank;
    result[at + 2] = fault.code;
    at += kTestResultEntryBytes;
  }
  std::fill_n(result.begin() + static_cast<std::ptrdiff_t>(at), kTestResultEntryBytes, kErased);
  put(r.data, result);
  r.note = "test result, " + std::to_string((at - kTestResultFirstEntry) / kTestResultEntryBytes) + " entries";
  return true;
}

// Both bus modes (param 0 and 1) reach the same memory.
bool TolvaneController::readTestMemory(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  r.note = "test memory read " + hex(address, 8) + ", " + std::to_string(r.data.size()) + " bytes, param " +
           hex(r.block[3]);
  if (r.block[3] > 1 || address < kTestMemoryBase || address - kTestMemoryBase + r.data.size() > kTestMemoryBytes) {
    return false;
  }
  return memory_.read(address, r.data);
}

bool TolvaneController::writeTestMemory(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  r.note = "test memory write " + hex(address, 8) + ", " + std::to_string(r.data.size()) + " bytes, param " +
           hex(r.block[3]);
  if (r.block[3] > 1 || address < kTestMemoryBase || address - kTestMemoryBase + r.data.size() > kTestMemoryBytes) {
    return false;
  }
  ++testMemoryWrites_;
  const auto& flip = config_.testMemoryFlip;
  if (!flip || flip->write != testMemoryWrites_ || flip->offset >= r.data.size()) return memory_.write(address, r.data);
  std::vector<std::uint8_t> stored(r.data.begin(), r.data.end());
  stored[flip->offset] ^= flip->mask;
  r.note += ", fault: bit flipped at " + std::to_string(flip->offset);
  return memory_.write(address, stored);
}

// The check fills its range with the pattern sector over and over and reads
// it back. A range that is empty or runs past the end of the address space
// is refused.
bool TolvaneController::dramCheck(const Request& r) {
  const std::uint32_t address = addressAt(r.block, 4);
  const std::uint32_t length = addressAt(r.block, 8);
  r.note = "DRAM check " + hex(address, 8) + ", length " + hex(length, 8);
  if (length == 0 || address > UINT32_MAX - (length - 1) || r.data.empty()) {
    r.note += ": no such range";
    return false;
  }
  startJob(Job::DramCheck);
  const std::uint8_t status = dramCheckStatus(address, length, r.data);
  const auto configured = config_.jobs.find(Job::DramCheck);
  const bool statusGiven = configured != config_.jobs.end() && configured->second.finalStatus;
  if (job_ && !statusGiven) job_->finalStatus = status;
  if (status != finalStatusOf(Job::DramCheck)) r.note += ", fault: a cell does not hold the pattern";
  return true;
}

std::uint8_t TolvaneController::dramCheckStatus(std::uint32_t address, std::uint32_t length,
                                                std::span<const std::uint8_t> pattern) const {
  for (const DramCellFault& cell : config_.dramCellFaults) {
    if (cell.address < address || cell.address - address >= length) continue;
    if (pattern[(cell.address - address) % pattern.size()] != cell.stuckAt) return kDramCellFailed;
  }
  return finalStatusOf(Job::DramCheck);
}

// The list the preformat left for the channel and bank index; before any
// preformat the entry count at byte 4 is 0.
bool TolvaneController::badBlockList(const Request& r) {
  put(r.data, detail::badBlockList(badBlocks_, r.block[3], r.block[4]));
  r.note = "bad-block list channel " + std::to_string(r.block[3]) + " ce " + std::to_string(r.block[4]);
  return true;
}

// A table never written back: byte 0 bank, byte 1 channel, u16 entry count at
// 4, then per block a 32-bit count that differs from block to block, bank to
// bank and channel to channel.
std::vector<std::uint8_t> TolvaneController::eraseCountTable(std::uint8_t channel, std::uint8_t bank) const {
  if (const auto saved = eraseCounts_.find({channel, bank}); saved != eraseCounts_.end()) return saved->second;
  const std::size_t entries = config_.eraseCountBlocks;
  std::vector<std::uint8_t> table(8 + 4 * entries, 0);
  table[0] = bank;
  table[1] = channel;
  bytes::putLe16(table, 4, config_.eraseCountBlocks);
  for (std::size_t block = 0; block < entries; ++block) {
    const auto count = static_cast<std::uint32_t>(1 + (block * 7 + bank * 131 + channel * 1009) % 3000);
    for (int i = 0; i < 4; ++i) table[8 + 4 * block + i] = static_cast<std::uint8_t>(count >> (8 * i));
  }
  return table;
}

bool TolvaneController::readEraseCounts(const Request& r) {
  const std::uint8_t channel = r.block[3];
  const std::uint8_t bank = r.block[4];
  r.note = "erase counts channel " + std::to_string(channel) + " bank " + std::to_string(bank);
  put(r.data, eraseCountTable(channel, bank));
  return true;
}

bool TolvaneController::smartBlock(const Request& r) {
  put(r.data, smartData(config_.temperature, config_.smartTemperatureAttribute));
  r.note = "S.M.A.R.T. block";
  return true;
}


// Each 16 KiB step holds one channel: the page of block 2u at +0 and of
// block 2u + 1 at +page bytes (the two planes of unit u); the rest of the
// step, and channels the drive does not have, read 0xFF.
std::vector<std::uint8_t> TolvaneController::physicalPageImage(std::uint8_t firstChannel, std::uint8_t channels,
                                                                const PageAddress& unit) const {
  std::vector<std::uint8_t> image(kMaxChannels * kChannelStep, kErased);
  const std::size_t pageBytes = flash_.pageBytes();
  for (std::uint8_t k = 0; k < channels; ++k) {
    for (std::uint16_t plane = 0; plane < 2; ++plane) {
      const PageAddress page{static_cast<std::uint8_t>(firstChannel + k), unit.chipEnable,
                             static_cast<std::uint16_t>(2 * unit.block + plane), unit.page};
      flash_.read(page, std::span(image).subspan(k * kChannelStep + plane * pageBytes, pageBytes));
    }
  }
  return image;
}

// The firmware's physical page read. Its block field names a unit u (blocks
// 2u and 2u + 1), or for some parts a block. Selector 8 (older firmware) or 15 (newer) reads all
// channels, 0..7 one; the reply is the start of the image, and the newer
// firmware's selector 0xF0, or the older one's memory window, the part that
// follows. Each firmware refuses the other's selectors.
bool TolvaneController::readPhysicalPage(const Request& r) {
  const std::uint8_t selector = r.block[3];
  // The bank byte is a bank index (its chip enable by the bank map).
  // Firmware for a Toshiba part without extra mode numbers its units by
  // block: the field names a block, read together with its plane partner.
  const std::uint16_t field = bytes::be16(r.block, 5);
  const bool numberedByBlock = makerClass(config_.flashTypeWord) == 2 && !config_.flashExtraMode;
  const PageAddress unit{selector, chipEnableOfBank(config_, r.block[4]),
                         static_cast<std::uint16_t>(numberedByBlock ? field >> 1 : field), bytes::be16(r.block, 7)};
  const bool older = olderFirmware();
  r.note = "physical page read selector " + hex(selector) + " ce " + std::to_string(unit.chipEnable) + " unit " +
           std::to_string(field) + " page " + std::to_string(unit.page);
  if (selector == kSecondPart) {
    if (older || pageImage_.empty()) {
      r.note += older ? ": not served by older firmware" : ": no page read before";
      return false;
    }
    for (std::size_t i = 0; i < r.data.size(); ++i) {
      const std::size_t at = pageImageSent_ + i;
      r.data[i] = at < pageImage_.size() ? pageImage_[at] : kErased;
    }
    return true;
  }
  const bool all = selector == (older ? kAllChannels : kAllChannelsNewer);
  if (!all && selector >= kMaxChannels) {
    r.note += ": no such selector for " + std::string(older ? "older" : "newer") + " firmware";
    return false;
  }
  if (!flash_.geometry() || 2 * std::uint32_t{unit.block} + 1 >= flash_.geometry()->blocks ||
      !flash_.inRange(0, unit.page)) {
    r.note += ": beyond the flash";
    return false;
  }
  pageImage_ = all ? physicalPageImage(0, kMaxChannels, unit) : physicalPageImage(selector, 1, unit);
  pageImageSent_ = std::min(r.data.size(), pageImage_.size());
  put(r.data, std::span(pageImage_).first(pageImageSent_));
  std::fill(r.data.begin() + static_cast<std::ptrdiff_t>(pageImageSent_), r.data.end(), kErased);
  return true;
}

}  // namespace drivesim::detail
