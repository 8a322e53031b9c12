// The station's start-up steps without a window: command-line keywords, the
// RAM code images beside the program, the network-drive refusal, the
// single-instance guard across processes, the caption and the exit codes.

#include "station/startup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "testsupport/ram_code_images.h"
#include "testsupport/settings_file_builder.h"

namespace fleetburn {
namespace {

using platform::prompt::ScriptedPrompt;

// --- Command line ----------------------------------------------------------

struct CommandLineCase {
  const char* name;
  const char* line;
  std::vector<bool> before;  // the check list as the settings left it
  std::vector<bool> after;
  bool autoExecute;
  bool autoExecuteQuit;
  bool captureAppImage;
  bool singleExecuteResult;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

std::vector<bool> Items(std::initializer_list<std::size_t> checked, std::size_t count = 16) {
  std::vector<bool> items(count, false);
  for (const std::size_t item : checked) items[item] = true;
  return items;
}

class ParseCommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ParseCommandLineTest, FlagsAndCheckList) {
  const CommandLineCase& c = GetParam();
  const CommandLineOptions options = ParseCommandLine(c.line, c.before.size());
  std::vector<bool> checked = c.before;
  ApplyCheckListChanges(options, checked);
  EXPECT_EQ(checked, c.after);
  EXPECT_EQ(options.autoExecute, c.autoExecute);
  EXPECT_EQ(options.autoExecuteQuit, c.autoExecuteQuit);
  EXPECT_EQ(options.captureAppImage, c.captureAppImage);
  EXPECT_EQ(options.singleExecuteResult, c.singleExecuteResult);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, ParseCommandLineTest,
    ::testing::Values(
        CommandLineCase{"Empty", "", Items({2, 5}), Items({2, 5}), false, false, false, false},
        CommandLineCase{"ClearInitFunc", "fleetburn ClearInitFunc", Items({2, 5}), Items({}), false, false, false,
                        false},
        CommandLineCase{"InitFuncAddsToSettings", "InitFunc3", Items({5}), Items({3, 5}), false, false, false, false},
        CommandLineCase{"InitFunc1NotInsideInitFunc12", "ClearInitFunc InitFunc12", Items({1}), Items({12}), false,
                        false, false, false},
        CommandLineCase{"InitFunc1AndInitFunc12", "InitFunc12 InitFunc1", Items({}), Items({1, 12}), false, false,
                        false, false},
        CommandLineCase{"ClearComesFirstWherever", "InitFunc4 ClearInitFunc InitFunc0", Items({7}), Items({0, 4}),
                        false, false, false, false},
        CommandLineCase{"ItemBeyondTheListIgnored", "InitFunc16 InitFunc99", Items({}), Items({}), false, false,
                        false, false},
        CommandLineCase{"AutoExecute", "AutoExecute", Items({}), Items({}), true, false, false, false},
        CommandLineCase{"AutoExecuteQuitAlsoAutoExecute", "/AutoExecuteQuit InitFunc13", Items({}), Items({13}),
                        true, true, false, false},
        CommandLineCase{"CaseSensitive", "autoexecute initfunc3 CLEARINITFUNC", Items({1}), Items({1}), false,
                        false, false, false},
        CommandLineCase{"CaptureAndSingleResult", "-CaptureAppImage -SingleExecuteResult", Items({}), Items({}),
                        false, false, true, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// --- Support files ---------------------------------------------------------

class CheckSupportFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::paths::setProgramDirectory(program_.path());
    testsupport::WriteRamCodeImages(program_.path());
  }
  void TearDown() override { platform::paths::setProgramDirectory({}); }

  std::string PathOf(const char* name) const { return (program_ / name).string(); }

  testsupport::ScratchDirectory program_;
  ScriptedPrompt prompt_;
};

TEST_F(CheckSupportFilesTest, BothPresentGiveTheirTags) {
  const SupportFiles files = CheckSupportFiles(prompt_);
  EXPECT_TRUE(files.SupportFilesOk);
  EXPECT_EQ(files.gdpTag, testsupport::kGdpTag);
  EXPECT_EQ(files.testTag, testsupport::kTestTag);
  EXPECT_TRUE(prompt_.messages().empty());
}

TEST_F(CheckSupportFilesTest, MissingImageWarnsWithItsPath) {
  std::filesystem::remove(program_ / "GDP.bin");
  std::filesystem::remove(program_ / "satatest.bin");
  const SupportFiles files = CheckSupportFiles(prompt_);
  EXPECT_FALSE(files.SupportFilesOk);
  EXPECT_EQ(files.gdpTag, "");
  EXPECT_EQ(files.testTag, "");
  EXPECT_EQ(prompt_.messages(), (std::vector<std::string>{"<WARNING> Can't find file : " + PathOf("GDP.bin"),
                                                          "<WARNING> Can't find file : " + PathOf("satatest.bin")}));
}

TEST_F(CheckSupportFilesTest, OnlyTheMissingOneWarns) {
  std::filesystem::remove(program_ / "satatest.bin");
  const SupportFiles files = CheckSupportFiles(prompt_);
  EXPECT_FALSE(files.SupportFilesOk);
  EXPECT_EQ(files.gdpTag, testsupport::kGdpTag);
  EXPECT_EQ(prompt_.messages(),
            (std::vector<std::string>{"<WARNING> Can't find file : " + PathOf("satatest.bin")}));
}

struct DamageCase {
  testsupport::ImageDamage damage;
  bool ok;
  const char* gdpTag;  // what the damaged GDP.bin gives as its tag
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << testsupport::ImageDamageName(c.damage); }

class DamagedImageTest : public CheckSupportFilesTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedImageTest, CorruptOrShortCountsAsMissing) {
  const DamageCase& c = GetParam();
  testsupport::WriteImageFile(program_ / "GDP.bin", testsupport::DamagedRamCodeImage(c.damage));
  const SupportFiles files = CheckSupportFiles(prompt_);
  EXPECT_EQ(files.SupportFilesOk, c.ok);
  EXPECT_EQ(files.gdpTag, c.gdpTag);
  EXPECT_EQ(files.testTag, testsupport::kTestTag);
  const std::vector<std::string> expected =
      c.ok ? std::vector<std::string>{} : std::vector<std::string>{"The GDP.bin is a corrupt file, please check it."};
  EXPECT_EQ(prompt_.messages(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedImageTest,
    ::testing::Values(DamageCase{testsupport::ImageDamage::ZeroTag, false, ""},
                      DamageCase{testsupport::ImageDamage::Short, false, "GDP110"},
                      DamageCase{testsupport::ImageDamage::Truncated, false, ""},
                      DamageCase{testsupport::ImageDamage::Empty, false, ""},
                      DamageCase{testsupport::ImageDamage::Long, true, "GDP110"}),
    [](const auto& param_info) { return std::string(testsupport::ImageDamageName(param_info.param.damage)); });

TEST_F(CheckSupportFilesTest, CorruptTestImageNamesItself) {
  testsupport::WriteImageFile(program_ / "satatest.bin",
                              testsupport::DamagedRamCodeImage(testsupport::ImageDamage::ZeroTag,
                                                               testsupport::kTestMagic, testsupport::kTestTag));
  EXPECT_FALSE(CheckSupportFiles(prompt_).SupportFilesOk);
  EXPECT_EQ(prompt_.messages(),
            (std::vector<std::string>{"The satatest.bin is a corrupt file, please check it."}));
}

// --- Network drives --------------------------------------------------------

struct FilesystemTypeCase {
  const char* name;
  unsigned long statfsType;
  const char* mountType;
  bool network;
};

class FilesystemTypeTest : public ::testing::TestWithParam<FilesystemTypeCase> {};

TEST_P(FilesystemTypeTest, Classified) {
  EXPECT_EQ(IsNetworkFilesystemType(GetParam().statfsType, GetParam().mountType), GetParam().network);
}

INSTANTIATE_TEST_SUITE_P(
    Types, FilesystemTypeTest,
    ::testing::Values(FilesystemTypeCase{"Nfs", 0x6969, "nfs4", true},
                      FilesystemTypeCase{"Cifs", 0xFF534D42, "cifs", true},
                      FilesystemTypeCase{"Smb2", 0xFE534D42, "smb3", true},
                      FilesystemTypeCase{"Smb", 0x517B, "smbfs", true},
                      FilesystemTypeCase{"NineP", 0x01021997, "9p", true},
                      FilesystemTypeCase{"Afs", 0x6B414653, "afs", true},
                      FilesystemTypeCase{"Ceph", 0x00C36400, "ceph", true},
                      FilesystemTypeCase{"Sshfs", 0x65735546, "fuse.sshfs", true},
                      FilesystemTypeCase{"Davfs", 0x65735546, "fuse.davfs", true},
                      FilesystemTypeCase{"LocalFuse", 0x65735546, "fuse.gvfsd-fuse", false},
                      FilesystemTypeCase{"Ext4", 0xEF53, "ext4", false},
                      FilesystemTypeCase{"Tmpfs", 0x01021994, "tmpfs", false},
                      FilesystemTypeCase{"Overlay", 0x794C7630, "overlay", false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

constexpr const char* kMountInfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "30 22 0:25 / /home/line rw,nosuid - fuse.sshfs line@server:/srv rw,user_id=1000\n"
    "31 22 0:26 / /mnt/my\\040share rw - cifs //server/share rw\n"
    "32 30 0:27 / /home/line/local rw - tmpfs tmpfs rw\n"
    "garbage line\n";

TEST(MountInfoTest, DeepestMountHoldingThePathGivesTheType) {
  EXPECT_EQ(MountTypeFromMountInfo(kMountInfo, "/usr/bin"), "ext4");
  EXPECT_EQ(MountTypeFromMountInfo(kMountInfo, "/home/line/tool"), "fuse.sshfs");
  EXPECT_EQ(MountTypeFromMountInfo(kMountInfo, "/home/line/local/tool"), "tmpfs");
  EXPECT_EQ(MountTypeFromMountInfo(kMountInfo, "/home/linear"), "ext4");
  EXPECT_EQ(MountTypeFromMountInfo(kMountInfo, "/mnt/my share/fleetburn"), "cifs");
  EXPECT_EQ(MountTypeFromMountInfo("", "/usr"), "");
}

TEST(NetworkFilesystemTest, LocalFileSystemsAreNotNetwork) {
  const testsupport::ScratchDirectory scratch;
  EXPECT_FALSE(IsNetworkFilesystem(scratch.path()));
  EXPECT_FALSE(IsNetworkFilesystem(std::filesystem::current_path()));
  EXPECT_FALSE(IsNetworkFilesystem("/proc/self/exe"));
}

TEST(NetworkFilesystemTest, MissingPathCountsAsLocal) {
  EXPECT_FALSE(IsNetworkFilesystem("/nonexistent/fleetburn"));
}

// --- Instance guard and start-up status ------------------------------------

class StartupStatusTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TOLVANE_LOCK_DIR", locks_.path().c_str(), 1); }
  void TearDown() override { unsetenv("TOLVANE_LOCK_DIR"); }

  // The exit code of a child process that starts up as the station would.
  static int ChildExitCode() {
    const pid_t child = ::fork();
    if (child == 0) {
      const platform::InstanceGuard guard{std::string(kInstanceName)};
      ::_exit(ExitCode(CheckBeforeWindow(guard, "/", [](const std::filesystem::path&) { return false; })));
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  testsupport::ScratchDirectory locks_;
  const FilesystemClassifier local_ = [](const std::filesystem::path&) { return false; };
};

TEST_F(StartupStatusTest, SecondProcessExitsWithOne) {
  const platform::InstanceGuard first{std::string(kInstanceName)};
  EXPECT_EQ(CheckBeforeWindow(first, "/", local_), StartupStatus::Ready);
  EXPECT_EQ(ChildExitCode(), 1);
  EXPECT_TRUE(std::filesystem::exists(locks_ / "KWMP.lock"));
}

TEST_F(StartupStatusTest, FreeNameStartsWithZero) {
  { const platform::InstanceGuard earlier{std::string(kInstanceName)}; }
  const platform::InstanceGuard other("KWUtil");
  EXPECT_EQ(ChildExitCode(), 0);
}

TEST_F(StartupStatusTest, NetworkDriveIsRefused) {
  const platform::InstanceGuard guard{std::string(kInstanceName)};
  std::filesystem::path asked;
  const StartupStatus status = CheckBeforeWindow(guard, "/srv/line/fleetburn", [&](const std::filesystem::path& p) {
    asked = p;
    return true;
  });
  EXPECT_EQ(status, StartupStatus::NetworkDrive);
  EXPECT_EQ(asked, "/srv/line/fleetburn");
  EXPECT_EQ(ExitCode(status), 1);
}

TEST_F(StartupStatusTest, PortLimit) {
  ScriptedPrompt prompt;
  EXPECT_EQ(CheckPortCount(50, prompt), StartupStatus::Ready);
  EXPECT_TRUE(prompt.messages().empty());
  EXPECT_EQ(CheckPortCount(55, prompt), StartupStatus::TooManyPorts);
  EXPECT_EQ(prompt.messages(), (std::vector<std::string>{
                                   "Up to the limitation of total port number(50), Please remove the usb hub"}));
}

TEST(ExitCodeTest, OnlyReadyIsZero) {
  EXPECT_EQ(ExitCode(StartupStatus::Ready), 0);
  for (const StartupStatus status :
       {StartupStatus::SecondInstance, StartupStatus::NetworkDrive, StartupStatus::TooManyPorts,
        StartupStatus::SettingsLoadFailed, StartupStatus::LogDirectoryFailed}) {
    EXPECT_EQ(ExitCode(status), 1);
  }
}

// --- Caption ---------------------------------------------------------------

TEST(CaptionTest, NamesThePathWord) {
  EXPECT_EQ(ShowCaptionString("SATA"), "Tolvane A4X SATA M.P. Tool B.2.9.21 S/U ");
  EXPECT_EQ(ShowCaptionString("USB"), "Tolvane A4X USB M.P. Tool B.2.9.21 S/U ");
}

}  // namespace
}  // namespace fleetburn
