// Runs romlift-cli as a child process and collects what a script would see.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_dir.h"
#include "virtual_unit.h"

extern char** environ;

namespace romlift::testing {

struct Outcome {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

inline std::string ReadAll(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            s.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return s;
        }
    }
}

// A home for the tools' map file, download record and an empty sysfs, shared by this test
// program's runs; open to all, as some runs drop to another user.
inline const ScratchDir& ToolHome() {
    static const ScratchDir home;
    static const bool made = [] {
        std::filesystem::create_directories(home.Path() / "config");
        std::filesystem::create_directories(home.Path() / "state");
        std::filesystem::create_directories(home.Path() / "sys" / "class" / "tty");
        for (const char* sub : {"", "/config", "/state"}) {
            ::chmod((home.Path().string() + sub).c_str(), 01777);
        }
        return true;
    }();
    (void)made;
    return home;
}

// Downloads run in this process keep their record in the scratch home too, never in the
// machine's own ~/.local/state nor on a server the developer's environment names.
inline const bool kStateInScratch =
    ::setenv("XDG_STATE_HOME", (ToolHome().Path() / "state").c_str(), 1) == 0 &&
    ::unsetenv("ROMLIFT_RECORD") == 0;

// Runs romlift-cli as a child. Standard input is /dev/null unless given; standard output and
// error are pipes, so the tool sees no terminal there.
struct RunSpec {
    std::vector<std::string> args = {};
    std::vector<std::string> env = {};  // NAME=value, added to this process's environment
    std::string binary = ROMLIFT_CLI;
    std::string stdinPath = "/dev/null";
    std::string stderrPath = "";  // e.g. a terminal; "" for a pipe
    std::string cwd = "";         // the child's working folder; "" for this process's
};

// A romlift-cli child still running: its PID and the read ends of its output pipes.
struct Running {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

inline Running StartTool(const RunSpec& spec) {
    const auto& args = spec.args;
    const auto& extraEnv = spec.env;
    std::vector<std::string> argvStore{spec.binary};
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStore(extraEnv);
    // The machine's own serial devices and COM map stay out of every run unless a test says so.
    envStore.push_back("XDG_CONFIG_HOME=" + (ToolHome().Path() / "config").string());
    envStore.push_back("ROMLIFT_SYSFS=" + (ToolHome().Path() / "sys").string());
    envStore.push_back("XDG_STATE_HOME=" + (ToolHome().Path() / "state").string());
    envStore.push_back("ROMLIFT_RECORD=");
    for (char** e = environ; *e != nullptr; ++e) {
        envStore.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    EXPECT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!spec.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&fa, spec.cwd.c_str());
    }
    posix_spawn_file_actions_addopen(&fa, 0, spec.stdinPath.c_str(), O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    if (spec.stderrPath.empty()) {
        posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&fa, 2, spec.stderrPath.c_str(), O_RDWR | O_NOCTTY, 0);
    }
    Running r;
    const int rc = posix_spawn(&r.pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(outPipe[1]);
    close(errPipe[1]);
    EXPECT_EQ(rc, 0);
    r.out = outPipe[0];
    r.err = errPipe[0];
    return r;
}

// Collects the child's output until it closes both pipes, then its exit status.
inline Outcome FinishTool(Running& r) {
    Outcome o;
    // Both pipes drained in turn: outputs here are small, far below a pipe's capacity.
    o.err = ReadAll(r.err);
    o.out = ReadAll(r.out);
    close(r.out);
    close(r.err);
    int status = 0;
    waitpid(r.pid, &status, 0);
    o.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r = Running{};
    return o;
}

inline Outcome RunTool(const RunSpec& spec) {
    Running r = StartTool(spec);
    return FinishTool(r);
}

inline Outcome RunCli(const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) {
    return RunTool(RunSpec{args, env});
}

// Wakes the test when the unit has answered a given data frame.
class FrameWatch {
  public:
    vx7r::Observer Observer() {
        vx7r::Observer o;
        o.log = [this](const std::string& line) {
            const size_t at = line.find(" frame ");
            if (at == std::string::npos || line.find(':', at) == std::string::npos) {
                return;
            }
            std::lock_guard lock(mu_);
            frame_ = std::max(frame_, std::atoi(line.c_str() + at + 7));
            cv_.notify_all();
        };
        return o;
    }
    bool WaitFor(int frame, int timeoutMs) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return frame_ >= frame; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int frame_ = 0;
};

}  // namespace romlift::testing
