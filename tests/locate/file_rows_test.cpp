#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "firmware_locator.h"

namespace romlift {
namespace {

// Puts the process into one time zone for the test and back into the old one afterwards.
class ZoneGuard {
  public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneGuard() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

  private:
    std::optional<std::string> old_;
};

const char* EasternZone() {
    return std::filesystem::exists("/usr/share/zoneinfo/America/New_York") ? "America/New_York"
                                                                           : "EST5EDT";
}

// The instant that shows as this wall-clock time in the current zone.
timespec LocalInstant(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return timespec{::mktime(&tm), 0};
}

struct WallClockCase {
    int year, month, day, hour, minute, second;
    const char* date;
    const char* time;
};

constexpr WallClockCase kWallClock[] = {
    {2002, 3, 4, 14, 5, 9, "Monday, March 04, 2002", "14:5:9 PM"},
    {2002, 3, 4, 12, 30, 0, "Monday, March 04, 2002", "12:30:0 AM"},
    {2002, 3, 4, 0, 7, 0, "Monday, March 04, 2002", "0:7:0 AM"},
    {2002, 3, 4, 13, 0, 0, "Monday, March 04, 2002", "13:0:0 PM"},
    {2002, 3, 4, 23, 59, 59, "Monday, March 04, 2002", "23:59:59 PM"},
    {2002, 7, 4, 12, 0, 0, "Thursday, July 04, 2002", "12:0:0 AM"},
    {2002, 9, 15, 8, 10, 11, "Sunday, September 15, 2002", "8:10:11 AM"},
    {1999, 2, 27, 1, 2, 3, "Saturday, February 27, 1999", "1:2:3 AM"},
    {2024, 12, 25, 10, 11, 12, "Wednesday, December 25, 2024", "10:11:12 AM"},
};

TEST(FileRowTexts, WallClockInUtcAndEastern) {
    for (const char* zone : {"UTC", EasternZone()}) {
        ZoneGuard guard(zone);
        for (const WallClockCase& c : kWallClock) {
            SCOPED_TRACE(std::string(zone) + " " + c.date + " " + c.time);
            const timespec t = LocalInstant(c.year, c.month, c.day, c.hour, c.minute, c.second);
            EXPECT_EQ(DateText(t), c.date);
            EXPECT_EQ(TimeText(t), c.time);
        }
    }
}

TEST(FileRowTexts, OneInstantShowsInTheLocalZone) {
    const timespec afternoon{1015250709, 999999999};  // 2002-03-04 14:05:09.999 UTC
    const timespec night{1015210800, 0};              // 2002-03-04 03:00:00 UTC
    {
        ZoneGuard guard("UTC");
        EXPECT_EQ(DateText(afternoon), "Monday, March 04, 2002");
        EXPECT_EQ(TimeText(afternoon), "14:5:9 PM");
        EXPECT_EQ(DateText(night), "Monday, March 04, 2002");
        EXPECT_EQ(TimeText(night), "3:0:0 AM");
        // The first second of the epoch and the one before it are ordinary, known times.
        EXPECT_EQ(DateText(timespec{0, 0}), "Thursday, January 01, 1970");
        EXPECT_EQ(TimeText(timespec{0, 0}), "0:0:0 AM");
        EXPECT_EQ(DateText(timespec{-1, 0}), "Wednesday, December 31, 1969");
        EXPECT_EQ(TimeText(timespec{-1, 0}), "23:59:59 PM");
    }
    {
        ZoneGuard guard(EasternZone());
        EXPECT_EQ(DateText(afternoon), "Monday, March 04, 2002");
        EXPECT_EQ(TimeText(afternoon), "9:5:9 AM");
        EXPECT_EQ(DateText(night), "Sunday, March 03, 2002");
        EXPECT_EQ(TimeText(night), "22:0:0 PM");
    }
}

TEST(FileRowTexts, DateStaysEnglishUnderAnotherLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    ZoneGuard guard("UTC");
    const timespec t{1015250709, 0};
    bool foreign = false;
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) != nullptr) {
            foreign = true;
            break;
        }
    }
    if (foreign) {
        // Show that the locale really does change the C library's day names, so the check below
        // means something.
        struct tm tm {};
        const time_t secs = t.tv_sec;
        ::gmtime_r(&secs, &tm);
        char day[64];
        ASSERT_GT(std::strftime(day, sizeof day, "%A", &tm), 0u);
        EXPECT_STRNE(day, "Monday");
    } else {
        ASSERT_NE(std::setlocale(LC_TIME, "C.UTF-8"), nullptr);
    }
    const std::string date = DateText(t);
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(date, "Monday, March 04, 2002");
}

TEST(FileRowTexts, TimeOutOfRangeIsUnknown) {
    const timespec far{std::numeric_limits<time_t>::max(), 0};
    EXPECT_EQ(DateText(far), "");
    EXPECT_EQ(TimeText(far), "");
}

struct SizeCase {
    uint64_t bytes;
    const char* text;
};

TEST(FileRows, SizeIsLow32BitsSigned) {
    constexpr SizeCase kSizes[] = {
        {0, "0 (Bytes)"},
        {1234, "1234 (Bytes)"},
        {2147483647, "2147483647 (Bytes)"},
        {2147483648, "-2147483648 (Bytes)"},
        {3000000000, "-1294967296 (Bytes)"},
        {4294967295, "-1 (Bytes)"},
        {4294967296, "0 (Bytes)"},
        {4294968530, "1234 (Bytes)"},
    };
    std::vector<FirmwareFile> files;
    for (const SizeCase& c : kSizes) {
        files.push_back(FirmwareFile{"PLQ5A.abs", c.bytes, std::nullopt});
    }
    const auto rows = MakeFileRows(files, "/opt/romlift/");
    ASSERT_EQ(rows.size(), std::size(kSizes));
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].size, kSizes[i].text) << kSizes[i].bytes;
    }
}

TEST(FileRows, RowsFollowTheFilesInOrder) {
    ZoneGuard guard("UTC");
    const std::vector<FirmwareFile> files = {
        {"PLQ5A_a.abs", 1234, timespec{1015250709, 0}},
        {"plq5a %s.ABS", 7, std::nullopt},
        {"PLQ5A_c.abs", 3000000000, timespec{std::numeric_limits<time_t>::max(), 0}},
        {"PLQ5A_d.abs", 1, timespec{1015245000, 0}},  // 12:30:00 UTC
    };
    const std::string folder = "/opt/rom lift %d/";
    const auto rows = MakeFileRows(files, folder);
    ASSERT_EQ(rows.size(), 4u);

    EXPECT_EQ(rows[0].name, "PLQ5A_a.abs");
    EXPECT_EQ(rows[0].date, "Monday, March 04, 2002");
    EXPECT_EQ(rows[0].time, "14:5:9 PM");
    EXPECT_EQ(rows[0].size, "1234 (Bytes)");

    // Unknown times leave both texts empty but the rest of the row filled in.
    EXPECT_EQ(rows[1].name, "plq5a %s.ABS");
    EXPECT_EQ(rows[1].date, "");
    EXPECT_EQ(rows[1].time, "");
    EXPECT_EQ(rows[1].size, "7 (Bytes)");
    EXPECT_EQ(rows[2].date, "");
    EXPECT_EQ(rows[2].time, "");
    EXPECT_EQ(rows[2].size, "-1294967296 (Bytes)");

    EXPECT_EQ(rows[3].time, "12:30:0 AM");
    for (const FileRow& row : rows) {
        EXPECT_EQ(row.path, "/opt/rom lift %d/");
    }
}

}  // namespace
}  // namespace romlift
