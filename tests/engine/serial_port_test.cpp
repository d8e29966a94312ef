#include "serial_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>

#include "scratch_dir.h"

namespace romlift {
namespace {

using ::romlift::testing::OpenDescriptorCount;
using ::romlift::testing::ScratchDir;

TEST(SerialPortOpen, RegularFileIsNotATerminal) {
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const auto file = dir.Write("ttyS2", {0x99});
    ASSERT_FALSE(file.empty());
    const int before = OpenDescriptorCount();
    SerialPort port;
    EXPECT_EQ(port.Open(file), SerialPort::OpenError::NotTerminal);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialPortOpen, OddDevicesFailWithoutLeaks) {
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const auto fifo = dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const int before = OpenDescriptorCount();
    for (const std::string& device : {fifo.string(), std::string("/dev/null")}) {
        SerialPort port;
        auto result = std::async(std::launch::async, [&] { return port.Open(device); });
        ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready) << device;
        EXPECT_EQ(result.get(), SerialPort::OpenError::NotTerminal) << device;
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialPortOpen, MissingDeviceReportsErrno) {
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const auto missing = dir.Path() / "ttyUSB7";
    SerialPort port;
    EXPECT_EQ(port.Open(missing), SerialPort::OpenError::Open);
    EXPECT_EQ(port.Errno(), ENOENT);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(std::filesystem::exists(missing)) << "Open created the device node";
}

// A pseudo-terminal stands in for the RS-232 line.
class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        const char* name = ::ptsname(master_);
        ASSERT_NE(name, nullptr);
        slave_ = name;
    }
    void TearDown() override {
        if (master_ >= 0) {
            ::close(master_);
        }
    }

    int master_ = -1;
    std::string slave_;
};

