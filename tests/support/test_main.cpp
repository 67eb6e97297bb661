// Test main for every test program: a headless QApplication (offscreen unless a display is
// asked for), and modal dialogs that must be answered by a script.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "platform/qt/dialogs.h"

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    platform::SetDialogScriptRequired(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
