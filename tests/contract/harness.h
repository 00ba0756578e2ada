// What the platform contract cases need from the machine they run on, given
// by each backend's harness: a fresh platform root per case, the far end of
// the serial line, and other processes of this program.
#pragma once

#include "app/platform/platform.h"

#include <string>
#include <vector>

namespace contract {

// "posix" or "win32".
const char* Backend();

// A fresh platform root (KESTA_GPS_ROOT) with a "\DataStorage" folder,
// while alive.
class Root {
public:
    Root();
    ~Root();

private:
    std::string path_;
};

// The far end of the line "COM1:" opens sends back every byte it receives.
// False (with the reason) where the harness has no such line.
bool LineAvailable(std::string* why);
class Line {
public:
    Line();
    ~Line();

private:
    struct Impl;
    Impl* impl_;
};

// This program started again as another process, in a role (see Role).
class Child {
public:
    explicit Child(const std::vector<std::string>& roleArgs);
    ~Child();  // kills it if it still runs
    // Exit code, or -1 when it still runs after timeoutMs.
    int Wait(int timeoutMs);
    void Kill();
    // What it wrote to its standard error, once it ended.
    std::string Err();

private:
    struct Impl;
    Impl* impl_;
};

// Runs argv[1..] as a role when argv[1] is "--role"; otherwise returns -1.
int Role(int argc, char** argv);

}  // namespace contract
