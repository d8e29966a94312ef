// The unit's own timings, checked on a virtual clock through the real transfer: an answer that
// starts within 10 s of the 28 ms pause counts and one a millisecond later does not, a write
// gets 2 s, a drain 5 s, and a line that hangs up is waited out asleep. Over a real line these
// would cost ten seconds each and could only be checked from one side.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download_state.h"
#include "recording_host.h"
#include "scripted_line.h"
#include "seeded_image.h"
#include "transfer.h"
#include "virtual_clock.h"

namespace romlift {
namespace {

using ::testing::ElementsAre;
using testing::ScriptedLine;

const std::string kDownloading =
    "Downloading file img.abs to selected unit.\nThis takes a long time, please wait...";
const std::string kDone = "DownLoad is Completed Successfully";

std::string After(int frame) {
    return "Unit is not responding.\nResponse failed after frame number " + std::to_string(frame) +
           ". Please retry...";
}

// Messages of a 130-byte image: 0 wake-up, 1 header, 2 checksum, 3-5 frames 1-3, 6 end.
struct TimingCase {
    const char* name;
    int index;  // the message whose reply is changed
    ScriptedLine::Reply reply;
    std::vector<std::string> statuses;
    // Virtual time from the end of the previous message's write to the end of this one's, or
    // from this message's write to the close of the port; the whole millisecond it falls in.
    int64_t writeGapMs;
    int64_t toCloseMs;
};

void PrintTo(const TimingCase& c, std::ostream* os) {
    *os << c.name;
}

class LineTiming : public ::testing::TestWithParam<TimingCase> {
  protected:
    testing::ScratchDir dir_;
    testing::VirtualClock clock_{int64_t{1000} * kNsPerMs};
};

TEST_P(LineTiming, TheUnitsWaitsHoldToTheMillisecond) {
    const TimingCase& c = GetParam();
    ScriptedLine line(clock_, [&c](int index, const std::vector<uint8_t>& message) {
        return index == c.index ? c.reply : ScriptedLine::Accept(message);
    });
    DownloadState state;
    state.line = &line;
    state.clock = &clock_;
    state.portDevice = "scripted";
    state.imageFileName = dir_.Write("img.abs", testing::SeededImage(130));
    state.chosenFileName = "img.abs";
    testing::RecordingHost host(&state);

    const bool confirmed = TransferImage(state, host);

    EXPECT_EQ(confirmed, c.statuses.back() == kDone);
    EXPECT_EQ(host.Statuses(), c.statuses);
    EXPECT_FALSE(line.Spun()) << "the host spun on the line instead of sleeping";
    EXPECT_FALSE(line.IsOpen());
    const auto& ends = line.WriteEndsNs();
    ASSERT_GT(ends.size(), static_cast<size_t>(c.index));
    const auto i = static_cast<size_t>(c.index);
    if (c.writeGapMs >= 0) {
        EXPECT_EQ((ends[i] - ends[i - 1]) / kNsPerMs, c.writeGapMs);
    }
    if (c.toCloseMs >= 0) {
        EXPECT_EQ((line.ClosedAtNs() - ends[i]) / kNsPerMs, c.toCloseMs);
    }
}

using Reply = ScriptedLine::Reply;
const std::string kInvalid = "Invalid response from the unit.\nCan not proceed. Please retry...";

INSTANTIATE_TEST_SUITE_P(
    Table, LineTiming,
    ::testing::Values(
        // The 28 ms pause, then 10000 ms: an answer 10028 ms after the header is in time...
        TimingCase{"HeaderAnswerAtTheLastMillisecond",
                   1,
                   Reply{{0x01}, 10028},
                   {kDownloading, kDone},
                   -1,
                   -1},
        // ...one at 10029 ms is not, and the port closes as the wait runs out.
        TimingCase{"HeaderAnswerAMillisecondLate",
                   1,
                   Reply{{0x01}, 10029},
                   {kDownloading, After(0), kInvalid},
                   -1,
                   10028},
        TimingCase{"SilentAtFrame3", 5, Reply{}, {kDownloading, After(3)}, -1, 10028},
        TimingCase{
            "SilentAtTheEnd", 6, Reply{}, {kDownloading, After(3), "Down Load Failed"}, -1, 10028},
        // Gone half a second into the wait: the rest is waited out asleep, not spun through.
        TimingCase{"HungUpWhileWaiting", 4, Reply{{}, 0, 500}, {kDownloading, After(2)}, -1, 10028},
        // A write the line does not take fails after 2000 ms (after the frame before's pause).
        TimingCase{"WriteStalls",
                   4,
                   Reply{{0x01}, 0, -1, 0, true},
                   {kDownloading, "Down Load Error In Writing"},
                   2028,
                   0},
        // Earlier output that does not leave is given 5000 ms; then the frame goes anyway.
        TimingCase{"DrainHeld", 4, Reply{{0x01}, 0, -1, 60000}, {kDownloading, kDone}, 5028, -1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace romlift
