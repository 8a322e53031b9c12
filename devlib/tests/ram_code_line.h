#pragma once
// An emulated line on which the RAM code can be loaded: the program and the
// current directory are a fresh temporary folder holding generated RAM code
// images. The port table is set up for the station; the flash parameters in
// force and the port buffers are put back afterwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "emulated_port.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {

class RamCodeLineTest : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    previousParams_ = *CurrentFlashParams();
    previousDirectory_ = std::filesystem::current_path();
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(test.begin(), test.end(), '/', '-');  // parameterised tests
    directory_ = std::filesystem::temp_directory_path() / ("ram-code-line-" + std::to_string(::getpid()) + "-" + test);
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
    std::filesystem::current_path(directory_);
    platform::paths::setProgramDirectory(directory_);
    testsupport::WriteRamCodeImages(directory_);
  }
  void TearDown() override {
    FreePortBuffers();
    PublishFlashParams(previousParams_);
    platform::paths::setProgramDirectory({});
    std::filesystem::current_path(previousDirectory_);
    std::filesystem::remove_all(directory_);
    EmulatedLineTest::TearDown();
  }

  std::filesystem::path directory_;

 private:
  FlashParams previousParams_;
  std::filesystem::path previousDirectory_;
};

}  // namespace devlib::testing
