// The settings lock: the lock button disables the settings pages and "Save
// INI" until the password is typed.

#include "station/settings_pages.h"

#ifndef FLEETBURN_SETTINGS_PASSWORD
#error "FLEETBURN_SETTINGS_PASSWORD is set by the build (CMake cache variable of the same name)"
#endif

namespace fleetburn {
namespace {

constexpr std::string_view kPassword = FLEETBURN_SETTINGS_PASSWORD;
static_assert(!kPassword.empty(), "an empty settings password would let an empty answer unlock");

constexpr const char* kPasswordCaption = "Please Input the Password";
constexpr const char* kPasswordLabel = "Password";

}  // namespace

std::string_view SettingsPassword() { return kPassword; }

void SettingsPages::SpeedButton8Click(bool fromLockButton) {
  if (settingsUnlocked_ && !fromLockButton) {
    state_.pagesEnabled = true;
    return;
  }
  if (settingsUnlocked_ || !fromLockButton) {
    state_.INISaveBtnEnabled = false;
    state_.pagesEnabled = false;
    settingsUnlocked_ = false;
  } else {
    const std::optional<std::string> typed = prompt_.inputSecret(kPasswordCaption, kPasswordLabel);
    if (typed && *typed == kPassword) {
      state_.INISaveBtnEnabled = true;
      state_.pagesEnabled = true;
      settingsUnlocked_ = true;
    }
  }
  state_.SpeedButton8Down = !settingsUnlocked_;
}

}  // namespace fleetburn
