// romlift-cli finding its image in a drivers folder, choosing among several, JSON lines, traces,
// and several units at once.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class LocateCli : public CliFixture {
  protected:
    void SetUp() override {
        CliFixture::SetUp();
        drivers_ = dir_ / "drivers";
        fs::create_directory(drivers_);
    }
    void Put(const std::string& name, const Bytes& b) { scratch_.Write("drivers/" + name, b); }
    // Three images for PLQ5A whose search order (letter case ignored) is a, b, C.
    void ThreeImages() {
        Put("plq5a_b.abs", Image(70, 2));
        Put("PLQ5A_a.abs", Image(60, 1));
        Put("PLQ5A_C.abs", Image(80, 3));
        Put("PLQ5B_z.abs", Image(10, 9));
    }
    // A download that searches the drivers folder.
    std::vector<std::string> Search(const vx7r::VirtualUnit& unit,
                                    std::vector<std::string> more = {}) {
        more.insert(more.begin(), {"--drivers", drivers_.string()});
        return Download({unit.DevicePath()}, more);
    }
    std::map<std::string, std::string> DriversListing() const {
        std::map<std::string, std::string> m;
        for (const auto& e : fs::directory_iterator(drivers_)) {
            m[e.path().filename().string()] = FileBytes(e.path());
        }
        return m;
    }

    fs::path drivers_;
};

TEST_F(LocateCli, SingleImageInTheDriversFolderBesideTheExecutableIsSentWithoutAsking) {
    // A copy of the tool in a scratch folder, so its drivers folder is ours alone.
    const fs::path bin = dir_ / "romlift-cli";
    fs::copy_file(ROMLIFT_CLI, bin);
    const Bytes img = Image(130, 5);
    Put("PLQ5A 100%s.abs", img);
    Put("PLQ5B_other.abs", Image(10, 1));
    auto& unit = StartUnit();
    const Outcome o = RunTool(RunSpec{Download({unit.DevicePath()}), {}, bin.string()});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_THAT(o.err, HasSubstr("Downloading file PLQ5A 100%s.abs to selected unit.\n"));
    EXPECT_EQ(unit.Attempts().at(0).image, img);
}

TEST_F(LocateCli, SeveralImagesWithoutATerminalAreListedAndNothingIsSent) {
    ThreeImages();
    auto& unit = StartUnit();
    const auto before = DriversListing();
    const Outcome o = RunTool(RunSpec{Search(unit)});
    EXPECT_EQ(o.exitStatus, 2);
    const auto a = o.err.find("PLQ5A_a.abs"), b = o.err.find("plq5a_b.abs"),
               c = o.err.find("PLQ5A_C.abs");
    ASSERT_NE(c, std::string::npos) << o.err;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_THAT(o.err, Not(HasSubstr("PLQ5B_z")));
    EXPECT_THAT(o.err, HasSubstr("60 (Bytes)"));
    EXPECT_THAT(o.err.substr(c), HasSubstr("(default)"));
    EXPECT_EQ(Occurrences(o.err, "(default)"), 1u) << o.err;
    EXPECT_THAT(o.err, HasSubstr("--pick"));
    EXPECT_THAT(o.err, Not(HasSubstr("Downloading file")));
    EXPECT_TRUE(unit.Attempts().empty());
    EXPECT_EQ(DriversListing(), before);
}

// A relative --drivers is the caller's folder, not the program's (the search moves there).
TEST_F(LocateCli, RelativeDriversFolderIsTheCallersAndTheRecordNamesTheWholePath) {
    Put("PLQ5A_a.abs", Image(60, 1));
    auto& unit = StartUnit();
    RunSpec spec{Download({unit.DevicePath()},
                          {"--drivers", "drivers", "--record", (dir_ / "rec.sqlite").string()})};
    spec.cwd = dir_.string();
    const Outcome o = RunTool(spec);
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    ASSERT_EQ(unit.Attempts().size(), 1u);
    EXPECT_EQ(unit.Attempts()[0].image, Image(60, 1));
    const Outcome h =
        RunTool(RunSpec{{"history", "--record", (dir_ / "rec.sqlite").string(), "--csv"}});
    EXPECT_THAT(h.out, HasSubstr("," + (drivers_ / "PLQ5A_a.abs").string() + ","));
}

TEST_F(LocateCli, PickNamesTheImageAmongSeveral) {
    ThreeImages();
    auto& unit = StartUnit();
    const Outcome o = RunTool(RunSpec{Search(unit, {"--pick", "PLQ5A_a.abs"})});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_EQ(unit.Attempts().at(0).image, Image(60, 1));

    const Outcome wrong = RunTool(RunSpec{Search(unit, {"--pick", "PLQ5A_x.abs"})});
    EXPECT_EQ(wrong.exitStatus, 2);
    EXPECT_THAT(wrong.err, HasSubstr("PLQ5A_x.abs"));
    EXPECT_EQ(unit.Attempts().size(), 1u);
}

