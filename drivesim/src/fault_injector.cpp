#include "fault_injector.h"

namespace drivesim::detail {
namespace {

bool applies(FaultKind kind, const CommandKey* key) {
  if (key == nullptr) return kind == FaultKind::OpenFailure;
  switch (kind) {
    case FaultKind::OpenFailure: return false;
    case FaultKind::CheckCondition: return key->scsi;
    case FaultKind::AtaError: return key->ataCommand.has_value();
    case FaultKind::BadSignature:
    case FaultKind::ShortReply:
    case FaultKind::ZeroReply: return key->dataIn;
    default: return true;
  }
}

template <typename T>
bool fieldMatches(const std::optional<T>& wanted, const std::optional<T>& actual) {
  return !wanted || wanted == actual;
}

bool matches(const FaultMatch& match, const CommandKey* key) {
  if (key == nullptr) {
    return !match.scsiOpcode && !match.ataCommand && !match.subOp && !match.phase && !match.block && !match.page;
  }
  return fieldMatches(match.scsiOpcode, key->scsiOpcode) && fieldMatches(match.ataCommand, key->ataCommand) &&
         fieldMatches(match.subOp, key->subOp) && fieldMatches(match.phase, key->phase) &&
         fieldMatches(match.block, key->block) && fieldMatches(match.page, key->page);
}

}  // namespace

void addFlashAddress(CommandKey& key, std::span<const std::uint8_t> vendorBlock) {
  if (vendorBlock.size() < 9) return;
  const std::uint8_t subOp = vendorBlock[2];
  if (subOp != 0x89 && subOp != 0x8a && subOp != 0x8b) return;
  key.block = static_cast<std::uint16_t>(vendorBlock[5] << 8 | vendorBlock[6]);
  if (subOp != 0x8b) key.page = static_cast<std::uint16_t>(vendorBlock[7] << 8 | vendorBlock[8]);
}

std::optional<FaultRule> FaultInjector::takeForOpen() { return takeFirst(nullptr); }

std::optional<FaultRule> FaultInjector::take(const CommandKey& key) { return takeFirst(&key); }

std::optional<FaultRule> FaultInjector::takeFirst(const CommandKey* key) {
  for (auto& armed : rules_) {
    const bool spent = armed.rule.times >= 0 && armed.fired >= armed.rule.times;
    if (spent || !applies(armed.rule.kind, key) || !matches(armed.rule.match, key)) continue;
    if (++armed.seen <= armed.rule.skip) continue;
    ++armed.fired;
    return armed.rule;
  }
  return std::nullopt;
}

}  // namespace drivesim::detail
