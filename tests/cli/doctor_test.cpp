// romlift-cli doctor on a made-up machine: a sysfs tree, a device folder and a udev database of the
// test's own (ROMLIFT_SYSFS, ROMLIFT_DEV, ROMLIFT_UDEV_DATA), with real processes named brltty
// and ModemManager. Each trap is named with the fix to paste, and the exit status says whether
// one is a PROBLEM; where a download meets the same trap, it says so too.
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "as_nobody.h"
#include "cli_fixture.h"
#include "fake_sysfs.h"

extern char** environ;

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;

const std::string kBrlttyFix =
    "sudo systemctl stop brltty-udev.service brltty.service && sudo systemctl mask "
    "brltty-udev.service brltty.service (without a braille display: sudo apt remove brltty), "
    "then unplug the adapter and plug it in again";
const std::string kUdevTail =
    "' | sudo tee -a /etc/udev/rules.d/60-romlift.rules && sudo udevadm control --reload && sudo "
    "udevadm trigger, then unplug the adapter and plug it in again";

// A process under the command name `name` (a copy of sleep), until destroyed: what the doctor
// looks for in /proc.
class NamedProcess {
  public:
    NamedProcess(const fs::path& dir, const std::string& name) {
        const fs::path program = dir / name;
        std::error_code ec;
        fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing, ec);
        std::string arg0 = name, seconds = "120";
        char* argv[] = {arg0.data(), seconds.data(), nullptr};
        if (ec || ::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
    }
    ~NamedProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    NamedProcess(const NamedProcess&) = delete;
    NamedProcess& operator=(const NamedProcess&) = delete;
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

class Doctor;

struct DoctorCase {
    std::string name;
    std::vector<std::string> processes;  // running under these command names
    bool asNobody;                       // run as nobody, in no group; else as root
    std::function<void(Doctor&)> build;  // adapters, device nodes, udev entries
    int exitStatus;
    // Whole lines of the output; $DEV is the device folder, $PID the first process's PID, $U the
    // user, $G its group, $SELF this test program's PID.
    std::vector<std::string> lines;
    // Then a download with these arguments ($IMAGE: an image), its exit status and a line of
    // its standard error (with `first`, its first line: said before anything is sent); none when
    // empty.
    std::vector<std::string> download = {};
    int downloadStatus = 0;
    std::string downloadLine = "";
    bool first = false;
};

class Doctor : public CliFixture, public ::testing::WithParamInterface<DoctorCase> {
  public:
    FakeSysfs& Sysfs() { return sysfs_; }
    fs::path Dev() const { return dir_ / "dev"; }
    // A device node for `name`: a file root owns in `group` with `mode`, or a link to `target`.
    void Node(const std::string& name, const char* group = "root", mode_t mode = 0660,
              const std::string& target = "") {
        const fs::path node = Dev() / name;
        if (!target.empty()) {
            fs::create_symlink(target, node);
            return;
        }
        std::ofstream(node).put('\0');
        ASSERT_TRUE(OwnAs(node.string(), group, mode));
    }
    void UdevEntry(const std::string& number, const std::string& properties) {
        std::ofstream(dir_ / "udev" / ("c" + number)) << properties;
    }
    // A virtual unit on a pty, for a port that downloads.
    std::string UnitPty() { return StartUnit().DevicePath(); }

  protected:
    void SetUp() override {
        CliFixture::SetUp();
        ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);  // nobody reads the made-up machine
        for (const char* sub : {"dev", "dev/serial/by-id", "udev", "config"}) {
            fs::create_directories(dir_ / sub);
        }
        ASSERT_EQ(::chmod((dir_ / "config").c_str(), 0777), 0);
    }

    std::vector<std::string> Env() const {
        return {"ROMLIFT_SYSFS=" + sysfs_.Root().string(), "ROMLIFT_DEV=" + Dev().string(),
                "ROMLIFT_UDEV_DATA=" + (dir_ / "udev").string(),
                "XDG_CONFIG_HOME=" + (dir_ / "config").string()};
    }

    FakeSysfs sysfs_{scratch_.Path() / "sys"};
};

std::string Replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& to) {
    for (const auto& [from, by] : to) {
        for (size_t at; (at = text.find(from)) != std::string::npos;) {
            text.replace(at, from.size(), by);
        }
    }
    return text;
}

std::string OwnCommandName() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

