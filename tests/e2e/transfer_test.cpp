// Whole transfers over a real pseudo-terminal against the virtual unit.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download_state.h"
#include "models.h"
#include "recording_host.h"
#include "seeded_image.h"
#include "test_lines.h"
#include "transfer.h"
#include "virtual_unit.h"

namespace romlift {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::HostEvent;
using testing::OpenDescriptorCount;
using testing::RecordingHost;
using testing::SeededImage;
using Bytes = std::vector<uint8_t>;

const std::string kDownloadingPrefix = "Downloading file ";
const std::string kDownloadingSuffix = " to selected unit.\nThis takes a long time, please wait...";

std::string Downloading(const std::string& name) {
    return kDownloadingPrefix + name + kDownloadingSuffix;
}

using testing::ImageXor;

class TransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.Path().empty());
        dir_ = scratch_.Path();
    }
    void TearDown() override { unit_.reset(); }

    // Starts a unit and hands it in as what COM2 names.
    vx7r::VirtualUnit& StartUnit(vx7r::UnitOptions options = {}) {
        unit_ = std::make_unique<vx7r::VirtualUnit>(options);
        std::string error;
        EXPECT_TRUE(unit_->Start(&error)) << error;
        state_.comDevice = {2, unit_->DevicePath(), {}};
        return *unit_;
    }

    // Points the state at COM2 and the image, as the locator would.
    void Aim(const fs::path& image) {
        state_.selectedPort = 2;
        state_.imageFileName = image;
        state_.chosenFileName = image.filename().string();
    }

    bool Run() { return TransferImage(state_, host_); }

    std::vector<Bytes> Received(const vx7r::Attempt& a) const {
        std::vector<Bytes> out;
        for (const auto& e : a.exchanges) {
            out.push_back(e.received);
        }
        return out;
    }

    testing::ScratchDir scratch_;
    fs::path dir_;
    std::unique_ptr<vx7r::VirtualUnit> unit_;
    DownloadState state_;
    RecordingHost host_{&state_};
};

// The exact bytes a correct host puts on the wire for an image (an empty one still gets a frame).
std::vector<Bytes> ExpectedWire(const Bytes& image, const Bytes& header) {
    std::vector<Bytes> wire{{0x99}, header, {ImageXor(image)}};
    size_t off = 0;
    do {
        const size_t n = std::min<size_t>(50, image.size() - off);
        Bytes f{static_cast<uint8_t>(n), static_cast<uint8_t>(off & 0xFF),
                static_cast<uint8_t>((off >> 8) & 0xFF)};
        Bytes data(image.begin() + static_cast<long>(off),
                   image.begin() + static_cast<long>(off + n));
        f.insert(f.end(), data.begin(), data.end());
        f.push_back(ImageXor(data));
        wire.push_back(f);
        off += n;
    } while (off < image.size());
    wire.push_back({0xCC, ImageXor(image)});
    return wire;
}

const Bytes kHeader10 = {0x14, 10, 0, 0x18, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0};

struct SizeCase {
    size_t size;
    int frames;
    std::vector<std::pair<int, int>> paintAt;  // frame, bar x: frames 2.. paint, 200 at the last
};

class ImageSizes : public TransferTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ImageSizes, EveryByteArrivesInOrderAndTheUnitConfirms) {
    const SizeCase& c = GetParam();
    auto& unit = StartUnit();
    // The host's pause before each answer only gives the unit time to answer; this one answers at
    // once, and without the pause 1312 frames take seconds, not 37 (the pause has its own case).
    state_.timings.pauseSettleMs = 0;
    state_.timings.pausePerByteMs = 0;
    const Bytes image = SeededImage(c.size, static_cast<uint32_t>(c.size));
    Aim(scratch_.Write("PLQ5A_" + std::to_string(c.size) + ".abs", image));

    EXPECT_TRUE(Run());

