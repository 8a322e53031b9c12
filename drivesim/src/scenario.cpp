#include "drivesim/scenario.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "platform/storage.h"
#include "usb_topology_text.h"

namespace drivesim {
namespace {

struct Setting {
  std::string key, value;
  int line = 0;
};

struct Section {
  int line = 0;
  std::vector<Setting> settings;
  std::string kind = "drive";  // or a section of the USB tree

  const Setting* find(std::string_view key) const {
    const auto found = std::find_if(settings.begin(), settings.end(), [key](const Setting& s) { return s.key == key; });
    return found == settings.end() ? nullptr : &*found;
  }
};

// Thrown nowhere: every step answers an error text, empty on success.
using Error = std::string;

constexpr std::string_view kKeys[] = {
    "path",      "frontend",   "chip",       "key",        "udma",          "vendor",       "product",
    "revision",  "sectors",    "model",      "serial",     "firmware",      "state",        "flashid",
    "temperature", "loadermodel", "identify60", "identify100", "datecode",   "unresponsive", "sequence",
    "busypolls", "op1",        "op2",        "op3",        "op4",           "dram",         "registerfault",
    "testmemoryflip", "flashtype", "channels", "banks",     "ces",           "flashidat",    "flashpage",
    "lbareaderror", "lbacorrupt", "loaderinquiry", "smarttemperature", "reenumeration", "stuckinloader",
    "lbawriteerror", "bus", "volume", "rotation", "vendormode", "signature", "identify",
    // The configuration page and the loader header.
    "usbvid", "usbpid", "usbmanufacturer", "usbproduct", "partname", "ecc", "extramode", "drvcurrent",
    "respercentage", "readthreshold", "copythreshold", "wearlevel", "securitycounter", "optionsa", "optionsb",
    "featurebyte", "regset2", "layoutwords", "loaderheader", "loaderfiles",
    // Bad blocks, the preformat's tables and the loader list.
    "factorybad", "laterbad", "tables", "laterunits", "preformatlimit", "tabledamage", "loaderblocks",
    "loaderlist",
    // The flash interface test's steps and the DRAM check.
    "flashtestfault", "dramcell",
    // The user data as a block device, and its volume.
    "image", "systemdisk", "rescan", "volumeappears", "volumelock",
    // Commands the transport answers short.
    "shortreply"};

// Keys that may stand more than once in a section, each adding one more.
constexpr std::string_view kRepeatableKeys[] = {"registerfault", "flashidat", "flashpage", "lbareaderror",
                                                "lbacorrupt", "lbawriteerror", "factorybad", "laterbad",
                                                "tabledamage", "flashtestfault", "dramcell", "shortreply"};

bool repeatable(std::string_view key) {
  return std::find(std::begin(kRepeatableKeys), std::end(kRepeatableKeys), key) != std::end(kRepeatableKeys);
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

Error at(int line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

Error readSections(std::string_view text, std::vector<Section>& sections) {
  int line = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view raw = trimmed(text.substr(start, end - start));
    start = end + 1;
    ++line;
    if (raw.empty() || raw.front() == '#') continue;
    if (raw.front() == '[') {
      const std::string kind = raw.size() > 2 && raw.back() == ']' ? std::string(raw.substr(1, raw.size() - 2)) : "";
      if (kind != "drive" && !detail::isTopologySection(kind)) return at(line, "unknown section " + std::string(raw));
      sections.push_back({line, {}, kind});
      continue;
    }
    const auto equals = raw.find('=');
    if (equals == std::string_view::npos) return at(line, "expected key = value, found '" + std::string(raw) + "'");
    const std::string key(trimmed(raw.substr(0, equals)));
    const std::string value(trimmed(raw.substr(equals + 1)));
    if (sections.empty()) return at(line, "'" + key + "' outside a [drive] section");
    // The USB tree's sections check their own keys.
    if (sections.back().kind == "drive" && std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
      return at(line, "unknown key '" + key + "'");
    }
    if (!repeatable(key) && sections.back().find(key)) {
      return at(line, "key '" + key + "' given twice in one [" + sections.back().kind + "] section");
    }
    sections.back().settings.push_back({key, value, line});
  }
  return {};
}

// Decimal, or hexadecimal after 0x.
std::optional<std::uint64_t> number(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view text, std::size_t count) {
  if (text.size() != 2 * count) return std::nullopt;
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto [end, error] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, bytes[i], 16);
    if (error != std::errc{} || end != text.data() + 2 * i + 2) return std::nullopt;
  }
  return bytes;
}

// Whitespace-separated words; a word that starts with a double quote runs to
// the next one, quotes dropped.
std::optional<std::vector<std::string>> words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    if (text[i] == '"') {
      const auto close = text.find('"', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      out.emplace_back(text.substr(i, close + 1 - i));
      i = close + 1;
      continue;
    }
    const auto end = std::min(text.find_first_of(" \t", i), text.size());
    out.emplace_back(text.substr(i, end - i));
    i = end;
  }
  return out;
}

