// Finding the firmware images of a model in the drivers folder beside the program, and the rows
// the file selection lists for them.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace romlift {

struct DownloadState;
class DownloadHost;

// One matching file as the directory search yields it.
struct FirmwareFile {
    std::string name;  // bare name, bytes as the file system holds them
    uint64_t size = 0;
    // Creation (birth) time where the file system reports one, else the last-write time.
    std::optional<timespec> time;
};

// Every regular file (or link to one) directly in `driversFolder` whose name begins with `prefix`
// and ends in ".abs", letter case ignored for both (ASCII). Subfolders are not searched;
// directories, FIFOs, sockets, devices and dangling links never match, whatever their names.
// Order: ascending by name compared case-insensitively, ties broken by the raw bytes, so the
// result is the same on every call and every file system. A missing or unreadable folder yields
// no files.
std::vector<FirmwareFile> FindFirmware(const std::filesystem::path& driversFolder,
                                       std::string_view prefix);

// The texts of one row of the file selection list.
struct FileRow {
    std::string name;  // "File Name"
    std::string date;  // "Date": "%A, %B %d, %Y" in English; empty when the time is unknown
    std::string path;  // "Path": the program folder with its trailing separator
    std::string size;  // "Size": "%d (Bytes)" of the size's low 32 bits as a signed number
    std::string time;  // "Time": "%d:%d:%d %s", the 24-hour hour, "AM" up to hour 12, else "PM";
                       // empty when the time is unknown
};

// Rows for the files, in the same order, in the process's local time zone.
std::vector<FileRow> MakeFileRows(const std::vector<FirmwareFile>& files,
                                  const std::string& programFolder);
// The date and time texts for one instant in local time (exposed for tests with a fixed TZ).
std::string DateText(const timespec& t);
std::string TimeText(const timespec& t);

// Where the locator looks. Empty fields take their defaults.
struct LocateOptions {
    // Folder of the running executable; default: the folder of /proc/self/exe.
    std::filesystem::path programFolder;
    // Default: programFolder / "drivers".
    std::filesystem::path driversFolder;
};

// The folder of the running executable, with a trailing separator.
std::string ProgramFolder();

}  // namespace romlift

namespace romlift::FirmwareHelper {

// Sets state.programFolder (with trailing separator), state.driversFolder and state.searchPattern
// on every call, and makes the program folder the current folder (a failure is ignored). With no
// match: false, image file name and chosen file name untouched. With matches: the chosen file name
// is the first match's name, the image file name the last match's full path; with more than one
// match host.ChooseFirmware(state) runs and may change both and set the cancel flag. True when
// anything matched, whatever the choice.
bool LocateFirmware(DownloadState& state, DownloadHost& host, const LocateOptions& options = {});

}  // namespace romlift::FirmwareHelper