TEST_F(PtyTest, RawNineSixHundredEightBits) {
    SerialPort port;
    ASSERT_EQ(port.Open(slave_), SerialPort::OpenError::None);
    EXPECT_EQ(port.Errno(), 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(master_, &t), 0);  // a pty master reports its slave's settings
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_EQ(::cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Raw means every byte value comes through unchanged, 0x0D and 0x11 included.
    const uint8_t frame[] = {0x99, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0xFF};
    ASSERT_EQ(::write(master_, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    uint8_t got[16] = {};
    size_t n = 0;
    const Deadline until = Deadline::AfterMs(5000);
    while (n < sizeof frame && port.WaitReadable(until) == SerialPort::Wait::Readable) {
        const ssize_t r = port.ReadAvailable(got + n, sizeof got - n);
        ASSERT_GE(r, 0);
        n += static_cast<size_t>(r);
    }
    ASSERT_EQ(n, sizeof frame);
    EXPECT_TRUE(std::equal(frame, frame + sizeof frame, got));
}

TEST_F(PtyTest, SecondOpenRefusedUntilFirstCloses) {
    const int before = OpenDescriptorCount();
    SerialPort first;
    ASSERT_EQ(first.Open(slave_), SerialPort::OpenError::None);
    {
        SerialPort second;
        const SerialPort::OpenError e = second.Open(slave_);
        // Root passes TIOCEXCL and is stopped by the flock; anyone else gets EBUSY from open().
        EXPECT_TRUE(e == SerialPort::OpenError::Busy ||
                    (e == SerialPort::OpenError::Open && second.Errno() == EBUSY))
            << "error " << static_cast<int>(e) << " errno " << second.Errno();
        EXPECT_FALSE(second.IsOpen());
    }
    first.Close();
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(OpenDescriptorCount(), before);

    SerialPort again;
    EXPECT_EQ(again.Open(slave_), SerialPort::OpenError::None);
}

#ifdef TIOCGEXCL
TEST_F(PtyTest, CloseClearsExclusiveMode) {
    const int holder = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    int excl = -1;
    {
        SerialPort port;
        ASSERT_EQ(port.Open(slave_), SerialPort::OpenError::None);
        ASSERT_EQ(::ioctl(holder, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 1);
    }
    ASSERT_EQ(::ioctl(holder, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "the line stays exclusive after the port closed";
    ::close(holder);
}

// A port refused with Busy must leave the holder's exclusive mode alone: programs that skip the
// flock would otherwise get onto the line mid-download.
TEST_F(PtyTest, RefusedOpenLeavesHolderExclusive) {
    const int holder = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    SerialPort first;
    ASSERT_EQ(first.Open(slave_), SerialPort::OpenError::None);
    SerialPort second;
    const SerialPort::OpenError e = second.Open(slave_);
    EXPECT_NE(e, SerialPort::OpenError::None);
    int excl = -1;
    ASSERT_EQ(::ioctl(holder, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1) << "a refused Open (error " << static_cast<int>(e)
                       << ") took the line's exclusive mode away from the port holding it";
    ::close(holder);
}
#endif

// A closed master is what a pulled adapter looks like from the port: the line error tells it
// apart from a quiet line, which reads nothing and times out without one.
TEST_F(PtyTest, LineErrorTellsAHangUpFromSilence) {
    SerialPort port;
    ASSERT_EQ(port.Open(slave_), SerialPort::OpenError::None);
    uint8_t got[4];
    EXPECT_EQ(port.ReadAvailable(got, sizeof got), 0);
    EXPECT_EQ(port.WaitReadable(Deadline::AfterMs(30)), SerialPort::Wait::Timeout);
    const uint8_t frame[] = {0x99};
    EXPECT_EQ(port.WriteAll(frame, 1, Deadline::AfterMs(2000)), 1u);
    EXPECT_EQ(port.LineError(), 0);

    ::close(master_);
    master_ = -1;
    EXPECT_EQ(port.WaitReadable(Deadline::AfterMs(2000)), SerialPort::Wait::Hangup);
    EXPECT_EQ(port.LineError(), EIO);
    EXPECT_EQ(port.WriteAll(frame, 1, Deadline::AfterMs(2000)), 0u);
    EXPECT_NE(port.LineError(), 0);
    port.Close();
    EXPECT_EQ(port.LineError(), 0) << "a closed port still reports the old line's trouble";
}

TEST_F(PtyTest, WriteOnADeadLineFailsAtOnceWithItsErrno) {
    SerialPort port;
    ASSERT_EQ(port.Open(slave_), SerialPort::OpenError::None);
    ::close(master_);
    master_ = -1;
    const uint8_t frame[54] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(port.WriteAll(frame, sizeof frame, Deadline::AfterMs(2000)), sizeof frame);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000))
        << "a dead line was waited on as if it were only slow";
    EXPECT_EQ(port.LineError(), EIO);
}

TEST_F(PtyTest, OpenDiscardsStaleInput) {
    // Another holder keeps the line open while an earlier answer sits unread in its input queue.
    const int holder = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    const char stale[] = "\x01\x51\n";
    ASSERT_EQ(::write(master_, stale, 3), 3);
    pollfd p{holder, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "stale bytes never reached the line";

    SerialPort port;
    ASSERT_EQ(port.Open(slave_), SerialPort::OpenError::None);
    uint8_t got[8];
    EXPECT_EQ(port.ReadAvailable(got, sizeof got), 0);
    ::close(holder);
}

}  // namespace
}  // namespace romlift

namespace romlift {
namespace {

// An interrupt must not wait out a silent unit's 10 s, nor put another message on the line.
TEST_F(PtyTest, StopSignalEndsTheWaitAndSendsNothingMore) {
    int stop[2];
    ASSERT_EQ(::pipe2(stop, O_CLOEXEC | O_NONBLOCK), 0);
    SerialPort port;
    port.SetStopSignal(stop[0]);
    ASSERT_EQ(port.Open(slave_), SerialPort::OpenError::None);
    const uint8_t frame[] = {0x99};
    EXPECT_EQ(port.WriteAll(frame, 1, Deadline::AfterMs(2000)), 1u);
    EXPECT_FALSE(port.StopRequested());

    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    EXPECT_TRUE(port.StopRequested());
    EXPECT_EQ(port.WaitReadable(Deadline::AfterMs(3'600'000)), SerialPort::Wait::Stopped);
    EXPECT_EQ(port.WriteAll(frame, 1, Deadline::AfterMs(2000)), 0u);
    EXPECT_EQ(port.LineError(), 0) << "an interrupt is not a dead line";
    uint8_t seen[4];
    EXPECT_EQ(::read(master_, seen, sizeof seen), 1) << "only the byte before the stop went out";
    port.Close();
    ::close(stop[0]);
    ::close(stop[1]);
}

}  // namespace
}  // namespace romlift
