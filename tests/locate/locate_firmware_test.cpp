#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "download_host.h"
#include "download_state.h"
#include "firmware_locator.h"
#include "locate_test_support.h"

namespace romlift {
namespace {

using ::romlift::locate_testing::ScratchDir;
using ::romlift::locate_testing::WriteFile;

namespace fs = std::filesystem;

// A front end that only answers the file selection, and remembers what it was shown.
class RecordingHost final : public DownloadHost {
  public:
    void SetStatus(std::string_view) override {}
    void PaintProgress(int) override {}
    void ClearProgress() override {}
    void ShowWaitCursor(bool) override {}
    bool ChooseFirmware(DownloadState& state) override {
        ++chooseCalls;
        shownChosen = state.chosenFileName;
        shownImage = state.imageFileName;
        if (cancel) {
            state.cancel = 1;
            return false;
        }
        if (pick) {
            state.chosenFileName = *pick;
            state.imageFileName = state.driversFolder / *pick;
        }
        return true;
    }

    bool cancel = false;
    std::optional<std::string> pick;
    int chooseCalls = 0;
    std::string shownChosen;
    fs::path shownImage;
};

class LocateFirmwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::error_code ec;
        savedCwd_ = fs::current_path(ec);
        ASSERT_FALSE(dir_.Path().empty()) << "no scratch folder";
        prog_ = dir_.Path();
        drivers_ = prog_ / "drivers";
        ASSERT_TRUE(fs::create_directory(drivers_));
        options_.programFolder = prog_;
    }
    void TearDown() override {
        std::error_code ec;
        fs::current_path(savedCwd_, ec);
    }

    void Put(const fs::path& p, size_t size = 16) { ASSERT_TRUE(WriteFile(p, size)) << p; }

    bool Locate() { return FirmwareHelper::LocateFirmware(state_, host_, options_); }

    ScratchDir dir_;
    fs::path savedCwd_;
    fs::path prog_;
    fs::path drivers_;
    LocateOptions options_;
    DownloadState state_;
    RecordingHost host_;
};

TEST_F(LocateFirmwareTest, OneMatchIsTakenWithoutAsking) {
    Put(drivers_ / "plq5a_v2.ABS");
    ASSERT_TRUE(Locate());
    EXPECT_EQ(host_.chooseCalls, 0);
    EXPECT_EQ(state_.chosenFileName, "plq5a_v2.ABS");
    EXPECT_EQ(state_.imageFileName, prog_ / "drivers/plq5a_v2.ABS");
    EXPECT_EQ(state_.programFolder, prog_.string() + "/");
    EXPECT_EQ(state_.driversFolder, prog_ / "drivers");
    EXPECT_EQ(state_.searchPattern, prog_.string() + "/drivers/PLQ5A*.abs");
    EXPECT_EQ(state_.cancel, 0);
}

TEST_F(LocateFirmwareTest, SeveralMatchesAskOnceWithFirstChosenAndLastAsImage) {
    Put(drivers_ / "plq5a_b.abs");
    Put(drivers_ / "PLQ5A_a.abs");
    Put(drivers_ / "PLQ5A_C.abs");
    ASSERT_TRUE(Locate());
    EXPECT_EQ(host_.chooseCalls, 1);
    EXPECT_EQ(host_.shownChosen, "PLQ5A_a.abs");
    EXPECT_EQ(host_.shownImage, drivers_ / "PLQ5A_C.abs");
}

TEST_F(LocateFirmwareTest, TheChoiceIsTheHostsAndCancelStillFindsImages) {
    Put(drivers_ / "PLQ5A_a.abs");
    Put(drivers_ / "plq5a_b.abs");

    host_.pick = "plq5a_b.abs";
    ASSERT_TRUE(Locate());
    EXPECT_EQ(state_.chosenFileName, "plq5a_b.abs");
    EXPECT_EQ(state_.imageFileName, drivers_ / "plq5a_b.abs");
    EXPECT_EQ(state_.cancel, 0);

    host_.pick.reset();
    host_.cancel = true;
    EXPECT_TRUE(Locate()) << "images were found even though the selection was cancelled";
    EXPECT_EQ(host_.chooseCalls, 2);
    EXPECT_EQ(state_.cancel, 1);
}

