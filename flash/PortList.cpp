#include "flash/PortList.h"

#include "flash/Platform.h"
#include "flash/Printable.h"
#include "flash/SystemError.h"
#include "flash/RemotePorts.h"
#include "flash/Texts.h"
#include "framework/Json.h"
#include "serial/ComPort.h"

#include <string>
#include <vector>

std::string HeldBy(const std::vector<ComPortHolder>& holders) {
    std::string text;
    for (const ComPortHolder& h : holders) {
        if (h.Pid <= 0)
            continue;
        std::string one = (h.Name.empty() ? "?" : h.Name) + " (pid " + std::to_string(h.Pid) + ")";
        if (text.find(one) != std::string::npos)
            continue; // one process, several ways of holding
        text += (text.empty() ? "" : ", ") + one;
    }
    return text;
}

std::string HoldersText(const std::vector<ComPortHolder>& holders) {
    const std::string text = HeldBy(holders);
    return text.empty() ? Tr("another program") : text;
}

bool ReadPortFolder(const std::string& folder, std::vector<std::string>& ports) {
    int errorCode = 0;
    ports = flashplatform::PortsInFolder(folder, errorCode);
    if (errorCode == 0)
        return true;
    std::fprintf(
        stderr, "quorvel-flash: %s\n",
        TrFormat("cannot read the folder %s: %s", {Printable(folder), SystemErrorWords(errorCode)})
            .c_str());
    return false;
}

void PrintPortList(std::FILE* out, bool json, const std::vector<std::string>& ports) {
    if (json)
        std::fprintf(out, "[");
    bool first = true;
    const std::vector<std::vector<ComPortHolder>> held = ComPortHolders(ports);
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string& port = ports[i];
        ComPortDeviceInfo info = GetComPortDeviceInfo(port);
        const std::vector<ComPortHolder>& holders = held[i];
        // Unknown (null) where only an open could tell: --list touches no port's lines.
        const bool known = !ComPortBusyOpensPort();
        bool busy = known && (!holders.empty() || ComPortBusy(port));
        if (json) {
            std::string heldBy = "[";
            for (const ComPortHolder& h : holders) {
                if (h.Pid <= 0 ||
                    heldBy.find("\"pid\":" + std::to_string(h.Pid) + ",") != std::string::npos)
                    continue;
                heldBy += (heldBy.size() > 1 ? "," : "") + std::string("{\"pid\":") +
                          std::to_string(h.Pid) + ",\"name\":" + JsonQuoted(h.Name) + "}";
            }
            heldBy += "]";
            std::fprintf(out,
                         "%s\n {\"port\":%s,\"driver\":%s,\"manufacturer\":%s,\"product\":%s,"
                         "\"serial_number\":%s,\"vendor_id\":%s,\"product_id\":%s,\"busy\":%s,"
                         "\"held_by\":%s}",
                         first ? "" : ",", JsonQuoted(port).c_str(),
                         JsonQuoted(info.Driver).c_str(), JsonQuoted(info.Manufacturer).c_str(),
                         JsonQuoted(info.Product).c_str(), JsonQuoted(info.SerialNumber).c_str(),
                         JsonQuoted(info.VendorId).c_str(), JsonQuoted(info.ProductId).c_str(),
                         !known ? "null"
                         : busy ? "true"
                                : "false",
                         heldBy.c_str());
        } else {
            std::string line = Printable(port);
            std::string facts = DescribeComPort(info);
            if (!facts.empty())
                line += "  " + Printable(facts);
            if (busy)
                line += "  " + TrFormat("busy: %s", {Printable(HoldersText(holders))});
            std::fprintf(out, "%s\n", line.c_str());
        }
        first = false;
    }
    // The named network ports after the local ones, as the window lists them.
    const std::vector<TNamedPort> named = LoadNamedPorts(stderr);
    PrintRemotePorts(out, json, !ports.empty(), named);
    if (json)
        std::fprintf(out, "%s]\n", ports.empty() && named.empty() ? "" : "\n");
}
