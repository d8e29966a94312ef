// The main() of the Qt test binaries: offscreen platform, settings in a scratch folder, and an
// optional first argument that names the one test class to run (the rest goes to Qt Test).
#pragma once

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include <QApplication>

#include "scratch_dir.h"

namespace romlift::testing {

struct QtSuite {
    const char* name;
    int (*run)(int, char**);
};

inline int RunQtSuites(int argc, char** argv, std::initializer_list<QtSuite> suites,
                       const std::function<void()>& afterApplication = {}) {
    if (getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    const ScratchDir folder("romlift-qt");
    if (folder.Path().empty()) {
        return 2;
    }
    const char* scratch = folder.Path().c_str();
    setenv("XDG_CONFIG_HOME", scratch, 1);
    setenv("XDG_STATE_HOME", scratch, 1);  // the download record, and no other
    unsetenv("ROMLIFT_RECORD");
    setenv("XDG_RUNTIME_DIR", scratch, 1);  // made 0700
    // The machine's own serial devices stay out of the dialogs' COM numbers.
    const std::string noDevices = std::string(scratch) + "/sys";
    std::filesystem::create_directories(noDevices + "/class/tty");
    setenv("ROMLIFT_SYSFS", noDevices.c_str(), 1);

    const char* only = nullptr;
    std::vector<char*> args(argv, argv + argc);
    if (argc > 1) {
        for (const QtSuite& s : suites) {
            if (std::strcmp(argv[1], s.name) == 0) {
                only = s.name;
                args.erase(args.begin() + 1);
                break;
            }
        }
    }

    int failures = 0;
    {
        QApplication app(argc, argv);
        if (afterApplication) {
            afterApplication();
        }
        for (const QtSuite& s : suites) {
            if (only == nullptr || std::strcmp(only, s.name) == 0) {
                failures += s.run(static_cast<int>(args.size()), args.data());
            }
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace romlift::testing
