// The COM map against a made-up sysfs tree: which device each number names, the numbers new
// adapters get and keep, and the map file left whole whatever happens.
#include "com_map.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <list>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_sysfs.h"
#include "scratch_dir.h"

namespace romlift::ports {
namespace {

using testing::EnvVar;
using testing::FakeAdapter;
using testing::FakeSysfs;
using ::testing::HasSubstr;
using testing::ScratchDir;

std::string Slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

FakeAdapter Adapter(std::string name, std::string serial, std::string usbPort) {
    FakeAdapter a;
    a.name = std::move(name);
    a.serial = std::move(serial);
    a.usbPort = std::move(usbPort);
    return a;
}

class ComMapTest : public ::testing::Test {
  protected:
    ComMapTest() : sysfs_(scratch_.Path() / "sys") {
        paths_.sys = sysfs_.Root();
        paths_.dev = "/dev";
        paths_.machineMap = scratch_.Path() / "etc" / "ports.conf";
        paths_.userMap = scratch_.Path() / "config" / "romlift" / "ports.conf";
        for (int n = 1; n <= 6; ++n) {
            env_.emplace_back(("ROMLIFT_COM" + std::to_string(n)).c_str());
            env_.back().Unset();
        }
    }
    // Each look at the ports as a fresh program run would.
    ComResolution Look(int com) {
        ComMap map(paths_);
        map.Refresh();
        return map.Resolve(com);
    }