bool isQuoted(std::string_view word) { return word.size() >= 2 && word.front() == '"' && word.back() == '"'; }

// Hex digits of any even count (at least one byte).
std::optional<std::vector<std::uint8_t>> hexRun(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  return hexBytes(text, text.size() / 2);
}

std::optional<std::uint64_t> numberUpTo(std::string_view text, std::uint64_t largest) {
  const auto value = number(text);
  if (!value || *value > largest) return std::nullopt;
  return value;
}

Error badValue(const Setting& s, const std::string& expected) {
  return at(s.line, "bad value '" + s.value + "' for " + s.key + ": expected " + expected);
}

Error byteSetting(const Setting& s, std::uint8_t& out) {
  const auto value = number(s.value);
  if (!value || *value > 0xff) return badValue(s, "a number from 0 to 255");
  out = static_cast<std::uint8_t>(*value);
  return {};
}

Error textSetting(const Setting& s, std::size_t longest, std::string& out) {
  if (s.value.size() > longest) return badValue(s, "at most " + std::to_string(longest) + " characters");
  out = s.value;
  return {};
}

Error yesNoSetting(const Setting& s, bool& out) {
  if (s.value != "yes" && s.value != "no") return badValue(s, "yes or no");
  out = s.value == "yes";
  return {};
}

// One of two words; `out` is true for the second.
Error twoWaySetting(const Setting& s, const char* first, const char* second, bool& out) {
  if (s.value != first && s.value != second) return badValue(s, std::string(first) + " or " + second);
  out = s.value == second;
  return {};
}

template <typename T>
Error numberSetting(const Setting& s, std::uint64_t smallest, std::uint64_t largest, T& out) {
  const auto value = numberUpTo(s.value, largest);
  if (!value || *value < smallest) {
    return badValue(s, "a number from " + std::to_string(smallest) + " to " + std::to_string(largest));
  }
  out = static_cast<T>(*value);
  return {};
}

// "polls N", "ms N", "status N" and "stuck", in any order.
Error jobSetting(const Setting& s, JobBehaviour& out) {
  const std::string expected = "polls N, ms N, status N or stuck";
  const auto list = words(s.value);
  if (!list || list->empty()) return badValue(s, expected);
  JobBehaviour job;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const std::string& word = (*list)[i];
    if (word == "stuck") {
      job.stuckBusy = true;
      continue;
    }
    if (i + 1 == list->size()) return badValue(s, expected);
    const std::string& text = (*list)[++i];
    if (word == "polls") {
      const auto value = numberUpTo(text, 1'000'000);
      if (!value) return badValue(s, "polls from 0 to 1000000");
      job.busyPolls = static_cast<int>(*value);
    } else if (word == "ms") {
      const auto value = numberUpTo(text, 0xffffffff);
      if (!value) return badValue(s, "ms from 0 to 4294967295");
      job.busyMs = static_cast<std::uint32_t>(*value);
    } else if (word == "status") {
      const auto value = numberUpTo(text, 0xff);
      if (!value) return badValue(s, "a status from 0 to 255");
      job.finalStatus = static_cast<std::uint8_t>(*value);
    } else {
      return badValue(s, expected);
    }
  }
  out = job;
  return {};
}

// "ADDRESS reads VALUE" or "ADDRESS fails".
Error registerFaultSetting(const Setting& s, std::vector<RegisterFault>& out) {
  const std::string expected = "an address, then 'reads' and a byte, or 'fails'";
  const auto list = words(s.value);
  if (!list || list->size() < 2) return badValue(s, expected);
  const auto address = numberUpTo((*list)[0], 0xffffffff);
  if (!address) return badValue(s, expected);
  RegisterFault fault{.address = static_cast<std::uint32_t>(*address)};
  if (list->size() == 2 && (*list)[1] == "fails") {
    out.push_back(fault);
    return {};
  }
  const auto value = list->size() == 3 && (*list)[1] == "reads" ? numberUpTo((*list)[2], 0xff) : std::nullopt;
  if (!value) return badValue(s, expected);
  fault.readsAs = static_cast<std::uint8_t>(*value);
  out.push_back(fault);
  return {};
}

