#pragma once
// The station's settings file: every key of the tool settings, read into the
// settings record and the library's option switches, and written back.
//
// Both operations work on the document's text. Writing does not reload the
// destination first: keys that the writer leaves alone keep the values of
// the file loaded last, whatever file is written (save-as semantics).
//
// Names are resolved with platform::paths::resolve: a name without a
// directory, or with a drive letter, lies in the program's directory.

#include <string>

#include "devlib/flash_params.h"
#include "devlib/ini_document.h"
#include "devlib/settings_record.h"

namespace devlib {

inline constexpr const char* kSettingsFileName = "DODEVUDU.ini";
// While this file can be opened, the encryption text is never written.
inline constexpr const char* kEncryptionGuardFile = "c:\\pc.ini";

// Loads the file into `ini` and fills every keyed field of `settings` and the
// option switches of `options`; the other fields keep their values. A missing
// or unreadable file gives the defaults throughout. Values outside their
// range, and texts longer than their field, are brought into it with a debug
// line that names the key.
void ReadToolSettings(IniDocument& ini, const std::string& path, SettingsRecord& settings, FlashParams& options);

// Sets the record's keys in the document and saves it to `path`. The
// IdentiyData entries, written when EnCustomizeIdentify is set, come from
// `options`, where ReadToolSettings put them. False when a key could not
// be set (it is named in a debug line; the others are still written) or the
// file could not be saved.
bool WriteToolSettings(IniDocument& ini, const std::string& path, const SettingsRecord& settings,
                       const FlashParams& options, const std::string& encryptionGuardFile = kEncryptionGuardFile);

}  // namespace devlib
