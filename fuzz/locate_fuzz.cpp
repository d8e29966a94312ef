// Fuzz target: the firmware search. The input names a model prefix and a drivers folder full of
// odd names (any bytes but '/' and NUL, up to 255 of them) of every kind of directory entry; the
// files are made in a scratch folder and the search, the list rows and the locator are checked
// against what was made. The input also carries one instant for the date and time texts.
//
// Input: instant (8 bytes seconds, 4 bytes nanoseconds), prefix length (byte, % 13) and prefix,
// then entries: kind byte (bits 0-2: what to make, see Make(); bit 3: put the prefix in front,
// bit 4: fold the prefix's case, bit 5: add a suffix chosen by bits 6-7), name length byte, name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "download_host.h"
#include "download_state.h"
#include "firmware_locator.h"
#include "fuzz_input.h"
#include "scratch_folder.h"

namespace romlift::fuzz {
namespace {

int g_startFolder = -1;  // the locator changes the current folder on every call
constexpr size_t kMaxEntries = 48;
constexpr size_t kNameMax = 255;
constexpr const char* kSuffixes[] = {".abs", ".ABS", ".aBs", ".abs.bak"};

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(const std::string& s) {
    std::string f = s;
    std::transform(f.begin(), f.end(), f.begin(), Lower);
    return f;
}

// "PREFIX*.abs" with ASCII case ignored; prefix and suffix may not overlap.
bool ShouldMatch(const std::string& name, const std::string& prefix) {
    if (name.size() < prefix.size() + 4) {
        return false;
    }
    return Folded(name.substr(0, prefix.size())) == Folded(prefix) &&
           Folded(name.substr(name.size() - 4)) == ".abs";
}

// Strictly before in the documented order: case-folded bytes, then raw bytes.
bool ListedBefore(const std::string& a, const std::string& b) {
    const std::string fa = Folded(a), fb = Folded(b);
    auto unsignedLess = [](const std::string& x, const std::string& y) {
        return std::lexicographical_compare(
            x.begin(), x.end(), y.begin(), y.end(), [](char p, char q) {
                return static_cast<unsigned char>(p) < static_cast<unsigned char>(q);
            });
    };
    if (fa != fb) {
        return unsignedLess(fa, fb);
    }
    return unsignedLess(a, b);
}

// Civil date and time of a UTC instant, by day arithmetic rather than the C library.
struct Civil {
    long long year;
    int month, day, weekday, hour, minute, second;
};

long long FloorDiv(long long a, long long b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

Civil ToCivil(long long secs) {
    long long days = secs / 86400;
    long long sod = secs % 86400;
    if (sod < 0) {  // before 1970: the day started earlier
        sod += 86400;
        --days;
    }
    const long long z = days + 719468;
    const long long era = FloorDiv(z, 146097);
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    Civil c{};
    c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.year = yoe + era * 400 + (c.month <= 2 ? 1 : 0);
    c.weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    c.hour = static_cast<int>(sod / 3600);
    c.minute = static_cast<int>(sod / 60 % 60);
    c.second = static_cast<int>(sod % 60);
    return c;
}

std::string WantDate(const Civil& c) {
    static const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};
    static const char* kMonths[] = {"January",   "February", "March",    "April",
                                    "May",       "June",     "July",     "August",
                                    "September", "October",  "November", "December"};
    const std::string day = (c.day < 10 ? "0" : "") + std::to_string(c.day);
    return std::string(kDays[c.weekday]) + ", " + kMonths[c.month - 1] + " " + day + ", " +
           std::to_string(c.year);
}

std::string WantTime(const Civil& c) {
    return std::to_string(c.hour) + ":" + std::to_string(c.minute) + ":" +
           std::to_string(c.second) + (c.hour <= 12 ? " AM" : " PM");
}

// The year must fit the C library's broken-down time, or the texts are empty.
bool Representable(const Civil& c) {
    return c.year - 1900 >= INT_MIN && c.year - 1900 <= INT_MAX;
}

void CheckInstant(const timespec& t) {
    const std::string date = DateText(t);
    const std::string time = TimeText(t);
    const Civil c = ToCivil(t.tv_sec);
    if (!Representable(c)) {
        FUZZ_CHECK(date.empty() && time.empty(), "texts for an instant past the calendar: %s / %s",
                   date.c_str(), time.c_str());
        return;
    }
    FUZZ_CHECK(date == WantDate(c), "date of %lld: [%s], want [%s]",
               static_cast<long long>(t.tv_sec), date.c_str(), WantDate(c).c_str());
    FUZZ_CHECK(time == WantTime(c), "time of %lld: [%s], want [%s]",
               static_cast<long long>(t.tv_sec), time.c_str(), WantTime(c).c_str());
}

enum class Kind { File, Folder, DanglingLink, LinkToFile, Fifo };

Kind KindOf(uint8_t bits) {
    switch (bits & 7) {
        case 4:
            return Kind::Folder;
        case 5:
            return Kind::DanglingLink;
        case 6:
            return Kind::LinkToFile;
        case 7:
            return Kind::Fifo;
        default:
            return Kind::File;
    }
}

bool MakeFile(const std::string& path, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool ok = size == 0 || ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    ::close(fd);
    return ok;
}

// Makes one entry; false when the name is taken or cannot be made (then it does not count).
bool Make(const std::string& dir, const std::string& name, Kind kind, size_t size) {
    const std::string path = dir + "/" + name;
    switch (kind) {
        case Kind::File:
            return MakeFile(path, size);
        case Kind::Folder:
            return ::mkdir(path.c_str(), 0700) == 0;
        case Kind::DanglingLink:
            return ::symlink("/nonexistent/romlift-fuzz", path.c_str()) == 0;
        case Kind::LinkToFile:
            return ::symlink("../target.bin", path.c_str()) == 0;
        case Kind::Fifo:
            return ::mkfifo(path.c_str(), 0600) == 0;
    }
    return false;
}

class CountingHost final : public DownloadHost {
  public:
    void SetStatus(std::string_view) override { FUZZ_CHECK(false, "the locator wrote a status"); }
    void PaintProgress(int) override { FUZZ_CHECK(false, "the locator painted the bar"); }
    void ClearProgress() override { FUZZ_CHECK(false, "the locator cleared the bar"); }
    bool ChooseFirmware(DownloadState&) override {
        ++choices;
        return true;
    }
    void ShowWaitCursor(bool) override {}
    int choices = 0;
};

}  // namespace
}  // namespace romlift::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Local time is UTC here, so the texts can be checked against plain day arithmetic.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    romlift::fuzz::ScratchFolder();
    romlift::fuzz::g_startFolder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(romlift::fuzz::g_startFolder >= 0, "cannot hold the starting folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace romlift;
    using namespace romlift::fuzz;
    FuzzInput in(data, size);

    timespec instant{};
    uint64_t secs = 0;
    for (int i = 0; i < 8; ++i) {
        secs |= static_cast<uint64_t>(in.Byte()) << (8 * i);
    }
    instant.tv_sec = static_cast<time_t>(secs);
    instant.tv_nsec = static_cast<long>((in.U16() | (uint32_t{in.U16()} << 16)) % 1'000'000'000u);
    CheckInstant(instant);

    std::string prefix = in.Bytes(in.Byte() % 13);
    std::replace(prefix.begin(), prefix.end(), '\0', '\x01');

    ClearScratchFolder();
    const std::string program = ScratchFolder().string() + "/prog";
    const std::string drivers = program + "/drivers";
    FUZZ_CHECK(::mkdir(program.c_str(), 0700) == 0 && ::mkdir(drivers.c_str(), 0700) == 0,
               "cannot make the drivers folder");
    FUZZ_CHECK(MakeFile(program + "/target.bin", 3), "cannot make the link target");

    std::map<std::string, size_t> expected;  // name -> size
    std::set<std::string> made;
    for (size_t e = 0; e < kMaxEntries && !in.Empty(); ++e) {
        const uint8_t bits = in.Byte();
        std::string name = in.Bytes(in.Byte());
        std::replace(name.begin(), name.end(), '/', '_');
        std::replace(name.begin(), name.end(), '\0', '\x02');
        if ((bits & 0x08) != 0) {
            name.insert(0, (bits & 0x10) != 0 ? Folded(prefix) : prefix);
        }
        if ((bits & 0x20) != 0) {
            name += kSuffixes[bits >> 6];
        }
        if (name.size() > kNameMax) {
            name.resize(kNameMax);
        }
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            made.count(name) != 0) {
            continue;
        }
        const Kind kind = KindOf(bits);
        const size_t fileSize = size_t{37} * (bits >> 6) + e;
        if (!Make(drivers, name, kind, fileSize)) {
            continue;
        }
        made.insert(name);
        if ((kind == Kind::File || kind == Kind::LinkToFile) && ShouldMatch(name, prefix)) {
            expected[name] = kind == Kind::File ? fileSize : 3;
        }
    }
    // Images that sit where the search must not look.
    if (prefix.find('/') == std::string::npos && prefix.size() + 8 <= kNameMax) {
        MakeFile(program + "/" + prefix + "top.abs", 1);
        const std::string sub = drivers + "/" + prefix + "sub.abs.d";
        if (::mkdir(sub.c_str(), 0700) == 0) {
            MakeFile(sub + "/" + prefix + "deep.abs", 1);
        }
    }

    const std::vector<FirmwareFile> files = FindFirmware(drivers, prefix);
    if (std::getenv("ROMLIFT_FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "  %zu entries made, %zu listed:", made.size(), files.size());
        for (const FirmwareFile& f : files) {
            std::fprintf(stderr, " [%s]", f.name.c_str());
        }
        std::fprintf(stderr, "\n  instant %lld: %s %s\n", static_cast<long long>(instant.tv_sec),
                     DateText(instant).c_str(), TimeText(instant).c_str());
    }
    FUZZ_CHECK(files.size() == expected.size(), "%zu files found, %zu expected", files.size(),
               expected.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const FirmwareFile& f = files[i];
        const auto it = expected.find(f.name);
        FUZZ_CHECK(it != expected.end(), "listed a name that does not match: [%s]", f.name.c_str());
        FUZZ_CHECK(f.size == it->second, "size of [%s]: %llu, made %zu", f.name.c_str(),
                   static_cast<unsigned long long>(f.size), it->second);
        FUZZ_CHECK(f.time.has_value(), "no time for [%s]", f.name.c_str());
        if (i > 0) {
            FUZZ_CHECK(ListedBefore(files[i - 1].name, f.name), "[%s] listed before [%s]",
                       files[i - 1].name.c_str(), f.name.c_str());
        }
    }

    const std::string programFolder = program + "/";
    const std::vector<FileRow> rows = MakeFileRows(files, programFolder);
    FUZZ_CHECK(rows.size() == files.size(), "%zu rows for %zu files", rows.size(), files.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const FileRow& r = rows[i];
        const FirmwareFile& f = files[i];
        const Civil c = ToCivil(f.time->tv_sec);
        FUZZ_CHECK(r.name == f.name && r.path == programFolder, "row %zu names the wrong file", i);
        FUZZ_CHECK(r.size == std::to_string(f.size) + " (Bytes)", "row %zu size [%s]", i,
                   r.size.c_str());
        FUZZ_CHECK(r.date == WantDate(c) && r.time == WantTime(c), "row %zu time [%s] [%s]", i,
                   r.date.c_str(), r.time.c_str());
    }

    DownloadState state;
    state.modelPrefix = prefix;
    state.chosenFileName = "untouched";
    state.imageFileName = "/untouched";
    CountingHost host;
    LocateOptions options;
    options.programFolder = program;
    const bool found = FirmwareHelper::LocateFirmware(state, host, options);
    FUZZ_CHECK(found == !files.empty(), "locator says %d with %zu files", found, files.size());
    FUZZ_CHECK(state.programFolder == programFolder, "program folder [%s]",
               state.programFolder.c_str());
    FUZZ_CHECK(host.choices == (files.size() > 1 ? 1 : 0), "choice asked %d times for %zu files",
               host.choices, files.size());
    if (files.empty()) {
        FUZZ_CHECK(state.chosenFileName == "untouched" && state.imageFileName == "/untouched",
                   "names changed without a match");
    } else {
        FUZZ_CHECK(state.chosenFileName == files.front().name, "chosen [%s], first is [%s]",
                   state.chosenFileName.c_str(), files.front().name.c_str());
        FUZZ_CHECK(state.imageFileName == std::filesystem::path(drivers) / files.back().name,
                   "image [%s]", state.imageFileName.c_str());
    }
    char cwd[PATH_MAX];
    FUZZ_CHECK(::getcwd(cwd, sizeof cwd) != nullptr && std::string(cwd) + "/" == programFolder,
               "current folder is not the program folder");
    // Back to where the fuzzer was started: it names its corpus and artifacts relative to that.
    FUZZ_CHECK(::fchdir(g_startFolder) == 0, "cannot return to the starting folder");
    return 0;
}
