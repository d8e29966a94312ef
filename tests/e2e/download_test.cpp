// A whole attempt as the Download button runs it: locate in drivers/, choose, transfer.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download.h"
#include "download_state.h"
#include "firmware_locator.h"
#include "recording_host.h"
#include "seeded_image.h"
#include "virtual_unit.h"

namespace romlift {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::HostEvent;
using testing::RecordingHost;
using testing::ScratchDir;
using testing::SeededImage;

class DownloadAttempt : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(unit_.Start());
        fs::create_directory(drivers());
        where_.programFolder = dir_.Path();
        state_.selectedPort = 1;
        state_.comDevice = {1, unit_.DevicePath(), {}};
    }
    fs::path drivers() const { return dir_.Path() / "drivers"; }
    AttemptResult Attempt() {
        return DoDownload(state_, host_,
                          [this](DownloadState& s, DownloadHost& h) {
                              return FirmwareHelper::LocateFirmware(s, h, where_);
                          })
            .result;
    }

    vx7r::VirtualUnit unit_;
    ScratchDir dir_;
    LocateOptions where_;
    DownloadState state_;
    RecordingHost host_{&state_};
};

TEST_F(DownloadAttempt, SingleMatchIsSentWithoutAChoice) {
    ASSERT_FALSE(dir_.Write("drivers/PLQ5A_one.abs", SeededImage(120, 1)).empty());
    EXPECT_EQ(Attempt(), AttemptResult::Confirmed);
    EXPECT_EQ(host_.Count(HostEvent::Choose), 0);
    EXPECT_EQ(unit_.Attempts().at(0).image, SeededImage(120, 1));
}

TEST_F(DownloadAttempt, NoDriversFolderEndsWithTheOpenFailureAndNoChoice) {
    fs::remove(drivers());
    state_.chosenFileName = "earlier.abs";
    EXPECT_EQ(Attempt(), AttemptResult::Failed);
    EXPECT_THAT(host_.Statuses(), ElementsAre("Downloading file earlier.abs to selected "
                                              "unit.\nThis takes a long time, please wait...",
                                              "Download :Can not open file"));
    EXPECT_EQ(host_.Count(HostEvent::Choose), 0);
    EXPECT_TRUE(unit_.Attempts().empty());
}

TEST_F(DownloadAttempt, CancelledChoiceTouchesNothing) {
    for (const char* n : {"PLQ5A_1.abs", "PLQ5A_2.abs", "PLQ5A_3.abs"}) {
        dir_.Write(std::string("drivers/") + n, SeededImage(60, 2));
    }
    host_.onChoose = [](DownloadState& s) {
        s.cancel = 1;
        return false;
    };
    EXPECT_EQ(Attempt(), AttemptResult::Cancelled);
    EXPECT_TRUE(host_.Statuses().empty());
    EXPECT_EQ(host_.Count(HostEvent::Clear), 0);
    EXPECT_EQ(host_.Count(HostEvent::Cursor), 0);
    EXPECT_TRUE(unit_.Attempts().empty());
}

TEST_F(DownloadAttempt, ChoiceAmongSeveralIsTheFileSent) {
    dir_.Write("drivers/PLQ5A_1.abs", SeededImage(60, 1));
    dir_.Write("drivers/plq5a_2.abs", SeededImage(70, 2));
    dir_.Write("drivers/PLQ5A_3.ABS", SeededImage(80, 3));
    host_.onChoose = [](DownloadState& s) {
        // What the locator hands over before the choice: first name shown, last file named.
        EXPECT_EQ(s.chosenFileName, "PLQ5A_1.abs");
        EXPECT_EQ(s.imageFileName.filename(), "PLQ5A_3.ABS");
        s.chosenFileName = "plq5a_2.abs";
        s.imageFileName = s.driversFolder / s.chosenFileName;
        return true;
    };
    EXPECT_EQ(Attempt(), AttemptResult::Confirmed);
    EXPECT_EQ(host_.Count(HostEvent::Choose), 1);
    EXPECT_EQ(unit_.Attempts().at(0).image, SeededImage(70, 2));
    EXPECT_EQ(
        host_.Statuses().at(0),
        "Downloading file plq5a_2.abs to selected unit.\nThis takes a long time, please wait...");
}

TEST_F(DownloadAttempt, FileRemovedBetweenTheSearchAndTheTransfer) {
    dir_.Write("drivers/PLQ5A_1.abs", SeededImage(60, 1));
    dir_.Write("drivers/PLQ5A_2.abs", SeededImage(60, 1));
    host_.onChoose = [](DownloadState& s) {
        fs::remove(s.imageFileName);
        return true;
    };
    EXPECT_EQ(Attempt(), AttemptResult::Failed);
    EXPECT_EQ(host_.Statuses().back(), "Download :Can not open file");
    EXPECT_TRUE(unit_.Attempts().empty());
}

TEST_F(DownloadAttempt, HundredsOfMatchesDefaultToTheLastInOrder) {
    for (int i = 0; i < 300; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "drivers/PLQ5A_%03d.abs", i);
        dir_.Write(name, SeededImage(10, static_cast<uint32_t>(i)));
    }
    EXPECT_EQ(Attempt(), AttemptResult::Confirmed);
    EXPECT_EQ(unit_.Attempts().at(0).image, SeededImage(10, 299));
}

}  // namespace
}  // namespace romlift
