#include "probe/window_text.h"

namespace blockprobe {

std::string MainWindowCaption(std::string_view oemBrand) {
  if (IsBrandWord(oemBrand)) return "Marlowen Quenfar Utility " + std::string(kVersionText);
  std::string caption = "Tolvane A4x Utility " + std::string(kVersionText);
  if (!oemBrand.empty()) caption += " " + std::string(oemBrand);
  return caption;
}

bool IsBrandWord(std::string_view oemBrand) { return oemBrand == kBrandWord; }

}  // namespace blockprobe
