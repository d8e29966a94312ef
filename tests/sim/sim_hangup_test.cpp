// The unit hanging up its line: the host's descriptor dies with EIO, the unit comes back on a new
// pty behind its link, and nothing of either line is leaked.
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "scratch_dir.h"
#include "test_host.h"
#include "virtual_unit.h"

namespace vx7r {
namespace {

using romlift::testing::OpenDescriptorCount;
using romlift::testing::ScratchDir;
using testing::Bytes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::Host;
using testing::Image;
using ::testing::StartsWith;
namespace fs = std::filesystem;

std::string LinkTarget(const std::string& link) {
    std::error_code ec;
    return fs::read_symlink(link, ec).string();
}

// The link itself, not what it points to.
bool Exists(const std::string& path) {
    return fs::exists(fs::symlink_status(path));
}

// The host's old descriptor after the unit hung up: writes fail with EIO, reads see no data.
void ExpectDeadLine(int fd) {
    const uint8_t byte = 0x99;
    errno = 0;
    EXPECT_EQ(write(fd, &byte, 1), -1);
    EXPECT_EQ(errno, EIO);
    uint8_t got = 0;
    const ssize_t r = read(fd, &got, 1);
    EXPECT_TRUE(r == 0 || (r < 0 && errno == EIO)) << r;
}

TEST(UnitHangUp, AtEachPhaseTheLineDiesAndTheUnitComesBackBehindItsLink) {
    struct Case {
        const char* name;
        Phase phase;
        int frame;
        bool afterAnswer;
        size_t at;     // message index: 0 wake-up, 1 header, 2 checksum, 3..5 frames, 6 end
        Bytes answer;  // what the host reads before the line goes
        bool confirmed;
    };
    const Case cases[] = {
        {"wake-up", Phase::WakeUp, 0, false, 0, {}, false},
        {"header", Phase::Header, 0, false, 1, {}, false},
        {"checksum", Phase::Checksum, 0, false, 2, {}, false},
        {"frame 2", Phase::Frame, 2, false, 4, {}, false},
        {"first frame", Phase::Frame, 0, false, 3, {}, false},
        {"end", Phase::End, 0, false, 6, {}, false},
        {"header, after answering", Phase::Header, 0, true, 1, {0x01}, false},
        {"frame 3, after answering", Phase::Frame, 3, true, 5, {0x01}, false},
        {"end, after answering", Phase::End, 0, true, 6, {0xCC}, true},
    };
    const Bytes image = Image(130);
    const auto messages = testing::Messages(image);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchDir folder;
        const std::string link = (folder.Path() / "COM1").string();
        const int before = OpenDescriptorCount();
        {
            UnitOptions options;
            options.linkPath = link;
            options.faults.hangUpAt = c.phase;
            options.faults.hangUpFrame = c.frame;
            options.faults.hangUpAfterAnswer = c.afterAnswer;
            options.faults.attempts = 1;
            VirtualUnit unit(options);
            std::string error;
            ASSERT_TRUE(unit.Start(&error)) << error;
            const std::string first = unit.DevicePath();
            EXPECT_EQ(LinkTarget(link), first);

            Host host(link);
            EXPECT_EQ(host.Play(messages, c.at, true), c.answer);
            ASSERT_TRUE(unit.WaitForAttempts(1, 2000));
            const std::string second = unit.DevicePath();
            EXPECT_THAT(second, StartsWith("/dev/pts/"));
            EXPECT_NE(second, first);
            EXPECT_EQ(LinkTarget(link), second);
            ExpectDeadLine(host.fd());

            const Attempt a = unit.Attempts().at(0);
            EXPECT_TRUE(a.hungUp);
            EXPECT_EQ(a.confirmed, c.confirmed);
            EXPECT_EQ(a.exchanges.size(), c.at + 1);
            EXPECT_EQ(a.exchanges.back().answered, c.answer);

            // The next attempt, through the same link, is a good one on the new line.
            Host again(link);
            EXPECT_EQ(again.Download(image), Host::GoodAnswers(image));
            ASSERT_TRUE(unit.WaitForAttempts(2, 2000));
            EXPECT_TRUE(unit.Attempts().at(1).confirmed);
            EXPECT_FALSE(unit.Attempts().at(1).hungUp);
            EXPECT_EQ(unit.Attempts().at(1).image, image);
        }
        EXPECT_FALSE(Exists(link));  // Stop() took the link away
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
}

TEST(UnitHangUp, AUnitGoneForAWhileHasNoDeviceThenReturns) {
    const ScratchDir folder;
    const std::string link = (folder.Path() / "ttyUSB0").string();
    UnitOptions options;
    options.linkPath = link;
    options.faults.hangUpAt = Phase::Header;
    options.faults.attempts = 1;
    options.returnAfterMs = 300;
    // Declared before the unit: its thread may call the observer until the unit is gone.
    std::mutex mutex;
    std::vector<std::string> changes;
    VirtualUnit unit(options);
    Observer observer;
    observer.lineChanged = [&](const std::string& path) {
        std::lock_guard lock(mutex);
        changes.push_back(path);
    };
    unit.SetObserver(observer);
    ASSERT_TRUE(unit.Start());

    Host host(link);
    ASSERT_EQ(host.Ask({0x99}), 0x99);
    const auto hungUp = std::chrono::steady_clock::now();
    EXPECT_EQ(host.Ask(testing::Header(10)), -1);
    ASSERT_TRUE(unit.WaitForAttempts(1, 2000));
    EXPECT_EQ(unit.DevicePath(), "");
    EXPECT_FALSE(Exists(link));  // like a pulled adapter: no device node to open

    std::string back;
    for (int i = 0; i < 200 && back.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        back = unit.DevicePath();
    }
    ASSERT_FALSE(back.empty());
    EXPECT_GE(std::chrono::steady_clock::now() - hungUp, std::chrono::milliseconds(300));
    EXPECT_EQ(LinkTarget(link), back);
    {
        std::lock_guard lock(mutex);
        EXPECT_THAT(changes, ElementsAre("", back));
    }
    Host again(link);
    EXPECT_EQ(again.Download({1, 2, 3}), Host::GoodAnswers({1, 2, 3}));
}

TEST(UnitHangUp, AUnitThatNeverReturnsStopsCleanly) {
    const int before = OpenDescriptorCount();
    {
        UnitOptions options;
        options.faults.hangUpAt = Phase::WakeUp;
        options.returnAfterMs = -1;
        VirtualUnit unit(options);
        ASSERT_TRUE(unit.Start());
        const std::string first = unit.DevicePath();
        Host host(first);
        EXPECT_EQ(host.Ask({0x99}), -1);
        ASSERT_TRUE(unit.WaitForAttempts(1, 2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(unit.DevicePath(), "");
        ExpectDeadLine(host.fd());
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(UnitHangUp, ALinkPathThatIsNotALinkIsRefusedAndKept) {
    const ScratchDir folder;
    const std::string file = (folder.Path() / "precious").string();
    std::ofstream(file) << "keep me";
    const int before = OpenDescriptorCount();
    UnitOptions options;
    options.linkPath = file;
    VirtualUnit unit(options);
    std::string error;
    EXPECT_FALSE(unit.Start(&error));
    EXPECT_THAT(error, HasSubstr("is not a symbolic link"));
    unit.Stop();
    EXPECT_EQ(OpenDescriptorCount(), before);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
}

}  // namespace
}  // namespace vx7r
