#include "drivesim/scenario.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "platform/storage.h"

namespace drivesim {
namespace {

struct Setting {
  std::string key, value;
  int line = 0;
};

struct Section {
  int line = 0;
  std::vector<Setting> settings;

  const Setting* find(std::string_view key) const {
    const auto found = std::find_if(settings.begin(), settings.end(), [key](const Setting& s) { return s.key == key; });
    return found == settings.end() ? nullptr : &*found;
  }
};

// Thrown nowhere: every step answers an error text, empty on success.
using Error = std::string;

constexpr std::string_view kKeys[] = {"path",   "frontend", "chip",   "key",      "udma",  "vendor",
                                      "product", "revision", "sectors", "model",   "serial", "firmware",
                                      "state",  "flashid",  "temperature"};

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
      if (raw != "[drive]") return at(line, "unknown section " + std::string(raw));
      sections.push_back({line, {}});
      continue;
    }
    const auto equals = raw.find('=');
    if (equals == std::string_view::npos) return at(line, "expected key = value, found '" + std::string(raw) + "'");
    const std::string key(trimmed(raw.substr(0, equals)));
    const std::string value(trimmed(raw.substr(equals + 1)));
    if (sections.empty()) return at(line, "'" + key + "' outside a [drive] section");
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
      return at(line, "unknown key '" + key + "'");
    }
    if (sections.back().find(key)) return at(line, "key '" + key + "' given twice in one [drive] section");
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
  // flashid, the last key readSections lets through.
  const auto bytes = hexBytes(s.value, config.flashId.size());
  if (!bytes) return badValue(s, "ten hex digits");
  std::copy(bytes->begin(), bytes->end(), config.flashId.begin());
  return {};
}

}  // namespace

ScenarioLoad parseScenario(std::string_view text) {
  std::vector<Section> sections;
  if (Error e = readSections(text, sections); !e.empty()) return {nullptr, e};

  std::vector<DriveConfig> configs;
  std::set<std::string> paths;
  for (const Section& section : sections) {
    DriveConfig config;
    if (Error e = baseConfig(section, config); !e.empty()) return {nullptr, e};
    for (const Setting& setting : section.settings) {
      if (Error e = apply(setting, config); !e.empty()) return {nullptr, e};
    }
    if (!paths.insert(config.path).second) {
      return {nullptr, at(section.find("path")->line, "path '" + config.path + "' given to two drives")};
    }
    configs.push_back(std::move(config));
  }
  auto line = std::make_shared<Line>();
  for (auto& config : configs) line->addDrive(std::move(config));
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
  if (load.line) platform::storage::installBackend(load.line);
  return load;
}

}  // namespace drivesim