TEST_P(Doctor, NamesEachTrapWithItsFix) {
    const DoctorCase& c = GetParam();
    std::string user = "root", cli = ROMLIFT_CLI;
    if (c.asNobody) {
        if (const std::string why = CannotRunAsNobody(&user); !why.empty()) {
            GTEST_SKIP() << why;
        }
        if (GroupId("dialout") == static_cast<gid_t>(-1)) {
            GTEST_SKIP() << "no group dialout on this machine";
        }
        cli = CopyForNobody(dir_).string();
        ASSERT_FALSE(cli.empty());
    } else if (::geteuid() != 0) {
        GTEST_SKIP() << "the machine's access check reads differently for a user other than root";
    }
    std::vector<std::unique_ptr<NamedProcess>> processes;
    for (const std::string& name : c.processes) {
        processes.push_back(std::make_unique<NamedProcess>(dir_, name));
        ASSERT_GT(processes.back()->Pid(), 0);
    }
    c.build(*this);

    const group* g = ::getgrgid(c.asNobody ? kNobody : 0);
    const std::vector<std::pair<std::string, std::string>> words{
        {"$DEV", Dev().string()},
        {"$PID", processes.empty() ? "" : std::to_string(processes.front()->Pid())},
        {"$U", user},
        {"$G", g != nullptr ? g->gr_name : ""},
        {"$SELF", OwnCommandName() + ", PID " + std::to_string(::getpid())},
        {"$IMAGE", (dir_ / "PLQ5A_doctor.abs").string()}};
    const auto run = [&](std::vector<std::string> args) {
        return RunTool(c.asNobody ? NobodySpec(cli, {}, args, Env()) : RunSpec{args, Env()});
    };

    const Outcome text = run({"doctor"});
    EXPECT_EQ(text.exitStatus, c.exitStatus) << text.out << text.err;
    const std::vector<std::string> lines = Lines(text.out);
    for (const std::string& line : c.lines) {
        EXPECT_THAT(lines, Contains(Replaced(line, words))) << text.out;
    }

    // The same findings, one object a line, for scripts.
    const Outcome json = run({"doctor", "--json"});
    EXPECT_EQ(json.exitStatus, c.exitStatus);
    std::vector<std::string> fromJson;
    for (const nlohmann::json& j : JsonLines(json.out)) {
        if (j["event"] == "check") {
            std::string level = j["level"];
            std::transform(level.begin(), level.end(), level.begin(), ::toupper);
            level.resize(8, ' ');
            fromJson.push_back(level + " " + j["text"].get<std::string>());
            if (!j["fix"].is_null()) {
                fromJson.push_back("         fix: " + j["fix"].get<std::string>());
            }
        } else {
            EXPECT_EQ(j["event"], "summary");
            EXPECT_EQ(j["problems"].get<int>() > 0, c.exitStatus == 1);
        }
    }
    fromJson.push_back(lines.empty() ? "" : lines.back());  // the summary line
    EXPECT_EQ(fromJson, lines);

    if (c.download.empty()) {
        return;
    }
    ASSERT_TRUE(WriteBytes(dir_ / "PLQ5A_doctor.abs", Image(400)));
    std::vector<std::string> args;
    for (const std::string& a : c.download) {
        args.push_back(Replaced(a, words));
    }
    const Outcome download = run(args);
    EXPECT_EQ(download.exitStatus, c.downloadStatus) << download.err;
    const std::vector<std::string> said = Lines(download.err);
    EXPECT_THAT(said, Contains(Replaced(c.downloadLine, words))) << download.err;
    if (c.first) {
        ASSERT_FALSE(said.empty());
        EXPECT_EQ(said.front(), Replaced(c.downloadLine, words));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Traps, Doctor,
    ::testing::Values(
        // brltty took the CH340 through usbfs: no ttyUSB, so COM1 names nothing.
        DoctorCase{
            "Ch340HeldByBrltty",
            {"brltty"},
            false,
            [](Doctor& d) {
                FakeAdapter ch340{"ttyUSB0", "1a86", "7523", "", "1-3", "", "USB Serial", "ch341"};
                ch340.tty = false;
                ch340.interfaceDriver = "usbfs";
                d.Sysfs().Plug(ch340);
            },
            1,
            {"PROBLEM  USB adapter 1a86:7523 (QinHeng CH340) on USB port 1-3 has no serial "
             "device: brltty (a braille display service, PID $PID) has claimed it",
             "         fix: " + kBrlttyFix, "WARNING  no serial device found",
             "1 problem, 1 warning"},
            {"download", "--port", "COM1", "--model", kModel, "--image", "$IMAGE", "--no-record"},
            1,
            "romlift-cli: COM1: no device has this number; brltty (a braille display "
            "service, PID $PID) has claimed USB adapter 1a86:7523 (QinHeng CH340) on USB "
            "port 1-3, so no serial device was made for it: " +
                kBrlttyFix},
        // ttyACM0 is left to ModemManager (and held by this test's unit); ttyACM1 is not.
        DoctorCase{"AcmNotIgnoredByModemManager",
                   {"ModemManager"},
                   false,
                   [](Doctor& d) {
                       const std::string pty = d.UnitPty();
                       struct stat st {};
                       ASSERT_EQ(::stat(pty.c_str(), &st), 0);
                       const std::string number = std::to_string(::major(st.st_rdev)) + ":" +
                                                  std::to_string(::minor(st.st_rdev));
                       FakeAdapter uno{"ttyACM0", "2341",    "0043", "7563",
                                       "1-4",     "Arduino", "Uno",  "cdc_acm"};
                       uno.devNumber = number;
                       d.Sysfs().Plug(uno);
                       d.Node("ttyACM0", "root", 0660, pty);
                       d.UdevEntry(number, "E:ID_VENDOR_ID=2341\nE:ID_MODEL_ID=0043\n");
                       FakeAdapter told{"ttyACM1", "2341",    "0043", "7564",
                                        "1-5",     "Arduino", "Uno",  "cdc_acm"};
                       d.Sysfs().Plug(told);
                       d.UdevEntry("166:1", "E:ID_VENDOR_ID=2341\nE:ID_MM_DEVICE_IGNORE=1\n");
                   },
                   0,
                   {"WARNING  $DEV/ttyACM0: ModemManager (PID $PID) may send AT commands to it "
                    "in the first seconds after it appears, into a download",
                    "         fix: echo 'ATTRS{idVendor}==\"2341\", ATTRS{idProduct}==\"0043\", "
                    "ENV{ID_MM_DEVICE_IGNORE}=\"1\"" +
                        kUdevTail,
                    "OK       $DEV/ttyACM1: ModemManager is told to leave it alone "
                    "(ID_MM_DEVICE_IGNORE)",
                    "WARNING  $DEV/ttyACM0 is in use by another program ($SELF): close it, then "
                    "try again"},
                   {"download", "--port", "$DEV/ttyACM0", "--model", kModel, "--image", "$IMAGE",
                    "--no-record"},
                   0,
                   "romlift-cli: $DEV/ttyACM0: ModemManager is running and may send AT commands "
                   "to this ttyACM port, into the download; to keep it away: echo "
                   "'ATTRS{idVendor}==\"2341\", ATTRS{idProduct}==\"0043\", "
                   "ENV{ID_MM_DEVICE_IGNORE}=\"1\"" +
                       kUdevTail,
                   true},
        DoctorCase{"UserNotInDialout",
                   {},
                   true,
                   [](Doctor& d) {
                       FakeAdapter ftdi{"ttyUSB0", "0403", "6001", "A1"};
                       ftdi.latencyTimer = "16";
                       d.Sysfs().Plug(ftdi);
                       d.Node("ttyUSB0", "dialout", 0660);
                   },
                   1,
                   {"PROBLEM  user $U (groups $G) is not in group dialout of $DEV/ttyUSB0",
                    "         fix: sudo usermod -aG dialout $U, then log out and in again",
                    "OK       $DEV/ttyUSB0: COM1, driver ftdi_sio, USB 0403:6001, FTDI FT232R USB "
                    "UART, serial A1",
                    "OK       $DEV/ttyUSB0: latency timer 16 ms; a download switches the port to "
                    "low latency (1 ms) and back"}},
        // Two CH340s without serial numbers: udev gives them one by-id name, the last one's.
        DoctorCase{"SerialLessAdaptersShareAByIdName",
                   {},
                   false,
                   [](Doctor& d) {
                       for (const char* n : {"0", "1"}) {
                           d.Sysfs().Plug(FakeAdapter{std::string("ttyUSB") + n, "1a86", "7523", "",
                                                      std::string("1-") + n, "", "USB Serial",
                                                      "ch341"});
                           d.Node(std::string("ttyUSB") + n);
                       }
                       fs::create_symlink("../../ttyUSB1",
                                          d.Dev() / "serial/by-id/usb-1a86_USB_Serial-if00-port0");
                   },
                   0,
                   {"WARNING  $DEV/ttyUSB0, $DEV/ttyUSB1 (1a86:7523, no serial number) share "
                    "one /dev/serial/by-id name ($DEV/serial/by-id/usb-1a86_USB_Serial-if00-port0 "
                    "names $DEV/ttyUSB1 only)",
                    "         fix: name them by USB socket instead: their COM numbers "
                    "(romlift-cli ports) or /dev/serial/by-path; plug each into the same socket "
                    "every time",
                    "OK       $DEV/ttyUSB1: driver ch341 has no latency timer; low latency does "
                    "not apply"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace romlift::testing
