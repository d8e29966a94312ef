// romlift-cli as a script sees it: a child process, its standard error and its exit status,
// against the virtual unit on a pseudo-terminal.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli_fixture.h"
#include "fake_sysfs.h"

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

using CliTest = CliFixture;

TEST_F(CliTest, DownloadThroughAMappedComPortSucceedsWithExitZero) {
    auto& unit = StartUnit();
    const Bytes bytes = Image(260);
    const fs::path image = scratch_.Write("PLQ5A_v1.abs", bytes);
    const Outcome o =
        RunCli({"download", "--port", "COM3", "--model", "vx7r-kt-121b-xxx", "--image", image},
               {"ROMLIFT_COM3=" + unit.DevicePath()});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_THAT(o.err, StartsWith("Downloading file PLQ5A_v1.abs to selected unit.\n"
                                  "This takes a long time, please wait...\n"));
    EXPECT_THAT(o.err, HasSubstr("progress: 5 of 6 frames confirmed (83%)\n"));
    EXPECT_THAT(o.err, ::testing::EndsWith("DownLoad is Completed Successfully\n"));
    EXPECT_THAT(o.err, Not(HasSubstr("\r")));  // not a terminal: plain lines only
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(unit.Attempts()[0].image, bytes);
}

TEST_F(CliTest, RefusedHeaderEndsWithExitOneAndTheUnitsText) {
    vx7r::UnitOptions opt;
    opt.typeCode = 9;  // a VX7R-KT-123B-XXX on the line
    auto& unit = StartUnit(opt);
    const Outcome o =
        RunCli(DownloadImage({unit.DevicePath()}, scratch_.Write("img.abs", Image(100))));
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_THAT(o.err,
                ::testing::EndsWith("Selected VX7R model is not matching with connected model. \n"
                                    "Can not proceed. Please check.\n"));
}

TEST_F(CliTest, ModelChosenByNameSendsItsTypeCode) {
    vx7r::UnitOptions opt;
    opt.typeCode = 14;
    auto& unit = StartUnit(opt);
    const fs::path image = scratch_.Write("127_x.abs", Image(10));
    const Outcome o = RunCli({"download", "--port=" + unit.DevicePath(), "--model=VX7R-KT-127B-XXX",
                              "--image=" + image.string()});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_EQ(unit.Attempts().at(0).exchanges.at(1).received.at(1), 14);
}

TEST_F(CliTest, FailedEndFrameIsNeverReportedAsSuccess) {
    vx7r::UnitOptions opt;
    opt.faults.endAnswer = 0xFF;
    auto& unit = StartUnit(opt);
    const Outcome o =
        RunCli(DownloadImage({unit.DevicePath()}, scratch_.Write("img.abs", Image(75))));
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_THAT(o.err, HasSubstr("CRC mismatch Error. Please download again.\nDown Load Failed\n"));
    EXPECT_THAT(o.err, Not(HasSubstr("Completed")));
}

// Answers the exchange ends on without a status text of its own: the reason comes from
// romlift-cli, naming the port and the step.
TEST_F(CliTest, AnAnswerTheExchangeDoesNotKnowIsExplained) {
    struct Case {
        std::optional<vx7r::Phase> wrongEchoAt;  // else frame 2 answered with 0x55
        const char* reason;
    };
    for (const Case& c :
         {Case{vx7r::Phase::WakeUp, "the unit did not echo the wake-up byte: it may still"},
          Case{vx7r::Phase::Checksum, "the unit did not echo the image's checksum byte"},
          Case{{}, "the unit answered frame 2 of 2 with a byte the exchange does not know"}}) {
        vx7r::UnitOptions opt;
        opt.faults.wrongEchoAt = c.wrongEchoAt;
        if (!c.wrongEchoAt) {
            opt.faults.errorAtFrame = 2;
            opt.faults.errorAtFrameByte = 0x55;
        }
        auto& unit = StartUnit(opt);
        const Outcome o =
            RunCli(DownloadImage({unit.DevicePath()}, scratch_.Write("img.abs", Image(75))));
        EXPECT_EQ(o.exitStatus, 1);
        EXPECT_THAT(o.err, HasSubstr("\nromlift-cli: " + unit.DevicePath() + ": " + c.reason));
    }
}

