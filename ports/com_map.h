// COM numbers on Linux. COMn names, in this order:
//   1. the device in $ROMLIFT_COMn, when set;
//   2. the adapter saved for n in the map files (the machine's, then the user's), when it is
//      present now, wherever the kernel put it this time;
//   3. /dev/ttyS<n-1>, when a UART is behind it;
//   4. nothing.
// A USB or ACM adapter seen without a number gets the lowest free one, saved at once in the
// user's map file, so it keeps that number when it is plugged in again, into any socket.
#pragma once

#include <string>
#include <vector>

#include "map_file.h"
#include "ports_paths.h"
#include "serial_devices.h"

namespace romlift::ports {

enum class ComSource { Environment, MapFile, TtySDefault, None };

// "environment", "map file", "ttyS default", "none": the words `romlift-cli ports` shows.
const char* ComSourceName(ComSource source);

struct ComResolution {
    int com = 0;
    std::string device;  // the path to open; "" when nothing has this number
    ComSource source = ComSource::None;
    // What is behind the number: the adapter or UART ("FTDI FT232R USB UART, serial A50285BI"),
    // the variable's name for the environment; for None, why nothing is ("no device has this
    // number", or the saved adapter that is not plugged in).
    std::string detail;

    // "COM3: /dev/ttyUSB0, FTDI FT232R USB UART, serial A50285BI" or
    // "COM3: no device has this number": one line a person can read in a tooltip.
    std::string Describe() const;
};

class ComMap {
  public:
    explicit ComMap(PortsPaths paths);

    // Looks at the ports: reads sysfs and both map files, and gives every adapter that has no
    // number yet the lowest free one, saved in the user's map at once. Problems (a map file that
    // does not parse, a save that failed) are kept in Problems(); the map then goes on with the
    // environment, the files that did read, and the ttyS defaults.
    void Refresh();

    ComResolution Resolve(int com) const;
    // The COM number that names `device` now (0 when none): what the map file or a ttyS default
    // gives it; an environment variable naming the same path counts too.
    int ComOf(const SerialDevice& device) const;

    const std::vector<SerialDevice>& Devices() const { return devices_; }
    const std::vector<std::string>& Problems() const { return problems_; }
    const PortsPaths& Paths() const { return paths_; }

    // Saves the adapter at `devicePath` (or a fixed device that is not an adapter) as COMn in the
    // user's map. Refused when another adapter has the number (unless `force`, which moves it),
    // when the machine's map sets the number, or when the device is not present.
    bool Assign(int com, const std::string& devicePath, bool force, std::string* why);
    // As Assign, but an adapter that has COMn in the user's map takes the number the device had
    // there: the two swap. When the device had none there, the other adapter loses COMn and gets
    // the lowest free number at the next look.
    bool Swap(int com, const std::string& devicePath, std::string* why);
    // Frees COMn in the user's map; false with `why` when it held nothing or could not be saved.
    bool Forget(int com, std::string* why);

  private:
    enum class Occupant { Refuse, Move, Swap };  // what becomes of the adapter that has the number
    bool Save(int com, const std::string& devicePath, Occupant occupant, std::string* why);
    bool Taken(int com, const MapFile& user) const;
    void Load();

    PortsPaths paths_;
    std::vector<SerialDevice> devices_;
    MapRead machine_;
    MapRead user_;
    std::vector<std::string> problems_;
};

// The device COMn names for this process (its environment, /sys, the map files), after the
// adapters present have been given their numbers. A front end looks it up once per attempt and
// hands the engine the path.
ComResolution ResolveCom(int com);

}  // namespace romlift::ports
