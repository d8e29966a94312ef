// Why the port failed, as the engine records it for front ends: a device that would not open, a
// line that hung up mid-download, and a unit that merely stayed silent (no record). The status
// texts are the ones the other suites check; here each record is checked beside them, and the
// descriptors and the lock are released either way.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download.h"
#include "download_state.h"
#include "quick_timings.h"
#include "recording_host.h"
#include "seeded_image.h"
#include "transfer.h"
#include "virtual_unit.h"

namespace romlift {
namespace {

namespace fs = std::filesystem;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using testing::HoldsDevice;
using testing::OpenDescriptorCount;
using testing::RecordingHost;
using K = PortFault::Kind;

const std::string kDownloading =
    "Downloading file img.abs to selected unit.\nThis takes a long time, please wait...";

std::string After(int frame) {
    return "Unit is not responding.\nResponse failed after frame number " + std::to_string(frame) +
           ". Please retry...";
}

class PortFaultRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.Path().empty());
        image_ = testing::SeededImage(400);
        state_.imageFileName = scratch_.Write("img.abs", image_);
        state_.chosenFileName = "img.abs";
        state_.timings = testing::QuickTimings();
    }

    vx7r::VirtualUnit& StartUnit(vx7r::UnitOptions o = {}) {
        unit_ = std::make_unique<vx7r::VirtualUnit>(o);
        std::string error;
        EXPECT_TRUE(unit_->Start(&error)) << error;
        state_.portDevice = unit_->DevicePath();
        return *unit_;
    }

    // One attempt; the descriptors must be back where they were, whatever the outcome. A unit
    // that hangs up for good closes its own pty in this process too: then only the check that
    // no descriptor on the device is left counts.
    bool Run(bool unitStays = true) {
        const int fds = OpenDescriptorCount();
        const bool ok = TransferImage(state_, host_);
        if (unitStays) {
            EXPECT_EQ(OpenDescriptorCount(), fds);
        }
        EXPECT_FALSE(state_.port.IsOpen());
        EXPECT_FALSE(state_.image.IsOpen());
        return ok;
    }

    testing::ScratchDir scratch_;
    std::vector<uint8_t> image_;
    std::unique_ptr<vx7r::VirtualUnit> unit_;
    DownloadState state_;
    RecordingHost host_{&state_};
};

struct HangUpCase {
    const char* name;
    vx7r::Phase phase;
    int frame;
    bool afterAnswer;
    std::vector<std::string> statuses;  // after the "Downloading" text; two entries: either
};

class HangUp : public PortFaultRecord, public ::testing::WithParamInterface<HangUpCase> {};

