#pragma once
// The station's prompts: the window system's message and input boxes for an
// operator at the station, and the unattended one for the command-line runs.

#include "platform/prompt.h"

namespace fleetburn::ui {

class QtPrompt final : public platform::prompt::Prompt {
 public:
  void message(std::string_view text) override;
  std::optional<std::string> input(std::string_view caption, std::string_view label, std::string_view initial) override;
  // The typed text shows as '*'.
  std::optional<std::string> inputSecret(std::string_view caption, std::string_view label) override;
};

// AutoExecute and AutoExecuteQuit runs: nobody is there to click, so a
// message goes to standard error and every input box answers empty.
class UnattendedPrompt final : public platform::prompt::Prompt {
 public:
  void message(std::string_view text) override;
  std::optional<std::string> input(std::string_view caption, std::string_view label, std::string_view initial) override;
};

}  // namespace fleetburn::ui
