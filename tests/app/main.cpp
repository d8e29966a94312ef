// Runs the application-frame test classes on the offscreen platform, with settings kept in a
// scratch folder.
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include <QApplication>

#include "vek_app.h"

int RunFrameTests(int argc, char** argv);
int RunProcessTests(int argc, char** argv);

int main(int argc, char** argv) {
    if (getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    char scratch[] = "/tmp/romlift-app-XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        return 2;
    }
    setenv("XDG_CONFIG_HOME", scratch, 1);
    setenv("XDG_RUNTIME_DIR", scratch, 1);  // mkdtemp made it 0700

    // An optional first argument names one class; the rest goes to Qt Test.
    struct Suite {
        const char* name;
        int (*run)(int, char**);
    };
    const Suite suites[] = {{"frame", RunFrameTests}, {"process", RunProcessTests}};
    const char* only = nullptr;
    std::vector<char*> args(argv, argv + argc);
    if (argc > 1) {
        for (const Suite& s : suites) {
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
        romlift::CVekApp::ConfigureApplication();
        for (const Suite& s : suites) {
            if (only == nullptr || std::strcmp(only, s.name) == 0) {
                failures += s.run(static_cast<int>(args.size()), args.data());
            }
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    return failures == 0 ? 0 : 1;
}
