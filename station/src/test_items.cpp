#include "station/test_items.h"

namespace fleetburn {

const std::array<TestItem, kTestItemRows> TestItemTable = {{
    {0, "", "No Error", "", ""},
    {1, "M00", "Flash Module Test Fail", "Flash Module Test", "Module\t"},
    {2, "A00", "Bus Interface Test Fail", "Bus Interface Test", "SATA\t"},
    {3, "B00", "Flash Interface Test Fail", "Flash Interface Test", "Flash\t"},
    {4, "H00", "Dram Test Fail", "Dram Test", "Dram\t"},
    {5, "C00", "Pre-Format Fail", "Preformat", "P_F\t"},
    {6, "D00", "Download Firmware Fail", "Download", "Down\t"},
    {7, "D01", "Check Code Fail", "CheckCode", "Check Code\t"},
    {8, "E00", "R/W Test Fail", "R/W Test", "R/W\t"},
    {9, "J00", "Check Tables Fail", "Check Tables", "Check Table\t"},
    {10, "J02", "Set Max LBA Fail", "Set Max LBA", "Set Max LBA\t"},
    {11, "F00", "Disk Format Fail", "Disk Format", "Format\t"},
    {12, "I00", "Copy Image Fail", "Copy Image", "CopyImage\t"},
    {13, "Q09", "Check Temperature Fail", "Check Temperature", "CheckTemper\t"},
    {14, "E05", "Full Write Test Fail", "Write Test (Full)", "FWTest\t"},
    {15, "Q00", "Model Number Check Fail", "Model Number", "Model\t"},
    {16, "Q01", "Firmware Version Check Fail", "Firmware Version", "FMVer\t"},
    {17, "Q02", "Vendor Name Check Fail", "Vendor Name", "VName\t"},
    {18, "Q03", "Product Name Check Fail", "Product Name", "PName\t"},
    {19, "Q04", "IDEMA Capacity Check Fail", "IDEMA Capacity Check", "Capa\t"},
    {20, "Q05", "Serial Number Check Fail", "Serial Number Check", "SN\t"},
    {21, "Q06", "LBA Capacity Check Fail", "LBA Capacity Check", "CapaLBA\t"},
    {22, "E02", "Partial R/W Test Fail", "R/W Test (Partial)", "PRWTest\t"},
    {23, "E04", "Percentage R/W Test Fail", "R/W Test (Percentage)", "FERRWTest\t"},
    {24, "E05", "Full Write Test Fail", "Write Test (Full)", "FWTest\t"},
    {25, "E01", "Full R/W Test Fail", "R/W Test (Full)", "FRWTest\t"},
    {26, "G00", "Erase All Data Fail", "EraseAllData", "Erase\t"},
    {27, "J00", "QC Check Tables Fail", "QC Check Tables", "QC Check Table\t"},
    {28, "Q09", "QC Check Temperature Fail", "QC Check Temperature", "QC CheckTemper\t"},
    {29, "R00", "Rebuild Fail", "", ""},  // a failed claim-new rebuild
    {30, "K00", "Check Loader Block Fail", "", ""},
    {31, "T00", "Timeout", "", ""},
    {32, "E03", "Random Read Test Fail", "", ""},
    {33, "J01", "Bad block is over", "", ""},
    {34, "Q07", "Folder Check Fail", "", ""},
    {35, "Q08", "File R/W Test Fail", "", ""},
    {36, "C01", "", "", ""},
    {37, "C02", "", "", ""},
    {38, "C03", "", "", ""},
    {39, "C04", "", "", ""},
    {40, "C05", "", "", ""},
    {41, "C06", "", "", ""},
    {42, "C07", "", "", ""},
    {43, "C08", "", "", ""},
    {44, "B01", "", "", ""},
    {45, "B02", "", "", ""},
    {46, "B03", "", "", ""},
    {47, "B04", "", "", ""},
    {48, "B05", "", "", ""},
    {49, "B06", "", "", ""},
    {50, "B07", "", "", ""},
    {51, "B08", "", "", ""},
    {52, "B09", "", "", ""},
    {53, "B10", "", "", ""},
    {54, "B11", "", "", ""},
    {55, "P00", "Check Chip Fail", "Check Chip", ""},
    {56, "P01", "Check Erase Count Fail", "Check Erase Count", ""},
    {57, "P03", "RDT Result Fail", "Check RDT Result", ""},
    {58, "P04", "Check SN Length Fail", "Check SN Length", ""},
}};

const TestItem& TestItemOf(int number) {
  // A number outside the table reads as a row without texts.
  static constexpr TestItem kUnknown{0, "", "", "", ""};
  if (number < 0 || number >= kTestItemRows) return kUnknown;
  return TestItemTable[static_cast<std::size_t>(number)];
}

std::vector<int> ItemNumbersNamed(std::string_view name) {
  std::vector<int> numbers;
  if (name.empty()) return numbers;
  for (int n = kFirstTestItem; n <= kLastTestItem; ++n) {
    if (TestItemTable[static_cast<std::size_t>(n)].itemName == name) numbers.push_back(n);
  }
  return numbers;
}

std::string_view ResultWord(std::int32_t result) {
  switch (result) {
    case kResultRunning: return "Running";
    case kResultPass: return "Pass";
    case kResultFail: return "Fail";
    default: return "----";
  }
}

}  // namespace fleetburn