// Named numbers: "write N offset N mask N" and the like, every name once at most.
std::optional<std::map<std::string, std::uint64_t>> namedNumbers(std::string_view text,
                                                                 const std::map<std::string, std::uint64_t>& largest) {
  const auto list = words(text);
  if (!list || list->size() % 2 != 0) return std::nullopt;
  std::map<std::string, std::uint64_t> values;
  for (std::size_t i = 0; i < list->size(); i += 2) {
    const auto limit = largest.find((*list)[i]);
    if (limit == largest.end()) return std::nullopt;
    const auto value = numberUpTo((*list)[i + 1], limit->second);
    if (!value || !values.emplace((*list)[i], *value).second) return std::nullopt;
  }
  return values;
}

Error testMemoryFlipSetting(const Setting& s, std::optional<TestMemoryFlip>& out) {
  const auto values = namedNumbers(s.value, {{"write", 1'000'000}, {"offset", 32767}, {"mask", 0xff}});
  if (!values || !values->contains("write") || values->at("write") == 0) {
    return badValue(s, "write N (from 1), then optionally offset N and mask N");
  }
  TestMemoryFlip flip{.write = static_cast<int>(values->at("write"))};
  if (values->contains("offset")) flip.offset = static_cast<std::uint32_t>(values->at("offset"));
  if (values->contains("mask")) flip.mask = static_cast<std::uint8_t>(values->at("mask"));
  out = flip;
  return {};
}

// "LBA word N mask N"; word 0 and mask 1 when left out.
Error corruptionSetting(const Setting& s, std::vector<SectorCorruption>& out) {
  const std::string expected = "an LBA, then optionally word N (0 to 255) and mask N";
  const auto list = words(s.value);
  if (!list || list->empty()) return badValue(s, expected);
  const auto lba = number((*list)[0]);
  std::string rest;
  for (std::size_t i = 1; i < list->size(); ++i) rest += (*list)[i] + " ";
  const auto values = namedNumbers(rest, {{"word", 255}, {"mask", 0xffff}});
  if (!lba || !values) return badValue(s, expected);
  SectorCorruption corruption{.lba = *lba};
  if (values->contains("word")) corruption.word = static_cast<std::uint16_t>(values->at("word"));
  if (values->contains("mask")) corruption.mask = static_cast<std::uint16_t>(values->at("mask"));
  out.push_back(corruption);
  return {};
}

// "CHANNEL CE ID" with ten hex digits of ID.
Error flashIdAtSetting(const Setting& s, std::vector<FlashIdAt>& out) {
  const std::string expected = "a channel, a chip enable and ten hex digits";
  const auto list = words(s.value);
  if (!list || list->size() != 3) return badValue(s, expected);
  const auto channel = numberUpTo((*list)[0], 7);
  const auto chipEnable = numberUpTo((*list)[1], 0xff);
  const auto id = hexBytes((*list)[2], 5);
  if (!channel || !chipEnable || !id) return badValue(s, expected);
  FlashIdAt at{.channel = static_cast<std::uint8_t>(*channel), .chipEnable = static_cast<std::uint8_t>(*chipEnable)};
  std::copy(id->begin(), id->end(), at.id.begin());
  out.push_back(at);
  return {};
}

Error keySetting(const Setting& s, std::string& out) {
  if (s.value.size() == 4) {
    out = s.value;
    return {};
  }
  const auto bytes = s.value.size() > 2 && s.value.starts_with("0x") ? hexBytes(s.value.substr(2), 4) : std::nullopt;
  if (!bytes) return badValue(s, "four characters, or 0x and eight hex digits");
  out.assign(bytes->begin(), bytes->end());
  return {};
}

// Numbers of 16 bits, at least `fewest` and at most `most` of them.
std::optional<std::vector<std::uint16_t>> wordList(std::string_view text, std::size_t fewest, std::size_t most) {
  const auto list = words(text);
  if (!list || list->size() < fewest || list->size() > most) return std::nullopt;
  std::vector<std::uint16_t> values;
  for (const std::string& word : *list) {
    const auto value = numberUpTo(word, 0xffff);
    if (!value) return std::nullopt;
    values.push_back(static_cast<std::uint16_t>(*value));
  }
  return values;
}

