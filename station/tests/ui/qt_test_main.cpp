// The window tests' main: one QApplication on the offscreen platform for
// the whole run, then every test.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// Under LeakSanitizer: the font library keeps its caches to the end of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::testing::InitGoogleTest(&argc, argv);
  // Never destroyed: Qt's input devices must not outlive it at exit.
  new QApplication(argc, argv);
  return RUN_ALL_TESTS();
}
