#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "firmware_locator.h"
#include "locate_test_support.h"

namespace romlift {
namespace {

using ::romlift::locate_testing::Names;
using ::romlift::locate_testing::OpenDescriptorCount;
using ::romlift::locate_testing::ScratchDir;
using ::romlift::locate_testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace fs = std::filesystem;

class FindFirmwareTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.Path().empty()) << "no scratch folder"; }

    fs::path Put(const std::string& name, size_t size = 16) {
        const fs::path p = dir_.Path() / name;
        EXPECT_TRUE(WriteFile(p, size)) << p;
        return p;
    }

    ScratchDir dir_;
};

struct MatchCase {
    const char* prefix;
    const char* name;
    bool matches;
};

// What "PREFIX*.abs" selects, letter case ignored on both ends.
constexpr MatchCase kMatchCases[] = {
    {"PLQ5A", "PLQ5A_v1.abs", true},
    {"PLQ5A", "plq5a_v1.ABS", true},
    {"plq5a", "PLQ5A_V1.aBs", true},
    {"PLQ5A", "PLQ5A.abs", true},
    {"PLQ5A", ".abs", false},
    {"PLQ5A", "PLQ5.abs", false},
    {"PLQ5A", "PLQ5B_v1.abs", false},
    {"PLQ5A", "xPLQ5A_v1.abs", false},
    {"PLQ5A", "PLQ5A_v1.abs.bak", false},
    {"PLQ5A", "PLQ5A_v1.ab", false},
    {"PLQ5A", "PLQ5A_v1abs", false},
    {"PLQ5A", "PLQ5A_v1.bin", false},
    {"125", "125_x.abs", true},
    {"125", "1250.abs", true},
    {"125", "126x.abs", false},
    {"125", "12.abs", false},
    // The prefix's tail may not double as the start of ".abs".
    {"x.ab", "x.abs", false},
    {"x.ab", "x.ab.abs", true},
    {"", ".abs", true},
    {"", "anything.ABS", true},
    // Only A-Z fold: Latin-1 capital A-umlaut is not its small letter.
    {"\xC4", "\xE4.abs", false},
};

TEST_F(FindFirmwareTest, SelectsPrefixAndSuffixIgnoringCase) {
    int i = 0;
    for (const MatchCase& c : kMatchCases) {
        SCOPED_TRACE(std::string("prefix '") + c.prefix + "' name '" + c.name + "'");
        const fs::path folder = dir_.Path() / std::to_string(i++);
        ASSERT_TRUE(fs::create_directory(folder));
        ASSERT_TRUE(WriteFile(folder / c.name, 8));
        const auto names = Names(FindFirmware(folder, c.prefix));
        if (c.matches) {
            EXPECT_THAT(names, ElementsAre(c.name));
        } else {
            EXPECT_THAT(names, IsEmpty());
        }
    }
}

TEST_F(FindFirmwareTest, OnlyRegularFilesAndLinksToThemCount) {
    const fs::path d = dir_.Path();
    Put("PLQ5A_real.abs", 10);
    Put("target.bin", 1234);
    ASSERT_TRUE(fs::create_directory(d / "PLQ5A_dir.abs"));
    ASSERT_TRUE(fs::create_directory(d / "sub"));
    Put("sub/PLQ5A_deep.abs");
    ASSERT_EQ(::mkfifo((d / "PLQ5A_fifo.abs").c_str(), 0644), 0);

    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = (d / "PLQ5A_sock.abs").string();
    ASSERT_LT(sockPath.size(), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);

    fs::create_symlink(d / "nowhere.bin", d / "PLQ5A_dangling.abs");
    fs::create_symlink(d / "sub", d / "PLQ5A_dirlink.abs");
    fs::create_symlink("/dev/null", d / "PLQ5A_dev.abs");
    fs::create_symlink("target.bin", d / "PLQ5A_link.abs");

    const auto files = FindFirmware(d, "PLQ5A");
    ::close(sock);
    ASSERT_THAT(Names(files), ElementsAre("PLQ5A_link.abs", "PLQ5A_real.abs"));
    EXPECT_EQ(files[0].size, 1234u) << "a link counts with the size of what it points at";
    EXPECT_EQ(files[1].size, 10u);
}

struct OrderCase {
    std::vector<std::string> created;
    std::vector<std::string> expected;
};

TEST_F(FindFirmwareTest, SortsCaseInsensitivelyThenByRawBytes) {
    const OrderCase cases[] = {
        {{"plq5a_b.abs", "PLQ5A_a.abs", "PLQ5A_C.abs"},
         {"PLQ5A_a.abs", "plq5a_b.abs", "PLQ5A_C.abs"}},
        // Folding goes to lower case: '_' sorts before the letters, unlike a toupper comparison.
        {{"PLQ5A_B.abs", "PLQ5A__.abs", "PLQ5A_a.abs"},
         {"PLQ5A__.abs", "PLQ5A_a.abs", "PLQ5A_B.abs"}},
        // Names equal but for case: capitals first, byte order.
        {{"plq5a_a.abs", "PLQ5A_a.abs", "PLQ5A_A.abs"},
         {"PLQ5A_A.abs", "PLQ5A_a.abs", "plq5a_a.abs"}},
        // Bytes above 0x7F compare unsigned, after every ASCII letter.
        {{"PLQ5A_\xFF.abs", "PLQ5A_z.abs", "PLQ5A_\x80.abs"},
         {"PLQ5A_z.abs", "PLQ5A_\x80.abs", "PLQ5A_\xFF.abs"}},
    };
    int i = 0;
    for (const OrderCase& c : cases) {
        SCOPED_TRACE("case " + std::to_string(i));
        const fs::path folder = dir_.Path() / std::to_string(i++);
        ASSERT_TRUE(fs::create_directory(folder));
        for (const std::string& name : c.created) {
            ASSERT_TRUE(WriteFile(folder / name, 4));
        }
        EXPECT_EQ(Names(FindFirmware(folder, "PLQ5A")), c.expected);
    }
}

