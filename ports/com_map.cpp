#include "com_map.h"

#include <cstdlib>
#include <optional>

namespace romlift::ports {
namespace {

std::string EnvDevice(int com) {
    const std::string var = "ROMLIFT_COM" + std::to_string(com);
    const char* v = std::getenv(var.c_str());
    return v != nullptr ? v : "";
}

}  // namespace

const char* ComSourceName(ComSource source) {
    switch (source) {
        case ComSource::Environment:
            return "environment";
        case ComSource::MapFile:
            return "map file";
        case ComSource::TtySDefault:
            return "ttyS default";
        case ComSource::None:
            break;
    }
    return "none";
}

std::string ComResolution::Describe() const {
    const std::string name = "COM" + std::to_string(com) + ": ";
    if (device.empty()) {
        return name + detail;
    }
    return name + device + (detail.empty() ? "" : ", " + detail);
}

ComMap::ComMap(PortsPaths paths) : paths_(std::move(paths)) {}

void ComMap::Load() {
    problems_.clear();
    devices_ = ListSerialDevices(paths_);
    machine_ = ReadMapFile(paths_.machineMap);
    user_ = ReadMapFile(paths_.userMap);
    for (const MapRead* r : {&machine_, &user_}) {
        if (!r->ok) {
            problems_.push_back(r->error + " (not used; fix or remove it)");
        }
    }
}

bool ComMap::Taken(int com, const MapFile& user) const {
    return (machine_.ok && machine_.map.ForCom(com) != nullptr) || user.ForCom(com) != nullptr ||
           !EnvDevice(com).empty() || HasUart(paths_, com - 1);
}

void ComMap::Refresh() {
    Load();
    const auto known = [&](const MapFile& user, const SerialDevice& d) {
        return (machine_.ok && machine_.map.ForAdapter(d.id) != nullptr) ||
               user.ForAdapter(d.id) != nullptr;
    };
    bool anyNew = false;
    for (const SerialDevice& d : devices_) {
        anyNew = anyNew || (d.adapter && !known(user_.ok ? user_.map : MapFile{}, d));
    }
    // Nothing new, or nowhere to keep a number: no lock, no write.
    if (!anyNew || paths_.userMap.empty()) {
        return;
    }
    if (!user_.ok) {
        problems_.push_back("new adapters got no COM number: " + paths_.userMap.string() +
                            " must read first");
        return;
    }
    std::string why;
    const bool saved = UpdateMapFile(
        paths_.userMap,
        [&](MapFile& user) {
            // Read afresh under the lock: another program may have numbered them meanwhile.
            bool changed = false;
            for (const SerialDevice& d : devices_) {  // in name order
                if (!d.adapter || known(user, d)) {
                    continue;
                }
                int com = 1;
                while (com <= kMaxComNumber && Taken(com, user)) {
                    ++com;
                }
                if (com > kMaxComNumber) {
                    break;
                }
                MapEntry e;
                e.com = com;
                e.adapter = d.id;
                user.Set(e);
                changed = true;
            }
            return changed;
        },
        &why);
    if (!saved) {
        problems_.push_back("new adapters got no COM number: " + why);
    }
    user_ = ReadMapFile(paths_.userMap);
}

ComResolution ComMap::Resolve(int com) const {
    ComResolution r;
    r.com = com;
    if (const std::string env = EnvDevice(com); !env.empty()) {
        r.device = env;
        r.source = ComSource::Environment;
        r.detail = "ROMLIFT_COM" + std::to_string(com);
        return r;
    }
    const MapEntry* saved = machine_.ok ? machine_.map.ForCom(com) : nullptr;
    if (saved == nullptr && user_.ok) {
        saved = user_.map.ForCom(com);
    }
    std::string absent;
    if (saved != nullptr && !saved->device.empty()) {
        r.device = saved->device;
        r.source = ComSource::MapFile;
        r.detail = "set in the map file";
        return r;
    }
    if (saved != nullptr) {
        for (const SerialDevice& d : devices_) {
            if (d.adapter && d.id == saved->adapter) {
                r.device = d.path;
                r.source = ComSource::MapFile;
                r.detail = d.Description();
                return r;
            }
        }
        absent =
            "the adapter saved for this number (" + saved->adapter.Text() + ") is not plugged in";
    }
    if (HasUart(paths_, com - 1)) {
        r.device = (paths_.dev / ("ttyS" + std::to_string(com - 1))).string();
        r.source = ComSource::TtySDefault;
        r.detail = "UART";
        return r;
    }
    r.detail = absent.empty() ? "no device has this number" : absent;
    return r;
}

int ComMap::ComOf(const SerialDevice& device) const {
    for (int com = 1; com <= kMaxComNumber; ++com) {
        const ComResolution r = Resolve(com);
        if (r.device == device.path) {
            return com;
        }
    }
    return 0;
}

bool ComMap::Assign(int com, const std::string& devicePath, bool force, std::string* why) {
    return Save(com, devicePath, force ? Occupant::Move : Occupant::Refuse, why);
}

bool ComMap::Swap(int com, const std::string& devicePath, std::string* why) {
    return Save(com, devicePath, Occupant::Swap, why);
}

bool ComMap::Save(int com, const std::string& devicePath, Occupant occupant, std::string* why) {
    Load();
    const std::string name = "COM" + std::to_string(com);
    if (com < 1 || com > kMaxComNumber) {
        *why = name + " is not COM1 to COM" + std::to_string(kMaxComNumber);
        return false;
    }
    if (paths_.userMap.empty()) {
        *why = "no place for the map file: neither XDG_CONFIG_HOME nor HOME is set";
        return false;
    }
    if (machine_.ok && machine_.map.ForCom(com) != nullptr) {
        *why = name + " is set in " + paths_.machineMap.string() +
               ", the machine's own map, which only the administrator changes";
        return false;
    }
    MapEntry entry;
    entry.com = com;
    const SerialDevice* found = nullptr;
    for (const SerialDevice& d : devices_) {
        if (d.path == devicePath || d.byId == devicePath) {
            found = &d;
        }
    }
    if (found != nullptr && found->adapter) {
        entry.adapter = found->id;
    } else if (found != nullptr) {
        entry.device = found->path;
    } else {
        *why =
            devicePath + " is not among the serial devices present (romlift-cli ports lists them)";
        return false;
    }
    bool refused = false;
    const bool saved = UpdateMapFile(
        paths_.userMap,
        [&](MapFile& user) {
            const MapEntry* taken = user.ForCom(com);
            std::optional<MapEntry> holder;
            if (taken != nullptr && taken->Value() != entry.Value()) {
                holder = *taken;
            }
            if (holder && occupant == Occupant::Refuse) {
                *why = name + " is taken by " + holder->Value() + " (give --force to move it)";
                refused = true;
                return false;
            }
            // The adapter keeps one number: its old line goes.
            int old = 0;
            for (int other = 1; other <= kMaxComNumber; ++other) {
                const MapEntry* e = user.ForCom(other);
                if (other != com && e != nullptr && e->Value() == entry.Value()) {
                    user.Remove(other);
                    old = other;
                }
            }
            if (holder && occupant == Occupant::Swap && old != 0) {
                holder->com = old;
                user.Set(*holder);
            }
            user.Set(entry);
            return true;
        },
        why);
    Load();
    return saved && !refused;
}

bool ComMap::Forget(int com, std::string* why) {
    const std::string name = "COM" + std::to_string(com);
    if (paths_.userMap.empty()) {
        *why = "no place for the map file: neither XDG_CONFIG_HOME nor HOME is set";
        return false;
    }
    bool had = false;
    const bool saved = UpdateMapFile(
        paths_.userMap,
        [&](MapFile& user) {
            had = user.Remove(com);
            return had;
        },
        why);
    if (saved && !had) {
        *why = name + " is not in " + paths_.userMap.string();
    }
    Load();
    return saved && had;
}

ComResolution ResolveCom(int com) {
    ComMap map(PortsPaths::ForThisProcess());
    map.Refresh();
    return map.Resolve(com);
}

}  // namespace romlift::ports
