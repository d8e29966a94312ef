// A unit that stops answering: each case waits out the answer time (shortened, see
// quick_timings.h), so each is its own test (one per table row) and the runner can wait them out
// side by side.
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download_state.h"
#include "quick_timings.h"
#include "recording_host.h"
#include "seeded_image.h"
#include "transfer.h"
#include "virtual_unit.h"

namespace romlift {
namespace {

using ::testing::ElementsAre;
using testing::HostEvent;
using testing::OpenDescriptorCount;
using testing::RecordingHost;
using testing::SeededImage;

const std::string kDownloading =
    "Downloading file img.abs to selected unit.\nThis takes a long time, please wait...";
const std::string kInvalid = "Invalid response from the unit.\nCan not proceed. Please retry...";

std::string After(int frame) {
    return "Unit is not responding.\nResponse failed after frame number " + std::to_string(frame) +
           ". Please retry...";
}

class SilentUnit : public ::testing::Test {
  protected:
    void TearDown() override { unit_.reset(); }

    // Runs one transfer of `image` against a unit with the given faults; returns the seconds taken.
    double Transfer(const vx7r::Faults& faults, const std::vector<uint8_t>& image) {
        EXPECT_FALSE(dir_.Path().empty());
        vx7r::UnitOptions o;
        o.faults = faults;
        unit_ = std::make_unique<vx7r::VirtualUnit>(o);
        EXPECT_TRUE(unit_->Start());
        state_.selectedPort = 1;
        state_.timings = testing::QuickTimings();
        state_.comDevice = {1, unit_->DevicePath(), {}};
        state_.imageFileName = dir_.Write("img.abs", image);
        state_.chosenFileName = "img.abs";
        fds_ = OpenDescriptorCount();
        const auto start = std::chrono::steady_clock::now();
        confirmed_ = TransferImage(state_, host_);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    void ExpectReleased() {
        EXPECT_FALSE(confirmed_);
        EXPECT_EQ(OpenDescriptorCount(), fds_);
    }

    testing::ScratchDir dir_;
    std::unique_ptr<vx7r::VirtualUnit> unit_;
    DownloadState state_;
    RecordingHost host_{&state_};
    int fds_ = 0;
    bool confirmed_ = true;
};

struct SilenceCase {
    const char* name;
    vx7r::Phase phase;
    int frame;
    std::vector<uint8_t> image;
    int answerTimes;  // answer waits the attempt sits out
    std::vector<std::string> statuses;
    int exchanges = -1;  // exchanges the unit saw; -1 unchecked
    int clears = -1;     // progress bar clears; -1 unchecked
};

class SilentAt : public SilentUnit, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(SilentAt, WaitsOutTheAnswerTimeShowsItsTextsAndReleasesThePort) {
    const SilenceCase& c = GetParam();
    vx7r::Faults f;
    f.silentAt = c.phase;
    f.silentFrame = c.frame;
    const double s = Transfer(f, c.image);
    EXPECT_GT(s, testing::kQuickAnswerWaitMs / 1000.0 * c.answerTimes);
    EXPECT_EQ(host_.Statuses(), c.statuses);
    if (c.exchanges >= 0) {
        EXPECT_EQ(unit_->Attempts().at(0).exchanges.size(), static_cast<size_t>(c.exchanges));
    }
    if (c.clears >= 0) {
        EXPECT_EQ(host_.Count(HostEvent::Clear), c.clears);
    }
    ExpectReleased();
}

using P = vx7r::Phase;
const std::vector<uint8_t> kImage = SeededImage(120);
const std::vector<uint8_t> kZeroSum{0x5A, 0x5A};
const std::string kNoAnswer = "Unit is not responding. Please retry...";

INSTANTIATE_TEST_SUITE_P(
    Phases, SilentAt,
    ::testing::Values(
        SilenceCase{"WakeUp", P::WakeUp, 0, kImage, 1, {kDownloading, kNoAnswer}},
        SilenceCase{"Header", P::Header, 0, kImage, 1, {kDownloading, After(0), kInvalid}},
        SilenceCase{"ChecksumEcho", P::Checksum, 0, kImage, 1, {kDownloading, After(0)}, 3},
        // XOR 0: the time-out reads as the echo 0, and the first frame's answer is waited out too.
        SilenceCase{
            "EchoOfAZeroChecksum", P::Checksum, 0, kZeroSum, 2, {kDownloading, After(0), After(1)}},
        SilenceCase{"Frame3", P::Frame, 3, SeededImage(400), 1, {kDownloading, After(3)}, -1, 2},
        SilenceCase{
            "EndFrame", P::End, 0, kImage, 1, {kDownloading, After(3), "Down Load Failed"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SilentUnit, DeviceGoneMidTransfer) {
    // The master closing is what a pulled USB adapter looks like from the host's descriptor.
    int fdsWhileOpen = -1;
    host_.onPaint = [&](int frame) {
        if (frame == 2) {
            unit_->Stop();
            fdsWhileOpen = OpenDescriptorCount();  // the port and the image still open
        }
    };
    const double s = Transfer({}, SeededImage(400));
    EXPECT_LT(s, 30.0);
    const auto statuses = host_.Statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_THAT(statuses[1], ::testing::AnyOf("Down Load Error In Writing", After(2)));
    EXPECT_FALSE(confirmed_);
    EXPECT_FALSE(state_.port.IsOpen());
    EXPECT_FALSE(state_.image.IsOpen());
    EXPECT_EQ(OpenDescriptorCount(), fdsWhileOpen - 2);
}

TEST_F(SilentUnit, DeviceGoneWhileWaitingForAnAnswerIsWaitedOutAsleep) {
    vx7r::Faults f;
    f.silentAt = vx7r::Phase::Frame;
    f.silentFrame = 2;
    std::thread puller;
    host_.onPaint = [&](int frame) {
        if (frame == 2) {
            puller = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                unit_->Stop();
            });
        }
    };
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    const double s = Transfer(f, SeededImage(400));
    getrusage(RUSAGE_THREAD, &after);
    puller.join();
    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                       (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       1e-6 * ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                               (after.ru_stime.tv_usec - before.ru_stime.tv_usec));
    EXPECT_GT(s, testing::kQuickAnswerWaitMs / 1000.0);
    EXPECT_THAT(host_.Statuses(), ElementsAre(kDownloading, After(2)));
    // A hung-up tty reads "nothing" at once; polling it in a loop would burn the whole wait.
    EXPECT_LT(cpu, 0.5 * s) << "the host spun on a dead line";
    EXPECT_FALSE(state_.port.IsOpen());
}

}  // namespace
}  // namespace romlift