// The keys of the configuration page and the loader header; nothing for another key.
std::optional<Error> configPageSetting(const Setting& s, DriveConfig& config) {
  const std::string& k = s.key;
  if (k == "usbvid") return numberSetting(s, 0, 0xffff, config.usbVendorId);
  if (k == "usbpid") return numberSetting(s, 0, 0xffff, config.usbProductId);
  if (k == "usbmanufacturer") return textSetting(s, 16, config.usbManufacturer);
  if (k == "usbproduct") return textSetting(s, 24, config.usbProduct);
  if (k == "partname") return textSetting(s, 31, config.flashPartName);
  if (k == "ecc") {
    if (s.value != "bch16" && s.value != "bch24") return badValue(s, "bch16 or bch24");
    config.bch24 = s.value == "bch24";
    return Error{};
  }
  if (k == "extramode") return yesNoSetting(s, config.flashExtraMode);
  if (k == "drvcurrent") return numberSetting(s, 0, 5, config.drvCurrent);
  if (k == "respercentage") return numberSetting(s, 0, 1000, config.resPercentage);
  if (k == "readthreshold") return byteSetting(s, config.readErrorThreshold);
  if (k == "copythreshold") return byteSetting(s, config.eccCopyThreshold);
  if (k == "wearlevel") return byteSetting(s, config.wearLevelFrequency);
  if (k == "securitycounter") return byteSetting(s, config.securityCounter);
  if (k == "optionsa") return byteSetting(s, config.optionBitsA);
  if (k == "optionsb") return byteSetting(s, config.optionBitsB);
  if (k == "featurebyte") return byteSetting(s, config.featureByte);
  if (k == "regset2") {
    const auto bytes = hexBytes(s.value, config.registerSet2.size());
    if (!bytes) return badValue(s, "fourteen hex digits");
    std::copy(bytes->begin(), bytes->end(), config.registerSet2.begin());
    return Error{};
  }
  if (k == "layoutwords") {
    const auto values = wordList(s.value, 4, 4);
    if (!values) return badValue(s, "four numbers from 0 to 65535");
    std::copy(values->begin(), values->end(), config.layoutWords.begin());
    return Error{};
  }
  if (k == "loaderheader") return yesNoSetting(s, config.loaderHeader);
  if (k == "loaderfiles") {
    const auto values = wordList(s.value, 1, 8);
    if (!values) return badValue(s, "one to eight page counts");
    config.loaderFilePages = *values;
    return Error{};
  }
  return std::nullopt;
}

// "CHANNEL BANK BLOCK", and for a grown bad block its TYPE (1, 3, 4 or 5).
Error badBlockSetting(const Setting& s, bool grown, std::vector<BadBlock>& out) {
  const std::string expected =
      grown ? "a channel, a bank index, a block and a type (1, 3, 4 or 5)" : "a channel, a bank index and a block";
  const auto list = words(s.value);
  if (!list || list->size() != (grown ? 4u : 3u)) return badValue(s, expected);
  const auto channel = numberUpTo((*list)[0], 7);
  const auto bank = numberUpTo((*list)[1], 0xff);
  const auto block = numberUpTo((*list)[2], 0xffff);
  const auto type = grown ? numberUpTo((*list)[3], 5) : std::optional<std::uint64_t>{0};
  const bool typeOk = type && (!grown || *type == 1 || *type == 3 || *type == 4 || *type == 5);
  if (!channel || !bank || !block || !typeOk) return badValue(s, expected);
  out.push_back({.channel = static_cast<std::uint8_t>(*channel),
                 .bank = static_cast<std::uint8_t>(*bank),
                 .block = static_cast<std::uint16_t>(*block),
                 .type = static_cast<std::uint8_t>(*type)});
  return {};
}

