// One application object for a whole test program, as the updater has one.
#include "framework/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
    // Listing the tests must work without a display too.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    // The window appends a service record after each transfer: keep it out of the user's home.
    char data[] = "/tmp/quorvel-test-XXXXXX";
    if (mkdtemp(data))
        setenv("XDG_DATA_HOME", data, 1);
    TApplication app(argc, argv);
    app.SetTitle("Atualizador Quorvel");
    const int result = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(data, ec);
    return result;
}
