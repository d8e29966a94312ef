// romlift-cli as a production line's test station runs it: why each unit failed, interrupts
// that still account for every unit, names taken from the JSON and given back, and what a
// supervisor's terminal and a log file show of several units at once.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"
#include "download_run.h"

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

// A pseudo-terminal for romlift-cli's standard error, read as a person's screen would show it.
class Screen {
  public:
    Screen() {
        if (pty_.Path().empty()) {
            return;
        }
        const winsize ws{30, 120, 0, 0};
        ::ioctl(pty_.Master(), TIOCSWINSZ, &ws);
        // Held open, so the master reads until the tool's last byte rather than EIO early.
        keep_ = ::open(pty_.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(keep_, &t);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // bytes as written, no \r added
        ::tcsetattr(keep_, TCSANOW, &t);
        reader_ = std::thread([this] {
            char buf[4096];
            for (ssize_t n; (n = ::read(pty_.Master(), buf, sizeof buf)) > 0;) {
                raw_.append(buf, static_cast<size_t>(n));
            }
        });
    }
    ~Screen() { Close(); }
    const std::string& Path() const { return pty_.Path(); }
    // Everything written; call once the tool has ended.
    const std::string& Raw() {
        Close();
        return raw_;
    }
    // The rows as a terminal leaves them after \r, \n, cursor up and down, and line and screen
    // clears: enough of a VT100 for the tool's redrawing.
    std::vector<std::string> Rows() {
        std::vector<std::string> rows(1);
        size_t row = 0, col = 0;
        const std::string& s = Raw();
        for (size_t i = 0; i < s.size(); ++i) {
            const char c = s[i];
            if (c == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
                size_t j = i + 2;
                int n = 0;
                for (; j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])); ++j) {
                    n = n * 10 + (s[j] - '0');
                }
                const char op = s[j];
                if (op == 'A') {
                    row -= std::min<size_t>(row, static_cast<size_t>(n));
                } else if (op == 'B') {
                    row += static_cast<size_t>(n);
                } else if (op == 'K') {
                    rows[row].clear();
                } else if (op == 'J') {
                    rows[row].resize(std::min(rows[row].size(), col));
                    rows.resize(row + 1);
                }
                rows.resize(std::max(rows.size(), row + 1));
                i = j;
            } else if (c == '\r') {
                col = 0;
            } else if (c == '\n') {
                rows.resize(std::max(rows.size(), ++row + 1));
                col = 0;
            } else {
                std::string& r = rows[row];
                r.resize(std::max(r.size(), col + 1), ' ');
                r[col++] = c;
            }
        }
        return rows;
    }

  private:
    void Close() {
        if (keep_ >= 0) {
            ::close(keep_);
            keep_ = -1;
            // With the tool gone too, the master reads what is left, then EIO.
        }
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    BarePty pty_;  // closed last, once the reader is done
    int keep_ = -1;
    std::thread reader_;
    std::string raw_;
};

using Station = CliFixture;

// ---- why the image did not open ------------------------------------------------------------

