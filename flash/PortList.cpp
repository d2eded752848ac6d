#include "flash/PortList.h"

#include "flash/Texts.h"
#include "framework/Json.h"
#include "serial/ComPort.h"
#include "serial/ComPortInfo.h"

#include <string>
#include <vector>

void PrintPortList(std::FILE* out, bool json) {
    std::vector<std::string> ports;
    EnumComPorts(ports);
    if (json)
        std::fprintf(out, "[");
    bool first = true;
    for (const std::string& port : ports) {
        ComPortDeviceInfo info = GetComPortDeviceInfo(port);
        bool busy = ComPortBusy(port);
        if (json) {
            std::fprintf(out,
                         "%s\n {\"port\":%s,\"driver\":%s,\"manufacturer\":%s,\"product\":%s,"
                         "\"serial_number\":%s,\"vendor_id\":%s,\"product_id\":%s,\"busy\":%s}",
                         first ? "" : ",", JsonQuoted(port).c_str(),
                         JsonQuoted(info.Driver).c_str(), JsonQuoted(info.Manufacturer).c_str(),
                         JsonQuoted(info.Product).c_str(), JsonQuoted(info.SerialNumber).c_str(),
                         JsonQuoted(info.VendorId).c_str(), JsonQuoted(info.ProductId).c_str(),
                         busy ? "true" : "false");
        } else {
            std::string line = port;
            std::string facts = DescribeComPort(info);
            if (!facts.empty())
                line += "  " + facts;
            if (busy)
                line += "  " + Tr("busy");
            std::fprintf(out, "%s\n", line.c_str());
        }
        first = false;
    }
    if (json)
        std::fprintf(out, "%s]\n", ports.empty() ? "" : "\n");
}
