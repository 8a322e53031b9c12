#pragma once
// A stand-in for the kernel's SG_IO: it records what the backend handed over
// and writes back what a kernel would, into a device opened on a scratch file.

#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sg_io.h"

namespace platform::storage::sgio::testing {

struct KernelReply {
  int result = 0;
  int error = 0;  // errno when `result` is not 0
  std::uint8_t status = 0;
  std::uint8_t maskedStatus = 0;
  std::uint16_t hostStatus = 0;
  std::uint16_t driverStatus = 0;
  int resid = 0;
  std::vector<std::uint8_t> sense{};
  std::vector<std::uint8_t> dataIn{};  // copied into the caller's buffer on a data-in command
};

class FakeKernel {
 public:
  KernelReply reply;
  int calls = 0;
  int fd = -1;
  unsigned long request = 0;
  sg_io_hdr_t header{};  // as handed over
  std::vector<std::uint8_t> cdb;
  std::vector<std::uint8_t> dataOut;

  IoctlFunction ioctl() {
    return [this](int descriptor, unsigned long code, void* argument) {
      return answer(descriptor, code, *static_cast<sg_io_hdr_t*>(argument));
    };
  }

 private:
  int answer(int descriptor, unsigned long code, sg_io_hdr_t& h) {
    ++calls;
    fd = descriptor;
    request = code;
    header = h;
    cdb.assign(h.cmdp, h.cmdp + h.cmd_len);
    const auto* data = static_cast<std::uint8_t*>(h.dxferp);
    if (h.dxfer_direction == SG_DXFER_TO_DEV) dataOut.assign(data, data + h.dxfer_len);
    if (reply.result != 0) {
      errno = reply.error;
      return reply.result;
    }
    if (h.dxfer_direction == SG_DXFER_FROM_DEV) {
      std::copy_n(reply.dataIn.begin(), std::min<std::size_t>(reply.dataIn.size(), h.dxfer_len),
                  static_cast<std::uint8_t*>(h.dxferp));
    }
    const std::size_t senseBytes = std::min<std::size_t>(reply.sense.size(), h.mx_sb_len);
    std::copy_n(reply.sense.begin(), senseBytes, h.sbp);
    h.sb_len_wr = static_cast<unsigned char>(senseBytes);
    h.status = reply.status;
    h.masked_status = reply.maskedStatus;
    h.host_status = reply.hostStatus;
    h.driver_status = reply.driverStatus;
    h.resid = reply.resid;
    return 0;
  }
};

// A regular file, so that the device holds a real descriptor the fake kernel never touches.
class ScratchNode {
 public:
  ScratchNode() {
    std::string pattern = ::testing::TempDir() + "sg_io_node_XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) ::close(fd);
    path_ = pattern;
  }
  ~ScratchNode() { ::unlink(path_.c_str()); }
  ScratchNode(const ScratchNode&) = delete;
  ScratchNode& operator=(const ScratchNode&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class SgIoDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = makeBackend(kernel.ioctl())->open(node.path(), Sharing::Exclusive);
    ASSERT_TRUE(opened.device) << "errno " << opened.osError;
    device = std::move(opened.device);
  }

  FakeKernel kernel;
  ScratchNode node;
  std::unique_ptr<Device> device;
};

}  // namespace platform::storage::sgio::testing