TEST_F(LocateCli, TerminalAnswersChooseOrTakeTheDefault) {
    ThreeImages();
    auto& unit = StartUnit();
    for (const auto& [answer, expected] :
         std::vector<std::pair<std::string, Bytes>>{{"1\n", Image(60, 1)}, {"\n", Image(80, 3)}}) {
        BarePty terminal;
        ASSERT_FALSE(terminal.Path().empty());
        // Typed ahead: the line waits in the terminal until the tool reads its answer.
        ASSERT_EQ(write(terminal.Master(), answer.data(), answer.size()),
                  static_cast<ssize_t>(answer.size()));
        const Outcome o = RunTool(RunSpec{Search(unit), {}, ROMLIFT_CLI, terminal.Path()});
        EXPECT_EQ(o.exitStatus, 0) << o.err;
        EXPECT_THAT(o.err, HasSubstr("Select the image to download"));
        EXPECT_EQ(unit.Attempts().back().image, expected);
    }
}

// Beside the executable, no drivers folder is what the window program meets too: the attempt
// runs with no file and fails to open it; then the tool says why.
TEST_F(LocateCli, NoDriversFolderBesideTheProgramFailsToOpenTheImageAndSaysWhy) {
    const fs::path bin = dir_ / "bin" / "romlift-cli";
    fs::create_directories(bin.parent_path());
    fs::copy_file(ROMLIFT_CLI, bin);
    auto& unit = StartUnit();
    const Outcome o = RunTool(RunSpec{Download({unit.DevicePath()}), {}, bin.string()});
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_EQ(o.err,
              "Downloading file  to selected unit.\nThis takes a long time, please wait...\n"
              "Download :Can not open file\nromlift-cli: no firmware image matches " +
                  (bin.parent_path() / "drivers" / "PLQ5A*.abs").string() + "\n");
    EXPECT_TRUE(unit.Attempts().empty());
}

// --drivers is the tool's own option: a folder that cannot be searched is a usage error, said
// before any port is opened.
TEST_F(LocateCli, DriversThatIsNotAReadableFolderIsAUsageErrorAndNothingIsSent) {
    scratch_.Write("plain.abs", Image(10, 1));
    auto& unit = StartUnit();
    for (const auto& [folder, why] : std::vector<std::pair<fs::path, std::string>>{
             {dir_ / "missing", "no such folder"},
             {dir_ / "plain.abs", "not a folder"},
             {dir_ / "plain.abs" / "sub", "no such folder (a part of its path is not a folder)"}}) {
        const Outcome o = RunTool(
            RunSpec{Download({unit.DevicePath()}, {"--drivers", folder.string(), "--json"})});
        EXPECT_EQ(o.exitStatus, 2);
        EXPECT_EQ(o.err, "romlift-cli: --drivers " + folder.string() + ": " + why + "\n");
        EXPECT_EQ(o.out, "");
    }
    EXPECT_TRUE(unit.Attempts().empty());
    EXPECT_TRUE(unit.Violations().empty());
}

TEST_F(LocateCli, JsonLinesCarryEveryTextProgressAndTheOutcome) {
    Put("PLQ5A_\xff.abs", Image(260, 4));
    auto& unit = StartUnit();
    const Outcome o = RunTool(RunSpec{Search(unit, {"--json"})});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    const std::vector<nlohmann::json> lines = JsonLines(o.out);
    std::vector<std::string> statuses;
    for (const nlohmann::json& j : Events(lines, "status")) {
        statuses.push_back(j["text"]);
    }
    // The byte that is not UTF-8 is U+FFFD in every text.
    EXPECT_THAT(statuses,
                ::testing::ElementsAre("Downloading file PLQ5A_\xEF\xBF\xBD.abs to selected "
                                       "unit.\nThis takes a long time, please wait...",
                                       "DownLoad is Completed Successfully"));
    const std::vector<nlohmann::json> progress = Events(lines, "progress");
    // One step per confirmed frame, the last one when the unit confirmed the end frame: then
    // every byte of the 260 is sent.
    ASSERT_EQ(progress.size(), 6u) << o.out;
    for (int frame = 1; frame <= 6; ++frame) {
        const nlohmann::json& j = progress[static_cast<size_t>(frame - 1)];
        EXPECT_EQ(j["total"], 6);
        EXPECT_EQ(j["frame"], frame);
        EXPECT_EQ(j["bytes_sent"], std::min(50 * frame, 260));
    }
    EXPECT_EQ(progress.back()["remaining_ms"], 0);
    const std::vector<nlohmann::json> outcome = Events(lines, "outcome");
    ASSERT_EQ(outcome.size(), 1u) << o.out;
    EXPECT_EQ(outcome[0]["confirmed"], true);
    EXPECT_EQ(outcome[0]["interrupted"], false);
    EXPECT_TRUE(o.err.empty()) << o.err;
}