    ScratchDir scratch_;
    FakeSysfs sysfs_;
    PortsPaths paths_;
    std::list<EnvVar> env_;
};

TEST_F(ComMapTest, EachNumberNamesItsDeviceInOrderOfPrecedence) {
    sysfs_.AddTtyS(0, true);
    sysfs_.AddTtyS(1, false);  // a slot the kernel registered without a UART
    sysfs_.AddTtyS(2, true);
    sysfs_.Plug(Adapter("ttyUSB0", "A1", "1-2"));
    ::setenv("ROMLIFT_COM3", "/dev/pts/7", 1);

    struct Case {
        int com;
        std::string device;
        ComSource source;
        std::string describe;
    } cases[] = {
        {1, "/dev/ttyS0", ComSource::TtySDefault, "COM1: /dev/ttyS0, UART"},
        {2, "/dev/ttyUSB0", ComSource::MapFile,
         "COM2: /dev/ttyUSB0, FTDI FT232R USB UART, serial A1"},
        {3, "/dev/pts/7", ComSource::Environment, "COM3: /dev/pts/7, ROMLIFT_COM3"},
        {4, "", ComSource::None, "COM4: no device has this number"},
    };
    for (const Case& c : cases) {
        const ComResolution r = Look(c.com);
        EXPECT_EQ(r.device, c.device) << c.com;
        EXPECT_EQ(r.source, c.source) << c.com;
        EXPECT_EQ(r.Describe(), c.describe);
    }
    // The adapter took COM2 (ttyS1 has no UART); the variable beats the saved adapter.
    ::setenv("ROMLIFT_COM2", "/dev/pts/8", 1);
    EXPECT_EQ(Look(2).device, "/dev/pts/8");
}

TEST_F(ComMapTest, NewAdaptersGetTheLowestFreeNumbersInNameOrderAndKeepThemWhenReplugged) {
    sysfs_.AddTtyS(0, true);
    ::setenv("ROMLIFT_COM2", "/dev/pts/3", 1);
    const FakeAdapter second = Adapter("ttyUSB1", "B2", "1-3");
    const FakeAdapter first = Adapter("ttyUSB0", "A1", "1-2");
    FakeAdapter bare = Adapter("ttyACM0", "", "1-4");  // no serial number: known by its socket
    bare.vendor = "2341";
    bare.product = "0043";
    bare.driver = "cdc_acm";
    sysfs_.Plug(second);
    sysfs_.Plug(first);
    sysfs_.Plug(bare);
    EXPECT_EQ(Look(3).device, "/dev/ttyACM0");
    EXPECT_EQ(Look(4).device, "/dev/ttyUSB0");
    EXPECT_EQ(Look(5).device, "/dev/ttyUSB1");
    const std::string saved = Slurp(paths_.userMap);
    EXPECT_THAT(saved, HasSubstr("\nCOM3 = 2341:0043 port 1-4\nCOM4 = 0403:6001 serial A1\n"
                                 "COM5 = 0403:6001 serial B2\n"));

    // Both pulled, plugged back the other way round and into other sockets.
    sysfs_.Unplug(first);
    sysfs_.Unplug(second);
    EXPECT_EQ(Look(4).detail,
              "the adapter saved for this number (0403:6001 serial A1) is not plugged in");
    sysfs_.Plug(Adapter("ttyUSB0", "B2", "1-5"));
    sysfs_.Plug(Adapter("ttyUSB1", "A1", "1-6"));
    EXPECT_EQ(Look(4).device, "/dev/ttyUSB1");
    EXPECT_EQ(Look(5).device, "/dev/ttyUSB0");
    EXPECT_EQ(Slurp(paths_.userMap), saved) << "a returning adapter got a second number";
}

TEST_F(ComMapTest, AMapFileThatDoesNotParseIsLeftAloneAndTheRestStillWorks) {
    sysfs_.AddTtyS(0, true);
    sysfs_.Plug(Adapter("ttyUSB0", "A1", "1-2"));
    ::setenv("ROMLIFT_COM2", "/dev/pts/3", 1);
    std::filesystem::create_directories(paths_.userMap.parent_path());
    const std::string broken = "# mine\nCOM3 = 0403:6001 serial A1\nCOM3 = /dev/ttyS9\n";
    std::ofstream(paths_.userMap) << broken;

    ComMap map(paths_);
    map.Refresh();
    ASSERT_EQ(map.Problems().size(), 2u);
    EXPECT_THAT(map.Problems()[0],
                HasSubstr(paths_.userMap.string() + ": line 3: COM3 is given on line 2 already"));
    EXPECT_THAT(map.Problems()[1], HasSubstr("new adapters got no COM number"));
    EXPECT_EQ(map.Resolve(1).device, "/dev/ttyS0");
    EXPECT_EQ(map.Resolve(2).device, "/dev/pts/3");
    EXPECT_EQ(map.Resolve(3).source, ComSource::None);
    std::string why;
    EXPECT_FALSE(map.Assign(4, "/dev/ttyUSB0", false, &why));
    EXPECT_FALSE(map.Forget(3, &why));
    EXPECT_EQ(Slurp(paths_.userMap), broken);
}

TEST_F(ComMapTest, AssignRefusesATakenNumberUnlessForcedAndTheMachineMapWins) {
    sysfs_.Plug(Adapter("ttyUSB0", "A1", "1-2"));
    sysfs_.Plug(Adapter("ttyUSB1", "B2", "1-3"));
    std::filesystem::create_directories(paths_.machineMap.parent_path());
    const std::string machine = "COM7 = 0403:6001 serial Z9\n";
    std::ofstream(paths_.machineMap) << machine;
    ComMap map(paths_);
    map.Refresh();  // A1 is COM1, B2 COM2

    std::string why;
    EXPECT_FALSE(map.Assign(1, "/dev/ttyUSB1", false, &why));
    EXPECT_EQ(why, "COM1 is taken by 0403:6001 serial A1 (give --force to move it)");
    EXPECT_FALSE(map.Assign(7, "/dev/ttyUSB1", true, &why));
    EXPECT_THAT(why, HasSubstr("the machine's own map"));
    EXPECT_FALSE(map.Assign(3, "/dev/ttyUSB9", false, &why));

    ASSERT_TRUE(map.Assign(1, "/dev/ttyUSB1", true, &why)) << why;
    EXPECT_EQ(map.Resolve(1).device, "/dev/ttyUSB1");
    EXPECT_EQ(map.Resolve(2).source, ComSource::None) << "B2 kept its old number as well";
    ASSERT_TRUE(map.Forget(1, &why)) << why;
    EXPECT_FALSE(map.Forget(1, &why));
    EXPECT_EQ(Slurp(paths_.machineMap), machine);
}

// The window program gives numbers by swapping: the adapter that had the number takes the other's.
TEST_F(ComMapTest, SwapTradesNumbersAndAnUnnumberedDeviceLeavesTheHolderToBeNumberedAgain) {
    sysfs_.Plug(Adapter("ttyUSB0", "A1", "1-2"));
    sysfs_.Plug(Adapter("ttyUSB1", "B2", "1-3"));
    ComMap map(paths_);
    map.Refresh();  // A1 is COM1, B2 COM2
    std::string why;
    ASSERT_TRUE(map.Swap(2, "/dev/ttyUSB0", &why)) << why;
    EXPECT_EQ(map.Resolve(2).device, "/dev/ttyUSB0");
    EXPECT_EQ(map.Resolve(1).device, "/dev/ttyUSB1");

    // A UART numbered by default only: the adapter it displaces is numbered afresh.
    sysfs_.AddTtyS(3, true);  // COM4 by default
    map.Refresh();
    ASSERT_TRUE(map.Swap(1, "/dev/ttyS3", &why)) << why;
    EXPECT_EQ(Look(1).device, "/dev/ttyS3");
    EXPECT_EQ(Look(2).device, "/dev/ttyUSB0");
    EXPECT_EQ(Look(3).device, "/dev/ttyUSB1");
}

TEST_F(ComMapTest, ProgramsNumberingAtOnceGiveEachAdapterOneNumber) {
    for (int i = 0; i < 6; ++i) {
        sysfs_.Plug(Adapter("ttyUSB" + std::to_string(i), "S" + std::to_string(i),
                            "1-" + std::to_string(i + 2)));
    }
    std::vector<pid_t> children;
    for (int k = 0; k < 8; ++k) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ComMap map(paths_);
            map.Refresh();
            ::_exit(map.Problems().empty() ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    MapFile file;
    std::string why;
    ASSERT_TRUE(ParseMap(Slurp(paths_.userMap), &file, &why)) << why;
    ASSERT_EQ(file.entries.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Look(i + 1).device, "/dev/ttyUSB" + std::to_string(i));
    }
}

}  // namespace
}  // namespace romlift::ports