// "defect|earlybad|remap|system|later CHANNEL".
Error tableDamageSetting(const Setting& s, std::vector<TableDamage>& out) {
  static constexpr std::pair<std::string_view, TablePage> kPages[] = {{"defect", TablePage::Defect},
                                                                      {"earlybad", TablePage::EarlyBad},
                                                                      {"remap", TablePage::Remap},
                                                                      {"system", TablePage::System},
                                                                      {"later", TablePage::Later}};
  const std::string expected = "defect, earlybad, remap, system or later, then a channel";
  const auto list = words(s.value);
  if (!list || list->size() != 2) return badValue(s, expected);
  const auto page = std::find_if(std::begin(kPages), std::end(kPages),
                                 [&](const auto& p) { return p.first == (*list)[0]; });
  const auto channel = numberUpTo((*list)[1], 7);
  if (page == std::end(kPages) || !channel) return badValue(s, expected);
  out.push_back({.page = page->second, .channel = static_cast<std::uint8_t>(*channel)});
  return {};
}

// The keys of the bad blocks, the preformat's tables and the loader list;
// nothing for another key.
std::optional<Error> badBlockTableSetting(const Setting& s, DriveConfig& config) {
  const std::string& k = s.key;
  if (k == "factorybad") return badBlockSetting(s, false, config.factoryBadBlocks);
  if (k == "laterbad") return badBlockSetting(s, true, config.laterBadBlocks);
  if (k == "tables") return twoWaySetting(s, "none", "built", config.tablesBuilt);
  if (k == "laterunits") {
    const auto values = wordList(s.value, 2, 2);
    if (!values) return badValue(s, "two units from 0 to 65535");
    std::copy(values->begin(), values->end(), config.laterTableUnits.begin());
    return Error{};
  }
  if (k == "preformatlimit") return numberSetting(s, 0, 0xffff, config.preformatBadBlockLimit.emplace());
  if (k == "tabledamage") return tableDamageSetting(s, config.damagedTables);
  if (k == "loaderblocks") {
    const auto values = wordList(s.value, 0, 8);
    if (!values) return badValue(s, "up to eight block numbers");
    config.loaderBlocks = *values;
    return Error{};
  }
  if (k == "loaderlist") return twoWaySetting(s, "answers", "fails", config.loaderListFails);
  return std::nullopt;
}

// "STEP CHANNEL BANK CODE", then optionally "commands N".
Error flashTestFaultSetting(const Setting& s, std::vector<FlashTestFault>& out) {
  const std::string expected = "a step (1 to 3), a channel, a bank and a code (1 to 11), then optionally commands N";
  const auto list = words(s.value);
  if (!list || (list->size() != 4 && list->size() != 6)) return badValue(s, expected);
  const auto step = numberUpTo((*list)[0], 3);
  const auto channel = numberUpTo((*list)[1], 0xff);
  const auto bank = numberUpTo((*list)[2], 0xff);
  const auto code = numberUpTo((*list)[3], 11);
  std::optional<std::uint64_t> commands{0};
  if (list->size() == 6) commands = (*list)[4] == "commands" ? numberUpTo((*list)[5], 1'000'000) : std::nullopt;
  if (!step || *step == 0 || !channel || !bank || !code || *code == 0 || !commands) return badValue(s, expected);
  out.push_back({.step = static_cast<std::uint8_t>(*step),
                 .commands = static_cast<int>(*commands),
                 .channel = static_cast<std::uint8_t>(*channel),
                 .bank = static_cast<std::uint8_t>(*bank),
                 .code = static_cast<std::uint8_t>(*code)});
  return {};
}

// "ADDRESS stuck VALUE".
Error dramCellSetting(const Setting& s, std::vector<DramCellFault>& out) {
  const std::string expected = "an address, then 'stuck' and a byte";
  const auto list = words(s.value);
  if (!list || list->size() != 3 || (*list)[1] != "stuck") return badValue(s, expected);
  const auto address = numberUpTo((*list)[0], 0xffffffff);
  const auto value = numberUpTo((*list)[2], 0xff);
  if (!address || !value) return badValue(s, expected);
  out.push_back({.address = static_cast<std::uint32_t>(*address), .stuckAt = static_cast<std::uint8_t>(*value)});
  return {};
}

// The keys of the test RAM code's flash interface steps and DRAM check;
// nothing for another key.
std::optional<Error> testRamCodeSetting(const Setting& s, DriveConfig& config) {
  if (s.key == "flashtestfault") return flashTestFaultSetting(s, config.flashTestFaults);
  if (s.key == "dramcell") return dramCellSetting(s, config.dramCellFaults);
  return std::nullopt;
}

