// What the romlift-cli tests share besides running the tool: image bytes, a download's argument
// list, the lines a test holds or answers on, and a fixture that owns the virtual units.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_cli.h"
#include "scratch_dir.h"
#include "serial_port.h"
#include "test_lines.h"
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

// The lines of `text`, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Each line of a --json run's output; a line that is not JSON throws, failing the test.
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> parsed;
    for (const std::string& line : Lines(out)) {
        parsed.push_back(nlohmann::json::parse(line));
    }
    return parsed;
}

// The lines whose "event" is `event`, in order.
inline std::vector<nlohmann::json> Events(const std::vector<nlohmann::json>& lines,
                                          const std::string& event) {
    std::vector<nlohmann::json> found;
    for (const nlohmann::json& j : lines) {
        if (j["event"] == event) {
            found.push_back(j);
        }
    }
    return found;
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

// The same with `--image IMAGE --any-image-name` before `more`: the tests' images are named for
// what they test, not for the model.
inline std::vector<std::string> DownloadImage(const std::vector<std::string>& ports,
                                              const std::filesystem::path& image,
                                              std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--image", image.string(), "--any-image-name"});
    return Download(ports, more);
}

// True when the port opens exclusively now: nobody left a lock or the exclusive mode behind.
inline bool OpensExclusively(const std::string& device) {
    SerialPort port;
    return port.Open(device) == SerialPort::OpenError::None;
}

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
