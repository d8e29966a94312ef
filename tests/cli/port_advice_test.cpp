// The advice lines for each way a port can fail, and finding who holds a device, without
// running the tool: the wordings that need a user database or a kernel state no test can set
// up for real.
#include "port_advice.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli_fixture.h"
#include "device_access.h"
#include "device_holders.h"
#include "serial_port.h"

namespace romlift::ports {
namespace {

namespace fs = std::filesystem;
using advice::AdviseOnFault;
using ::testing::ElementsAre;

const std::string kShown = "/dev/ttyUSB0 (COM2)";

struct PermissionCase {
    AccessFacts facts;
    std::string text;
};

class Permission : public ::testing::TestWithParam<PermissionCase> {};

TEST_P(Permission, SaysWhatThisUserCanDo) {
    EXPECT_EQ(PermissionText(GetParam().facts, kShown),
              "permission denied on /dev/ttyUSB0 (COM2): " + GetParam().text);
}

AccessFacts Facts(const char* group, mode_t mode, bool listed, bool session) {
    return AccessFacts{"ann", true, "root", group, mode, listed, session};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Permission,
    ::testing::Values(
        PermissionCase{Facts("dialout", 0660, false, false),
                       "user ann may not open it; join group dialout (sudo usermod -aG dialout "
                       "ann), then log out and in again"},
        PermissionCase{Facts("uucp", 0660, false, false),
                       "user ann may not open it; join group uucp (sudo usermod -aG uucp ann), "
                       "then log out and in again"},
        // usermod has been run, but the login still has the groups it started with.
        PermissionCase{Facts("dialout", 0660, true, false),
                       "user ann has joined group dialout, but this login started before that; "
                       "log out and in again (or run newgrp dialout)"},
        PermissionCase{Facts("dialout", 0660, true, true),
                       "user ann is in its group dialout yet may not open it; ask the "
                       "administrator to check its access rules"},
        PermissionCase{Facts("dialout", 0600, false, false),
                       "mode 0600 lets only its owner root use it; ask the administrator to give "
                       "group dialout read and write access (a udev rule), then join that group"},
        PermissionCase{AccessFacts{"ann", false, "", "", 0, false, false},
                       "user ann may not reach it; a folder on its path keeps this user out"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(BusyText, NamesEveryHolderSeenOrJustAnotherProgram) {
    EXPECT_EQ(BusyText(kShown, {}),
              "/dev/ttyUSB0 (COM2) is in use by another program: close it, then try again");
    EXPECT_EQ(BusyText(kShown, {{812, "minicom"}, {990, ""}}),
              "/dev/ttyUSB0 (COM2) is in use by another program (minicom, PID 812; PID 990): close "
              "it, then try again");
}

struct FaultCase {
    PortFault fault;
    std::string label;
    std::string kind;
    std::string text;
};

class Advice : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Advice, KindAndLineForTheFault) {
    const FaultCase& c = GetParam();
    const auto a = AdviseOnFault(c.fault, c.label);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->kind, c.kind);
    EXPECT_EQ(a->text, c.text);
    EXPECT_EQ(a->device, c.fault.device);
    EXPECT_EQ(a->err, c.fault.err);
}

using K = PortFault::Kind;
using E = SerialPort::OpenError;
const std::string kGone = "/tmp/romlift-no-such-dir/ttyS1";
const std::string kSeePorts = "romlift-cli ports lists the serial devices present";

std::string NoHardware(const std::string& shown) {
    return "no serial port answers at " + shown +
           ": the device node is there but no hardware is behind it; " + kSeePorts;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Advice,
    ::testing::Values(
        // A ttyS node without a UART behind it refuses the open with EIO.
        FaultCase{{K::OpenFailed, E::Open, EIO, "/dev/ttyS1", ""},
                  "COM2",
                  "no-hardware",
                  NoHardware("/dev/ttyS1 (COM2)")},
        // On a real kernel the open of an empty ttyS slot succeeds; the first tcgetattr says EIO.
        FaultCase{{K::OpenFailed, E::NoUart, EIO, "/dev/ttyS2", ""},
                  "COM3",
                  "no-hardware",
                  NoHardware("/dev/ttyS2 (COM3)")},
        FaultCase{{K::NoDevice, E::None, 0, "", "no device has this number"},
                  "COM4",
                  "no-number",
                  "COM4: no device has this number; plug in the adapter (a new one gets the lowest "
                  "free COM number) or give one a number with romlift-cli ports assign COM4 "
                  "DEVICE; romlift-cli ports lists the serial devices present"},
        FaultCase{{K::OpenFailed, E::Open, ENXIO, "/dev/ttyUSB3", ""},
                  "/dev/ttyUSB3",
                  "no-hardware",
                  NoHardware("/dev/ttyUSB3")},
        FaultCase{{K::OpenFailed, E::Open, ENOENT, kGone, ""},
                  "COM2",
                  "absent",
                  "no such device " + kGone +
                      " (COM2): plug in the adapter or choose another port; " + kSeePorts},
        // Under TIOCEXCL the open itself says EBUSY; nobody holding it can be seen here.
        FaultCase{{K::OpenFailed, E::Open, EBUSY, kGone, ""},
                  kGone,
                  "busy",
                  kGone + " is in use by another program: close it, then try again"},
        FaultCase{{K::OpenFailed, E::Busy, EWOULDBLOCK, kGone, ""},
                  kGone,
                  "busy",
                  kGone + " is in use by another program: close it, then try again"},
        FaultCase{{K::OpenFailed, E::Settings, EINVAL, "/dev/ttyACM0", ""},
                  "COM1",
                  "settings",
                  "/dev/ttyACM0 (COM1) would not take the line settings (9600 baud, 8 data bits, "
                  "raw): " +
                      std::string(std::strerror(EINVAL))},
        FaultCase{{K::OpenFailed, E::Open, ELOOP, "/dev/loop", ""},
                  "COM1",
                  "open",
                  "cannot open /dev/loop (COM1): " + std::string(std::strerror(ELOOP))},
        FaultCase{{K::HungUp, E::None, EIO, "/dev/ttyUSB0", ""},
                  "/dev/ttyUSB0",
                  "hung-up",
                  "/dev/ttyUSB0 went away (hung up) during the download: check the cable and the "
                  "USB adapter; the unit may need the download again"}),
    [](const auto& info) {
        return info.param.kind.substr(0, info.param.kind.find('-')) + std::to_string(info.index);
    });

TEST(Advice, NothingToSayWithoutAFault) {
    EXPECT_FALSE(AdviseOnFault(PortFault{}, "COM1").has_value());
}

// ---- holders -------------------------------------------------------------------------------

class Holders : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.Path().empty());
        ASSERT_FALSE(pty_.Path().empty());
        slave_ = pty_.Path();
        ASSERT_EQ(::stat(slave_.c_str(), &node_), 0);
    }

