#include "platform/prompt.h"

#include <utility>

#include "platform/debug.h"
#include "platform/installed.h"

namespace platform::prompt {
namespace {

Installed<Prompt>& promptInForce() {
  static Installed<Prompt> prompt([]() -> std::shared_ptr<Prompt> { return std::make_shared<NonInteractivePrompt>(); });
  return prompt;
}

}  // namespace

void NonInteractivePrompt::message(std::string_view text) { debug::output("message: " + std::string(text)); }

std::optional<std::string> NonInteractivePrompt::input(std::string_view, std::string_view label,
                                                       std::string_view initial) {
  debug::output("input box '" + std::string(label) + "' answered with its initial text");
  return std::string(initial);
}

void ScriptedPrompt::message(std::string_view text) {
  std::lock_guard lock(mutex_);
  messages_.emplace_back(text);
}

std::optional<std::string> ScriptedPrompt::input(std::string_view, std::string_view, std::string_view) {
  std::lock_guard lock(mutex_);
  if (replies_.empty()) return std::nullopt;
  std::optional<std::string> reply = std::move(replies_.front());
  replies_.pop_front();
  return reply;
}

void ScriptedPrompt::answer(std::optional<std::string> reply) {
  std::lock_guard lock(mutex_);
  replies_.push_back(std::move(reply));
}

std::vector<std::string> ScriptedPrompt::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> ScriptedPrompt::takeMessages() {
  std::lock_guard lock(mutex_);
  return std::exchange(messages_, {});
}

void installPrompt(std::shared_ptr<Prompt> prompt) { promptInForce().install(std::move(prompt)); }

std::shared_ptr<Prompt> currentPrompt() { return promptInForce().current(); }

void showMessage(std::string_view text) { currentPrompt()->message(text); }

}  // namespace platform::prompt
