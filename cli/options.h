// Command-line parsing for romlift-cli.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace romlift::cli {

// A port as given: COMn (mapped through ROMLIFT_COMn) or a device path.
struct PortArg {
    int comNumber = 0;   // 1.. when given as COMn
    std::string device;  // when given as a path
};

struct Options {
    enum class Command { Help, Download, Models, Ports };
    Command command = Command::Help;
    std::vector<PortArg> ports;  // one attempt per port, side by side
    int modelRow = -1;
    std::optional<std::filesystem::path> image;    // absent: locate in the drivers folder
    std::optional<std::filesystem::path> drivers;  // another drivers folder
    std::optional<std::string> pick;               // the file to take when several match
    std::optional<std::filesystem::path> trace;    // every byte on the line, to this file
    bool json = false;                             // one JSON object a line on standard output

    // ports: list, or save / free a COM number in the user's map.
    enum class PortsAction { List, Assign, Forget };
    PortsAction portsAction = PortsAction::List;
    int comNumber = 0;          // for Assign and Forget
    std::string assignDevice;   // for Assign
    bool force = false;         // Assign may take a number another adapter has
};

struct ParseResult {
    std::optional<Options> options;  // empty on a usage error
    std::string error;               // one line, without the program name
};

ParseResult Parse(const std::vector<std::string>& args);

// "COM3" (any letter case) -> 3, a path containing '/' -> device; anything else is not a port.
std::optional<PortArg> ParsePort(const std::string& text);

extern const char* const kUsage;

}  // namespace romlift::cli
