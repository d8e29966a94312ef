// romlift-cli on the kernel's own serial drivers: a QEMU guest runs it against the 8250 driver
// (a 16550A UART, /dev/ttyS1) and ftdi_sio (two FTDI adapters on xHCI), each line ending in a
// virtual unit on this host. Every case is judged by what the units received, not by what the
// guest says. One guest serves the whole suite; the cases run in order and each leaves both
// adapters plugged in.
//
// Exits 77 (skipped) with the reason when QEMU, the kernel image or busybox is missing.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "guest.h"
#include "scratch_dir.h"
#include "test_host.h"
#include "virtual_unit.h"

namespace romlift::hw {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

constexpr const char* kModel = "VX7R-KT-121B-XXX";       // type code 10, as the units announce
constexpr const char* kOtherModel = "VX7R-KT-123B-XXX";  // type code 9
// Image sizes; the guest holds each as /img/<size>.abs (vx7r::testing::Image bytes).
constexpr size_t kLong = 4000;  // 80 frames: long enough to pull an adapter in the middle
const size_t kShort[] = {700, 800, 900};

fs::path g_kernel;
fs::path g_initramfs;
fs::path g_work;

std::string ImagePath(size_t size) {
    return "/img/" + std::to_string(size) + ".abs";
}

std::string Download(const std::string& port, size_t size, const std::string& more = "") {
    return "romlift-cli download --port " + port + " --model " + kModel + " --image " +
           ImagePath(size) + " --any-image-name" + more;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A virtual unit on the host end of one guest line, with its exchange log kept for waiting.
class Line {
  public:
    Line() {
        vx7r::Observer observer;
        observer.log = [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            log_.push_back(line);
            changed_.notify_all();
        };
        unit.SetObserver(observer);
    }
    // Waits until the unit logs a line containing `text` after the first `from` lines.
    bool WaitForLog(const std::string& text, size_t from, int timeoutMs) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (size_t i = from; i < log_.size(); ++i) {
                if (log_[i].find(text) != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
    }
    size_t LogSize() {
        std::lock_guard lock(mutex_);
        return log_.size();
    }

    vx7r::VirtualUnit unit;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> log_;
};

class RealDrivers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const auto start = std::chrono::steady_clock::now();
        uart_ = std::make_unique<Line>();
        for (const char* serial : {"RLA1", "RLA2"}) {
            units_[serial] = std::make_unique<Line>();
        }
        std::string why;
        for (Line* l : {uart_.get(), units_["RLA1"].get(), units_["RLA2"].get()}) {
            if (!l->unit.Start(&why)) {
                bootError_ = "virtual unit: " + why;
                return;
            }
        }
        GuestSetup setup{g_kernel, g_initramfs, g_work, uart_->unit.DevicePath(), {}};
        int port = 1;
        for (const char* serial : {"RLA1", "RLA2"}) {
            setup.adapters.push_back(
                {std::string("us") + serial, serial, units_[serial]->unit.DevicePath()});
            ports_[serial] = port++;
        }
        adapters_ = setup.adapters;
        guest_ = Guest::Boot(setup, 120000, &bootError_);
        if (guest_ != nullptr) {
            // The adapters enumerate after the shell is up.
            const Result both = WaitInGuest("[ -e /dev/ttyUSB0 ] && [ -e /dev/ttyUSB1 ]");
            if (both.status != 0) {
                bootError_ = "the adapters did not show up in the guest: " + both.output;
            }
        }
        std::printf("guest booted in %.1f s\n", Seconds(start));
    }
    static void TearDownTestSuite() {
        guest_.reset();  // QEMU goes first: it holds the units' lines
        uart_.reset();
        units_.clear();
    }
    void SetUp() override {
        ASSERT_NE(guest_, nullptr) << bootError_;
        ASSERT_TRUE(bootError_.empty()) << bootError_;
        start_ = std::chrono::steady_clock::now();
    }
    void TearDown() override {
        std::printf("%s took %.1f s\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                    Seconds(start_));
        if (HasFailure() && guest_ != nullptr) {
            std::printf("guest kernel log:\n%s\n",
                        guest_->Run("dmesg | tail -n 40", 5000).output.c_str());
        }
    }

    // Runs `condition` in the guest until it holds, for at most ten seconds.
    static Result WaitInGuest(const std::string& condition) {
        return guest_->Run("i=0; until " + condition +
                           "; do [ $i -ge 100 ] && break; sleep 0.1; i=$((i+1)); done; " +
                           condition);
    }

    // Shell words that print the guest's device for the adapter with this serial number.
    static std::string FindTty(const std::string& serial) {
        return "for t in /sys/class/tty/ttyUSB*; do [ \"$(cat $t/device/../../serial "
               "2>/dev/null)\" = " +
               serial + " ] && [ -e /dev/${t##*/} ] && echo /dev/${t##*/}; done";
    }
    // "/dev/ttyUSBn", or "" when the adapter is not in the guest.
    static std::string TtyOf(const std::string& serial) {
        const Result r = guest_->Run(FindTty(serial) + "; true");
        const std::string tty = r.output.substr(0, r.output.find('\n'));
        return tty.rfind("/dev/ttyUSB", 0) == 0 ? tty : "";
    }

    static Adapter& AdapterOf(const std::string& serial) {
        for (Adapter& a : adapters_) {
            if (a.serial == serial) {
                return a;
            }
        }
        throw std::logic_error("no adapter " + serial);
    }

    static void Pull(const std::string& serial) {
        std::string why;
        ASSERT_TRUE(guest_->Pull(AdapterOf(serial), &why)) << why;
        ASSERT_EQ(WaitInGuest("[ -z \"$(" + FindTty(serial) + ")\" ]").status, 0)
            << serial << " still in the guest after it was pulled";
    }
    static void Plug(const std::string& serial, int port) {
        std::string why;
        ASSERT_TRUE(guest_->Plug(AdapterOf(serial), port, &why)) << why;
        ports_[serial] = port;
        ASSERT_EQ(WaitInGuest("[ -n \"$(" + FindTty(serial) + ")\" ]").status, 0)
            << serial << " did not show up in the guest after it was plugged in";
    }

    // What each unit has heard so far.
    struct Heard {
        size_t attempts = 0;
        size_t violations = 0;
    };
    static std::map<Line*, Heard> HeardSoFar() {
        std::map<Line*, Heard> heard;
        for (Line* line : {uart_.get(), units_["RLA1"].get(), units_["RLA2"].get()}) {
            heard[line] = {line->unit.Attempts().size(), line->unit.Violations().size()};
        }
        return heard;
    }

    // Since `before`, `receiver` made one more attempt and it confirmed exactly `image`, with no
    // protocol or line-setting fault (QEMU passes the speed and framing the guest's driver gave
    // the UART or adapter on to the unit's pty); no other unit heard anything.
    static void ExpectOnlyReceiver(Line* receiver, const std::map<Line*, Heard>& before,
                                   const Bytes& image) {
        const Heard& was = before.at(receiver);
        ASSERT_TRUE(receiver->unit.WaitForAttempts(was.attempts + 1, 5000));
        const std::vector<vx7r::Attempt> attempts = receiver->unit.Attempts();
        ASSERT_EQ(attempts.size(), was.attempts + 1);
        EXPECT_TRUE(attempts.back().confirmed);
        EXPECT_EQ(attempts.back().image, image);
        const std::vector<std::string> violations = receiver->unit.Violations();
        EXPECT_THAT(std::vector<std::string>(violations.begin() + was.violations, violations.end()),
                    IsEmpty());
        for (const auto& [line, heard] : HeardSoFar()) {
            if (line != receiver) {
                EXPECT_EQ(heard.attempts, before.at(line).attempts)
                    << "a unit on another line was reached";
            }
        }
    }

    static std::unique_ptr<Guest> guest_;
    static std::unique_ptr<Line> uart_;
    static std::map<std::string, std::unique_ptr<Line>> units_;  // by adapter serial number
    static std::map<std::string, int> ports_;                    // the xHCI port each adapter is in
    static std::vector<Adapter> adapters_;
    static std::string bootError_;
    std::chrono::steady_clock::time_point start_;
};

std::unique_ptr<Guest> RealDrivers::guest_;
std::unique_ptr<Line> RealDrivers::uart_;
std::map<std::string, std::unique_ptr<Line>> RealDrivers::units_;
std::map<std::string, int> RealDrivers::ports_;
std::vector<Adapter> RealDrivers::adapters_;
std::string RealDrivers::bootError_;
TEST_F(RealDrivers, DownloadsByteForByteOverEachDriver) {
    const std::string adapter = TtyOf("RLA1");
    ASSERT_FALSE(adapter.empty());
    const std::pair<std::string, Line*> lines[] = {{"/dev/ttyS1", uart_.get()},
                                                   {adapter, units_["RLA1"].get()}};
    for (const auto& [device, line] : lines) {
        SCOPED_TRACE(device);
        const auto before = HeardSoFar();
        const Result r = guest_->Run(Download(device, kLong));
        ASSERT_TRUE(r.finished) << r.output;
        EXPECT_EQ(r.status, 0) << r.output;
        ExpectOnlyReceiver(line, before, vx7r::testing::Image(kLong));
        // The driver the guest put behind the device, for the record.
        const std::string tty = device.substr(device.rfind('/') + 1);
        const Result driver =
            guest_->Run("basename $(readlink /sys/class/tty/" + tty + "/device/driver)");
        std::printf("%s: driver %s", device.c_str(), driver.output.c_str());
        // "serial" is the 8250 driver's PNP front end, which found the UART.
        EXPECT_EQ(driver.output, device == "/dev/ttyS1" ? "serial\n" : "ftdi_sio\n");
    }
}

TEST_F(RealDrivers, SecondProgramOnTheSamePortIsRefused) {
    const auto before = HeardSoFar();
    const size_t logged = uart_->LogSize();
    const Result first =
        guest_->Run(Download("/dev/ttyS1", kLong) + " >/tmp/first.out 2>&1 &\necho $!");
    ASSERT_TRUE(first.finished);
    const std::string pid = first.output.substr(0, first.output.find('\n'));
    // Past the wake-up's close and reopen: the first program holds the port from here on.
    ASSERT_TRUE(uart_->WaitForLog("frame 1:", logged, 30000));

    const Result second = guest_->Run(Download("/dev/ttyS1", kShort[0]));
    EXPECT_EQ(second.status, 1);
    EXPECT_THAT(second.output, HasSubstr("Can not open Port /dev/ttyS1"));
    EXPECT_THAT(second.output, HasSubstr("romlift-cli: /dev/ttyS1 is in use by another program "
                                         "(romlift-cli, PID " +
                                         pid + ")"));

    const Result done = guest_->Run("wait " + pid + "; r=$?; cat /tmp/first.out; (exit $r)");
    EXPECT_EQ(done.status, 0) << done.output;
    ExpectOnlyReceiver(uart_.get(), before, vx7r::testing::Image(kLong));
}

TEST_F(RealDrivers, WrongModelIsRefusedWithTheUnitsText) {
    const auto before = HeardSoFar();
    const Result r =
        guest_->Run("romlift-cli download --port /dev/ttyS1 --model " + std::string(kOtherModel) +
                    " --image " + ImagePath(kShort[0]) + " --any-image-name");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.output, HasSubstr("Selected VX7R model is not matching with connected model. \n"
                                    "Can not proceed. Please check."));
    ASSERT_TRUE(uart_->unit.WaitForAttempts(before.at(uart_.get()).attempts + 1, 5000));
    const vx7r::Attempt last = uart_->unit.Attempts().back();
    ASSERT_EQ(last.exchanges.size(), 2u);  // wake-up, header; no frame went out
    EXPECT_EQ(last.exchanges[1].answered, Bytes{0x51});
    EXPECT_FALSE(last.confirmed);
}

TEST_F(RealDrivers, PortWithoutUartGetsTheNoUartAdvice) {
    // The kernel registers ttyS2 with no UART behind it: the open succeeds, the port does not.
    const Result text = guest_->Run(Download("/dev/ttyS2", kShort[0]));
    EXPECT_EQ(text.status, 1);
    EXPECT_THAT(text.output, HasSubstr("Can not open Port /dev/ttyS2"));
    EXPECT_THAT(text.output, HasSubstr("romlift-cli: no serial port answers at /dev/ttyS2"));
    const Result json = guest_->Run(Download("/dev/ttyS2", kShort[0], " --json"));
    EXPECT_EQ(json.status, 1);
    EXPECT_THAT(json.output, HasSubstr("\"kind\":\"no-hardware\""));
}

TEST_F(RealDrivers, ComNumbersReachTheUartAndTheAdaptersWithoutEnvironment) {
    ASSERT_EQ(guest_->Run("env | grep ROMLIFT_COM").status, 1) << "the guest sets ROMLIFT_COMn";
    // First seen in device-name order: ttyUSB0's adapter takes COM3, ttyUSB1's COM4 (COM1 and
    // COM2 are ttyS0 and ttyS1, which have UARTs).
    std::string first, second;
    for (const char* serial : {"RLA1", "RLA2"}) {
        (TtyOf(serial) == "/dev/ttyUSB0" ? first : second) = serial;
    }
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    const Result ports = guest_->Run("romlift-cli ports");
    EXPECT_EQ(ports.status, 0) << ports.output;
    const Result map = guest_->Run("cat $XDG_CONFIG_HOME/romlift/ports.conf");
    EXPECT_THAT(map.output, HasSubstr("COM3 = 0403:6001 serial " + first + "\n"));
    EXPECT_THAT(map.output, HasSubstr("COM4 = 0403:6001 serial " + second + "\n"));
    EXPECT_THAT(map.output, Not(HasSubstr("COM1 ")));
    EXPECT_THAT(map.output, Not(HasSubstr("COM2 ")));

    const std::pair<std::string, Line*> routes[] = {
        {"COM2", uart_.get()}, {"COM3", units_[first].get()}, {"COM4", units_[second].get()}};
    for (size_t i = 0; i < std::size(routes); ++i) {
        const auto& [com, line] = routes[i];
        SCOPED_TRACE(com);
        const auto before = HeardSoFar();
        const Result r = guest_->Run(Download(com, kShort[i]));
        EXPECT_EQ(r.status, 0) << r.output;
        ExpectOnlyReceiver(line, before, vx7r::testing::Image(kShort[i]));
    }
}

TEST_F(RealDrivers, AdaptersKeepTheirNumbersWhenPluggedBackTheOtherWay) {
    ASSERT_EQ(guest_->Run("romlift-cli ports").status, 0);
    const Result map = guest_->Run("cat $XDG_CONFIG_HOME/romlift/ports.conf");
    std::string com3 =
        map.output.find("COM3 = 0403:6001 serial RLA1\n") != std::string::npos ? "RLA1" : "RLA2";
    const std::string com4 = com3 == "RLA1" ? "RLA2" : "RLA1";
    ASSERT_THAT(map.output, HasSubstr("COM3 = 0403:6001 serial " + com3 + "\n"));
    ASSERT_THAT(map.output, HasSubstr("COM4 = 0403:6001 serial " + com4 + "\n"));
    const std::string com3Tty = TtyOf(com3);

    Pull(com3);
    Pull(com4);
    // COM4's adapter comes back first, into the other socket, and takes COM3's old device.
    const int com3Port = ports_[com3];
    Plug(com4, com3Port);
    ASSERT_EQ(TtyOf(com4), com3Tty);
    Plug(com3, com3Port == 1 ? 2 : 1);
    ASSERT_NE(TtyOf(com3), com3Tty);

    const std::pair<std::string, std::string> routes[] = {{"COM3", com3}, {"COM4", com4}};
    for (size_t i = 0; i < std::size(routes); ++i) {
        const auto& [com, serial] = routes[i];
        SCOPED_TRACE(com + " = " + serial);
        const auto before = HeardSoFar();
        const Result r = guest_->Run(Download(com, kShort[i + 1]));
        EXPECT_EQ(r.status, 0) << r.output;
        ExpectOnlyReceiver(units_[serial].get(), before, vx7r::testing::Image(kShort[i + 1]));
    }
}

TEST_F(RealDrivers, AdapterPulledMidDownloadEndsTheAttemptAndTheNextOneWorks) {
    Line* line = units_["RLA1"].get();
    const std::string tty = TtyOf("RLA1");
    ASSERT_FALSE(tty.empty());
    const size_t attempts = line->unit.Attempts().size();
    const size_t logged = line->LogSize();
    const Result started =
        guest_->Run(Download(tty, kLong, " --json") + " >/tmp/pulled.out 2>&1 &\necho $!");
    const std::string pid = started.output.substr(0, started.output.find('\n'));
    ASSERT_TRUE(line->WaitForLog("frame 5:", logged, 30000));
    const auto pulledAt = std::chrono::steady_clock::now();
    Pull("RLA1");

    // Bounded by the answer time-out: the attempt must end by itself, not wait on a dead line.
    const Result pulled =
        guest_->Run("wait " + pid + "; r=$?; cat /tmp/pulled.out; (exit $r)", 30000);
    ASSERT_TRUE(pulled.finished) << pulled.output;
    std::printf("romlift-cli ended %.1f s after the pull\n", Seconds(pulledAt));
    EXPECT_EQ(pulled.status, 1) << pulled.output;
    EXPECT_THAT(pulled.output, HasSubstr("\"kind\":\"hung-up\"")) << pulled.output;

    Plug("RLA1", ports_["RLA1"]);
    const std::string back = TtyOf("RLA1");
    ASSERT_FALSE(back.empty());
    // The attempt cut short stays open in the unit until the next wake-up ends it.
    const auto before = HeardSoFar();
    const Result again = guest_->Run(Download(back, kShort[0]));
    EXPECT_EQ(again.status, 0) << again.output;
    ExpectOnlyReceiver(line, before, vx7r::testing::Image(kShort[0]));
    // What went out before the pull was the image's beginning, unconfirmed.
    const vx7r::Attempt cut = line->unit.Attempts().at(attempts);
    EXPECT_FALSE(cut.confirmed);
    const Bytes whole = vx7r::testing::Image(kLong);
    ASSERT_LT(cut.image.size(), whole.size());
    EXPECT_EQ(cut.image, Bytes(whole.begin(), whole.begin() + cut.image.size()));
}

// An FTDI adapter runs the download in low latency (its latency timer at 1 ms, so each answer
// reaches the program at once), and afterwards has the timer, the serial flags and the line
// settings it had before.
TEST_F(RealDrivers, FtdiDownloadsInLowLatencyAndIsLeftAsFound) {
    Line* line = units_["RLA1"].get();
    const std::string tty = TtyOf("RLA1");
    ASSERT_FALSE(tty.empty());
    const std::string timer = "cat /sys/bus/usb-serial/devices/" + tty.substr(5) + "/latency_timer";
    const std::string state = timer + "; serial-flags " + tty + "; stty -F " + tty + " -g";
    const Result found = guest_->Run(state);
    ASSERT_EQ(found.status, 0) << found.output;
    ASSERT_THAT(found.output, HasSubstr("\nlow-latency off\n"));

    const auto before = HeardSoFar();
    const size_t logged = line->LogSize();
    const Result started = guest_->Run(Download(tty, kLong, " --trace /tmp/latency.trace") +
                                       " >/tmp/latency.out 2>&1 &\necho $!");
    const std::string pid = started.output.substr(0, started.output.find('\n'));
    ASSERT_TRUE(line->WaitForLog("frame 5:", logged, 30000));
    const Result during = guest_->Run(timer + "; serial-flags " + tty);
    const Result done = guest_->Run("wait " + pid + "; r=$?; cat /tmp/latency.out; (exit $r)");
    EXPECT_EQ(during.output, "1\nlow-latency on\n");
    EXPECT_EQ(done.status, 0) << done.output;
    ExpectOnlyReceiver(line, before, vx7r::testing::Image(kLong));
    EXPECT_EQ(guest_->Run(state).output, found.output);

    // Said once, though the wake-up opens the port a second time.
    const Result said = guest_->Run(
        "grep -c 'low latency' /tmp/latency.trace; grep "
        "'low latency' /tmp/latency.trace");
    EXPECT_THAT(said.output, ::testing::StartsWith("1\n"));
    EXPECT_THAT(said.output,
                HasSubstr(" low latency on (ASYNC_LOW_LATENCY) while the port is open"));
    // The frame period, from the trace: the time between one frame's first byte and the next's.
    const Result sent = guest_->Run("grep ' sent frame ' /tmp/latency.trace | cut -d' ' -f1");
    std::vector<double> times;
    for (size_t at = 0; at < sent.output.size();) {
        const size_t end = sent.output.find('\n', at);
        times.push_back(std::atof(sent.output.substr(at, end - at).c_str()));
        at = end == std::string::npos ? sent.output.size() : end + 1;
    }
    ASSERT_GT(times.size(), 10u);
    std::vector<double> periods;
    for (size_t i = 1; i < times.size(); ++i) {
        periods.push_back(times[i] - times[i - 1]);
    }
    std::sort(periods.begin(), periods.end());
    std::printf(
        "frame period over the FTDI adapter in low latency: median %.2f ms, from %.2f "
        "to %.2f ms (%zu frames)\n",
        periods[periods.size() / 2], periods.front(), periods.back(), times.size());
}

TEST_F(RealDrivers, DoctorNamesTheAdaptersTheirDriverAndLatencyTimer) {
    const Result r = guest_->Run("romlift-cli doctor");
    std::printf("romlift-cli doctor in the guest:\n%s", r.output.c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.output, HasSubstr("OK       user root: every serial device opens for root, "
                                    "whatever its group\n"));
    EXPECT_THAT(r.output, HasSubstr("OK       /dev/ttyS1: COM2, driver 8250, UART\n"));
    for (const char* serial : {"RLA1", "RLA2"}) {
        const std::string tty = TtyOf(serial);
        ASSERT_FALSE(tty.empty());
        const Result timer =
            guest_->Run("cat /sys/bus/usb-serial/devices/" + tty.substr(5) + "/latency_timer");
        EXPECT_THAT(r.output, ::testing::ContainsRegex("OK       " + tty +
                                                       ": COM[0-9]+, driver ftdi_sio, USB "
                                                       "0403:6001, .*, serial " +
                                                       serial + "\n"));
        // QEMU's adapter reports 0 ms; a real FT232R says 16 until told otherwise.
        const std::string ms = timer.output.substr(0, timer.output.find('\n'));
        EXPECT_THAT(r.output,
                    HasSubstr("OK       " + tty + ": latency timer " + ms +
                              (ms == "0" || ms == "1" ? " ms: answers pass at once\n"
                                                      : " ms; a download switches the port to "
                                                        "low latency (1 ms) and back\n")));
    }
    EXPECT_THAT(r.output, HasSubstr("\n0 problems, 0 warnings\n"));
}

}  // namespace
}  // namespace romlift::hw

