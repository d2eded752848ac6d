// The whole built-in image through the updater's own serial port component.
#include "ComPortRunLine.h"

TEST(EndToEnd, BuiltInImageThroughTComPort) {
    updaterun::UpdateWholeImage<ComPortRunLine>();
}
