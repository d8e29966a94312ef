// romlift-cli when the serial device is the problem: no access for this user, not there, not a
// terminal, held by another program, or gone mid-download; and signals from a closing terminal.
// Each case: the unit's texts unchanged, romlift-cli's own advice line exactly, exit status 1,
// and the device free again afterwards.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "as_nobody.h"
#include "cli_fixture.h"

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::AnyOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kDownloading =
    "Downloading file img.abs to selected unit.\nThis takes a long time, please wait...\n";
const std::string kSeePorts = "romlift-cli ports lists the serial devices present";

std::string After(int frame) {
    return "Unit is not responding.\nResponse failed after frame number " + std::to_string(frame) +
           ". Please retry...\n";
}

std::string OwnCommandName() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

class PortTrouble : public CliFixture {
  protected:
    void SetUp() override {
        CliFixture::SetUp();
        // Readable by the unprivileged user the permission cases run as.
        ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
        image_ = Image(400);
        const fs::path p = scratch_.Write("img.abs", image_);
        ASSERT_FALSE(p.empty());
        ASSERT_EQ(::chmod(p.c_str(), 0644), 0);
        imagePath_ = p.string();
        pty_ = bare_.Path();
        ASSERT_FALSE(pty_.empty());
    }

    std::vector<std::string> Download(const std::string& port,
                                      std::vector<std::string> extra = {}) {
        return DownloadImage({port}, imagePath_, extra);
    }

    std::vector<uint8_t> image_;
    std::string imagePath_;
    BarePty bare_;
    std::string pty_;  // a port that opens, with nobody answering
};

// ---- permissions -------------------------------------------------------------------------

// Runs romlift-cli as the user nobody through setpriv, from a copy that user may execute (the
// build folder may sit where nobody can reach it).
class AsNobody : public PortTrouble {
  protected:
    void SetUp() override {
        PortTrouble::SetUp();
        if (const std::string why = CannotRunAsNobody(&user_); !why.empty()) {
            GTEST_SKIP() << why;
        }
        cli_ = CopyForNobody(dir_);
        ASSERT_FALSE(cli_.empty());
        // A download record of nobody's own: root's in the shared scratch home is not its to
        // write.
        fs::create_directory(StateDir());
        ASSERT_EQ(::chown(StateDir().c_str(), kNobody, kNobody), 0);
    }

    RunSpec Spec(std::vector<std::string> groups, std::vector<std::string> args,
                 std::vector<std::string> env = {}) {
        return NobodySpec(cli_, groups, args, OwnState(env));
    }

    static bool Own(const std::string& device, const char* group, mode_t mode) {
        return OwnAs(device, group, mode);
    }
    static gid_t Gid(const char* name) { return GroupId(name); }

    std::string user_;
    fs::path cli_;
};

struct AccessCase {
    const char* group;
    mode_t mode;
    std::string advice;  // after "permission denied on <pty> (COM1): "; $U is the user
};

class DeniedDevice : public AsNobody, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(DeniedDevice, NamesTheDeviceTheUserAndTheGroupToJoin) {
    const AccessCase& c = GetParam();
    if (Gid(c.group) == static_cast<gid_t>(-1)) {
        GTEST_SKIP() << "no group " << c.group << " on this machine";
    }
    ASSERT_TRUE(Own(pty_, c.group, c.mode));

    std::string advice = c.advice;
    for (size_t at; (at = advice.find("$U")) != std::string::npos;) {
        advice.replace(at, 2, user_);
    }
    const Outcome o = RunTool(Spec({}, Download("COM1"), {"ROMLIFT_COM1=" + pty_}));
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_EQ(o.err, kDownloading + "Can not open Port COM1\nromlift-cli: permission denied on " +
                         pty_ + " (COM1): " + advice + "\n");
    EXPECT_TRUE(OpensExclusively(pty_));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DeniedDevice,
    ::testing::Values(
        AccessCase{"dialout", 0660,
                   "user $U may not open it; join group dialout (sudo usermod -aG dialout $U), "
                   "then log out and in again"},
        // Not dialout: the group the device really has is the one to join.
        AccessCase{"tty", 0660,
                   "user $U may not open it; join group tty (sudo usermod -aG tty $U), then log "
                   "out and in again"},
        // A group without read and write access is no use to join.
        AccessCase{"dialout", 0620,
                   "mode 0620 lets only its owner root use it; ask the administrator to give "
                   "group dialout read and write access (a udev rule), then join that group"}),
    [](const auto& info) {
        return std::string(info.param.group) + "_" + std::to_string(info.index);
    });

