#pragma once
// Blockprobe's own texts: the version, the captions and the messages its
// window shows.

#include <string>
#include <string_view>

namespace blockprobe {

inline constexpr std::string_view kVersionText = "B.1.18";
// The OEM brand that gives the program its own name and only its S.M.A.R.T. page.
inline constexpr std::string_view kBrandWord = "Marlowen";
inline constexpr std::string_view kWaitingCaption = "Waiting............";

inline constexpr std::string_view kScanFinishedMessage = "Device scan is finished";
inline constexpr std::string_view kSpecialModeMessage = "Enter Special mode";
inline constexpr std::string_view kLoaderMessage = "FAIL!!!. The SSD doesn't run on system mode now.";
inline constexpr std::string_view kNoCodeBlockMessage = "Can't find code block.";

// "Tolvane A4x Utility B.1.18"; the brand word's own caption; any other
// non-empty brand after the default caption and a blank.
std::string MainWindowCaption(std::string_view oemBrand);

// True when the brand hides every page but the S.M.A.R.T. page.
bool IsBrandWord(std::string_view oemBrand);

}  // namespace blockprobe
