// A row filled from a real attempt against the virtual unit, and the pieces it is made of.
#include <gtest/gtest.h>

#include <fstream>

#include "download_state.h"
#include "fake_sysfs.h"
#include "image_digest.h"
#include "models.h"
#include "recording_host.h"
#include "row_capture.h"
#include "transfer.h"
#include "utc_time.h"
#include "virtual_unit.h"

namespace romlift::record {
namespace {

using testing::EnvVar;
using testing::ScratchDir;

constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256Test, KnownDigestsWholeAndCompletedFromTheFile) {
    ScratchDir dir;
    const auto abc = dir.Write("abc", {'a', 'b', 'c'});
    EXPECT_EQ(FileSha256(abc), kAbc);
    EXPECT_EQ(FileSha256(dir.Write("empty", {})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(FileSha256(dir.Path() / "missing"), "");
    // Frames stopped after "a": the rest comes from the file; then the digest starts over.
    ImageDigest digest;
    const uint8_t a = 'a';
    digest.ImageRead(&a, 1);
    EXPECT_EQ(digest.FinishHex(abc, 3), kAbc);
    EXPECT_EQ(digest.Bytes(), 0u);
    EXPECT_EQ(digest.FinishHex(dir.Path() / "missing", 3), "");
}

TEST(ParseSinceTest, DatesAndTimesInUtc) {
    EXPECT_EQ(ParseSince("2026-12-02"), "2026-12-02T00:00:00.000Z");
    EXPECT_EQ(ParseSince("2026-12-02T10:30"), "2026-12-02T10:30:00.000Z");
    EXPECT_EQ(ParseSince("2026-12-02 10:30:05.250Z"), "2026-12-02T10:30:05.250Z");
    for (const char* bad : {"2026-02-30", "2026-12-2", "2026-12-02T10:30:05.25", "yesterday",
                            "2026-12-02T25:00", ""}) {
        EXPECT_EQ(ParseSince(bad), std::nullopt) << bad;
    }
}

TEST(RowCaptureTest, StationAndOperatorFallBackToEnvironmentThenHostAndUser) {
    EnvVar station("ROMLIFT_STATION");
    EnvVar op("ROMLIFT_OPERATOR");
    station.Unset();
    op.Unset();
    EXPECT_EQ(StationName(""), HostName());
    EXPECT_EQ(OperatorName(""), UserName());
    station.Set("L2");
    op.Set("ana");
    EXPECT_EQ(StationName(""), "L2");
    EXPECT_EQ(OperatorName(""), "ana");
    EXPECT_EQ(StationName("L7"), "L7");
    EXPECT_EQ(OperatorName("bo"), "bo");
}

struct AttemptCase {
    const char* name;
    vx7r::Faults faults;
    bool confirmed;
    int framesConfirmed;
    bool checksumSent;
};

void PrintTo(const AttemptCase& c, std::ostream* os) {
    *os << c.name;
}

class CapturedAttempt : public ::testing::TestWithParam<AttemptCase> {};

// 260 bytes: six frames. The unit is an adapter in a made-up sysfs, opened through its /dev link.
TEST_P(CapturedAttempt, RowSaysHowFarItGot) {
    const AttemptCase& c = GetParam();
    ScratchDir dir;
    std::vector<uint8_t> image(260);
    uint8_t xorAll = 0;
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 31 + 5);
        xorAll ^= image[i];
    }
    const auto path = dir.Write("PLQ5A_1.abs", image);
    vx7r::UnitOptions options;
    options.faults = c.faults;
    vx7r::VirtualUnit unit(options);
    std::string why;
    ASSERT_TRUE(unit.Start(&why)) << why;
    testing::FakeSysfs sysfs(dir.Path() / "sys");
    sysfs.Plug({});
    std::filesystem::create_directories(dir.Path() / "dev");
    std::filesystem::create_symlink(unit.DevicePath(), dir.Path() / "dev" / "ttyUSB0");

    DownloadState state;
    state.portDevice = (dir.Path() / "dev" / "ttyUSB0").string();
    state.imageFileName = path;
    state.chosenFileName = path.filename().string();
    state.phase = LinePhase::End;  // left over from an earlier attempt
    ImageDigest digest;
    state.image.SetObserver(&digest);
    testing::RecordingHost host(&state);
    AttemptTimer timer;
    EXPECT_EQ(TransferImage(state, host), c.confirmed);
    timer.Stop();

    AttemptContext context;
    context.program = "romlift-cli";
    context.version = "1.0.1";
    context.station = "L2";
    context.operatorName = "ana";
    context.statusText = host.Statuses().back();
    context.outcome = c.confirmed ? Outcome::Confirmed : Outcome::Failed;
    context.timer = &timer;
    context.paths.sys = sysfs.Root();
    context.paths.dev = dir.Path() / "dev";
    const DownloadRow row = CaptureRow(state, context, &digest);

    EXPECT_EQ(row.rowKey.size(), 36u);
    EXPECT_EQ(row.port, state.portDevice);
    EXPECT_EQ(row.device, state.portDevice);
    EXPECT_EQ(row.adapter, "0403:6001 serial A50285BI");
    EXPECT_EQ(row.model, Models()[0].displayName);
    EXPECT_EQ(row.typeCode, 10);
    EXPECT_EQ(row.imagePath, path.string());
    EXPECT_EQ(row.imageSize, 260);
    EXPECT_EQ(row.imageSha256, FileSha256(path));
    EXPECT_EQ(row.imageXor, c.checksumSent ? std::optional<int>(xorAll) : std::nullopt);
    EXPECT_EQ(row.framesConfirmed, c.framesConfirmed);
    EXPECT_EQ(row.framesTotal, 6);
    EXPECT_EQ(row.statusText, host.Statuses().back());
    EXPECT_EQ(row.station, "L2");
    EXPECT_EQ(row.operatorName, "ana");
    EXPECT_EQ(row.durationMs, timer.DurationMs());
    EXPECT_LE(row.startedUtc, row.endedUtc);
    EXPECT_EQ(ParseSince(row.startedUtc), row.startedUtc) << "not FormatUtc's spelling";
}

vx7r::Faults ErrorAtFrame(int n) {
    vx7r::Faults f;
    f.errorAtFrame = n;
    return f;
}
vx7r::Faults HeaderAnswer(uint8_t b) {
    vx7r::Faults f;
    f.headerAnswer = b;
    return f;
}
vx7r::Faults EndAnswer(uint8_t b) {
    vx7r::Faults f;
    f.endAnswer = b;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, CapturedAttempt,
    ::testing::Values(AttemptCase{"Confirmed", {}, true, 6, true},
                      AttemptCase{"FrameThreeRefused", ErrorAtFrame(3), false, 2, true},
                      AttemptCase{"EndRefused", EndAnswer(0xFF), false, 6, true},
                      AttemptCase{"HeaderRefused", HeaderAnswer(0x51), false, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace romlift::record
