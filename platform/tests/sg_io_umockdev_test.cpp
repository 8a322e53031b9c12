// The real backend, real ::ioctl included, against an emulated SCSI generic
// node in a umockdev test bed. Runs under umockdev-wrapper, whose preload
// routes the node's open and ioctl calls to the handler below.

#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "platform/sg_io.h"

namespace platform::storage::sgio {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kNode = "/dev/sg0";
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kAtaPassThrough16 = 0x85;
constexpr std::uint8_t kIdentifyDevice = 0xec;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint16_t kDriverSense = 0x08;

Bytes inquiryData() {
  Bytes data(36);
  data[2] = 0x05;  // SPC-3
  data[4] = 31;    // additional length
  const std::string_view identity = "EMULATEDSG TEST DISK    0001";
  std::copy(identity.begin(), identity.end(), data.begin() + 8);
  return data;
}

Bytes identifyData() {
  Bytes data(512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  return data;
}

// ATA Status Return descriptor with DRDY|DSC and the device register.
const Bytes kIdentifyReturned = {0x72, 0x01, 0x00, 0x1d, 0, 0, 0, 0x0e,
                                 0x09, 0x0c, 0x00, 0x00, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xa0, 0x50};
// ILLEGAL REQUEST, INVALID FIELD IN CDB, fixed format.
const Bytes kInvalidField = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0};

// A small SAT disk: answers INQUIRY and ATA IDENTIFY DEVICE, refuses the rest.
class EmulatedSatDisk {
 public:
  Bytes lastCdb() {
    std::lock_guard lock(mutex_);
    return lastCdb_;
  }

  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    if (umockdev_ioctl_client_get_request(client) != SG_IO) return FALSE;
    static_cast<EmulatedSatDisk*>(self)->answer(client);
    return TRUE;
  }

 private:
  void answer(UMockdevIoctlClient* client) {
    GError* error = nullptr;
    g_autoptr(UMockdevIoctlData) headerData =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(sg_io_hdr_t), &error);
    if (headerData == nullptr) return fail(client, error);
    auto* header = reinterpret_cast<sg_io_hdr_t*>(headerData->data);

    g_autoptr(UMockdevIoctlData) cdbData =
        umockdev_ioctl_data_resolve(headerData, offsetof(sg_io_hdr_t, cmdp), header->cmd_len, &error);
    if (cdbData == nullptr) return fail(client, error);
    const Bytes cdb(cdbData->data, cdbData->data + header->cmd_len);
    {
      std::lock_guard lock(mutex_);
      lastCdb_ = cdb;
    }

    Bytes reply;
    Bytes sense;
    header->status = 0;
    header->driver_status = 0;
    if (!cdb.empty() && cdb[0] == kInquiry) {
      reply = inquiryData();
    } else if (cdb.size() == 16 && cdb[0] == kAtaPassThrough16 && cdb[14] == kIdentifyDevice) {
      reply = identifyData();
      sense = kIdentifyReturned;
    } else {
      sense = kInvalidField;
    }
    if (!sense.empty()) {
      header->status = kCheckCondition;
      header->masked_status = kCheckCondition >> 1;
      header->driver_status = kDriverSense;
      g_autoptr(UMockdevIoctlData) senseData =
          umockdev_ioctl_data_resolve(headerData, offsetof(sg_io_hdr_t, sbp), header->mx_sb_len, &error);
      if (senseData == nullptr) return fail(client, error);
      const std::size_t written = std::min<std::size_t>(sense.size(), header->mx_sb_len);
      std::memcpy(senseData->data, sense.data(), written);
      header->sb_len_wr = static_cast<unsigned char>(written);
    }
    std::size_t moved = 0;
    if (header->dxfer_direction == SG_DXFER_FROM_DEV && header->dxfer_len > 0 && !reply.empty()) {
      g_autoptr(UMockdevIoctlData) data =
          umockdev_ioctl_data_resolve(headerData, offsetof(sg_io_hdr_t, dxferp), header->dxfer_len, &error);
      if (data == nullptr) return fail(client, error);
      moved = std::min<std::size_t>(reply.size(), header->dxfer_len);
      std::memcpy(data->data, reply.data(), moved);
    }
    header->host_status = 0;
    header->resid = static_cast<int>(header->dxfer_len - moved);
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  static void fail(UMockdevIoctlClient* client, GError* error) {
    ADD_FAILURE() << "cannot reach the caller's memory: " << (error != nullptr ? error->message : "?");
    g_clear_error(&error);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
  }

