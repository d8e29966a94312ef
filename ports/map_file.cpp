#include "map_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace romlift::ports {
namespace fs = std::filesystem;
namespace {

constexpr const char* kNewFileHeader =
    "# COM numbers of serial adapters, one line per number. Romlift adds a line the first time\n"
    "# it sees an adapter; edit or delete lines by hand while no romlift program runs.\n"
    "#   COMn = VID:PID serial SERIALNUMBER    an adapter with a serial number\n"
    "#   COMn = VID:PID port USBPORT           one without, on that USB port\n"
    "#   COMn = /dev/DEVICE                    a fixed device\n";

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// "COM3" in any letter case -> 3; 0 when it is not a COM name.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || (name[0] != 'C' && name[0] != 'c') ||
        (name[1] != 'O' && name[1] != 'o') || (name[2] != 'M' && name[2] != 'm') ||
        name[3] == '0') {
        return 0;
    }
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// Parses one "COMn = value" line; false with `why` when it is not one.
bool ParseLine(const std::string& raw, MapEntry* entry, std::string* why) {
    const size_t eq = raw.find('=');
    if (eq == std::string::npos) {
        *why = "expected COMn = adapter or device";
        return false;
    }
    const std::string name = Trim(raw.substr(0, eq));
    const std::string value = Trim(raw.substr(eq + 1));
    const int com = ComNumber(name);
    if (com < 1 || com > kMaxComNumber) {
        *why = "'" + name + "' is not COM1 to COM" + std::to_string(kMaxComNumber);
        return false;
    }
    entry->com = com;
    if (!value.empty() && value[0] == '/') {
        entry->device = value;
        return true;
    }
    if (!AdapterId::Parse(value, &entry->adapter)) {
        *why =
            "'" + value + "' is neither VID:PID serial NUMBER, VID:PID port PATH nor a /dev path";
        return false;
    }
    return true;
}

std::string Errno(int err) {
    return std::strerror(err);
}

// The map's lock: a file of its own beside it, so that the rename of the map never swaps the
// locked inode from under a waiting program.
class MapLock {
  public:
    explicit MapLock(const fs::path& map) {
        const std::string path = map.string() + ".lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            error_ = path + ": " + Errno(errno);
            return;
        }
        // Holders keep it for a read and a rename; seconds of waiting mean a stuck program.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() > deadline) {
                error_ =
                    path + ": " +
                    (errno == EWOULDBLOCK ? std::string("held by another program") : Errno(errno));
                ::close(fd_);
                fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~MapLock() {
        if (fd_ >= 0) {
            ::close(fd_);  // releases the flock
        }
    }
    MapLock(const MapLock&) = delete;
    MapLock& operator=(const MapLock&) = delete;
    bool Held() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
};

bool WriteWhole(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const MapEntry* MapFile::ForCom(int com) const {
    for (const MapEntry& e : entries) {
        if (e.com == com) {
            return &e;
        }
    }
    return nullptr;
}

const MapEntry* MapFile::ForAdapter(const AdapterId& id) const {
    for (const MapEntry& e : entries) {
        if (e.device.empty() && e.adapter == id) {
            return &e;
        }
    }
    return nullptr;
}

void MapFile::Set(const MapEntry& entry) {
    const std::string line = "COM" + std::to_string(entry.com) + " = " + entry.Value();
    for (MapEntry& e : entries) {
        if (e.com == entry.com) {
            lines[static_cast<size_t>(e.line - 1)] = line;
            const int at = e.line;
            e = entry;
            e.line = at;
            return;
        }
    }
    if (lines.empty()) {
        std::istringstream header(kNewFileHeader);
        for (std::string l; std::getline(header, l);) {
            lines.push_back(l);
        }
    }
    lines.push_back(line);
    entries.push_back(entry);
    entries.back().line = static_cast<int>(lines.size());
}

bool MapFile::Remove(int com) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].com != com) {
            continue;
        }
        const int gone = entries[i].line;
        lines.erase(lines.begin() + (gone - 1));
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
        for (MapEntry& e : entries) {
            if (e.line > gone) {
                --e.line;
            }
        }
        return true;
    }
    return false;
}

std::string MapFile::Text() const {
    std::string text;
    for (const std::string& l : lines) {
        text += l + "\n";
    }
    return text;
}

bool ParseMap(const std::string& text, MapFile* map, std::string* error) {
    MapFile out;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        out.lines.push_back(line);
        const std::string t = Trim(line);
        if (t.empty() || t[0] == '#') {
            continue;
        }
        MapEntry e;
        std::string why;
        if (!ParseLine(t, &e, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        e.line = number;
        if (const MapEntry* twin = out.ForCom(e.com)) {
            *error = "line " + std::to_string(number) + ": COM" + std::to_string(e.com) +
                     " is given on line " + std::to_string(twin->line) + " already";
            return false;
        }
        if (e.device.empty()) {
            if (const MapEntry* twin = out.ForAdapter(e.adapter)) {
                *error = "line " + std::to_string(number) + ": adapter " + e.adapter.Text() +
                         " is COM" + std::to_string(twin->com) + " on line " +
                         std::to_string(twin->line) + " already";
                return false;
            }
        }
        out.entries.push_back(e);
    }
    *map = std::move(out);
    return true;
}

MapRead ReadMapFile(const fs::path& path) {
    MapRead r;
    if (path.empty()) {
        return r;
    }
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        r.present = true;
        r.ok = false;
        r.error = path.string() + ": " + ec.message();
        return r;
    }
    if (!fs::exists(st)) {
        return r;
    }
    r.present = true;
    if (!fs::is_regular_file(st)) {
        r.ok = false;
        r.error = path.string() + ": not a plain file";
        return r;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        r.ok = false;
        r.error = path.string() + ": " + Errno(errno);
        return r;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        r.ok = false;
        r.error = path.string() + ": read error";
        return r;
    }
    std::string why;
    if (!ParseMap(text.str(), &r.map, &why)) {
        r.ok = false;
        r.error = path.string() + ": " + why;
    }
    return r;
}

bool UpdateMapFile(const fs::path& path, const std::function<bool(MapFile&)>& change,
                   std::string* why) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
        *why = path.parent_path().string() + ": " + ec.message();
        return false;
    }
    const MapLock lock(path);
    if (!lock.Held()) {
        *why = lock.Error();
        return false;
    }
    MapRead read = ReadMapFile(path);
    if (!read.ok) {
        *why = read.error + " (left as it is)";
        return false;
    }
    if (!change(read.map)) {
        return true;
    }
    const std::string tmp = path.string() + ".new";
    // The lock makes this name ours; a leftover from a crashed writer is replaced.
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *why = tmp + ": " + Errno(errno);
        return false;
    }
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);  // a hand-set mode survives the rewrite
    }
    const bool written = WriteWhole(fd, read.map.Text()) && ::fsync(fd) == 0;
    const int writeErr = errno;
    if (::close(fd) != 0 || !written) {
        *why = tmp + ": " + Errno(written ? errno : writeErr);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        *why = path.string() + ": " + Errno(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace romlift::ports