// The keys of the user data as a block device and of its volume; nothing for another key.
std::optional<Error> blockDeviceSetting(const Setting& s, DriveConfig& config) {
  if (s.key == "image") {
    if (s.value.empty()) return badValue(s, "a file name");
    config.imageFile = s.value;
    return Error{};
  }
  if (s.key == "systemdisk") return yesNoSetting(s, config.systemDisk);
  if (s.key == "rescan") return twoWaySetting(s, "answers", "busy", config.rescanBusy);
  if (s.key == "volumelock") return twoWaySetting(s, "holds", "fails", config.volumeLockFails);
  if (s.key == "volumeappears") {
    if (s.value == "never") {
      config.volumeNeverAppears = true;
      return Error{};
    }
    return numberSetting(s, 0, 1'000'000, config.volumeAppearsAfter);
  }
  return std::nullopt;
}

// The front end and, for a bridge, the chip decide the defaults the other keys override.
Error baseConfig(const Section& section, DriveConfig& config) {
  const Setting* path = section.find("path");
  const Setting* frontEnd = section.find("frontend");
  if (!path || path->value.empty()) return at(section.line, "[drive] section without a path");
  if (!frontEnd) return at(section.line, "[drive] section without a frontend");
  const Setting* chip = section.find("chip");
  if (frontEnd->value == "own-usb") {
    config = DriveConfig::ownUsb(path->value);
  } else if (frontEnd->value == "sata") {
    config = DriveConfig::sataPort(path->value);
  } else if (frontEnd->value == "bridge") {
    if (!chip) return at(section.line, "bridge without a chip type");
    std::uint8_t type = 0;
    if (Error e = byteSetting(*chip, type); !e.empty()) return e;
    config = DriveConfig::bridge(path->value, type, DriveConfig::keyOfChipType(type));
    return {};
  } else {
    return badValue(*frontEnd, "own-usb, bridge or sata");
  }
  if (chip) return at(chip->line, "chip applies to a bridge only");
  return {};
}