  std::mutex mutex_;
  Bytes lastCdb_;
};

class SgIoUnderUmockdev : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr)
        << "run this test through umockdev-wrapper";
    testbed_ = umockdev_testbed_new();
    GError* error = nullptr;
    // The "N:" line creates the node itself; the ioctl handler is attached to it.
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_,
                                                 "P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/"
                                                 "0:0:0:0/scsi_generic/sg0\n"
                                                 "N: sg0=00\n"
                                                 "E: SUBSYSTEM=scsi_generic\n"
                                                 "E: DEVNAME=/dev/sg0\n"
                                                 "A: dev=21:0\n",
                                                 &error))
        << (error != nullptr ? error->message : "");
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(EmulatedSatDisk::onIoctl), &disk_);
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, kNode, handler_, &error))
        << (error != nullptr ? error->message : "");

    auto opened = makeBackend()->open(kNode, Sharing::Shared);
    ASSERT_TRUE(opened.device) << "errno " << opened.osError;
    device_ = std::move(opened.device);
  }

  void TearDown() override {
    device_.reset();
    g_clear_object(&handler_);
    g_clear_object(&testbed_);
  }

  EmulatedSatDisk disk_;
  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  std::unique_ptr<Device> device_;
};

TEST_F(SgIoUnderUmockdev, InquiryComesBackWithItsLength) {
  const std::uint8_t inquiry[6] = {kInquiry, 0, 0, 0, 96, 0};
  Bytes data(96);
  ScsiCommand command;
  command.cdb = inquiry;
  command.direction = Direction::In;
  command.data = data;
  command.timeoutSeconds = 5;
  const ScsiOutcome outcome = device_->scsi(command);

  EXPECT_TRUE(outcome.transportOk);
  EXPECT_EQ(outcome.scsiStatus, 0);
  EXPECT_EQ(outcome.senseLength, 0u);
  EXPECT_EQ(outcome.transferred, 36u);
  const Bytes expected = inquiryData();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.begin()));
  EXPECT_EQ(disk_.lastCdb(), Bytes(std::begin(inquiry), std::end(inquiry)));
}

TEST_F(SgIoUnderUmockdev, IdentifyDeviceReturnsDataAndRegisters) {
  Bytes data(512);
  AtaCommand command;
  command.current.count = 1;
  command.current.device = 0xa0;
  command.current.command = kIdentifyDevice;
  command.direction = Direction::In;
  command.data = data;
  command.timeoutSeconds = 10;
  const AtaOutcome outcome = device_->ata(command);

  ASSERT_TRUE(outcome.transportOk) << "errno " << outcome.osError;
  EXPECT_EQ(outcome.current.command, 0x50);
  EXPECT_EQ(outcome.current.features, 0x00);
  EXPECT_EQ(outcome.current.device, 0xa0);
  EXPECT_EQ(outcome.transferred, 512u);
  EXPECT_EQ(data, identifyData());
  const Bytes cdb = disk_.lastCdb();
  ASSERT_EQ(cdb.size(), 16u);
  EXPECT_EQ(cdb[1], 0x08) << "PIO data-in";
  EXPECT_EQ(cdb[2], 0x2e) << "CK_COND, from the device, length in blocks of the count";
}

TEST_F(SgIoUnderUmockdev, RefusedPassThroughIsAnAbortedCommand) {
  AtaCommand command;
  command.current.command = 0xf8;  // READ NATIVE MAX ADDRESS: this disk does not know it
  const AtaOutcome outcome = device_->ata(command);

  EXPECT_TRUE(outcome.transportOk);
  EXPECT_EQ(outcome.current.command, 0x51);
  EXPECT_EQ(outcome.current.features, 0x04);
}

}  // namespace
}  // namespace platform::storage::sgio
