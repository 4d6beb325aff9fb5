// Runs widget tests with the program's own application object (on the
// offscreen platform when the test environment says so), so that errors
// escaping handlers are dealt with as in the program.
#include "Application.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Test discovery runs the program at build time, without the test
    // environment: with no display there, the widgets go offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