Error apply(const Setting& s, DriveConfig& config) {
  const std::string& k = s.key;
  if (k == "path" || k == "frontend" || k == "chip") return {};
  if (k == "key") return keySetting(s, config.bridgeKey);
  if (k == "udma") {
    if (config.frontEnd != FrontEnd::Bridge) return at(s.line, "udma applies to a bridge only");
    return yesNoSetting(s, config.bridgeCarriesUdma);
  }
  if (k == "vendor") return textSetting(s, 8, config.inquiryVendor);
  if (k == "product") return textSetting(s, 16, config.inquiryProduct);
  if (k == "revision") return textSetting(s, 4, config.inquiryRevision);
  if (k == "model") return textSetting(s, 40, config.model);
  if (k == "serial") return textSetting(s, 20, config.serial);
  if (k == "firmware") return textSetting(s, 8, config.firmwareRevision);
  if (k == "temperature") return byteSetting(s, config.temperature);
  if (k == "sectors") {
    const auto value = number(s.value);
    if (!value || *value == 0 || *value > (std::uint64_t{1} << 48)) return badValue(s, "a sector count from 1 to 2^48");
    config.sectorCount = *value;
    return {};
  }
  if (k == "state") {
    if (s.value != "firmware" && s.value != "loader") return badValue(s, "firmware or loader");
    config.runState = s.value == "firmware" ? RunState::Firmware : RunState::Loader;
    return {};
  }
  if (k == "loadermodel") return textSetting(s, 40, config.loaderModel);
  if (k == "identify60") return numberSetting(s, 0, 0xffffffff, config.identifyLba28Sectors.emplace());
  if (k == "identify100") return numberSetting(s, 0, std::uint64_t{1} << 48, config.identifyLba48Sectors.emplace());
  if (k == "datecode") {
    if (s.value.size() != 6) return badValue(s, "six characters");
    config.firmwareDateCode = s.value;
    return {};
  }
  if (k == "unresponsive") return numberSetting(s, 0, 0xffffffff, config.unresponsiveMs);
  if (k == "sequence") return numberSetting(s, 0, 0xffff, config.headerSequence);
  if (k == "busypolls") return numberSetting(s, 0, 1'000'000, config.busyPolls);
  if (k == "op1") return jobSetting(s, config.jobs[Job::Operation1]);
  if (k == "op2") return jobSetting(s, config.jobs[Job::Operation2]);
  if (k == "op3") return jobSetting(s, config.jobs[Job::Operation3]);
  if (k == "op4") return jobSetting(s, config.jobs[Job::Operation4]);
  if (k == "dram") return jobSetting(s, config.jobs[Job::DramCheck]);
  if (k == "registerfault") return registerFaultSetting(s, config.registerFaults);
  if (k == "testmemoryflip") return testMemoryFlipSetting(s, config.testMemoryFlip);
  if (k == "flashtype") {
    std::uint16_t word = 0;
    if (Error e = numberSetting(s, 0, 0xffff, word); !e.empty()) return e;
    if (!decodeFlashTypeWord(word)) return badValue(s, "a type word whose page, block and sector indices are defined");
    config.flashTypeWord = word;
    return {};
  }
  if (k == "channels") return numberSetting(s, 1, 8, config.flashChannels);
  if (k == "banks") return numberSetting(s, 1, 8, config.flashBanks);
  if (k == "ces") return numberSetting(s, 1, 4, config.flashChipEnables);
  if (k == "flashidat") return flashIdAtSetting(s, config.flashIdsAt);
  if (k == "lbareaderror") return numberSetting(s, 0, std::uint64_t{1} << 48, config.lbaReadErrors.emplace_back());
  if (k == "lbawriteerror") return numberSetting(s, 0, std::uint64_t{1} << 48, config.lbaWriteErrors.emplace_back());
  if (k == "lbacorrupt") return corruptionSetting(s, config.corruptedSectors);
  if (k == "loaderinquiry") {
    if (config.frontEnd != FrontEnd::OwnUsb) return at(s.line, "loaderinquiry applies to own-usb only");
    return textSetting(s, 24, config.usbLoaderInquiry);
  }
  if (k == "smarttemperature") return yesNoSetting(s, config.smartTemperatureAttribute);
  if (k == "reenumeration") return numberSetting(s, 0, 1000, config.reenumerationAttempts);
  if (k == "stuckinloader") return yesNoSetting(s, config.stuckInLoader);
  if (k == "bus") {
    if (s.value != "scsi" && s.value != "sbp2") return badValue(s, "scsi or sbp2");
    config.hostBus = s.value == "scsi" ? HostBus::Scsi : HostBus::Sbp2;
    return {};
  }
  if (k == "volume") return textSetting(s, 255, config.volumeTag);
  if (k == "rotation") return numberSetting(s, 0, 0xffff, config.rotationRate);
  if (k == "vendormode") return twoWaySetting(s, "accepts", "refuses", config.refusesVendorMode);
  if (k == "signature") return twoWaySetting(s, "own", "foreign", config.foreignSignature);
  if (k == "identify") return twoWaySetting(s, "answers", "fails", config.identifyFails);
  if (auto e = configPageSetting(s, config)) return *e;
  if (auto e = badBlockTableSetting(s, config)) return *e;
  if (auto e = testRamCodeSetting(s, config)) return *e;
  if (auto e = blockDeviceSetting(s, config)) return *e;
  if (k == "flashpage" || k == "shortreply") return {};  // once the drive stands: applyFlashPage, applyShortReply
  // flashid, the last key readSections lets through.
  const auto bytes = hexBytes(s.value, config.flashId.size());
  if (!bytes) return badValue(s, "ten hex digits");
  std::copy(bytes->begin(), bytes->end(), config.flashId.begin());
  return {};
}

// "CHANNEL|all CE BLOCK PAGE OFFSET DATA": DATA is hex digits or a quoted
// text; "all" puts it on every channel the drive has.
Error applyFlashPage(const Setting& s, Drive& drive) {
  const std::string expected = "a channel or all, a chip enable, block, page, offset, then hex digits or a quoted text";
  const auto list = words(s.value);
  if (!list || list->size() != 6) return badValue(s, expected);
  const auto& w = *list;
  const auto chipEnable = numberUpTo(w[1], 0xff);
  const auto block = numberUpTo(w[2], 0xffff);
  const auto page = numberUpTo(w[3], 0xffff);
  const auto offset = numberUpTo(w[4], 0xffff);
  std::optional<std::vector<std::uint8_t>> data;
  if (isQuoted(w[5])) {
    data.emplace(w[5].begin() + 1, w[5].end() - 1);
  } else {
    data = hexRun(w[5]);
  }
  std::vector<std::uint8_t> channels;
  if (w[0] == "all") {
    for (std::uint8_t c = 0; c < drive.config().flashChannels; ++c) channels.push_back(c);
  } else if (const auto channel = numberUpTo(w[0], 7)) {
    channels.push_back(static_cast<std::uint8_t>(*channel));
  }
  if (channels.empty() || !chipEnable || !block || !page || !offset || !data || data->empty()) {
    return badValue(s, expected);
  }
  for (const std::uint8_t channel : channels) {
    if (!drive.putFlashBytes(channel, static_cast<std::uint8_t>(*chipEnable), static_cast<std::uint16_t>(*block),
                             static_cast<std::uint16_t>(*page), *offset, *data)) {
      return at(s.line, "flashpage: no chip at channel " + std::to_string(channel) + " ce " +
                            std::to_string(*chipEnable) + ", or the bytes lie beyond the flash page");
    }
  }
  return {};
}