namespace {

int Skip(const std::string& why) {
    std::printf("real-driver suite skipped: %s\n", why.c_str());
    return 77;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace romlift::hw;
    ::testing::InitGoogleTest(&argc, argv);
    if (FindOnPath("qemu-system-x86_64").empty()) {
        return Skip("no qemu-system-x86_64 (install qemu-system-x86)");
    }
    romlift::testing::ScratchDir work;
    g_work = work.Path();
    std::filesystem::create_directory(work.Path() / "img");
    for (size_t size : {kLong, kShort[0], kShort[1], kShort[2]}) {
        if (work.Write("img/" + std::to_string(size) + ".abs", vx7r::testing::Image(size))
                .empty()) {
            std::printf("cannot write the test images\n");
            return 1;
        }
    }
    const std::string reason = (work.Path() / "why").string();
    const std::string build = std::string(ROMLIFT_MAKE_INITRAMFS) + " " + ROMLIFT_CLI + " " +
                              work.Path().string() + " " + (work.Path() / "img").string() + " " +
                              ROMLIFT_SERIAL_FLAGS + " 2>" + reason;
    const int status = std::system(build.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        std::ifstream in(reason);
        std::string why;
        std::getline(in, why);
        return Skip(why);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream in(reason);
        std::printf("building the guest failed:\n%s\n",
                    std::string(std::istreambuf_iterator<char>(in), {}).c_str());
        return 1;
    }
    g_kernel = work.Path() / "vmlinuz";
    g_initramfs = work.Path() / "initramfs.cpio";
    return RUN_ALL_TESTS();
}