    EXPECT_THAT(host_.Statuses(), ElementsAre(Downloading(state_.chosenFileName),
                                              "DownLoad is Completed Successfully"));
    const auto attempts = unit.Attempts();
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_TRUE(attempts[0].confirmed);
    EXPECT_EQ(attempts[0].image, image);
    EXPECT_EQ(Received(attempts[0]), ExpectedWire(image, kHeader10));
    EXPECT_EQ(state_.totalFrames, c.frames);
    const std::vector<int> paints = host_.Paints();
    ASSERT_EQ(paints.size(), static_cast<size_t>(std::max(c.frames - 1, 0)));
    for (const auto& [frame, x] : c.paintAt) {
        EXPECT_EQ(paints.at(static_cast<size_t>(frame - 2)), x) << "frame " << frame;
    }
    EXPECT_EQ(host_.Count(HostEvent::Clear), 2);
    EXPECT_EQ(host_.Count(HostEvent::Invalidate), 1);
    EXPECT_TRUE(unit.Violations().empty()) << unit.Violations().front();
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ImageSizes,
    ::testing::Values(
        // Empty: still one empty frame, then the end frame.
        SizeCase{0, 0, {}}, SizeCase{1, 1, {}}, SizeCase{50, 1, {}}, SizeCase{51, 2, {{2, 200}}},
        SizeCase{101, 3, {{2, 133}, {3, 200}}},
        // 87, not 88: the ratio is taken as 100 / (25 / 11).
        SizeCase{1250, 25, {{11, 87}, {25, 200}}},
        // The last two frames lie past offset 65535: the offset field wraps (65550 goes out as 14).
        SizeCase{65551, 1312, {{1312, 200}}}),
    [](const auto& info) { return "Bytes" + std::to_string(info.param.size); });

struct ModelCase {
    int row;
    uint8_t lo, hi;
};

