#include "firmware_locator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include "ascii_case.h"
#include "download_host.h"
#include "download_state.h"

namespace romlift {
namespace {

constexpr std::string_view kImageSuffix = ".abs";

// The name must hold the whole prefix and the whole suffix side by side, as "PREFIX*.abs" does:
// a prefix that itself ends in part of ".abs" may not share those letters with the suffix.
bool MatchesImageName(std::string_view name, std::string_view prefix) {
    if (name.size() < prefix.size() + kImageSuffix.size()) {
        return false;
    }
    return EqualsIgnoringCase(name.substr(0, prefix.size()), prefix) &&
           EqualsIgnoringCase(name.substr(name.size() - kImageSuffix.size()), kImageSuffix);
}

// Creation time where the file system keeps one, so that a copy that only had its contents
// rewritten keeps its place in time; otherwise the last write.
timespec FileTime(const std::string& path, const struct stat& st) {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) == 0) {
        if ((sx.stx_mask & STATX_BTIME) != 0 &&
            (sx.stx_btime.tv_sec != 0 || sx.stx_btime.tv_nsec != 0)) {
            return timespec{static_cast<time_t>(sx.stx_btime.tv_sec),
                            static_cast<long>(sx.stx_btime.tv_nsec)};
        }
        if ((sx.stx_mask & STATX_MTIME) != 0) {
            return timespec{static_cast<time_t>(sx.stx_mtime.tv_sec),
                            static_cast<long>(sx.stx_mtime.tv_nsec)};
        }
    }
    // No statx in this kernel (ENOSYS), or the file changed between the two calls: the stat
    // already taken is the best there is.
    return st.st_mtim;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

bool LocalTime(const timespec& t, struct tm& out) {
    const time_t secs = t.tv_sec;
    return ::localtime_r(&secs, &out) != nullptr;
}

std::string TwoDigits(int v) {
    std::string s = std::to_string(v);
    return s.size() < 2 ? "0" + s : s;
}

}  // namespace

std::vector<FirmwareFile> FindFirmware(const std::filesystem::path& driversFolder,
                                       std::string_view prefix) {
    std::vector<FirmwareFile> files;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(driversFolder.c_str()));
    if (!dir) {
        return files;
    }
    std::string folder = driversFolder.string();
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            break;  // end of the folder, or a read error: keep what was found
        }
        const std::string name = entry->d_name;
        if (!MatchesImageName(name, prefix)) {
            continue;
        }
        // stat, not lstat: a link to an image counts, a dangling one or one to a folder does not.
        const std::string path = folder + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        files.push_back(FirmwareFile{name, static_cast<uint64_t>(st.st_size), FileTime(path, st)});
    }
    std::sort(files.begin(), files.end(), [](const FirmwareFile& a, const FirmwareFile& b) {
        if (LessIgnoringCase(a.name, b.name)) {
            return true;
        }
        if (LessIgnoringCase(b.name, a.name)) {
            return false;
        }
        return a.name < b.name;  // char_traits<char> compares as unsigned bytes
    });
    return files;
}

std::string DateText(const timespec& t) {
    // The list is always in English, whatever the user's locale, so the names are spelled here
    // rather than taken from the C library's locale tables.
    static constexpr const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
    static constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                              "May",       "June",     "July",     "August",
                                              "September", "October",  "November", "December"};
    struct tm tm {};
    if (!LocalTime(t, tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) {
        return {};
    }
    return std::string(kDays[tm.tm_wday]) + ", " + kMonths[tm.tm_mon] + " " +
           TwoDigits(tm.tm_mday) + ", " + std::to_string(static_cast<long long>(tm.tm_year) + 1900);
}

std::string TimeText(const timespec& t) {
    struct tm tm {};
    if (!LocalTime(t, tm)) {
        return {};
    }
    // The hour stays on the 24-hour clock; only the marker follows it, and noon counts as AM.
    return std::to_string(tm.tm_hour) + ":" + std::to_string(tm.tm_min) + ":" +
           std::to_string(tm.tm_sec) + (tm.tm_hour <= 12 ? " AM" : " PM");
}

std::vector<FileRow> MakeFileRows(const std::vector<FirmwareFile>& files,
                                  const std::string& programFolder) {
    std::vector<FileRow> rows;
    rows.reserve(files.size());
    for (const FirmwareFile& f : files) {
        FileRow row;
        row.name = f.name;
        row.path = programFolder;
        // The list shows the size as a signed 32-bit count: images past 2 GiB wrap negative.
        row.size = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(f.size))) + " (Bytes)";
        if (f.time) {
            row.date = DateText(*f.time);
            row.time = TimeText(*f.time);
            if (row.date.empty() || row.time.empty()) {
                row.date.clear();
                row.time.clear();
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string ProgramFolder() {
    // The link's length is not known in advance and lstat on /proc reports 0: grow until it fits.
    std::string target(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", target.data(), target.size());
        if (n < 0) {
            return "./";
        }
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            break;
        }
        target.resize(target.size() * 2);
    }
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos) {
        return "./";
    }
    return target.substr(0, slash + 1);
}

}  // namespace romlift

namespace romlift::FirmwareHelper {

bool LocateFirmware(DownloadState& state, DownloadHost& host, const LocateOptions& options) {
    std::string programFolder =
        options.programFolder.empty() ? ProgramFolder() : options.programFolder.string();
    if (programFolder.empty() || programFolder.back() != '/') {
        programFolder += '/';
    }
    const std::filesystem::path driversFolder =
        options.driversFolder.empty() ? std::filesystem::path(programFolder + "drivers")
                                      : options.driversFolder;
    state.programFolder = programFolder;
    state.driversFolder = driversFolder;
    state.searchPattern = driversFolder.string() + "/" + state.modelPrefix + "*.abs";

    // Relative names the front end shows or opens later resolve beside the program.
    [[maybe_unused]] const int ignored = ::chdir(programFolder.c_str());

    const std::vector<FirmwareFile> files = FindFirmware(driversFolder, state.modelPrefix);
    if (files.empty()) {
        return false;
    }
    state.chosenFileName = files.front().name;
    state.imageFileName = driversFolder / files.back().name;
    if (files.size() > 1) {
        host.ChooseFirmware(state);
    }
    return true;
}

}  // namespace romlift::FirmwareHelper
