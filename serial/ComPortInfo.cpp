// The port facts as one line of text; the same on every system.
#include "serial/ComPortInfo.h"

std::string DescribeComPort(const ComPortDeviceInfo& info) {
    std::string text;
    auto add = [&text](const std::string& part) {
        if (part.empty())
            return;
        if (!text.empty())
            text += ", ";
        text += part;
    };
    // Products often repeat their maker's name.
    if (info.Manufacturer.empty() || info.Product.rfind(info.Manufacturer, 0) == 0)
        add(info.Product);
    else if (info.Product.empty())
        add(info.Manufacturer);
    else
        add(info.Manufacturer + " " + info.Product);
    if (!info.SerialNumber.empty())
        add("S/N " + info.SerialNumber);
    if (!info.VendorId.empty() || !info.ProductId.empty())
        add("USB " + info.VendorId + ":" + info.ProductId);
    add(info.Driver);
    if (info.LatencyTimerMs >= 0)
        add("latency_timer " + std::to_string(info.LatencyTimerMs) + " ms");
    return text;
}
