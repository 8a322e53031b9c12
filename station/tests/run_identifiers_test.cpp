// The numbers a run hands out: ascending slots, decimal and hexadecimal
// advance, the gates that stop it, barcodes, and reused serials that never
// give one number to two drives.

#include "station/run_identifiers.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace fleetburn {
namespace {

class Identifiers : public ::testing::Test {
 protected:
  std::vector<PortIdentifiers> Assign(const std::vector<int>& ports) {
    return AssignIdentifiers(ports, rules, serial, uid, barcodeSerials, barcodeUids, reuse);
  }
  static std::vector<std::string> Serials(const std::vector<PortIdentifiers>& ids) {
    std::vector<std::string> out;
    for (const PortIdentifiers& id : ids) out.push_back(id.serialNumber);
    return out;
  }
  static std::vector<std::string> Uids(const std::vector<PortIdentifiers>& ids) {
    std::vector<std::string> out;
    for (const PortIdentifiers& id : ids) out.push_back(id.uniqueId);
    return out;
  }

  IdentifierRules rules{.snAutoInc = true, .uidAutoInc = true, .uidDecimal = false, .downloadEnabled = true};
  devlib::FixedText<22> serial{"000009"};
  devlib::FixedText<12> uid{"0000000A"};
  std::array<devlib::FixedText<40>, kPortSlots> barcodeSerials{};
  std::array<devlib::FixedText<18>, kPortSlots> barcodeUids{};
  std::deque<std::string> reuse;
};

TEST_F(Identifiers, AscendingSlotsTakeAdvancingNumbers) {
  const std::vector<PortIdentifiers> ids = Assign({2, 5, 9});
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids[0].port, 2);
  EXPECT_EQ(ids[2].port, 9);
  EXPECT_EQ(Serials(ids), (std::vector<std::string>{"000009", "000010", "000011"}));
  EXPECT_EQ(serial.view(), "000012") << "the next number, shown after the run";
  EXPECT_EQ(Uids(ids), (std::vector<std::string>{"0000000A", "0000000B", "0000000C"})) << "hexadecimal";
}

TEST_F(Identifiers, HexadecimalSerialsCarry) {
  rules.snDecimal = false;
  serial.assign("ABF");
  EXPECT_EQ(Serials(Assign({0, 1})), (std::vector<std::string>{"ABF", "AC0"}));
  EXPECT_EQ(serial.view(), "AC1");
}

TEST_F(Identifiers, NothingAdvancesInAClaimNewRunWithoutDownloadOrWithoutAutoIncrement) {
  struct Case {
    const char* name;
    bool claimNew, download, snInc;
  };
  const Case cases[] = {{"claim-new", true, true, true}, {"no download", false, false, true},
                        {"no auto-increment", false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    serial.assign("000009");
    rules.claimNew = c.claimNew;
    rules.downloadEnabled = c.download;
    rules.snAutoInc = c.snInc;
    EXPECT_EQ(Serials(Assign({0, 1})), (std::vector<std::string>{"000009", "000009"}));
    EXPECT_EQ(serial.view(), "000009");
  }
}

// Barcodes: a port with an entry takes it and the current serial stays; the
// unique IDs advance by their own box, whatever the serial barcodes do.
TEST_F(Identifiers, BarcodeEntriesAreTakenAndLeaveTheCounterAlone) {
  rules.barcodeSerials = true;
  barcodeSerials[0].assign("BC-0001");
  barcodeSerials[1].assign("BC-0002");
  const std::vector<PortIdentifiers> ids = Assign({0, 1});
  EXPECT_EQ(Serials(ids), (std::vector<std::string>{"BC-0001", "BC-0002"}));
  EXPECT_EQ(serial.view(), "000009");
  EXPECT_EQ(Uids(ids), (std::vector<std::string>{"0000000A", "0000000B"})) << "no two drives get one WWN";

  rules.barcodeUids = true;
  barcodeUids[1].assign("5000AAAA");
  EXPECT_EQ(Uids(Assign({0, 1})), (std::vector<std::string>{"0000000C", "5000AAAA"}));
  EXPECT_EQ(uid.view(), "0000000D");
}

TEST_F(Identifiers, ReusedSerialsGoFirstAndNeverMoveTheCounter) {
  rules.reuseSerials = true;
  reuse = {"000003", "000005"};
  EXPECT_EQ(Serials(Assign({0, 1, 2, 3})), (std::vector<std::string>{"000003", "000005", "000009", "000010"}));
  EXPECT_TRUE(reuse.empty());
  EXPECT_EQ(serial.view(), "000011");

  reuse = {"000004"};
  rules.claimNew = true;
  EXPECT_EQ(Serials(Assign({0})), (std::vector<std::string>{"000011"})) << "a claim-new run reuses nothing";
  EXPECT_EQ(reuse.size(), 1u);
}

// Runs with random download failures whose serials come back for reuse: a
// number goes out again only after the drive that had it failed, and no
// number is ever held by two passing drives.
TEST_F(Identifiers, NoNumberIsHandedOutTwiceAcrossRuns) {
  rules.reuseSerials = true;
  std::mt19937 random(7);
  std::map<std::string, int> passed;
  std::set<std::string> failedOut;
  for (int run = 0; run < 40; ++run) {
    std::vector<int> ports;
    for (int port = 0; port < 8; ++port) {
      if (random() % 3 != 0) ports.push_back(port);
    }
    std::deque<std::string> failed;
    for (const PortIdentifiers& id : Assign(ports)) {
      if (failedOut.erase(id.serialNumber) == 0) {
        EXPECT_EQ(passed.count(id.serialNumber), 0u) << id.serialNumber << " again in run " << run;
      }
      if (random() % 4 == 0) {
        failed.push_back(id.serialNumber);
        failedOut.insert(id.serialNumber);
      } else {
        EXPECT_EQ(++passed[id.serialNumber], 1) << id.serialNumber;
      }
    }
    // The run's failures go first, then what this run did not take.
    failed.insert(failed.end(), reuse.begin(), reuse.end());
    reuse = failed;
  }
  EXPECT_GT(passed.size(), 100u);
}

}  // namespace
}  // namespace fleetburn
