#pragma once
// Message and input boxes of the window system, for a user at the program.

#include "platform/prompt.h"

namespace blockprobe {

class QtPrompt final : public platform::prompt::Prompt {
 public:
  void message(std::string_view text) override;
  std::optional<std::string> input(std::string_view caption, std::string_view label,
                                   std::string_view initial) override;
};

}  // namespace blockprobe