TEST_F(AsNobody, AfterJoiningTheGroupTheDownloadGoesThrough) {
    auto& unit = StartUnit();
    const std::string device = unit.DevicePath();
    ASSERT_TRUE(Own(device, "dialout", 0660));

    const Outcome denied = RunTool(Spec({}, Download(device, {"--json"})));
    EXPECT_EQ(denied.exitStatus, 1);
    EXPECT_THAT(denied.out,
                HasSubstr("{\"event\":\"hint\",\"port\":\"" + device +
                          "\",\"kind\":\"permission\",\"device\":\"" + device +
                          "\",\"errno\":13,\"holders\":[],\"text\":\"permission denied on " +
                          device + ": user " + user_ + " may not open it; join group dialout"));
    EXPECT_TRUE(unit.Attempts().empty());

    const Outcome o = RunTool(Spec({"dialout"}, Download(device)));
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_THAT(o.err, EndsWith("DownLoad is Completed Successfully\n"));
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(unit.Attempts()[0].image, image_);
}

TEST_F(AsNobody, PortsListMarksDevicesThisUserCannotOpen) {
    ASSERT_TRUE(Own(pty_, "dialout", 0660));
    const Outcome o = RunTool(Spec({}, {"ports"}, {"ROMLIFT_COM2=" + pty_}));
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_THAT(
        o.out,
        HasSubstr("  COM2  " + pty_ +
                  "  (environment: ROMLIFT_COM2, no access for this user (group dialout))\n"));
    const Outcome member = RunTool(Spec({"dialout"}, {"ports"}, {"ROMLIFT_COM2=" + pty_}));
    EXPECT_THAT(member.out, HasSubstr("  COM2  " + pty_ + "  (environment: ROMLIFT_COM2)\n"));
}

// The image and the drivers folder are refused the same way a device is: owner, mode, and the
// user who may not read them.
TEST_F(AsNobody, AnImageOrDriversFolderThisUserMayNotReadIsExplained) {
    ASSERT_EQ(::chmod(imagePath_.c_str(), 0600), 0);
    const Outcome image = RunTool(Spec({}, Download(pty_)));
    EXPECT_EQ(image.exitStatus, 1);
    EXPECT_EQ(image.err, kDownloading + "Download :Can not open file\nromlift-cli: image " +
                             imagePath_ +
                             ": permission denied: owner root, group root, mode 0600; user " +
                             user_ + " may not read it\n");

    const fs::path drivers = dir_ / "drivers";
    ASSERT_TRUE(fs::create_directory(drivers));
    ASSERT_EQ(::chmod(drivers.c_str(), 0700), 0);
    const Outcome folder =
        RunTool(Spec({}, testing::Download({pty_}, {"--drivers", drivers.string()})));
    EXPECT_EQ(folder.exitStatus, 2);
    EXPECT_EQ(folder.err, "romlift-cli: --drivers " + drivers.string() +
                              ": permission denied: owner root, group root, mode 0700; user " +
                              user_ + " may not read it\n");
}

// ---- a device that is not there, or not a serial port --------------------------------------

