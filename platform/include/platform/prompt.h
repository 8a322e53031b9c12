#pragma once
// Message boxes and input boxes. The programs ask through the prompt in
// force: the window system's when a user sits at the program, a scripted one
// in tests, and a non-interactive one for unattended runs, which never waits.

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::prompt {

class Prompt {
 public:
  virtual ~Prompt() = default;
  // Shows a text and waits until it is acknowledged.
  virtual void message(std::string_view text) = 0;
  // Asks for a line of text; nothing when the user cancels.
  virtual std::optional<std::string> input(std::string_view caption, std::string_view label,
                                           std::string_view initial) = 0;
  // Asks for a secret line (a password): the typed text is masked where
  // the prompt can show it. Plain input where it cannot.
  virtual std::optional<std::string> inputSecret(std::string_view caption, std::string_view label) {
    return input(caption, label, "");
  }
};

// Writes every message to the debug output; an input box gives its initial text.
class NonInteractivePrompt final : public Prompt {
 public:
  void message(std::string_view text) override;
  std::optional<std::string> input(std::string_view caption, std::string_view label,
                                   std::string_view initial) override;
};

// Keeps the messages shown and answers input boxes from a list given in
// advance (cancel once the list is used up).
class ScriptedPrompt final : public Prompt {
 public:
  void message(std::string_view text) override;
  std::optional<std::string> input(std::string_view caption, std::string_view label,
                                   std::string_view initial) override;

  void answer(std::optional<std::string> reply);
  std::vector<std::string> messages() const;
  std::vector<std::string> takeMessages();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
  std::deque<std::optional<std::string>> replies_;
};

// The prompt in force; a non-interactive one until a program installs its own.
void installPrompt(std::shared_ptr<Prompt> prompt);
std::shared_ptr<Prompt> currentPrompt();

// Through the prompt in force.
void showMessage(std::string_view text);

}  // namespace platform::prompt