TEST_F(LocateFirmwareTest, OnlyTheModelsImagesDirectlyInDriversCount) {
    ASSERT_TRUE(fs::create_directory(drivers_ / "sub"));
    for (const char* name : {"126_x.abs", "127_x.abs", "125_x.txt", "sub/125_y.abs", "125_w.abs"}) {
        Put(drivers_ / name);
    }
    Put(prog_ / "125_z.abs");
    state_.modelPrefix = "125";
    ASSERT_TRUE(Locate());
    EXPECT_EQ(host_.chooseCalls, 0);
    EXPECT_EQ(state_.chosenFileName, "125_w.abs");
    EXPECT_EQ(state_.imageFileName, drivers_ / "125_w.abs");
    EXPECT_EQ(state_.searchPattern, prog_.string() + "/drivers/125*.abs");
}

TEST_F(LocateFirmwareTest, NothingFoundLeavesTheImageUntouched) {
    struct Setup {
        const char* what;
        void (*make)(const fs::path& drivers);
    };
    const Setup setups[] = {
        {"no drivers folder", [](const fs::path& d) { fs::remove(d); }},
        {"empty drivers folder", [](const fs::path&) {}},
        {"only other models",
         [](const fs::path& d) { ASSERT_TRUE(WriteFile(d / "PLQ5B_1.abs", 4)); }},
        {"drivers is a file",
         [](const fs::path& d) {
             fs::remove(d);
             ASSERT_TRUE(WriteFile(d, 4));
         }},
    };
    for (const Setup& s : setups) {
        SCOPED_TRACE(s.what);
        std::error_code ec;
        fs::remove_all(drivers_, ec);
        ASSERT_TRUE(fs::create_directory(drivers_));
        s.make(drivers_);
        state_.imageFileName = "/keep/PLQ5A_old.abs";
        state_.chosenFileName = "PLQ5A_old.abs";
        state_.programFolder = "/stale/";
        state_.searchPattern = "/stale/drivers/PLQ5A*.abs";
        EXPECT_FALSE(Locate());
        EXPECT_EQ(state_.imageFileName, "/keep/PLQ5A_old.abs");
        EXPECT_EQ(state_.chosenFileName, "PLQ5A_old.abs");
        EXPECT_EQ(state_.programFolder, prog_.string() + "/");
        EXPECT_EQ(state_.searchPattern, prog_.string() + "/drivers/PLQ5A*.abs");
        EXPECT_EQ(state_.cancel, 0);
    }
    EXPECT_EQ(host_.chooseCalls, 0);
}

TEST_F(LocateFirmwareTest, ProgramFolderBecomesTheCurrentFolder) {
    ASSERT_EQ(::chdir("/"), 0);
    Locate();
    std::error_code ec;
    EXPECT_EQ(fs::current_path(ec), prog_);

    // A program folder that cannot be entered leaves the current folder where it was.
    options_.programFolder = prog_ / "gone";
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_FALSE(Locate());
    EXPECT_EQ(fs::current_path(ec), "/");
    EXPECT_EQ(state_.programFolder, prog_.string() + "/gone/");
}

TEST_F(LocateFirmwareTest, EachCallRebuildsTheFolderTexts) {
    Put(drivers_ / "PLQ5A_1.abs");
    ASSERT_TRUE(Locate());

    state_.modelPrefix = "125";
    EXPECT_FALSE(Locate());
    EXPECT_EQ(state_.searchPattern, prog_.string() + "/drivers/125*.abs");
    EXPECT_EQ(state_.chosenFileName, "PLQ5A_1.abs");
    EXPECT_EQ(state_.imageFileName, drivers_ / "PLQ5A_1.abs");

    // A trailing separator given by the caller is not doubled.
    options_.programFolder = prog_.string() + "/";
    state_.modelPrefix = "PLQ5A";
    ASSERT_TRUE(Locate());
    EXPECT_EQ(state_.programFolder, prog_.string() + "/");
    EXPECT_EQ(state_.searchPattern, prog_.string() + "/drivers/PLQ5A*.abs");
}

