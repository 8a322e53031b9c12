// The scripted and the non-interactive prompts, and the prompt in force.

#include "platform/prompt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/debug.h"

namespace platform::prompt {
namespace {

TEST(ScriptedPromptTest, KeepsMessagesAndAnswersInOrderThenCancels) {
  ScriptedPrompt prompt;
  prompt.answer("TV001");
  prompt.answer(std::nullopt);
  prompt.message("first");
  EXPECT_EQ(prompt.input("Serial", "Serial number", "x"), "TV001");
  prompt.message("second");
  EXPECT_EQ(prompt.input("Serial", "Serial number", "x"), std::nullopt);
  EXPECT_EQ(prompt.input("Serial", "Serial number", "x"), std::nullopt) << "a used-up script cancels";
  EXPECT_EQ(prompt.takeMessages(), (std::vector<std::string>{"first", "second"}));
  EXPECT_TRUE(prompt.messages().empty());
}

TEST(NonInteractivePromptTest, NeverWaits) {
  debug::CaptureSink capture;
  NonInteractivePrompt prompt;
  prompt.message("Device scan is finished");
  EXPECT_EQ(prompt.input("Serial", "Serial number", "TV9"), "TV9");
  EXPECT_TRUE(capture.contains("Device scan is finished"));
}

TEST(PromptInForce, IsTheInstalledOne) {
  auto scripted = std::make_shared<ScriptedPrompt>();
  installPrompt(scripted);
  showMessage("Enter Special mode");
  installPrompt(nullptr);
  EXPECT_EQ(scripted->messages(), (std::vector<std::string>{"Enter Special mode"}));
}

}  // namespace
}  // namespace platform::prompt
