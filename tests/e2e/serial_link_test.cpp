// The serial link on a bare pseudo-terminal, where the test plays the unit by hand.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download_state.h"
#include "quick_timings.h"
#include "recording_host.h"
#include "serial_link.h"
#include "test_lines.h"

namespace romlift {
namespace {

using ::testing::ElementsAre;
using testing::RecordingHost;

class BarePty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(pty_.Path().empty());
        master_ = pty_.Master();
        state_.portDevice = pty_.Path();
        ASSERT_TRUE(OpenPort(state_, host_));
    }
    void TearDown() override { ClosePort(state_); }

    testing::BarePty pty_;
    int master_ = -1;
    DownloadState state_;
    RecordingHost host_{&state_};
};

TEST_F(BarePty, WriteThatCannotGoOutWithinTwoSecondsIsAnError) {
    // Nobody reads the master: fill the line until the driver takes no more.
    const int filler =
        open(state_.portDevice.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    const std::vector<uint8_t> block(4096, 0x55);
    // The pty moves bytes to the master's side in the background, freeing room after a first
    // EAGAIN: keep filling until the line stays full across a pause.
    for (int round = 0; round < 100; ++round) {
        while (write(filler, block.data(), block.size()) > 0) {
        }
        usleep(20000);
        if (write(filler, block.data(), 1) < 0 && errno == EAGAIN) {
            break;
        }
    }
    close(filler);
    const uint8_t frame[54] = {50};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WritePort(state_, host_, frame, sizeof frame), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_THAT(host_.Statuses(), ElementsAre("Down Load Error In Writing"));
}

TEST_F(BarePty, AllBytesWrittenIsSuccessAndArriveUnchanged) {
    std::vector<uint8_t> msg;
    for (int i = 0; i < 54; ++i) {
        msg.push_back(static_cast<uint8_t>(i * 0x4F));  // includes 0x0A, 0x0D, 0x11, 0x13, 0xFF
    }
    msg.push_back(0x0A);
    msg.push_back(0x0D);
    ASSERT_EQ(WritePort(state_, host_, msg.data(), msg.size()), 1);
    std::vector<uint8_t> got(msg.size() + 8);
    const ssize_t n = read(master_, got.data(), got.size());
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(got, msg);
    EXPECT_TRUE(host_.Statuses().empty());
}

TEST_F(BarePty, ReadResponseTable) {
    struct Case {
        std::vector<uint8_t> sent;
        uint8_t expected, errorByte;
        int frame;
        uint8_t result;
        std::vector<std::string> texts;
    };
    const std::vector<Case> cases{
        {{0x01}, 0x01, 0xFF, 1, 0x01, {}},
        {{0xFF},
         0x01,
         0xFF,
         7,
         0xFF,
         {"Unit has not received the right frame number 7. \nPlease download again."}},
        {{0xFF}, 0xCC, 0xFF, 9, 0xFF, {"CRC mismatch Error. Please download again."}},
        {{0xEE},
         0x42,
         0xEE,
         0,
         0xEE,
         {"Invalid response from the unit.\nCan not proceed. Please retry..."}},
        {{0x07}, 0x01, 0xFF, 3, 0x00, {}},  // neither expected nor error: 0, no text
        {{0x07}, 0x00, 0x00, 0, 0x07, {}},  // no expectation: the byte itself
        {{0x00}, 0x00, 0x00, 0, 0x00, {}},
        {{0x99, 0x55}, 0x99, 0x00, 0, 0x99, {}},
    };
    for (const Case& c : cases) {
        host_.events.clear();
        state_.frameCounter = c.frame;
        ASSERT_EQ(write(master_, c.sent.data(), c.sent.size()),
                  static_cast<ssize_t>(c.sent.size()));
        EXPECT_EQ(ReadResponse(state_, host_, 1, c.expected, c.errorByte, 10000), c.result);
        EXPECT_EQ(host_.Statuses(), c.texts);
        if (c.sent.size() == 2) {
            // The second byte waits in the queue and answers the next read.
            EXPECT_EQ(ReadResponse(state_, host_, 1, 0, 0, 10000), c.sent[1]);
        }
    }
}

TEST_F(BarePty, PauseBeforeTheAnswerIsMoreThanTwentyEightMilliseconds) {
    const uint8_t b = 0x01;
    ASSERT_EQ(write(master_, &b, 1), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadResponse(state_, host_, 1, 0x01, 0xFF, 10000), 0x01);
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(28));
}

TEST_F(BarePty, ReopenEmptiesWhatTheUnitSentBefore) {
    const uint8_t stale[3] = {0x99, 0x01, 0x01};
    ASSERT_EQ(write(master_, stale, 3), 3);
    usleep(20000);
    ClosePort(state_);
    ASSERT_TRUE(OpenPort(state_, host_));
    const uint8_t fresh = 0x51;
    ASSERT_EQ(write(master_, &fresh, 1), 1);
    EXPECT_EQ(ReadResponse(state_, host_, 1, 0, 0, 10000), 0x51);
}

// Each of these waits out a (shortened) answer time; the runner runs them side by side.
struct PtySilenceCase {
    uint8_t expected;
    int frame;
    const char* text;
};

class SilentPty : public BarePty, public ::testing::WithParamInterface<PtySilenceCase> {};

TEST_P(SilentPty, TimeOutTextDependsOnTheFrameAndTheExpectation) {
    const auto start = std::chrono::steady_clock::now();
    state_.frameCounter = GetParam().frame;
    EXPECT_EQ(ReadResponse(state_, host_, 1, GetParam().expected, 0, testing::kQuickAnswerWaitMs),
              0);
    EXPECT_GT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(testing::kQuickAnswerWaitMs + 28));
    EXPECT_THAT(host_.Statuses(), ElementsAre(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SilentPty,
    ::testing::Values(
        PtySilenceCase{0xEE, 0, "Unit is not responding. Please retry..."},
        PtySilenceCase{
            0xEE, 4,
            "Unit is not responding.\nResponse failed after frame number 4. Please retry..."},
        PtySilenceCase{
            0x00, 0,
            "Unit is not responding.\nResponse failed after frame number 0. Please retry..."}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace romlift