TEST_F(LocateFirmwareTest, ExplicitDriversFolderIsSearchedInstead) {
    const fs::path images = prog_ / "images";
    ASSERT_TRUE(fs::create_directory(images));
    Put(images / "PLQ5A_9.abs");
    Put(drivers_ / "PLQ5A_1.abs");
    options_.driversFolder = images;
    ASSERT_TRUE(Locate());
    EXPECT_EQ(state_.chosenFileName, "PLQ5A_9.abs");
    EXPECT_EQ(state_.imageFileName, prog_ / "images/PLQ5A_9.abs");
    EXPECT_EQ(state_.driversFolder, prog_ / "images");
    EXPECT_EQ(state_.searchPattern, prog_.string() + "/images/PLQ5A*.abs");
    EXPECT_EQ(state_.programFolder, prog_.string() + "/");
}

TEST_F(LocateFirmwareTest, LongProgramFolderIsUsedWhole) {
    fs::path deep = prog_;
    for (int i = 0; i < 6; ++i) {
        deep /= std::string(60, static_cast<char>('a' + i));
    }
    ASSERT_GT(deep.string().size(), 255u);
    ASSERT_TRUE(fs::create_directories(deep / "drivers"));
    Put(deep / "drivers/PLQ5A_long.abs");
    options_.programFolder = deep;
    ASSERT_TRUE(Locate());
    EXPECT_EQ(state_.programFolder, deep.string() + "/");
    EXPECT_EQ(state_.imageFileName, deep / "drivers/PLQ5A_long.abs");
    std::error_code ec;
    EXPECT_EQ(fs::current_path(ec), deep);
}

TEST_F(LocateFirmwareTest, DriversFolderIsLeftAsItWas) {
    Put(drivers_ / "PLQ5A_a.abs", 100);
    Put(drivers_ / "PLQ5A_b.abs", 200);
    Put(drivers_ / "notes.txt", 3);
    const auto listing = [&] {
        std::map<std::string, uintmax_t> names;
        for (const auto& e : fs::directory_iterator(drivers_)) {
            names[e.path().filename().string()] = e.file_size();
        }
        return names;
    };
    const auto before = listing();
    host_.cancel = true;
    ASSERT_TRUE(Locate());
    host_.cancel = false;
    host_.pick = "PLQ5A_b.abs";
    ASSERT_TRUE(Locate());
    EXPECT_EQ(listing(), before);
    EXPECT_EQ(before.size(), 3u);
}

TEST_F(LocateFirmwareTest, DefaultProgramFolderIsTheExecutablesFolder) {
    const std::string exeFolder = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
    EXPECT_EQ(ProgramFolder(), exeFolder);
    Locate();  // with the scratch folder, to have something to overwrite
    FirmwareHelper::LocateFirmware(state_, host_, LocateOptions{});
    EXPECT_EQ(state_.programFolder, exeFolder);
    EXPECT_EQ(state_.driversFolder, exeFolder + "drivers");
    EXPECT_EQ(state_.searchPattern, exeFolder + "drivers/PLQ5A*.abs");
}

// The executable's own path can be longer than any fixed buffer: run a copy of this test program
// from deep inside the scratch folder and let it check its folder there.
TEST_F(LocateFirmwareTest, ExecutableInALongPathFindsItsFolder) {
    fs::path deep = prog_;
    for (int i = 0; i < 5; ++i) {
        deep /= std::string(60, static_cast<char>('k' + i));
    }
    ASSERT_TRUE(fs::create_directories(deep));
    const fs::path copy = deep / "locate_tests";
    ASSERT_GT(copy.string().size(), 300u);
    std::error_code ec;
    fs::copy_file(fs::read_symlink("/proc/self/exe"), copy, ec);
    ASSERT_FALSE(ec) << ec.message();
    fs::permissions(copy, fs::perms::owner_all, ec);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        const std::string filter =
            "--gtest_filter=LocateFirmwareTest.DefaultProgramFolderIsTheExecutablesFolder";
        ::execl(copy.c_str(), copy.c_str(), filter.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the copy in the long folder failed its folder check";
}

}  // namespace
}  // namespace romlift