TEST_F(LocateCli, TraceHasEveryByteWithItsPhase) {
    const fs::path trace = dir_ / "line.trace";
    auto& unit = StartUnit();
    const fs::path image = scratch_.Write("img.abs", Image(51));
    const Outcome o =
        RunTool(RunSpec{DownloadImage({unit.DevicePath()}, image, {"--trace", trace.string()})});
    ASSERT_EQ(o.exitStatus, 0) << o.err;
    const std::vector<std::string> lines = Lines(FileBytes(trace));
    // A heading, a remark on low latency (once, though the wake-up opens the port again), then
    // wake-up, header, checksum, 2 frames, end.
    ASSERT_EQ(lines.size(), 2u + 2 * 6);
    EXPECT_THAT(lines[1], ::testing::MatchesRegex(
                              "# [0-9]+\\.[0-9]+ .* low latency not available: the driver keeps no "
                              "such flag \\(Inappropriate ioctl for device\\)"));
    EXPECT_THAT(lines[2], ::testing::EndsWith(" sent wake-up 99"));
    EXPECT_THAT(lines[3], ::testing::EndsWith(" recv wake-up 99"));
    EXPECT_THAT(lines[4],
                ::testing::EndsWith(
                    " sent header 14 0A 00 18 00 00 00 00 00 00 00 01 01 00 00 00 00 00 00 00"));
    EXPECT_THAT(lines[5], ::testing::EndsWith(" recv header 01"));
    EXPECT_THAT(lines[10], ::testing::MatchesRegex("[0-9]+\\.[0-9]+ .* sent frame 01 32 00 .. .."))
        << lines[10];
    EXPECT_THAT(lines[11], ::testing::EndsWith(" recv frame 01"));
}

// A trace that cannot be written (a full disk) is said to be incomplete; the unit's outcome stands.
TEST_F(LocateCli, TraceOnAFullDiskIsReportedIncomplete) {
    auto& unit = StartUnit();
    const fs::path image = scratch_.Write("img.abs", Image(51));
    const Outcome o =
        RunTool(RunSpec{DownloadImage({unit.DevicePath()}, image, {"--trace", "/dev/full"})});
    EXPECT_EQ(o.exitStatus, 0) << o.err;
    EXPECT_THAT(o.err, HasSubstr("DownLoad is Completed Successfully"));
    EXPECT_THAT(
        o.err,
        ::testing::EndsWith(
            "romlift-cli: the trace file /dev/full is incomplete: No space left on device\n"));
    EXPECT_EQ(unit.Attempts().at(0).image, Image(51));
}

TEST_F(LocateCli, ThreeUnitsAtOnceOneFailingMidTransfer) {
    Put("PLQ5A_fleet.abs", Image(400, 8));
    vx7r::UnitOptions failing;
    failing.faults.errorAtFrame = 4;
    auto& a = StartUnit();
    auto& b = StartUnit(failing);
    auto& c = StartUnit();
    const Outcome o = RunTool(RunSpec{Download({a.DevicePath(), b.DevicePath(), c.DevicePath()},
                                               {"--drivers", drivers_.string()})});
    EXPECT_EQ(o.exitStatus, 1);
    EXPECT_EQ(a.Attempts().at(0).image, Image(400, 8));
    EXPECT_EQ(c.Attempts().at(0).image, Image(400, 8));
    EXPECT_TRUE(a.Attempts().at(0).confirmed);
    EXPECT_TRUE(c.Attempts().at(0).confirmed);
    EXPECT_FALSE(b.Attempts().at(0).confirmed);
    EXPECT_THAT(o.err,
                HasSubstr(b.DevicePath() + ": Unit has not received the right frame number 4. \n"));
    EXPECT_THAT(o.err, HasSubstr("Summary: 2 of 3 units confirmed the download\n"));
    EXPECT_THAT(o.err, HasSubstr("  " + a.DevicePath() + ": confirmed\n"));
    EXPECT_THAT(o.err, HasSubstr("  " + b.DevicePath() + ": FAILED\n"));
    EXPECT_THAT(o.err, HasSubstr("  " + c.DevicePath() + ": confirmed\n"));
}

}  // namespace
}  // namespace romlift::testing