TEST_F(FindFirmwareTest, HostileNamesComeBackWholeWithTheirOwnSizes) {
    const std::string longName = "PLQ5A" + std::string(246, 'x') + ".abs";
    ASSERT_EQ(longName.size(), 255u);
    Put(longName, 4);
    Put("PLQ5A_\xFF\xFE.abs", 3);
    Put("PLQ5A%s%n%x.abs", 2);
    Put("PLQ5A with  spaces .abs", 1);

    const auto files = FindFirmware(dir_.Path(), "plq5a");
    ASSERT_THAT(Names(files), ElementsAre("PLQ5A with  spaces .abs", "PLQ5A%s%n%x.abs",
                                          "PLQ5A_\xFF\xFE.abs", longName));
    EXPECT_EQ(files[0].size, 1u);
    EXPECT_EQ(files[1].size, 2u);
    EXPECT_EQ(files[2].size, 3u);
    EXPECT_EQ(files[3].size, 4u);
    const auto rows = MakeFileRows(files, "/opt/romlift/");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].name, "PLQ5A%s%n%x.abs");
    EXPECT_EQ(rows[3].name, longName);
}

TEST_F(FindFirmwareTest, ThreeHundredImagesAllFoundInOrder) {
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        char name[32];
        // Mixed letter case so that a plain byte sort would put all the lower-case ones last.
        std::snprintf(name, sizeof name, i % 2 ? "plq5a_%03d.ABS" : "PLQ5A_%03d.abs", i);
        expected.emplace_back(name);
    }
    for (auto it = expected.rbegin(); it != expected.rend(); ++it) {
        Put(*it, 1);
    }
    Put("PLQ5B_000.abs", 1);
    EXPECT_EQ(Names(FindFirmware(dir_.Path(), "PLQ5A")), expected);
}

TEST_F(FindFirmwareTest, SizeIsNotCutTo32Bits) {
    const fs::path p = dir_.Path() / "PLQ5A_big.abs";
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 3000000000), 0);  // sparse: no disk space used
    ::close(fd);
    const auto files = FindFirmware(dir_.Path(), "PLQ5A");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, 3000000000u);
    EXPECT_EQ(MakeFileRows(files, "/").at(0).size, "-1294967296 (Bytes)");
}

TEST_F(FindFirmwareTest, TimeIsBirthTimeWhereReportedElseLastWrite) {
    const fs::path p = Put("PLQ5A_t.abs");
    const timespec times[2] = {{1015250709, 0}, {1015250709, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    struct statx sx {};
    ASSERT_EQ(::statx(AT_FDCWD, p.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx), 0);

    const auto files = FindFirmware(dir_.Path(), "PLQ5A");
    ASSERT_EQ(files.size(), 1u);
    ASSERT_TRUE(files[0].time.has_value());
    if ((sx.stx_mask & STATX_BTIME) != 0 && sx.stx_btime.tv_sec != 0) {
        EXPECT_EQ(files[0].time->tv_sec, sx.stx_btime.tv_sec);
        EXPECT_EQ(files[0].time->tv_nsec, static_cast<long>(sx.stx_btime.tv_nsec));
        EXPECT_NE(files[0].time->tv_sec, 1015250709) << "birth time must win over last write";
    } else {
        EXPECT_EQ(files[0].time->tv_sec, 1015250709);
        EXPECT_EQ(files[0].time->tv_nsec, 0);
    }
}

TEST_F(FindFirmwareTest, MissingOrNonFolderYieldsNothing) {
    Put("PLQ5A_x.abs");
    EXPECT_THAT(FindFirmware(dir_.Path() / "absent", "PLQ5A"), IsEmpty());
    EXPECT_THAT(FindFirmware(dir_.Path() / "PLQ5A_x.abs", "PLQ5A"), IsEmpty());
    EXPECT_THAT(FindFirmware("", "PLQ5A"), IsEmpty());
}

TEST_F(FindFirmwareTest, UnreadableFolderYieldsNothing) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads any folder; the non-folder case covers the failed open";
    }
    const fs::path locked = dir_.Path() / "locked";
    ASSERT_TRUE(fs::create_directory(locked));
    ASSERT_TRUE(WriteFile(locked / "PLQ5A_x.abs", 8));
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    EXPECT_THAT(FindFirmware(locked, "PLQ5A"), IsEmpty());
}

TEST_F(FindFirmwareTest, LeavesNoDescriptorOpen) {
    Put("PLQ5A_1.abs");
    Put("PLQ5A_2.abs");
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(FindFirmware(dir_.Path(), "PLQ5A").size(), 2u);
        EXPECT_THAT(FindFirmware(dir_.Path(), "125"), IsEmpty());
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace romlift
