#pragma once
// Saving a whole file so that it is never seen half written: readers, and the
// file after a crash or a power cut, find either the old content or the new
// one, whole.

#include <filesystem>
#include <string>
#include <string_view>

namespace platform::files {

// Replaces `file` with `content`. The content goes to a temporary file of a
// name of its own in the same folder, is synced, and is renamed over the
// file; then the folder is synced, so that the rename lasts too. Saves that
// run at once each leave a whole file, the last rename winning. Empty when
// saved, else why not; on a failure the temporary is gone and the file is as
// it was, unless only the last sync of the folder failed (the text says so).
std::string saveFileAtomically(const std::filesystem::path& file, std::string_view content);

}  // namespace platform::files
