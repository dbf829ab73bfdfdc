// The window tests need a QApplication before any widget exists, and no
// display: the offscreen platform is chosen before the application starts
// (gtest_discover_tests runs this binary at build time too).
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

#include "AtlasApplication.h"
#include "UiTestSupport.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    TAtlasApplication app(argc, argv);
    // A message box would wait for a click nobody makes; tests read the record instead.
    app.SetErrorReporter([](const QString& message) {
        std::cerr << "error handler: " << message.toStdString() << '\n';
        RecordError(message);
    });
    return RUN_ALL_TESTS();
}
