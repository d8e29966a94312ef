// Command-line parsing for romlift-cli.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace romlift::cli {

// A port as given: COMn (mapped through the COM map) or a device path.
struct PortArg {
    int comNumber = 0;   // 1.. when given as COMn
    std::string device;  // when given as a path
};

// How status texts and advice name the port: "COM3" (whatever letter case was typed), or the
// device path as given.
std::string PortLabel(const PortArg& port);

struct Options {
    enum class Command { Help, Version, Download, Models, Ports, History, Doctor, Release };
    Command command = Command::Help;
    std::vector<PortArg> ports;  // one attempt per port, side by side
    int modelRow = -1;
    std::optional<std::filesystem::path> image;    // absent: locate in the drivers folder
    std::optional<std::filesystem::path> drivers;  // another drivers folder
    // The bytes of the file name to take when several match (--pick NAME or --pick-hex HEX), and
    // the option as typed, for messages.
    std::optional<std::string> pick;
    std::string pickAsGiven;
    std::optional<std::filesystem::path> trace;  // every byte on the line, to this file
    bool json = false;                           // one JSON object a line on standard output
    std::string release;        // --release FILE: the release list ("" for the usual one)
    bool anyImageName = false;  // an --image not named for the model may go
    // The units' serial numbers, one per port in the order of ports (or none), and the work order.
    std::vector<std::string> unitSerials;
    std::string lot;

    // The download record: --record FILE|URI ("" for ROMLIFT_RECORD or the default file), or
    // none at all; who and where, for its rows ("" for the environment, then host and user).
    std::string record;
    bool noRecord = false;
    bool requireRecord = false;  // the default file too must take every row
    std::string station;
    std::string operatorName;

    // history: which rows, and how they are shown; or --push the rows kept locally.
    std::string since;  // FormatUtc's spelling, "" for all
    std::string until;  // the same; rows started before it
    std::string historyPort;
    std::string historyStation;
    std::string historyModel;    // the display name
    std::string historyOutcome;  // an outcome's name in lower case; "" for all
    int64_t limit = 0;           // the newest N rows; 0 for all
    bool pending = false;        // rows of the station's own file no push has sent
    bool csv = false;
    bool push = false;

    // ports: list, or save / free a COM number in the user's map.
    enum class PortsAction { List, Assign, Forget };
    PortsAction portsAction = PortsAction::List;
    int comNumber = 0;         // for Assign and Forget
    std::string assignDevice;  // for Assign
    bool force = false;        // Assign may take a number another adapter has

    // release sign --key KEY DIR, or release verify [DIR] (the folder in `drivers`).
    enum class ReleaseAction { Sign, Verify };
    ReleaseAction releaseAction = ReleaseAction::Verify;
    std::filesystem::path signingKey;
};

struct ParseResult {
    std::optional<Options> options;  // empty on a usage error
    std::string error;               // one line, without the program name
    std::string warning = "";        // one line to say before going on, or ""
};

ParseResult Parse(const std::vector<std::string>& args);

// "COM3" (any letter case) -> 3, a path containing '/' -> device; anything else is not a port.
std::optional<PortArg> ParsePort(const std::string& text);

// "504c" -> "PL"; nothing unless the text is pairs of hex digits.
std::optional<std::string> FromHex(const std::string& hex);

extern const char* const kUsage;
// "romlift-cli " and the version every program of the project reports.
std::string VersionLine();

}  // namespace romlift::cli