TEST_F(CliTest, MissingPortAndOddImageExitOne) {
    const Outcome noPort = RunCli(DownloadImage({"COM2"}, scratch_.Write("img.abs", Image(75))),
                                  {"ROMLIFT_COM2=" + (dir_ / "absent").string()});
    EXPECT_EQ(noPort.exitStatus, 1);
    // The unit's own text, then the tool's advice on it.
    EXPECT_THAT(noPort.err, HasSubstr("\nCan not open Port COM2\nromlift-cli: no such device "));
    EXPECT_THAT(noPort.err, ::testing::EndsWith(" lists the serial devices present\n"));

    const Outcome noImage = RunCli(DownloadImage({"COM2"}, dir_ / "none%s%n.abs"));
    EXPECT_EQ(noImage.exitStatus, 1);
    EXPECT_EQ(
        noImage.err,
        "Downloading file none%s%n.abs to selected unit.\nThis takes a long time, please wait...\n"
        "Download :Can not open file\nromlift-cli: image " +
            (dir_ / "none%s%n.abs").string() + ": no such file\n");
}

struct UsageCase {
    std::vector<std::string> args;
    std::string message;
};

class Usage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(Usage, ErrorsExitTwoWithOneLine) {
    const Outcome o = RunCli(GetParam().args);
    EXPECT_EQ(o.exitStatus, 2);
    EXPECT_THAT(o.err, StartsWith("romlift-cli: "));
    EXPECT_THAT(o.err, HasSubstr(GetParam().message));
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Usage,
    ::testing::Values(
        UsageCase{{}, "no command"}, UsageCase{{"flash"}, "unknown command"},
        UsageCase{{"download", "--model", "VX7R-KT-121B-XXX", "--image", "a.abs"},
                  "missing --port"},
        UsageCase{{"download", "--port", "COM1", "--image", "a.abs"}, "missing --model"},
        UsageCase{{"download", "--port", "COM1", "--model", "VX7R-KT-121B-XXX", "--image", "a",
                   "--image", "b"},
                  "--image"},
        UsageCase{{"download", "--port", "COM1", "--port", "com1", "--model", "VX7R-KT-121B-XXX"},
                  "given twice"},
        UsageCase{{"download", "--port", "COM1", "--model", "VX7R-KT-121B-XXX", "--image", "a",
                   "--pick", "b"},
                  "--image excludes --pick"},
        UsageCase{{"models", "extra"}, "not expected: extra"},
        UsageCase{{"download", "--mod", "VX7R-KT-121B-XXX"},
                  "not expected: --mod VX7R-KT-121B-XXX ("},
        UsageCase{{"download", "--port", "COM1", "--model", "VX7R-KT-124B-XXX", "--image", "a"},
                  "unknown model"},
        UsageCase{{"download", "--port", "COMX", "--model", "VX7R-KT-121B-XXX", "--image", "a"},
                  "not a port"},
        UsageCase{{"download", "--port", "COM0", "--model", "VX7R-KT-121B-XXX", "--image", "a"},
                  "not a port"},
        // The COM map numbers adapters up to COM255, as ports assign does.
        UsageCase{{"download", "--port", "COM256", "--model", "VX7R-KT-121B-XXX", "--image", "a"},
                  "not a port"},
        UsageCase{{"download", "--port"}, "--port"},
        UsageCase{{"download", "--port=", "COM1"}, "--port needs a value"},
        UsageCase{{"download", "--speed", "9600"}, "--speed"},
        UsageCase{{"download", "--port", "COM1", "--model", "VX7R-KT-121B-XXX", "--pick-hex", "5"},
                  "hex"},
        UsageCase{{"download", "--port", "COM1", "--model", "VX7R-KT-121B-XXX", "--pick", "a",
                   "--pick-hex", "61"},
                  "excludes"},
        // One scanned serial number per unit, each unit its own.
        UsageCase{{"download", "--port", "COM1", "--port", "COM2", "--model", "VX7R-KT-121B-XXX",
                   "--unit-serial", "SN1"},
                  "1 --unit-serial for 2 --port: give one per --port, in the same order"},
        UsageCase{{"download", "--port", "COM1", "--port", "COM2", "--model", "VX7R-KT-121B-XXX",
                   "--unit-serial", "SN1", "--unit-serial", "SN1"},
                  "unit serial 'SN1' given twice"},
        UsageCase{
            {"download", "--port", "COM1", "--model", "VX7R-KT-121B-XXX", "--unit-serial", "SN1\r"},
            "--unit-serial holds a control character"},
        UsageCase{{"release", "sign", "/tmp"}, "--key is required"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(CliHelp, DocumentsEveryOptionAndTheExitStatuses) {
    const Outcome o = RunCli({"--help"});
    EXPECT_EQ(o.exitStatus, 0);
    for (const char* word : {"--port",
                             "--model",
                             "--image",
                             "ROMLIFT_COMn",
                             "/dev/ttyS",
                             "VX7R-KT-127B-XXX",
                             "0xCC",
                             "Exit status",
                             "130  interrupted by SIGINT",
                             "143  interrupted by SIGTERM",
                             "\"candidates\"",
                             "\"name_hex\"",
                             "--pick-hex",
                             "--version",
                             "--unit-serial",
                             "--lot",
                             "--release FILE",
                             "--any-image-name",
                             "release sign --key",
                             "release verify"}) {
        EXPECT_THAT(o.out, HasSubstr(word));
    }
    EXPECT_EQ(RunCli({"download", "--help"}).exitStatus, 0);
    const Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_THAT(version.out, ::testing::MatchesRegex("romlift-cli [0-9]+(\\.[0-9]+)+\n"));
}

// A laptop with no UART and one USB adapter, nothing set: the adapter becomes COM1, the download
// to COM1 reaches it, and the number is kept in the map file. The made-up sysfs names ttyUSB0;
// the device folder's ttyUSB0 is the virtual unit's line.
TEST_F(CliTest, AFirstSeenAdapterBecomesComOneAndTakesTheDownload) {
    auto& unit = StartUnit();
    const Bytes bytes = Image(120);
    const fs::path image = scratch_.Write("img.abs", bytes);
    FakeSysfs sysfs(dir_ / "sys");
    sysfs.AddTtyS(0, false);
    sysfs.Plug({});
    fs::create_directories(dir_ / "dev");
    fs::create_symlink(unit.DevicePath(), dir_ / "dev" / "ttyUSB0");
    const std::vector<std::string> env{"ROMLIFT_SYSFS=" + (dir_ / "sys").string(),
                                       "ROMLIFT_DEV=" + (dir_ / "dev").string(),
                                       "XDG_CONFIG_HOME=" + (dir_ / "cfg").string()};

    const Outcome o = RunCli(DownloadImage({"COM1"}, image), env);
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(unit.Attempts()[0].image, bytes);
    EXPECT_THAT(FileBytes(dir_ / "cfg" / "romlift" / "ports.conf"),
                HasSubstr("\nCOM1 = 0403:6001 serial A50285BI\n"));

    const Outcome list = RunCli({"ports"}, env);
    EXPECT_EQ(list.exitStatus, 0);
    EXPECT_THAT(list.out, HasSubstr("  " + (dir_ / "dev" / "ttyUSB0").string() +
                                    "  COM1  ftdi_sio  0403:6001  FTDI FT232R USB UART, serial "
                                    "A50285BI\n"));
    EXPECT_THAT(list.out, HasSubstr("  COM2  -  (none: no device has this number)\n"));

    // Pulled: COM1 names nothing now, and says which adapter it waits for.
    sysfs.Unplug({});
    const Outcome gone = RunCli(DownloadImage({"COM1"}, image), env);
    EXPECT_EQ(gone.exitStatus, 1);
    EXPECT_THAT(gone.err, HasSubstr("Can not open Port COM1\nromlift-cli: COM1: the adapter saved "
                                    "for this number (0403:6001 serial A50285BI) is not plugged "
                                    "in; plug in the adapter"));
    EXPECT_EQ(unit.Attempts().size(), 1u);
}

}  // namespace
}  // namespace romlift::testing
