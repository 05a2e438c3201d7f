// Runs the tests with one QApplication, started as the program starts it: the
// same scaling and the same style, so the layout is tested as it is shown.
#include <gtest/gtest.h>

#include <QApplication>

#include "FormSupport.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  PrepareProgramStart();
  QApplication app(argc, argv);
  UseProgramStyle();
  return RUN_ALL_TESTS();
}
