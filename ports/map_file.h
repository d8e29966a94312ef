// The COM map file: one line per COM number, a file a person can read and edit.
//
//   # comments and blank lines are kept as they are
//   COM3 = 0403:6001 serial A50285BI    an adapter known by vendor:product and serial number
//   COM4 = 1a86:7523 port 1-2.3         one without a serial number, on that USB port
//   COM5 = /dev/ttyS4                   a fixed device (set up by hand)
//
// A file that does not read or parse is reported and left alone: never rewritten, never deleted.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "serial_devices.h"

namespace romlift::ports {

inline constexpr int kMaxComNumber = 255;

struct MapEntry {
    int com = 0;         // 1..255
    AdapterId adapter;   // when `device` is empty
    std::string device;  // a fixed device path, starting with '/'
    int line = 0;        // 1-based line of the file it came from
    std::string Value() const { return device.empty() ? adapter.Text() : device; }
};

struct MapFile {
    std::vector<std::string> lines;  // the file as read, so a rewrite keeps comments and order
    std::vector<MapEntry> entries;

    const MapEntry* ForCom(int com) const;
    const MapEntry* ForAdapter(const AdapterId& id) const;
    // Replaces the line of entry.com, or appends one.
    void Set(const MapEntry& entry);
    // Drops the line of `com`; false when it had none.
    bool Remove(int com);
    std::string Text() const;
};

// Parses the file's text. On an error: false, and `error` says which line and why.
bool ParseMap(const std::string& text, MapFile* map, std::string* error);

struct MapRead {
    bool present = false;  // the file exists
    bool ok = true;        // absent, or read and parsed
    std::string error;     // when !ok: "<path>: line 3: ..." or "<path>: <strerror>"
    MapFile map;
};
MapRead ReadMapFile(const std::filesystem::path& path);

// Changes the map file under its lock (<path>.lock, held at most a few seconds' wait): reads it
// afresh, lets `change` edit it (returning false to leave the file as it is), writes a new file
// beside it and renames it over the old one, so readers see the old or the new file, never half
// of one. The folder is created when missing. Returns false with `why` when the file cannot be
// read, parsed or written; a file that does not parse is left untouched.
bool UpdateMapFile(const std::filesystem::path& path, const std::function<bool(MapFile&)>& change,
                   std::string* why);

}  // namespace romlift::ports
