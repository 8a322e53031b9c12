#pragma once
// A station's settings with its pages, in a scratch program directory with
// a flash part list: what the settings page tests share.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/settings_file.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "station/settings_io.h"
#include "station/settings_pages.h"
#include "testsupport/flash_list_builder.h"
#include "testsupport/settings_file_builder.h"

namespace fleetburn::testing {

// Keeps the messages and the questions, with their captions, and answers
// from a list given in advance (cancel once it is used up).
class RecordingPrompt final : public platform::prompt::Prompt {
 public:
  struct Question {
    std::string caption;
    std::string label;
    bool secret = false;
  };

  void message(std::string_view text) override { messages.emplace_back(text); }
  std::optional<std::string> input(std::string_view caption, std::string_view label, std::string_view) override {
    return next({std::string(caption), std::string(label), false});
  }
  std::optional<std::string> inputSecret(std::string_view caption, std::string_view label) override {
    return next({std::string(caption), std::string(label), true});
  }

  void answer(std::optional<std::string> reply) { replies.push_back(std::move(reply)); }
  std::vector<std::string> take() { return std::exchange(messages, {}); }

  std::vector<std::string> messages;
  std::vector<Question> questions;
  std::deque<std::optional<std::string>> replies;

 private:
  std::optional<std::string> next(Question question) {
    questions.push_back(std::move(question));
    if (replies.empty()) return std::nullopt;
    auto reply = replies.front();
    replies.pop_front();
    return reply;
  }
};

// Answers the dialogs from a list given in advance and keeps what they were asked.
class ScriptedFileDialogs final : public FileDialogs {
 public:
  struct Asked {
    bool save = false;
    FileDialogRequest request;
  };
  std::optional<std::filesystem::path> openFile(const FileDialogRequest& request) override {
    return next(false, request);
  }
  std::optional<std::filesystem::path> saveFile(const FileDialogRequest& request) override {
    return next(true, request);
  }

  void answer(std::optional<std::filesystem::path> reply) { replies_.push_back(std::move(reply)); }
  std::vector<Asked> asked;

 private:
  std::optional<std::filesystem::path> next(bool save, const FileDialogRequest& request) {
    asked.push_back({save, request});
    if (replies_.empty()) return std::nullopt;
    auto reply = replies_.front();
    replies_.pop_front();
    return reply;
  }
  std::deque<std::optional<std::filesystem::path>> replies_;
};

// The parts of the list: vendor A holds WBG (the settings' default part)
// and TVA, vendor "Blank" none, vendor C holds HYX and the large BIG.
inline testsupport::FlashListBuilder StandardFlashList() {
  testsupport::FlashListBuilder list;
  list.vendor("VendorA")
      .part({.uni = "WBG", .part = "WB64G2A", .sectorsPerPage = 16, .pagesPerBlock = 128, .blocks = 4096,
             .planes = 2, .makerClass = 1, .chipEnables = 2, .dieOffset = 0})
      .part({.uni = "TVA", .part = "TV64G2A", .sectorsPerPage = 16, .pagesPerBlock = 128, .blocks = 4096,
             .planes = 2, .mlc = true, .makerClass = 2, .chipEnables = 2, .dieOffset = 3});
  list.vendor("Blank");
  list.vendor("VendorC")
      .part({.uni = "HYX", .part = "HY32G1", .sectorsPerPage = 8, .pagesPerBlock = 256, .blocks = 8192,
             .planes = 1, .makerClass = 3, .chipEnables = 1})
      .part({.uni = "BIG", .part = "BG4T8", .sectorsPerPage = 16, .pagesPerBlock = 512, .blocks = 16384,
             .planes = 2, .mlc = true, .makerClass = 2, .chipEnables = 4});
  return list;
}

class SettingsPagesTest : public ::testing::Test {
 protected:
  SettingsPagesTest() { settings.setView(MakeSettingsView(pages)); }

  void SetUp() override {
    platform::paths::setProgramDirectory(dir.path());
    devlib::PublishFlashParams({});
    StandardFlashList().writeTo(dir / "Flash.ini");
  }
  void TearDown() override {
    devlib::PublishFlashParams({});
    platform::paths::setProgramDirectory({});
  }

  // Writes the file beside the program and loads it, as the start-up does.
  bool load(const testsupport::SettingsFileBuilder& file, std::string_view name = devlib::kSettingsFileName) {
    file.writeTo(dir / name);
    return settings.LoadSettingsFromIni((dir / name).string());
  }
  bool loadDefaults() { return load(testsupport::SettingsFileBuilder().section("Setting")); }

  std::filesystem::path programFile(std::string_view name) const { return dir / name; }

  testsupport::ScratchDirectory dir;
  RecordingPrompt prompt;
  StationSettings settings{prompt};
  SettingsPageState state;
  SettingsPages pages{settings, prompt, state};
};

}  // namespace fleetburn::testing
