#pragma once
// Real ports for the updater's tests: a pseudo-terminal (tests/support) the test plays the
// board on, the board simulator on a thread of its own, links in /dev that make a pseudo-terminal
// show up in the port list, and fake tty-class trees for list order and failures.
#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/SimulatedBoard.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// /dev/tty<unique> pointing at `target` while it lives: the way a virtual port is listed.
class DevLink {
public:
    explicit DevLink(const std::string& target);
    ~DevLink();
    DevLink(const DevLink&) = delete;
    DevLink& operator=(const DevLink&) = delete;

    // The port name as the list shows it ("ttyQT...").
    const std::string& Name() const { return name_; }
    bool Made() const { return made_; }

private:
    std::string name_;
    bool made_ = false;
};

// A temporary tty class folder whose entries all look like ports with a driver, and an empty
// device folder; removed when it goes.
class FakePortTree {
public:
    explicit FakePortTree(const std::vector<std::string>& names);
    ~FakePortTree();
    FakePortTree(const FakePortTree&) = delete;
    FakePortTree& operator=(const FakePortTree&) = delete;

    std::string ClassDir() const { return root_ + "/class"; }
    std::string DevDir() const { return root_ + "/dev"; }

private:
    std::string root_;
};

// A port set up as the window sets up ComPort1, on `path`, opened.
std::unique_ptr<TComPort> OpenPort(const std::string& path);

// Program-wide state back to its start-up values, with the built-in image loaded.
void ResetProgramState();

// The built-in image's bytes by address, as the block list holds them.
std::map<uint32_t, uint8_t> BuiltInImageBytes();
