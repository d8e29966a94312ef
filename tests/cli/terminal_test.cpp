// A port's terminal settings belong to whoever set them: romlift-cli refuses the operator's own
// terminal as a port, and gives a serial line back with the settings it found, however the
// attempt ended.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli_fixture.h"

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;

// What an operator's terminal or another program leaves on a line: nothing like raw 9600 8N1.
termios Cooked(termios t) {
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    return t;
}

// The settings of the pty that `fd` is either end of (a master reads its slave's).
termios Settings(int fd) {
    termios t{};
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    return t;
}

// The fields a program changes when it takes a line over.
void ExpectSame(const termios& found, const termios& now) {
    EXPECT_EQ(now.c_iflag, found.c_iflag);
    EXPECT_EQ(now.c_oflag, found.c_oflag);
    EXPECT_EQ(now.c_cflag, found.c_cflag);
    EXPECT_EQ(now.c_lflag, found.c_lflag);
    EXPECT_EQ(now.c_cc[VMIN], found.c_cc[VMIN]);
    EXPECT_EQ(now.c_cc[VTIME], found.c_cc[VTIME]);
    EXPECT_EQ(cfgetispeed(&now), cfgetispeed(&found));
    EXPECT_EQ(cfgetospeed(&now), cfgetospeed(&found));
}

// Sets `device`'s settings through a descriptor of its own, as the program before us did.
bool SetThrough(const std::string& device, const termios& t) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::tcsetattr(fd, TCSANOW, &t) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

struct OwnCase {
    std::string name;
    bool onStderr;     // the pty is standard error (else standard input)
    bool byComNumber;  // named as COM1 through a link (else by its path)
    std::string what;  // how the refusal names it
};

class OwnTerminal : public CliFixture, public ::testing::WithParamInterface<OwnCase> {};

TEST_P(OwnTerminal, IsAUsageErrorAndKeepsItsSettings) {
    const OwnCase& c = GetParam();
    BarePty terminal;
    ASSERT_FALSE(terminal.Path().empty());
    ASSERT_TRUE(SetThrough(terminal.Path(), Cooked(Settings(terminal.Master()))));
    const termios found = Settings(terminal.Master());
    const fs::path link = dir_ / "line";
    fs::create_symlink(terminal.Path(), link);
    const fs::path image = scratch_.Write("PLQ5A_own.abs", Image(100));

    RunSpec spec{DownloadImage({c.byComNumber ? "COM1" : terminal.Path()}, image, {"--no-record"}),
                 {"ROMLIFT_COM1=" + link.string()}};
    (c.onStderr ? spec.stderrPath : spec.stdinPath) = terminal.Path();
    const Outcome o = RunTool(spec);

    EXPECT_EQ(o.exitStatus, 2);
    const std::string refusal = "romlift-cli: --port " +
                                (c.byComNumber ? std::string("COM1") : terminal.Path()) + " is " +
                                c.what +
                                ": a download would take it over as a 9600-baud line; give the "
                                "serial port's device, e.g. /dev/ttyUSB0\n";
    if (c.onStderr) {
        char said[512] = {};
        const ssize_t n = ::read(terminal.Master(), said, sizeof said - 1);
        ASSERT_GT(n, 0);
        // The terminal's own line ends: ONLCR turns "\n" into "\r\n".
        EXPECT_EQ(std::string(said, static_cast<size_t>(n)),
                  refusal.substr(0, refusal.size() - 1) + "\r\n");
    } else {
        EXPECT_EQ(o.err, refusal);
    }
    ExpectSame(found, Settings(terminal.Master()));
}

INSTANTIATE_TEST_SUITE_P(Streams, OwnTerminal,
                         ::testing::Values(OwnCase{"StandardInputByPath", false, false,
                                                   "this program's standard input"},
                                           OwnCase{"StandardErrorByComNumber", true, true,
                                                   "this program's standard error"}),
                         [](const auto& info) { return info.param.name; });

TEST_F(OwnTerminal, DevTtyIsTheControllingTerminal) {
    const fs::path image = scratch_.Write("PLQ5A_own.abs", Image(100));
    const Outcome o = RunTool(RunSpec{DownloadImage({"/dev/tty"}, image, {"--no-record"})});
    EXPECT_EQ(o.exitStatus, 2);
    EXPECT_EQ(o.err,
              "romlift-cli: --port /dev/tty is this program's controlling terminal: a download "
              "would take it over as a 9600-baud line; give the serial port's device, e.g. "
              "/dev/ttyUSB0\n");
}

// ---- a serial line is given back as found --------------------------------------------------

enum class Ending { Confirmed, Refused, Interrupted };

class GivenBack : public CliFixture, public ::testing::WithParamInterface<Ending> {};

TEST_P(GivenBack, TheLineHasTheSettingsItWasFoundWith) {
    vx7r::UnitOptions options;
    options.pace = true;  // an interrupt then meets the attempt under way
    Watched unit = StartWatchedUnit(options);
    const std::string device = unit.unit.DevicePath();
    // A descriptor of the test's own on the line, to read its settings with.
    const int line = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0);
    ASSERT_TRUE(SetThrough(device, Cooked(Settings(line))));
    const termios found = Settings(line);

    const bool interrupt = GetParam() == Ending::Interrupted;
    const fs::path image = scratch_.Write("PLQ5A_back.abs", Image(interrupt ? 5000 : 300));
    const char* model = GetParam() == Ending::Refused ? "VX7R-KT-123B-XXX" : kModel;
    Running run = StartTool(RunSpec{{"download", "--port", device, "--model", model, "--image",
                                     image.string(), "--no-record", "--any-image-name"}});
    if (interrupt) {
        ASSERT_TRUE(unit.watch.WaitFor(2, 20000));
        ASSERT_EQ(::kill(run.pid, SIGINT), 0);
    }
    const Outcome o = FinishTool(run);

    const int expected[] = {0, 1, 130};
    EXPECT_EQ(o.exitStatus, expected[static_cast<int>(GetParam())]) << o.err;
    ExpectSame(found, Settings(line));
    ::close(line);
}

std::string EndingName(const ::testing::TestParamInfo<Ending>& info) {
    return info.param == Ending::Confirmed ? "Confirmed"
           : info.param == Ending::Refused ? "Refused"
                                           : "Interrupted";
}

INSTANTIATE_TEST_SUITE_P(Endings, GivenBack,
                         ::testing::Values(Ending::Confirmed, Ending::Refused, Ending::Interrupted),
                         EndingName);

}  // namespace
}  // namespace romlift::testing