// "scsi|ata|subop CODE BYTES": every data-in command of that SCSI opcode, ATA
// command or vendor sub-op answers GOOD with only BYTES of its reply.
Error applyShortReply(const Setting& s, Drive& drive) {
  const std::string expected = "scsi, ata or subop, a code byte, then the bytes that arrive";
  const auto list = words(s.value);
  if (!list || list->size() != 3) return badValue(s, expected);
  const auto& w = *list;
  const auto code = numberUpTo(w[1], 0xff);
  const auto bytes = numberUpTo(w[2], 0xffffffff);
  if (!code || !bytes) return badValue(s, expected);
  FaultRule rule;
  rule.kind = FaultKind::ShortReply;
  rule.times = -1;
  rule.replyBytes = static_cast<std::size_t>(*bytes);
  const auto byte = static_cast<std::uint8_t>(*code);
  if (w[0] == "scsi") {
    rule.match.scsiOpcode = byte;
  } else if (w[0] == "ata") {
    rule.match.ataCommand = byte;
  } else if (w[0] == "subop") {
    rule.match.subOp = byte;
  } else {
    return badValue(s, expected);
  }
  drive.injectFault(rule);
  return {};
}

// The keys that act on the drive once it stands.
Error applyToDrive(const Setting& s, Drive& drive) {
  if (s.key == "flashpage") return applyFlashPage(s, drive);
  if (s.key == "shortreply") return applyShortReply(s, drive);
  return {};
}

}  // namespace

ScenarioLoad parseScenario(std::string_view text) {
  std::vector<Section> sections;
  if (Error e = readSections(text, sections); !e.empty()) return {nullptr, e};

  std::vector<DriveConfig> configs;
  std::vector<const Section*> ofConfig;
  std::set<std::string> paths;
  std::vector<detail::TextSection> topology;
  for (const Section& section : sections) {
    if (section.kind != "drive") {
      detail::TextSection& tree = topology.emplace_back(detail::TextSection{section.kind, section.line, {}});
      for (const Setting& s : section.settings) tree.settings.push_back({s.key, s.value, s.line});
      continue;
    }
    DriveConfig config;
    if (Error e = baseConfig(section, config); !e.empty()) return {nullptr, e};
    for (const Setting& setting : section.settings) {
      if (Error e = apply(setting, config); !e.empty()) return {nullptr, e};
    }
    if (!paths.insert(config.path).second) {
      return {nullptr, at(section.find("path")->line, "path '" + config.path + "' given to two drives")};
    }
    configs.push_back(std::move(config));
    ofConfig.push_back(&section);
  }
  auto line = std::make_shared<Line>();
  for (std::size_t i = 0; i < configs.size(); ++i) {
    Drive& drive = line->addDrive(std::move(configs[i]));
    for (const Setting& setting : ofConfig[i]->settings) {
      if (Error e = applyToDrive(setting, drive); !e.empty()) return {nullptr, e};
    }
  }
  if (Error e = detail::readTopology(topology, *line); !e.empty()) return {nullptr, e};
  return {line, {}};
}

ScenarioLoad loadScenario(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {nullptr, file.string() + ": cannot be read"};
  std::ostringstream text;
  text << in.rdbuf();
  ScenarioLoad load = parseScenario(text.str());
  if (!load.line) load.error = file.string() + " " + load.error;
  return load;
}

ScenarioLoad installFromEnvironment() {
  const char* file = std::getenv("TOLVANE_SIM");
  if (file == nullptr || *file == '\0') return {};
  ScenarioLoad load = loadScenario(file);
  if (load.line) installLine(load.line);
  return load;
}

}  // namespace drivesim
