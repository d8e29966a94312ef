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
    enum class Command { Help, Download };
    Command command = Command::Help;
    std::vector<PortArg> ports;
    int modelRow = -1;
    std::optional<std::filesystem::path> image;
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
