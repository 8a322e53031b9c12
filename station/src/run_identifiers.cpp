#include "station/run_identifiers.h"

#include "devlib/device_helpers.h"

namespace fleetburn {

namespace {

template <std::size_t N>
void Advance(devlib::FixedText<N>& number, bool decimal) {
  std::span<char> text(number.data(), devlib::FixedText<N>::kCapacity);
  if (decimal) {
    devlib::IncrementDecimalSerial(text);
  } else {
    devlib::IncrementHexSerial(text);
  }
}

}  // namespace

std::vector<PortIdentifiers> AssignIdentifiers(const std::vector<int>& activePorts, const IdentifierRules& rules,
                                               devlib::FixedText<22>& currentSerial, devlib::FixedText<12>& currentUid,
                                               const std::array<devlib::FixedText<40>, kPortSlots>& barcodeSerials,
                                               const std::array<devlib::FixedText<18>, kPortSlots>& barcodeUids,
                                               std::deque<std::string>& reuse) {
  const bool advancing = !rules.claimNew && rules.downloadEnabled;
  std::vector<PortIdentifiers> assigned;
  for (const int port : activePorts) {
    if (port < 0 || port >= static_cast<int>(kPortSlots)) continue;
    const auto slot = static_cast<std::size_t>(port);
    PortIdentifiers ids{port, {}, {}};
    if (rules.barcodeSerials && !barcodeSerials[slot].empty()) {
      ids.serialNumber = barcodeSerials[slot].str();
    } else if (rules.reuseSerials && advancing && !reuse.empty()) {
      ids.serialNumber = reuse.front();
      reuse.pop_front();
    } else {
      ids.serialNumber = currentSerial.str();
      if (rules.snAutoInc && advancing) Advance(currentSerial, rules.snDecimal);
    }
    if (rules.barcodeUids && !barcodeUids[slot].empty()) {
      ids.uniqueId = barcodeUids[slot].str();
    } else {
      ids.uniqueId = currentUid.str();
      if (rules.uidAutoInc && advancing) Advance(currentUid, rules.uidDecimal);
    }
    assigned.push_back(std::move(ids));
  }
  return assigned;
}

}  // namespace fleetburn