class ModelHeaders : public TransferTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelHeaders, HeaderNamesTheSelectedModelsTypeCode) {
    const ModelCase& c = GetParam();
    vx7r::UnitOptions o;
    o.typeCode = c.lo | (c.hi << 8);
    auto& unit = StartUnit(o);
    SelectModel(state_, c.row);
    Aim(scratch_.Write("img.abs", SeededImage(60)));
    ASSERT_TRUE(Run());
    const Bytes header = {0x14, c.lo, c.hi, 0x18, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(unit.Attempts().at(0).exchanges.at(1).received, header);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, ModelHeaders,
                         ::testing::Values(ModelCase{0, 10, 0}, ModelCase{1, 10, 0},
                                           ModelCase{2, 9, 0}, ModelCase{3, 15, 0},
                                           ModelCase{4, 15, 0}, ModelCase{5, 14, 0}),
                         [](const auto& info) { return "Row" + std::to_string(info.param.row); });

TEST_F(TransferTest, UnitOfAnotherModelRefusesTheHeader) {
    vx7r::UnitOptions o;
    o.typeCode = 15;
    StartUnit(o);
    Aim(scratch_.Write("img.abs", SeededImage(60)));  // state still names type code 10
    EXPECT_FALSE(Run());
    EXPECT_THAT(host_.Statuses(), ElementsAre(Downloading("img.abs"),
                                              "Selected VX7R model is not matching with connected "
                                              "model. \nCan not proceed. Please check."));
}

struct HeaderAnswerCase {
    uint8_t answer;
    const char* text;
};

class HeaderAnswers : public TransferTest,
                      public ::testing::WithParamInterface<HeaderAnswerCase> {};

TEST_P(HeaderAnswers, EachRefusalShowsItsTextAndReleasesEverything) {
    vx7r::UnitOptions o;
    o.faults.headerAnswer = GetParam().answer;
    auto& unit = StartUnit(o);
    Aim(scratch_.Write("img.abs", SeededImage(60)));
    const int fds = OpenDescriptorCount();
    EXPECT_FALSE(Run());
    EXPECT_THAT(host_.Statuses(), ElementsAre(Downloading("img.abs"), GetParam().text));
    EXPECT_EQ(OpenDescriptorCount(), fds);
    EXPECT_FALSE(state_.port.IsOpen());
    EXPECT_FALSE(state_.image.IsOpen());
    EXPECT_EQ(unit.Attempts().at(0).exchanges.size(), 2u);  // nothing sent after the header
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeaderAnswers,
    ::testing::Values(
        HeaderAnswerCase{0x00, "Invalid response from the unit.\nCan not proceed. Please retry..."},
        HeaderAnswerCase{0x51,
                         "Selected VX7R model is not matching with connected model. \nCan not "
                         "proceed. Please check."},
        HeaderAnswerCase{0xFC, "ChkFrmMisMatch_TouchScreen"},
        HeaderAnswerCase{0xFD, "ChkFrmMisMatch_LogMem"},
        HeaderAnswerCase{0xFE, "ChkFrmMisMatch_AppMem"},
        HeaderAnswerCase{0x42, "Invalid response from the unit.\nCan not proceed. Please retry..."},
        HeaderAnswerCase{0xFF,
                         "Invalid response from the unit.\nCan not proceed. Please retry..."}),
    [](const auto& info) { return "Answer" + std::to_string(info.param.answer); });

TEST_F(TransferTest, FrameRefusedNamesTheFrameAndClearsTheBar) {
    vx7r::UnitOptions o;
    o.faults.errorAtFrame = 3;
    auto& unit = StartUnit(o);
    Aim(scratch_.Write("img.abs", SeededImage(500)));
    EXPECT_FALSE(Run());
    EXPECT_THAT(
        host_.Statuses(),
        ElementsAre(Downloading("img.abs"),
                    "Unit has not received the right frame number 3. \nPlease download again."));
    EXPECT_EQ(host_.Count(HostEvent::Clear), 2);
    EXPECT_EQ(host_.Count(HostEvent::Invalidate), 0);
    EXPECT_EQ(unit.Attempts().at(0).exchanges.size(), 3u + 3u);  // no end frame
}

TEST_F(TransferTest, SecondAttemptAfterAFailureShowsTheSameTextsThenOneSucceeds) {
    vx7r::UnitOptions o;
    o.faults.errorAtFrame = 2;
    o.faults.attempts = 2;
    auto& unit = StartUnit(o);
    const Bytes image = SeededImage(170);
    Aim(scratch_.Write("img.abs", image));
    EXPECT_FALSE(Run());
    const auto first = host_.Statuses();
    host_.events.clear();
    EXPECT_FALSE(Run());
    EXPECT_EQ(host_.Statuses(), first);
    EXPECT_EQ(first.back(),
              "Unit has not received the right frame number 2. \nPlease download again.");
    host_.events.clear();
    EXPECT_TRUE(Run());
    EXPECT_EQ(host_.Statuses().back(), "DownLoad is Completed Successfully");
    EXPECT_EQ(unit.Attempts().at(2).image, image);
}

struct EndAnswerCase {
    uint8_t answer;
    std::vector<std::string> tail;
};

class EndAnswers : public TransferTest, public ::testing::WithParamInterface<EndAnswerCase> {};

TEST_P(EndAnswers, OnlyTheEndMarkCountsAsSuccess) {
    vx7r::UnitOptions o;
    o.faults.endAnswer = GetParam().answer;
    StartUnit(o);
    Aim(scratch_.Write("img.abs", SeededImage(120)));
    EXPECT_FALSE(Run());
    std::vector<std::string> expected{Downloading("img.abs")};
    expected.insert(expected.end(), GetParam().tail.begin(), GetParam().tail.end());
    EXPECT_EQ(host_.Statuses(), expected);
    EXPECT_EQ(host_.Count(HostEvent::Invalidate), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EndAnswers,
    ::testing::Values(
        EndAnswerCase{0xFF, {"CRC mismatch Error. Please download again.", "Down Load Failed"}},
        EndAnswerCase{0x00, {"Down Load Failed"}}, EndAnswerCase{0x01, {"Down Load Failed"}}),
    [](const auto& info) { return "Answer" + std::to_string(info.param.answer); });

struct EchoCase {
    vx7r::Phase phase;
    size_t exchanges;
};

class WrongEchoes : public TransferTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(WrongEchoes, EndTheAttemptWithoutANewText) {
    vx7r::UnitOptions o;
    o.faults.wrongEchoAt = GetParam().phase;
    o.faults.wrongEchoByte = 0x55;
    auto& unit = StartUnit(o);
    Aim(scratch_.Write("img.abs", SeededImage(120)));
    const int fds = OpenDescriptorCount();
    EXPECT_FALSE(Run());
    EXPECT_THAT(host_.Statuses(), ElementsAre(Downloading("img.abs")));
    EXPECT_EQ(unit.Attempts().at(0).exchanges.size(), GetParam().exchanges);
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

INSTANTIATE_TEST_SUITE_P(Phases, WrongEchoes,
                         ::testing::Values(EchoCase{vx7r::Phase::WakeUp, 1},
                                           EchoCase{vx7r::Phase::Checksum, 3}),
                         [](const auto& info) {
                             return info.param.phase == vx7r::Phase::WakeUp ? "WakeUp" : "Checksum";
                         });

TEST_F(TransferTest, DoubleAnswerToTheWakeUpIsEmptiedByTheReopen) {
    vx7r::UnitOptions o;
    o.faults.doubleAt = vx7r::Phase::WakeUp;
    auto& unit = StartUnit(o);
    const Bytes image = SeededImage(120);
    Aim(scratch_.Write("img.abs", image));
    EXPECT_TRUE(Run());
    EXPECT_EQ(unit.Attempts().at(0).image, image);
}

TEST_F(TransferTest, DoubleAnswerToTheHeaderIsReadAsTheChecksumEcho) {
    vx7r::UnitOptions o;
    o.faults.doubleAt = vx7r::Phase::Header;
    StartUnit(o);
    Bytes image = SeededImage(120);
    ASSERT_NE(ImageXor(image), 0x01);  // the queued 0x01 must not pass for the echo
    Aim(scratch_.Write("img.abs", image));
    EXPECT_FALSE(Run());
    EXPECT_THAT(host_.Statuses(), ElementsAre(Downloading("img.abs")));
}

TEST_F(TransferTest, LineIsRaw9600EightBitsAsSeenByTheUnit) {
    auto& unit = StartUnit();
    Aim(scratch_.Write("img.abs", SeededImage(10)));
    ASSERT_TRUE(Run());
    const auto line = unit.Attempts().at(0).line;
    ASSERT_TRUE(line.has_value());
    const termios& t = *line;
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(TransferTest, AnswerBytesThatSoftwareFlowControlWouldSwallowGetThrough) {
    // Checksum 0x13 is XOFF, 0x11 is XON: with IXON on, the echo would never reach us.
    for (uint8_t sum : {uint8_t{0x11}, uint8_t{0x13}}) {
        auto& unit = StartUnit();
        Bytes image = SeededImage(49);
        image.push_back(static_cast<uint8_t>(ImageXor(image) ^ sum));
        ASSERT_EQ(ImageXor(image), sum);
        Aim(scratch_.Write("img.abs", image));
        host_.events.clear();
        EXPECT_TRUE(Run());
        EXPECT_EQ(unit.Attempts().at(0).image, image);
    }
}

TEST_F(TransferTest, HostileFileNameIsShownAsItIs) {
    auto& unit = StartUnit();
    const Bytes image = SeededImage(80);
    Aim(scratch_.Write("PLQ5A%s%n%x \xff.abs", image));
    EXPECT_TRUE(Run());
    EXPECT_EQ(host_.Statuses().at(0), Downloading("PLQ5A%s%n%x \xff.abs"));
    EXPECT_EQ(unit.Attempts().at(0).image, image);
}

TEST_F(TransferTest, OddImageFilesEndTheAttemptAtOnceWithoutTouchingThePort) {
    auto& unit = StartUnit();
    const fs::path fifo = dir_ / "PLQ5A_fifo.abs";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir_ / "PLQ5A_dir.abs");
    const fs::path big = dir_ / "PLQ5A_huge.abs";
    { std::ofstream f(big, std::ios::binary); }
    fs::resize_file(big, (uint64_t{1} << 32) + 10);  // too large for the size field; sparse
    for (const fs::path& p : {fifo, dir_ / "PLQ5A_dir.abs", fs::path("/dev/null"),
                              dir_ / "missing.abs", fs::path(), big}) {
        host_.events.clear();
        state_.selectedPort = 2;
        state_.imageFileName = p;
        state_.chosenFileName = "previous.abs";
        const int fds = OpenDescriptorCount();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Run()) << p;
        EXPECT_THAT(host_.Statuses(),
                    ElementsAre(Downloading("previous.abs"), "Download :Can not open file"))
            << p;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
            << p << " blocked";
        EXPECT_EQ(OpenDescriptorCount(), fds) << p;
    }
    EXPECT_TRUE(unit.Attempts().empty());
}

TEST_F(TransferTest, ImageThatShrinksMidTransferIsNotPaddedWithZeros) {
    auto& unit = StartUnit();
    const Bytes image = SeededImage(9000);  // beyond the stream's first read-ahead block
    const fs::path p = scratch_.Write("PLQ5A_shrink.abs", image);
    Aim(p);
    host_.onPaint = [&](int frame) {
        if (frame == 2) {
            ASSERT_EQ(truncate(p.c_str(), 100), 0);
        }
    };
    const int fds = OpenDescriptorCount();
    EXPECT_FALSE(Run());
    EXPECT_EQ(host_.Statuses().back(), "ReadFromPzmFile Failed");
    const auto a = unit.Attempts().at(0);
    EXPECT_FALSE(a.confirmed);
    // Whatever went out is the file's true content, never zeros in place of lost bytes.
    ASSERT_LE(a.image.size(), image.size());
    EXPECT_TRUE(std::equal(a.image.begin(), a.image.end(), image.begin()));
    EXPECT_NE(a.exchanges.back().received.at(0), 0xCC);
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

// The front end read the image once to check it: those bytes go out, whatever the file holds by
// the time the first byte goes; an image it refuses never wakes the unit.
TEST_F(TransferTest, AdmittedBytesGoOutWhateverTheFileBecomesAndARefusedImageWakesNothing) {
    auto& unit = StartUnit();
    const Bytes checked = SeededImage(300, 1);
    Aim(scratch_.Write("PLQ5A_checked.abs", checked));
    host_.onAdmit = [&](DownloadState& s) {
        s.imageBytes = std::make_shared<const Bytes>(checked);
        return ImageAdmission::Admitted;
    };
    host_.onBeginSending = [&](DownloadState&) {
        return !scratch_.Write("PLQ5A_checked.abs", SeededImage(310, 2)).empty();
    };
    EXPECT_TRUE(Run());
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(Received(unit.Attempts()[0]), ExpectedWire(checked, kHeader10));

    host_.events.clear();
    host_.onAdmit = [](DownloadState&) { return ImageAdmission::Refused; };
    const int fds = OpenDescriptorCount();
    EXPECT_FALSE(Run());
    EXPECT_THAT(host_.Statuses(),
                ElementsAre(Downloading("PLQ5A_checked.abs"), "Download :Can not open file"));
    EXPECT_EQ(state_.outcome.step, AttemptStep::Image);
    EXPECT_EQ(state_.outcome.cause, EndCause::ImageRefused);
    EXPECT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(OpenDescriptorCount(), fds);
}

TEST_F(TransferTest, PortThatCannotBeOpenedIsNamedAndTheImageIsClosed) {
    StartUnit();
    Aim(scratch_.Write("img.abs", SeededImage(60)));
    state_.comDevice = {4, (dir_ / "no-such-tty").string(), {}};
    const std::string notATty = scratch_.Write("not-a-tty", SeededImage(3)).string();
    // A missing device behind a COM number, then a regular file named as the device.
    for (const auto& [com, device, shown] : std::vector<std::tuple<int, std::string, std::string>>{
             {4, "", "COM4"}, {2, notATty, notATty}}) {
        host_.events.clear();
        state_.selectedPort = com;
        state_.portDevice = device;
        const int fds = OpenDescriptorCount();
        EXPECT_FALSE(Run());
        EXPECT_THAT(host_.Statuses(),
                    ElementsAre(Downloading("img.abs"), "Can not open Port " + shown));
        EXPECT_FALSE(state_.image.IsOpen());
        EXPECT_EQ(OpenDescriptorCount(), fds);
    }
}

TEST_F(TransferTest, PortHeldByAnotherProcessIsRefusedAndFreeAgainAfterwards) {
    auto& unit = StartUnit();
    Aim(scratch_.Write("img.abs", SeededImage(60)));
    {
        testing::HoldingChild child(unit.DevicePath());
        ASSERT_TRUE(child.Held());
        EXPECT_FALSE(Run());
        EXPECT_EQ(host_.Statuses().back(), "Can not open Port COM2");
    }
    host_.events.clear();
    EXPECT_TRUE(Run());
}

TEST_F(TransferTest, PortAndLockAreReleasedAfterEveryOutcome) {
    vx7r::UnitOptions o;
    o.faults.errorAtFrame = 1;
    o.faults.attempts = 1;
    auto& unit = StartUnit(o);
    Aim(scratch_.Write("img.abs", SeededImage(60)));
    const int fds = OpenDescriptorCount();
    EXPECT_FALSE(Run());
    EXPECT_EQ(OpenDescriptorCount(), fds);
    EXPECT_TRUE(Run());
    EXPECT_EQ(OpenDescriptorCount(), fds);
    // Nobody holds the lock: another program can take the port now.
    SerialPort other;
    EXPECT_EQ(other.Open(unit.DevicePath()), SerialPort::OpenError::None);
}

}  // namespace
}  // namespace romlift
