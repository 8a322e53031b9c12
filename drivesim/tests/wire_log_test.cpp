#include "drivesim/wire_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace drivesim {
namespace {

WireEntry payloadOf(std::size_t bytes, std::uint8_t tag) {
  WireEntry entry;
  entry.command = {tag};
  entry.direction = platform::storage::Direction::Out;
  entry.length = bytes;
  entry.dataOut.assign(bytes, tag);
  return entry;
}

TEST(WireLog, OldestEntriesLetGoOfTheirPayloadPastTheDataBound) {
  WireLog log;
  constexpr std::size_t kChunk = 64 * 1024;
  const std::size_t writes = WireLog::kMaxDataOutBytes / kChunk * 3;  // an erase three times the bound
  for (std::size_t i = 0; i < writes; ++i) log.record(payloadOf(kChunk, static_cast<std::uint8_t>(i)));

  const auto kept = log.entries();
  ASSERT_EQ(kept.size(), writes) << "every command stays";
  const std::size_t withPayload = WireLog::kMaxDataOutBytes / kChunk;
  for (std::size_t i = 0; i < writes; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(kept[i].length, kChunk);
    EXPECT_EQ(kept[i].dataOut.size(), i < writes - withPayload ? 0 : kChunk);
  }
  EXPECT_EQ(kept.back().dataOut, std::vector<std::uint8_t>(kChunk, static_cast<std::uint8_t>(writes - 1)));

  // After a clear the bound counts afresh.
  log.clear();
  log.record(payloadOf(kChunk, 1));
  EXPECT_EQ(log.entries().at(0).dataOut.size(), kChunk);
}

TEST(WireLog, KeepsTheNewestEntriesWithinItsCountBound) {
  WireLog log;
  for (std::size_t i = 0; i < WireLog::kMaxEntries + 10; ++i) log.record(payloadOf(0, static_cast<std::uint8_t>(i)));
  const auto kept = log.entries();
  ASSERT_EQ(kept.size(), WireLog::kMaxEntries);
  EXPECT_EQ(kept.front().command[0], static_cast<std::uint8_t>(10));

  // A note for an entry that has gone is dropped; the newest still takes one.
  const std::uint64_t newest = log.record(payloadOf(0, 0xEE));
  log.annotate(0, "gone");
  log.annotate(newest, "newest");
  EXPECT_EQ(log.entries().back().note, "newest");
  EXPECT_TRUE(log.entries().front().note.empty());
}

TEST(WireLog, AnOversizedSingleEntryIsStillKept) {
  WireLog log;
  log.record(payloadOf(WireLog::kMaxDataOutBytes + 1, 7));
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].dataOut.size(), WireLog::kMaxDataOutBytes + 1);
}

}  // namespace
}  // namespace drivesim