TEST_F(PortTrouble, AbsentDeviceIsNamedWithItsComPortAndThePortsCommand) {
    const std::string missing = (dir_ / "ttyUSB0").string();
    const Outcome com = RunTool(RunSpec{Download("COM3"), {"ROMLIFT_COM3=" + missing}});
    EXPECT_EQ(com.exitStatus, 1);
    EXPECT_EQ(com.err, kDownloading + "Can not open Port COM3\nromlift-cli: no such device " +
                           missing + " (COM3): plug in the adapter or choose another port; " +
                           kSeePorts + "\n");
    EXPECT_FALSE(fs::exists(missing)) << "the open created the device";

    const Outcome path = RunTool(RunSpec{Download(missing, {"--json"})});
    EXPECT_EQ(path.exitStatus, 1);
    EXPECT_THAT(path.out, HasSubstr("{\"event\":\"hint\",\"port\":\"" + missing +
                                    "\",\"kind\":\"absent\",\"device\":\"" + missing +
                                    "\",\"errno\":2,\"holders\":[],\"text\":\"no such device " +
                                    missing + ": plug in the adapter"));
    // The outcome line keeps its fields and comes after the advice.
    EXPECT_THAT(path.out,
                HasSubstr("\"}\n{\"event\":\"outcome\",\"port\":\"" + missing +
                          "\",\"confirmed\":false,\"interrupted\":false,\"recorded\":true,"
                          "\"status\":\"Can not open Port " +
                          missing + "\"}\n"));
}

TEST_F(PortTrouble, ThingsThatAreNotTerminalsAreCalledSo) {
    for (const std::string& device : {imagePath_, std::string("/dev/null"), dir_.string()}) {
        const Outcome o = RunTool(RunSpec{Download(device)});
        EXPECT_EQ(o.exitStatus, 1) << device;
        EXPECT_EQ(o.err, kDownloading + "Can not open Port " + device + "\nromlift-cli: " + device +
                             " is not a serial device (not a terminal); name the serial port's "
                             "device, e.g. /dev/ttyUSB0; " +
                             kSeePorts + "\n");
    }
    EXPECT_EQ(FileBytes(imagePath_), std::string(image_.begin(), image_.end()))
        << "opening the image as a port changed it";
}

// ---- a device another program holds --------------------------------------------------------

std::string BusyLine(const std::string& shown, const std::string& program, pid_t pid) {
    return "romlift-cli: " + shown + " is in use by another program (" + program + ", PID " +
           std::to_string(pid) + "): close it, then try again\n";
}

TEST_F(PortTrouble, PortHeldInThisProcessNamesItsProgramAndPid) {
    {
        SerialPort holder;
        ASSERT_EQ(holder.Open(pty_), SerialPort::OpenError::None);
        const Outcome o = RunTool(RunSpec{Download("COM2"), {"ROMLIFT_COM2=" + pty_}});
        EXPECT_EQ(o.exitStatus, 1);
        EXPECT_EQ(o.err, kDownloading + "Can not open Port COM2\n" +
                             BusyLine(pty_ + " (COM2)", OwnCommandName(), ::getpid()));
        EXPECT_TRUE(holder.IsOpen());
    }
    EXPECT_TRUE(OpensExclusively(pty_)) << "the refused run left the port locked";
}

TEST_F(PortTrouble, PortHeldByAnotherProcessNamesThatPidInTextAndJson) {
    {
        HoldingChild child(pty_);
        ASSERT_TRUE(child.Held());
        const Outcome o = RunTool(RunSpec{Download(pty_)});
        EXPECT_EQ(o.exitStatus, 1);
        EXPECT_THAT(o.err, EndsWith("Can not open Port " + pty_ + "\n" +
                                    BusyLine(pty_, OwnCommandName(), child.Pid())));

        const Outcome j = RunTool(RunSpec{Download(pty_, {"--json"})});
        EXPECT_EQ(j.exitStatus, 1);
        EXPECT_THAT(j.out, HasSubstr("\"kind\":\"busy\",\"device\":\"" + pty_ +
                                     "\",\"errno\":" + std::to_string(EWOULDBLOCK) +
                                     ",\"holders\":[{\"pid\":" + std::to_string(child.Pid()) +
                                     ",\"program\":\"" + OwnCommandName() + "\"}]"));
        EXPECT_FALSE(OpensExclusively(pty_));
    }
    EXPECT_TRUE(OpensExclusively(pty_));
}

