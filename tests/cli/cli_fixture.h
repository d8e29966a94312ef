// What the romlift-cli tests share besides running the tool: image bytes, a download's argument
// list, the lines a test holds or answers on, and a fixture that owns the virtual units.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_cli.h"
#include "scratch_dir.h"
#include "serial_port.h"
#include "virtual_unit.h"

namespace romlift::testing {

using Bytes = std::vector<uint8_t>;

inline constexpr const char* kModel = "VX7R-KT-121B-XXX";

// An image whose frames all differ; `seed` tells images of one size apart.
inline Bytes Image(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(i * 13 + seed);
    }
    return b;
}

inline std::string FileBytes(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// How often `part` occurs in `text`, overlaps included.
inline size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// `download --port P ... --model VX7R-KT-121B-XXX`, then `more`.
inline std::vector<std::string> Download(const std::vector<std::string>& ports,
                                         const std::vector<std::string>& more = {}) {
    std::vector<std::string> a{"download"};
    for (const std::string& p : ports) {
        a.insert(a.end(), {"--port", p});
    }
    a.insert(a.end(), {"--model", kModel});
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// The same with `--image IMAGE` before `more`.
inline std::vector<std::string> DownloadImage(const std::vector<std::string>& ports,
                                              const std::filesystem::path& image,
                                              std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--image", image.string()});
    return Download(ports, more);
}

// True when the port opens exclusively now: nobody left a lock or the exclusive mode behind.
inline bool OpensExclusively(const std::string& device) {
    SerialPort port;
    return port.Open(device) == SerialPort::OpenError::None;
}

// A pseudo-terminal with nobody answering on it: a port that opens, or a terminal whose typed
// answers the test writes to Master().
class BarePty {
  public:
    BarePty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            slave_ = ::ptsname(master_);
        }
    }
    ~BarePty() {
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    BarePty(const BarePty&) = delete;
    BarePty& operator=(const BarePty&) = delete;
    // The slave's path; empty when no pseudo-terminal could be had.
    const std::string& Path() const { return slave_; }
    int Master() const { return master_; }

  private:
    int master_ = -1;
    std::string slave_;
};

// A child process that holds the port the way romlift-cli itself would, until destroyed.
class HoldingChild {
  public:
    explicit HoldingChild(const std::string& device) {
        int ready[2];
        if (::pipe(ready) != 0) {
            return;
        }
        if (::pipe(release_) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            SerialPort holder;
            const char ok = holder.Open(device) == SerialPort::OpenError::None ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release_[0], &c, 1);
            _exit(0);
        }
        ::close(ready[1]);
        char ok = 0;
        held_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~HoldingChild() {
        if (pid_ > 0) {
            (void)!::write(release_[1], "x", 1);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(release_[0]);
        ::close(release_[1]);
    }
    HoldingChild(const HoldingChild&) = delete;
    HoldingChild& operator=(const HoldingChild&) = delete;
    bool Held() const { return held_; }
    pid_t Pid() const { return pid_; }

  private:
    int release_[2] = {-1, -1};
    pid_t pid_ = -1;
    bool held_ = false;
};

// A scratch folder and the test's virtual units, each started and kept until the test ends.
class CliFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.Path().empty());
        dir_ = scratch_.Path();
    }

    vx7r::VirtualUnit& StartUnit(vx7r::UnitOptions options = {}) {
        return Started(std::make_unique<vx7r::VirtualUnit>(options));
    }

    struct Watched {
        vx7r::VirtualUnit& unit;
        FrameWatch& watch;
    };
    // A unit whose answered frames the test can wait for.
    Watched StartWatchedUnit(vx7r::UnitOptions options = {}) {
        FrameWatch& watch = watches_.emplace_back();
        auto unit = std::make_unique<vx7r::VirtualUnit>(options);
        unit->SetObserver(watch.Observer());
        return {Started(std::move(unit)), watch};
    }

    // The test's own state folder (XDG_STATE_HOME) added to `env`, so the default download
    // record is this test's alone.
    std::vector<std::string> OwnState(std::vector<std::string> env = {}) const {
        env.push_back("XDG_STATE_HOME=" + StateDir().string());
        return env;
    }
    std::filesystem::path StateDir() const { return dir_ / "state"; }
    std::filesystem::path DefaultRecord() const {
        return StateDir() / "romlift" / "history.sqlite";
    }

    ScratchDir scratch_;
    std::filesystem::path dir_;
    // A unit's thread may log a frame to its watch until the unit is destroyed: the watches are
    // declared first, so they go last.
    std::deque<FrameWatch> watches_;
    std::vector<std::unique_ptr<vx7r::VirtualUnit>> units_;

  private:
    vx7r::VirtualUnit& Started(std::unique_ptr<vx7r::VirtualUnit> unit) {
        std::string error;
        EXPECT_TRUE(unit->Start(&error)) << error;
        units_.push_back(std::move(unit));
        return *units_.back();
    }
};

}  // namespace romlift::testing
