// The whole built-in image through the updater's own serial port component.
#include "ComPortLine.h"

TEST(EndToEnd, BuiltInImageThroughTComPort) {
    updaterun::UpdateWholeImage<ComPortLine>();
}
