#include "options.h"

#include <cctype>
#include <charconv>

#include "models.h"

namespace romlift::cli {

const char* const kUsage =
    R"(Usage: romlift-cli download --port COMn|DEVICE --model NAME --image FILE
       romlift-cli --help

Writes a firmware image into a VX7R unit over a serial line, in the same exchange the
Download dialog runs: wake-up, header, checksum, 50-byte frames, end frame.

Commands:
  download            one download attempt with the given image

Options:
  --port COMn|DEVICE  the serial port: COM1, COM2, ... mean the device named by the
                      environment variable ROMLIFT_COMn when it is set, else /dev/ttySn-1
                      (COM1 is /dev/ttyS0); a path such as /dev/ttyUSB0 is opened as given.
                      Status texts name the port as given.
  --model NAME        the unit model by its display name, letter case ignored:
                      VX7R-KT-121B-XXX, VX7R-KT-122B-XXX, VX7R-KT-123B-XXX,
                      VX7R-KT-125B-XXX, VX7R-KT-126B-XXX, VX7R-KT-127B-XXX
  --image FILE        the firmware image to send, byte for byte; its bare file name is the
                      name shown in "Downloading file ..."
  -h, --help          this text

Output:
  Every status text goes to standard error as the status line would show it, "\n" as a line
  break. Progress of the frames shows as a bar when standard error is a terminal, and as plain
  lines (no carriage returns) otherwise.

Exit status:
  0  the unit confirmed the end frame (answered 0xCC): the download is complete
  1  the attempt failed (the status text says why)
  2  usage error: unknown command or model, a missing or repeated argument
)";

namespace {

bool StartsWithIgnoringCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() ||
            std::toupper(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(prefix[i])) {
            return false;
        }
    }
    return true;
}

ParseResult Error(std::string message) { return ParseResult{std::nullopt, std::move(message)}; }

}  // namespace

std::optional<PortArg> ParsePort(const std::string& text) {
    if (StartsWithIgnoringCase(text, "COM") && text.size() > 3) {
        int n = 0;
        const char* first = text.data() + 3;
        const char* last = text.data() + text.size();
        const auto [end, ec] = std::from_chars(first, last, n);
        if (ec == std::errc() && end == last && n >= 1 && n <= 256 && *first != '0') {
            return PortArg{n, {}};
        }
        return std::nullopt;
    }
    if (text.find('/') != std::string::npos) {
        return PortArg{0, text};
    }
    return std::nullopt;
}

ParseResult Parse(const std::vector<std::string>& args) {
    Options o;
    if (args.empty()) {
        return Error("no command given (try --help)");
    }
    size_t i = 0;
    if (args[0] == "-h" || args[0] == "--help") {
        return ParseResult{o, {}};
    }
    if (args[0] != "download") {
        return Error("unknown command '" + args[0] + "' (try --help)");
    }
    o.command = Options::Command::Download;
    for (i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            o.command = Options::Command::Help;
            return ParseResult{o, {}};
        }
        std::string value;
        std::string name = a;
        if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
        } else if (a == "--port" || a == "--model" || a == "--image") {
            if (i + 1 >= args.size()) {
                return Error(a + " needs a value");
            }
            value = args[++i];
        } else {
            return Error("unknown option '" + a + "' (try --help)");
        }
        if (name == "--port") {
            const auto port = ParsePort(value);
            if (!port) {
                return Error("'" + value + "' is not a port: give COMn or a device path");
            }
            if (!o.ports.empty()) {
                return Error("--port given twice");
            }
            o.ports.push_back(*port);
        } else if (name == "--model") {
            const auto row = FindModel(value);
            if (!row) {
                return Error("unknown model '" + value + "' (see --help for the six models)");
            }
            o.modelRow = *row;
        } else if (name == "--image") {
            if (value.empty()) {
                return Error("--image needs a file name");
            }
            o.image = std::filesystem::path(value);
        } else {
            return Error("unknown option '" + name + "' (try --help)");
        }
    }
    if (o.ports.empty()) {
        return Error("missing --port");
    }
    if (o.modelRow < 0) {
        return Error("missing --model");
    }
    if (!o.image) {
        return Error("missing --image");
    }
    return ParseResult{o, {}};
}

}  // namespace romlift::cli
