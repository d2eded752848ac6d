// One application object for a whole test program, as the updater has one.
#include "framework/qt/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Listing the tests must work without a display too.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    TApplication app(argc, argv);
    app.SetTitle("Atualizador Quorvel");
    return RUN_ALL_TESTS();
}
