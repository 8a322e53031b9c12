#pragma once
// File names as the programs give them, mapped onto this machine.
//
// A name without a directory is looked up in the program's directory (the
// directory of the executable). Windows names are accepted: backslashes
// separate directories, and a drive letter ("C:\pc.ini") maps into the
// program's directory. When the exact name is missing, a name that differs
// only in case is found, as the programs' files were named on a system that
// ignores case.

#include <filesystem>
#include <string_view>

namespace platform::paths {

std::filesystem::path programDirectory();

// Replaces the program's directory (tests); an empty path puts back the real one.
void setProgramDirectory(const std::filesystem::path& directory);

// Where the program's file `name` is on this machine. The result need not exist.
std::filesystem::path resolve(std::string_view name);

}  // namespace platform::paths
