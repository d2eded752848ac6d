#include "tests/support/PortTestSupport.h"

#include "updater/ControllerState.h"
#include "updater/FirmwareImage.h"
#include "updater/FrameEncoder.h"
#include "updater/ReplyParser.h"

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

DevLink::DevLink(const std::string& target) {
    static std::atomic<int> serial{0};
    name_ = "ttyQT" + std::to_string(getpid()) + "x" + std::to_string(serial++);
    std::string path = "/dev/" + name_;
    unlink(path.c_str());
    made_ = symlink(target.c_str(), path.c_str()) == 0;
}

DevLink::~DevLink() {
    if (made_)
        unlink(("/dev/" + name_).c_str());
}

FakePortTree::FakePortTree(const std::vector<std::string>& names) {
    char pattern[] = "/tmp/quorvel-ports-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("no temporary folder");
    root_ = pattern;
    namespace fs = std::filesystem;
    fs::create_directories(DevDir());
    fs::create_directories(ClassDir());
    for (const std::string& name : names)
        fs::create_directories(ClassDir() + "/" + name + "/device/driver");
}

FakePortTree::~FakePortTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::unique_ptr<TComPort> OpenPort(const std::string& path) {
    auto port = std::make_unique<TComPort>();
    port->SetPort(path);
    port->SetBaudRate(br9600);
    port->FlowControl().SetControlDTR(dtrEnable);
    port->FlowControl().SetControlRTS(rtsDisable);
    port->Open();
    return port;
}

void ResetProgramState() {
    Controller = ControllerState{};
    Parser = ReplyParserState{};
    ResetHeaderKey();
    LoadFirmwareImage();
}

std::map<uint32_t, uint8_t> BuiltInImageBytes() {
    std::map<uint32_t, uint8_t> bytes;
    for (FirmwareBlock* b = FirstBlock; b; b = b->Next)
        for (int i = 0; i < b->Count; ++i)
            bytes[b->Address() + uint32_t(i)] = b->Data[i];
    return bytes;
}
