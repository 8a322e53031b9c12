// Makes a station folder for the demo line, with the production items on.
//
//   fleetburn_demo_station FOLDER

#include <cstdio>

#include "station_folder.h"

namespace {

constexpr fleetburn::tools::TestItemKey kDemoItems[] = {
    {"EnFlashModule", 1}, {"EnSataTest", 1},    {"EnFlashTest", 1},        {"EnDramTest", 1},
    {"EnPreFormat", 1},   {"EnDownload", 1},    {"DownloadType", 2},       {"EnRWTest", 1},
    {"EnCheckTables", 1}, {"EnCheckTemperature", 1}, {"CheckMaxTemperatureValue", 70},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fleetburn_demo_station FOLDER\n");
    return 2;
  }
  const std::string error = fleetburn::tools::MakeStationFolder(argv[1], kDemoItems);
  if (!error.empty()) {
    std::fprintf(stderr, "fleetburn_demo_station: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", argv[1]);
  return 0;
}