TEST_P(HangUp, IsRecordedWithTheDeviceAndEio) {
    const HangUpCase& c = GetParam();
    vx7r::UnitOptions o;
    o.faults.hangUpAt = c.phase;
    o.faults.hangUpFrame = c.frame;
    o.faults.hangUpAfterAnswer = c.afterAnswer;
    o.returnAfterMs = -1;  // stays away, as a pulled adapter does
    StartUnit(o);
    const std::string device = state_.portDevice;

    struct stat node {};
    ASSERT_EQ(::stat(device.c_str(), &node), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Run(false));
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const std::vector<std::string> statuses = host_.Statuses();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], kDownloading);
    EXPECT_THAT(statuses[1], AnyOf(c.statuses[0], c.statuses[1]));
    EXPECT_EQ(state_.portFault.kind, K::HungUp);
    EXPECT_EQ(state_.portFault.err, EIO);
    EXPECT_EQ(state_.portFault.device, device);
    EXPECT_FALSE(HoldsDevice(node.st_rdev)) << "the port outlived the attempt";
    // The longest way out is a read's 28 ms pause and answer time after a full write wait.
    EXPECT_LT(s, 5.0 + 2.0 + 0.028 + testing::kQuickAnswerWaitMs / 1000.0 + 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Where, HangUp,
    ::testing::Values(
        // Hung up instead of answering: the host waits out the answer time on the dead line.
        HangUpCase{"WakeUp",
                   vx7r::Phase::WakeUp,
                   0,
                   false,
                   {"Unit is not responding. Please retry...", "Down Load Error In Writing"}},
        HangUpCase{
            "Frame3", vx7r::Phase::Frame, 3, false, {After(3), "Down Load Error In Writing"}},
        // Answered, then gone: the next frame cannot go out.
        HangUpCase{
            "AfterFrame3", vx7r::Phase::Frame, 3, true, {"Down Load Error In Writing", After(4)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortFaultRecord, SilentUnitIsNotAHangUp) {
    vx7r::UnitOptions o;
    o.faults.silentAt = vx7r::Phase::Frame;
    o.faults.silentFrame = 2;
    StartUnit(o);
    EXPECT_FALSE(Run());
    EXPECT_THAT(host_.Statuses(), ElementsAre(kDownloading, After(2)));
    EXPECT_EQ(state_.portFault.kind, K::None);
}

TEST_F(PortFaultRecord, OpenFailuresKeepTheReasonAndTheDevice) {
    const std::string missing = (scratch_.Path() / "ttyUSB9").string();
    state_.portDevice = missing;
    EXPECT_FALSE(Run());
    EXPECT_EQ(state_.portFault.kind, K::OpenFailed);
    EXPECT_EQ(state_.portFault.openError, SerialPort::OpenError::Open);
    EXPECT_EQ(state_.portFault.err, ENOENT);
    EXPECT_EQ(state_.portFault.device, missing);

    state_.portDevice = state_.imageFileName.string();
    EXPECT_FALSE(Run());
    EXPECT_EQ(state_.portFault.openError, SerialPort::OpenError::NotTerminal);
    EXPECT_EQ(state_.portFault.err, ENOTTY);

    // COMn records the device it maps to, not the name the texts use.
    StartUnit();
    state_.comDevice = {4, state_.portDevice, {}};
    state_.portDevice.clear();
    state_.selectedPort = 4;
    SerialPort holder;
    ASSERT_EQ(holder.Open(unit_->DevicePath()), SerialPort::OpenError::None);
    EXPECT_FALSE(Run());
    EXPECT_EQ(host_.Statuses().back(), "Can not open Port COM4");
    EXPECT_EQ(state_.portFault.kind, K::OpenFailed);
    // Root passes the exclusive mode and meets the flock; anyone else gets EBUSY from open().
    EXPECT_TRUE((state_.portFault.openError == SerialPort::OpenError::Busy &&
                 state_.portFault.err == EWOULDBLOCK) ||
                (state_.portFault.openError == SerialPort::OpenError::Open &&
                 state_.portFault.err == EBUSY))
        << static_cast<int>(state_.portFault.openError) << " " << state_.portFault.err;
    EXPECT_EQ(state_.portFault.device, unit_->DevicePath());
}

// The front end found no device for COMn, or handed in what another number names: nothing is
// opened, the texts name COMn, and the record says why in the look-up's words.
TEST_F(PortFaultRecord, ComNumberWithoutItsDeviceOpensNothing) {
    StartUnit();
    const std::string device = state_.portDevice;
    state_.portDevice.clear();
    state_.selectedPort = 3;
    for (const ComDevice& handed :
         {ComDevice{3, "", "no device has this number"}, ComDevice{2, device, "UART"}}) {
        state_.comDevice = handed;
        const int fds = OpenDescriptorCount();
        EXPECT_FALSE(Run());
        EXPECT_EQ(host_.Statuses().back(), "Can not open Port COM3");
        EXPECT_EQ(state_.portFault.kind, K::NoDevice);
        EXPECT_EQ(state_.portFault.detail,
                  handed.com == 3 ? handed.detail : "this number was not looked up");
        EXPECT_EQ(OpenDescriptorCount(), fds);
    }
}

TEST_F(PortFaultRecord, NextAttemptStartsWithoutTheOldRecord) {
    const fs::path image = state_.imageFileName;
    const Locator aim = [&](DownloadState& s, DownloadHost&) {
        s.imageFileName = image;
        return true;
    };
    const Locator nothing = [](DownloadState&, DownloadHost&) { return false; };
    state_.portDevice = (scratch_.Path() / "gone").string();
    EXPECT_EQ(DoDownload(state_, host_, aim).result, AttemptResult::Failed);
    ASSERT_EQ(state_.portFault.kind, K::OpenFailed);

    // No image this time: the attempt fails before the port, and must not carry the last
    // attempt's port trouble with it.
    EXPECT_EQ(DoDownload(state_, host_, nothing).result, AttemptResult::Failed);
    EXPECT_EQ(host_.Statuses().back(), "Download :Can not open file");
    EXPECT_EQ(state_.portFault.kind, K::None);

    StartUnit();
    EXPECT_EQ(DoDownload(state_, host_, aim).result, AttemptResult::Confirmed);
    EXPECT_EQ(state_.portFault.kind, K::None);
}

// The sim's own hang-up that comes back on a new pty behind a link, as a re-plugged adapter
// comes back under its by-id name: the same state downloads through the link again.
TEST_F(PortFaultRecord, AfterAHangUpTheReturnedDeviceTakesTheDownload) {
    vx7r::UnitOptions o;
    o.faults.hangUpAt = vx7r::Phase::Frame;
    o.faults.hangUpFrame = 2;
    o.faults.hangUpAfterAnswer = true;
    o.faults.attempts = 1;
    o.linkPath = (scratch_.Path() / "ttyVX7R").string();
    o.returnAfterMs = 0;
    StartUnit(o);
    state_.portDevice = o.linkPath;
    EXPECT_FALSE(Run());
    EXPECT_EQ(state_.portFault.kind, K::HungUp);
    EXPECT_EQ(state_.portFault.device, o.linkPath);

    host_.events.clear();
    EXPECT_TRUE(Run());
    EXPECT_EQ(state_.portFault.kind, K::None);
    EXPECT_EQ(host_.Statuses().back(), "DownLoad is Completed Successfully");
    EXPECT_EQ(unit_->Attempts().back().image, image_);
}

}  // namespace
}  // namespace romlift