TEST_F(Station, EachImageFaultIsNamedAfterTheStatusTextAndNothingIsSent) {
    auto& unit = StartUnit();
    ASSERT_EQ(::mkfifo((dir_ / "fifo.abs").c_str(), 0644), 0);
    fs::create_directory(dir_ / "folder.abs");
    {
        // Sparse: a size past 32 bits costs no disk.
        std::ofstream big(dir_ / "big.abs", std::ios::binary);
        big.seekp(0x100000000LL);
        big.put('\0');
    }
    const struct {
        fs::path image;
        std::string kind;
        std::string cause;
    } cases[] = {
        {dir_ / "missing.abs", "image-absent", "no such file"},
        {dir_ / "folder.abs", "image-folder", "a folder, not a file"},
        {dir_ / "fifo.abs", "image-not-file", "a FIFO (named pipe), not a file"},
        {"/dev/null", "image-not-file", "a character device, not a file"},
        {dir_ / "big.abs", "image-too-large",
         "4294967297 bytes, larger than the exchange's 32-bit size (4294967295 bytes at most)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const Outcome text = RunTool(RunSpec{DownloadImage({unit.DevicePath()}, c.image)});
        EXPECT_EQ(text.exitStatus, 1);
        EXPECT_EQ(text.err, "Downloading file " + c.image.filename().string() +
                                " to selected unit.\nThis takes a long time, please wait...\n"
                                "Download :Can not open file\nromlift-cli: image " +
                                c.image.string() + ": " + c.cause + "\n");

        const Outcome j = RunTool(RunSpec{DownloadImage({unit.DevicePath()}, c.image, {"--json"})});
        const std::vector<json> hints = Events(JsonLines(j.out), "hint");
        ASSERT_EQ(hints.size(), 1u) << j.out;
        EXPECT_EQ(hints[0]["kind"], c.kind);
        EXPECT_EQ(hints[0]["path"], c.image.string());
    }
    EXPECT_TRUE(unit.Attempts().empty());
    EXPECT_TRUE(fs::is_fifo(dir_ / "fifo.abs"));
}

// The person at the terminal takes their time; the file goes meanwhile.
TEST_F(Station, AnImageGoneSinceTheSearchIsSaidSo) {
    fs::create_directory(dir_ / "drivers");
    scratch_.Write("drivers/PLQ5A_a.abs", Image(60));
    const fs::path gone = scratch_.Write("drivers/PLQ5A_b.abs", Image(70));
    auto& unit = StartUnit();
    BarePty terminal;
    ASSERT_FALSE(terminal.Path().empty());
    Running run =
        StartTool(RunSpec{Download({unit.DevicePath()}, {"--drivers", (dir_ / "drivers").string()}),
                          {},
                          ROMLIFT_CLI,
                          terminal.Path()});
    std::string seen;
    char c;
    while (seen.find("Select the image") == std::string::npos && ::read(run.err, &c, 1) == 1) {
        seen += c;
    }
    fs::remove(gone);
    ASSERT_EQ(::write(terminal.Master(), "\n", 1), 1);
    const Outcome o = FinishTool(run);
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_THAT(
        o.err, ::testing::EndsWith("Download :Can not open file\nromlift-cli: image " +
                                   gone.string() + ": gone since the search (no such file now)\n"));
    EXPECT_TRUE(unit.Attempts().empty());
}

// ---- one device, one attempt ---------------------------------------------------------------

TEST_F(Station, OneDeviceNamedTwiceIsAUsageErrorAndNothingIsSent) {
    auto& unit = StartUnit();
    const fs::path link = dir_ / "ttyUSB0";
    fs::create_symlink(unit.DevicePath(), link);
    const std::vector<std::string> env{"ROMLIFT_COM1=" + unit.DevicePath()};
    for (const auto& [first, second] : std::vector<std::pair<std::string, std::string>>{
             {"COM1", link.string()}, {link.string(), unit.DevicePath()}}) {
        const Outcome o = RunTool(
            RunSpec{DownloadImage({first, second}, scratch_.Write("a.abs", Image(10))), env});
        EXPECT_EQ(o.exitStatus, 2);
        EXPECT_EQ(o.err, "romlift-cli: --port " + first + " and --port " + second +
                             " are the same device (" + unit.DevicePath() +
                             "): give each unit's port once\n");
    }
    EXPECT_TRUE(unit.Attempts().empty());
    EXPECT_TRUE(unit.Violations().empty());
}

// ---- names that round-trip -----------------------------------------------------------------

TEST_F(Station, ANameThatIsNotUtf8IsTakenFromTheCandidatesAndChosenByItsBytes) {
    const fs::path drivers = dir_ / "drivers";
    fs::create_directory(drivers);
    const std::string odd = "PLQ5A_\xe9t\xff.abs";  // Latin-1 bytes, not UTF-8
    const Bytes wanted = Image(130);
    scratch_.Write("drivers/" + odd, wanted);
    scratch_.Write("drivers/PLQ5A_z.abs", Image(20));
    auto& unit = StartUnit();

    const Outcome list =
        RunTool(RunSpec{Download({unit.DevicePath()}, {"--drivers", drivers.string(), "--json"})});
    EXPECT_EQ(list.exitStatus, 2);
    const std::vector<json> candidates = Events(JsonLines(list.out), "candidates");
    ASSERT_EQ(candidates.size(), 1u) << list.out;
    const json& rows = candidates[0]["files"];
    ASSERT_EQ(rows.size(), 2u);
    const json& row = rows[0]["name"] == "PLQ5A_z.abs" ? rows[1] : rows[0];
    EXPECT_EQ(row["name"], "PLQ5A_\xef\xbf\xbdt\xef\xbf\xbd.abs");
    EXPECT_EQ(row["path"], (drivers / "").string()) << "the folder searched, not the program's";
    EXPECT_EQ(rows[1]["default"], true);
    EXPECT_TRUE(unit.Attempts().empty());

    const std::string hex = row["name_hex"];
    const Outcome o = RunTool(
        RunSpec{Download({unit.DevicePath()}, {"--drivers", drivers.string(), "--pick-hex", hex})});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(unit.Attempts()[0].image, wanted);
}

// ---- interrupts ----------------------------------------------------------------------------

class Interrupted : public Station, public ::testing::WithParamInterface<int> {};

TEST_P(Interrupted, EveryPortReportsAndIsReleasedWithTheSignalsExitStatus) {
    const int signal = GetParam();
    vx7r::UnitOptions paced;
    paced.pace = true;  // 1311 frames: minutes on the line, if the signal did not end them
    std::vector<std::string> ports(3);
    for (std::string& port : ports) {
        port = StartWatchedUnit(paced).unit.DevicePath();
    }
    const fs::path image = scratch_.Write("img.abs", Image(65536));
    Running run = StartTool(RunSpec{DownloadImage(ports, image, {"--json"})});
    for (FrameWatch& w : watches_) {
        ASSERT_TRUE(w.WaitFor(3, 20000));
    }
    ASSERT_EQ(::kill(run.pid, signal), 0);
    const Outcome o = FinishTool(run);

    EXPECT_EQ(o.exitStatus, 128 + signal) << o.err;
    const std::vector<json> lines = JsonLines(o.out);
    const std::vector<json> outcomes = Events(lines, "outcome");
    ASSERT_EQ(outcomes.size(), 3u) << o.out;
    for (const json& out : outcomes) {
        EXPECT_EQ(out["confirmed"], false);
        EXPECT_EQ(out["interrupted"], true);
        EXPECT_GE(out["frame"], 3);
        EXPECT_EQ(out["total"], 1311);
    }
    for (const json& status : Events(lines, "status")) {
        EXPECT_THAT(status["text"].get<std::string>(), Not(HasSubstr("not responding")))
            << "the interrupt read as a silent unit";
    }
    const std::vector<json> summary = Events(lines, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(lines.back(), summary[0]);
    EXPECT_EQ(summary[0]["interrupted"].size(), 3u);
    EXPECT_EQ(summary[0]["signal"], signal == SIGINT ? "SIGINT" : "SIGTERM");
    for (const auto& unit : units_) {
        ASSERT_EQ(unit->Attempts().size(), 1u);
        EXPECT_FALSE(unit->Attempts()[0].confirmed);
        EXPECT_LT(unit->Attempts()[0].image.size(), 65536u);
    }

    // Released: nothing holds the ports, and the next run opens all three at once. (Its
    // attempts may still meet a unit's late answer to the interrupted frame: that unit needs
    // the download again, as the outcome said.)
    for (const std::string& port : ports) {
        EXPECT_TRUE(OpensExclusively(port)) << port;
    }
    const Outcome again =
        RunTool(RunSpec{DownloadImage(ports, scratch_.Write("small.abs", Image(60)))});
    EXPECT_NE(again.exitStatus, 2) << again.err;
    EXPECT_THAT(again.err, Not(HasSubstr("Can not open Port")));
    for (const std::string& port : ports) {
        EXPECT_THAT(again.err, HasSubstr(port + ": Downloading file small.abs"));
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return info.param == SIGINT ? "Sigint" : "Sigterm";
                         });

// The same run in this process: the interrupt ends it without a signal, and leaves no
// descriptor and no port behind.
TEST_F(Station, AnInterruptedRunInProcessLeavesNothingOpen) {
    vx7r::UnitOptions paced;
    paced.pace = true;
    auto [unit, watch] = StartWatchedUnit(paced);
    const std::string device = unit.DevicePath();
    const fs::path image = scratch_.Write("img.abs", Image(65536));
    const auto parsed = romlift::cli::Parse(DownloadImage({device}, image));
    ASSERT_TRUE(parsed.options) << parsed.error;
    char* text = nullptr;
    size_t size = 0;
    std::FILE* err = ::open_memstream(&text, &size);
    ASSERT_NE(err, nullptr);
    const int before = OpenDescriptorCount();
    int status = -1;
    {
        romlift::Interrupt interrupt;
        romlift::cli::Console console;
        console.err = err;
        std::thread run(
            [&] { status = romlift::cli::RunDownload(*parsed.options, console, interrupt); });
        EXPECT_TRUE(watch.WaitFor(2, 20000));
        interrupt.Request(SIGINT);
        run.join();
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    std::fclose(err);
    const std::string shown(text, size);
    std::free(text);
    EXPECT_EQ(status, 130);
    EXPECT_THAT(shown, HasSubstr("\nromlift-cli: interrupted at frame "));
    EXPECT_THAT(shown, ::testing::EndsWith(
                           " of 1311; the unit may need the download again\n"
                           "romlift-cli: SIGINT: every attempt ended, every port released\n"));
    EXPECT_TRUE(OpensExclusively(device));
}

// ---- several units on a terminal and in a log ----------------------------------------------

TEST_F(Station, SeveralPortsOnATerminalKeepOneLineEach) {
    vx7r::UnitOptions failing;
    failing.faults.errorAtFrame = 4;
    const std::string a = StartUnit().DevicePath(), b = StartUnit(failing).DevicePath(),
                      c = StartUnit().DevicePath();
    Screen screen;
    ASSERT_FALSE(screen.Path().empty());
    RunSpec spec{DownloadImage({a, b, c}, scratch_.Write("img.abs", Image(400)))};
    spec.stderrPath = screen.Path();
    const Outcome o = RunTool(spec);
    EXPECT_EQ(o.exitStatus, 1);

    const std::vector<std::string> rows = screen.Rows();
    const auto at =
        std::find(rows.begin(), rows.end(), "Summary: 2 of 3 units confirmed the download");
    ASSERT_NE(at, rows.end()) << screen.Raw();
    ASSERT_GE(at - rows.begin(), 3);
    // The port names line up: each is padded to the longest.
    const size_t width = std::max({a.size(), b.size(), c.size()});
    auto label = [&](std::string port) {
        port.resize(width, ' ');
        return port;
    };
    EXPECT_EQ(at[-3], label(a) + "  confirmed");
    EXPECT_EQ(
        at[-2],
        label(b) +
            "  FAILED: Unit has not received the right frame number 4.  Please download again.");
    EXPECT_EQ(at[-1], label(c) + "  confirmed");
    // Each port's line appears once: redrawn in place, not repeated down the screen.
    for (const std::string& port : {a, b, c}) {
        EXPECT_EQ(std::count_if(
                      rows.begin(), rows.end(),
                      [&](const std::string& r) { return r.rfind(label(port) + "  ", 0) == 0; }),
                  1)
            << port;
        EXPECT_THAT(rows,
                    ::testing::Contains(port + ": Downloading file img.abs to selected unit."));
    }
    EXPECT_THAT(screen.Raw(), HasSubstr(" 4/8  ")) << "no live bar was drawn";
    EXPECT_THAT(screen.Raw(), Not(HasSubstr("progress:")));
}

TEST_F(Station, OnePortOnATerminalLeavesItsBarFullWhenTheUnitConfirms) {
    const std::string a = StartUnit().DevicePath();
    Screen screen;
    ASSERT_FALSE(screen.Path().empty());
    RunSpec spec{DownloadImage({a}, scratch_.Write("img.abs", Image(260)))};
    spec.stderrPath = screen.Path();
    EXPECT_EQ(RunTool(spec).exitStatus, 0);
    const std::vector<std::string> rows = screen.Rows();
    ASSERT_GE(rows.size(), 3u) << screen.Raw();
    // The last row is the empty one after the text's line break.
    EXPECT_EQ(rows[rows.size() - 2], "DownLoad is Completed Successfully") << screen.Raw();
    EXPECT_THAT(rows[rows.size() - 3], ::testing::StartsWith("[" + std::string(40, '#') +
                                                             "] 100%  frame 6 of 6, 0 s left"))
        << screen.Raw();
}

TEST_F(Station, ALogGetsAProgressLineEveryTenthPerPortBesidesTheFirstAndTheLast) {
    const std::string a = StartUnit().DevicePath(), b = StartUnit().DevicePath();
    const Outcome o =
        RunTool(RunSpec{DownloadImage({a, b}, scratch_.Write("img.abs", Image(1500)))});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    for (const std::string& port : {a, b}) {
        std::vector<int> frames;
        std::istringstream in(o.err);
        for (std::string line; std::getline(in, line);) {
            const std::string head = port + ": progress: ";
            if (line.rfind(head, 0) == 0) {
                frames.push_back(std::stoi(line.substr(head.size())));
                EXPECT_THAT(line, HasSubstr(" of 30 frames confirmed ("));
            }
        }
        EXPECT_THAT(frames, ::testing::ElementsAre(1, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30))
            << o.err;
    }
}

}  // namespace
}  // namespace romlift::testing