// Without root the exclusive mode refuses the open itself (EBUSY); the holder is still found
// through its flock, which /proc/locks shows to everyone.
TEST_F(AsNobody, PortHeldByRootIsBusyForAnOrdinaryUserToo) {
    ASSERT_TRUE(Own(pty_, "dialout", 0660));
    {
        SerialPort holder;
        ASSERT_EQ(holder.Open(pty_), SerialPort::OpenError::None);
        const Outcome o = RunTool(Spec({"dialout"}, Download(pty_, {"--json"})));
        EXPECT_EQ(o.exitStatus, 1);
        EXPECT_THAT(o.out, HasSubstr("\"kind\":\"busy\",\"device\":\"" + pty_ +
                                     "\",\"errno\":" + std::to_string(EBUSY) +
                                     ",\"holders\":[{\"pid\":" + std::to_string(::getpid()) + ","));
    }
    EXPECT_TRUE(OpensExclusively(pty_));
}

// ---- a device that goes away mid-download, and signals ---------------------------------------

TEST_F(PortTrouble, AdapterPulledMidDownloadThenPluggedBackIn) {
    // COM1 is a symbolic link, as a udev by-id name would be; it is re-pointed at the unit that
    // comes back.
    const fs::path link = dir_ / "ttyCOM1";
    auto [pulled, watch] = StartWatchedUnit();
    fs::create_symlink(pulled.DevicePath(), link);

    Running run = StartTool(RunSpec{Download("COM1"), {"ROMLIFT_COM1=" + link.string()}});
    ASSERT_TRUE(watch.WaitFor(3, 20000));
    const auto pulledAt = std::chrono::steady_clock::now();
    pulled.Stop();
    const Outcome o = FinishTool(run);
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - pulledAt).count();

    EXPECT_EQ(o.exitStatus, 1);
    const std::string advice = "romlift-cli: " + link.string() +
                               " (COM1) went away (hung up) during the download: check the cable "
                               "and the USB adapter; the unit may need the download again\n";
    EXPECT_THAT(o.err,
                AnyOf(EndsWith("\nDown Load Error In Writing\n" + advice),
                      EndsWith("\n" + After(3) + advice), EndsWith("\n" + After(4) + advice)));
    // At worst a drain (5 s) and a write (2 s) that both run out, then the pause (28 ms) and the
    // answer time (10 s) of the next read; a dead line must not cost more than that.
    EXPECT_LT(s, 5.0 + 2.0 + 0.028 + 10.0 + 1.0);

    auto& unit = StartUnit();
    const fs::path next = dir_ / "ttyCOM1.next";
    fs::create_symlink(unit.DevicePath(), next);
    fs::rename(next, link);
    const Outcome again = RunTool(RunSpec{Download("COM1"), {"ROMLIFT_COM1=" + link.string()}});
    EXPECT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_THAT(again.err, Not(HasSubstr("romlift-cli:")));
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(unit.Attempts()[0].image, image_);
    EXPECT_TRUE(OpensExclusively(link.string()));
}

TEST_F(PortTrouble, HangUpAndBrokenPipeSignalsDoNotCutTheDownloadShort) {
    auto [unit, watch] = StartWatchedUnit();
    image_ = Image(1500);  // 30 frames, about a second on the line
    scratch_.Write("img.abs", image_);

    Running run = StartTool(RunSpec{Download(unit.DevicePath())});
    ASSERT_TRUE(watch.WaitFor(3, 20000));
    EXPECT_EQ(::kill(run.pid, SIGHUP), 0);
    EXPECT_EQ(::kill(run.pid, SIGPIPE), 0);
    ASSERT_TRUE(watch.WaitFor(6, 20000));
    EXPECT_EQ(::kill(run.pid, SIGHUP), 0);
    const Outcome o = FinishTool(run);

    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_THAT(o.err,
                EndsWith("DownLoad is Completed Successfully\nromlift-cli: hang-up signal "
                         "received during the download; the download ran to its end first\n"));
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(unit.Attempts()[0].image, image_);
    EXPECT_TRUE(unit.Violations().empty()) << unit.Violations().front();
    EXPECT_TRUE(OpensExclusively(unit.DevicePath()));
}

}  // namespace
}  // namespace romlift::testing