    // A process entry in a made-up /proc: its name and descriptors linking to `targets`.
    void Process(const std::string& pid, const std::string& comm,
                 const std::vector<std::string>& targets) {
        const fs::path dir = scratch_.Path() / pid;
        fs::create_directories(dir / "fd");
        std::ofstream(dir / "comm") << comm << "\n";
        int n = 0;
        for (const std::string& t : targets) {
            fs::create_symlink(t, dir / "fd" / std::to_string(n++));
        }
    }
    // The file system's major and minor in hex, then the inode, as /proc/locks writes them.
    static std::string Where(const struct stat& st) {
        char where[64];
        std::snprintf(where, sizeof where, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
        return where;
    }
    static std::string LockLine(int id, const std::string& pid, const struct stat& st) {
        return std::to_string(id) + ": FLOCK  ADVISORY  WRITE " + pid + " " + Where(st) +
               " 0 EOF\n";
    }

    testing::ScratchDir scratch_;
    testing::BarePty pty_;
    std::string slave_;
    struct stat node_ {};
};

TEST_F(Holders, FromLocksAndDescriptorsEachOnceWithoutSelf) {
    Process("40", "minicom", {"/dev/null", slave_});
    Process("41", "bash", {"/dev/null"});
    Process("42", "picocom", {});
    Process("77", "cli_tests", {slave_});
    Process("self", "x", {slave_});  // not a PID
    struct stat other {};
    ASSERT_EQ(::stat("/dev/null", &other), 0);
    std::ofstream(scratch_.Path() / "locks")
        << LockLine(1, "42", node_) << "2: -> FLOCK  ADVISORY  WRITE 43 " << Where(node_)
        << " 0 EOF\n"  // a waiter holds nothing
        << LockLine(3, "40", node_) << LockLine(4, "41", other) << "garbage line\n";
    const std::vector<Holder> h = FindHolders(slave_, 77, scratch_.Path().string());
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h[0].pid, 40);
    EXPECT_EQ(h[0].program, "minicom");
    EXPECT_EQ(h[1].pid, 42);
    EXPECT_EQ(h[1].program, "picocom");
}

TEST_F(Holders, NoneForADeviceThatIsNotThereOrNotADevice) {
    Process("40", "minicom", {slave_});
    EXPECT_TRUE(
        FindHolders((scratch_.Path() / "nope").string(), 1, scratch_.Path().string()).empty());
    EXPECT_TRUE(FindHolders(scratch_.Path().string(), 1, scratch_.Path().string()).empty());
}

TEST_F(Holders, RealProcessHoldingThePortIsFound) {
    std::vector<Holder> h;
    pid_t child = -1;
    {
        testing::HoldingChild holding(slave_);
        ASSERT_TRUE(holding.Held());
        child = holding.Pid();
        h = FindHolders(slave_, ::getpid());
    }
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].pid, child);
    EXPECT_FALSE(h[0].program.empty());
    EXPECT_TRUE(FindHolders(slave_, ::getpid()).empty()) << "the child's port outlived it";
}

}  // namespace
}  // namespace romlift::ports
