#include "options.h"

#include <cctype>
#include <charconv>

#include "models.h"

namespace romlift::cli {

const char* const kUsage =
    R"(Usage: romlift-cli download --port COMn|DEVICE [--port ...] --model NAME [--image FILE]
                            [--drivers DIR] [--pick NAME] [--json] [--trace FILE]
       romlift-cli models
       romlift-cli ports
       romlift-cli --help

Writes a firmware image into VX7R units over serial lines, in the same exchange the Download
dialog runs: wake-up, header, checksum, 50-byte frames, end frame.

Commands:
  download            one download attempt per port
  models              the unit models: row, display name, firmware prefix, type code
  ports               the serial devices present (from sysfs; none is opened) and the
                      COM1 to COM4 mapping in force

Options of download:
  --port COMn|DEVICE  a serial port: COM1, COM2, ... mean the device named by the environment
                      variable ROMLIFT_COMn when it is set, else /dev/ttySn-1 (COM1 is
                      /dev/ttyS0); a path such as /dev/ttyUSB0 is opened as given. Status texts
                      name the port as given. Give --port several times to flash several units
                      at once with the same image: each port gets its own attempt.
  --model NAME        the unit model by its display name, letter case ignored:
                      VX7R-KT-121B-XXX, VX7R-KT-122B-XXX, VX7R-KT-123B-XXX,
                      VX7R-KT-125B-XXX, VX7R-KT-126B-XXX, VX7R-KT-127B-XXX
  --image FILE        the firmware image to send, byte for byte; its bare file name is the
                      name shown in "Downloading file ...". Without --image the image is
                      located in the drivers folder beside romlift-cli: files whose names
                      begin with the model's prefix and end in .abs (letter case ignored).
  --drivers DIR       locate the image in DIR instead
  --pick NAME         when several images match, take the one named NAME. Without it, a
                      terminal is asked (Enter takes the default, the last one listed);
                      with standard input not a terminal the list is shown and nothing is sent.
  --json              instead of text, one JSON object a line on standard output: "status" for
                      each status text, "progress" for each frame step (frame, total, bytes
                      sent, elapsed and estimated remaining milliseconds), "hint" when a
                      port would not open or went away (kind, device, errno, holders, text),
                      "outcome" per port, and a final "summary"
  --trace FILE        write every byte sent and received, with a millisecond timestamp, the
                      port and the exchange phase, to FILE
  -h, --help          this text

Output:
  Every status text goes to standard error as the status line would show it, "\n" as a line
  break; with several ports each line starts with the port's name. Progress of the frames shows
  as a bar when standard error is a terminal, and as plain lines (no carriage returns)
  otherwise. With several ports a summary says which units confirmed. When a port does not
  open (no access, not there, not a terminal, in use) or hangs up mid-download, a line starting
  "romlift-cli: " after the status text says what to do about it. A hang-up signal (a closing
  terminal) does not stop a download under way: it runs to its end, as a unit left with half
  its firmware may not start again.

Exit status:
  0  every unit confirmed the end frame (answered 0xCC): the download is complete
  1  an attempt failed (the status text says why), or the image choice was cancelled
  2  usage error: unknown command or model, a missing argument, several images matching
     with no terminal to ask and no --pick naming one of them
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

bool TakesValue(const std::string& name) {
    return name == "--port" || name == "--model" || name == "--image" || name == "--drivers" ||
           name == "--pick" || name == "--trace";
}

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
    if (args[0] == "-h" || args[0] == "--help") {
        return ParseResult{o, {}};
    }
    if (args[0] == "models" || args[0] == "ports") {
        if (args.size() > 1) {
            return Error(args[0] + " takes no arguments");
        }
        o.command = args[0] == "models" ? Options::Command::Models : Options::Command::Ports;
        return ParseResult{o, {}};
    }
    if (args[0] != "download") {
        return Error("unknown command '" + args[0] + "' (try --help)");
    }
    o.command = Options::Command::Download;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            o.command = Options::Command::Help;
            return ParseResult{o, {}};
        }
        if (a == "--json") {
            o.json = true;
            continue;
        }
        std::string name = a;
        std::string value;
        if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            if (!TakesValue(name)) {
                return Error("unknown option '" + name + "' (try --help)");
            }
        } else if (TakesValue(a)) {
            if (i + 1 >= args.size()) {
                return Error(a + " needs a value");
            }
            value = args[++i];
        } else {
            return Error("unknown option '" + a + "' (try --help)");
        }
        if (value.empty()) {
            return Error(name + " needs a value");
        }
        auto once = [&](const auto& field) -> bool { return field.has_value(); };
        if (name == "--port") {
            const auto port = ParsePort(value);
            if (!port) {
                return Error("'" + value + "' is not a port: give COMn or a device path");
            }
            for (const PortArg& p : o.ports) {
                if (p.comNumber == port->comNumber && p.device == port->device) {
                    return Error("port '" + value + "' given twice");
                }
            }
            o.ports.push_back(*port);
        } else if (name == "--model") {
            const auto row = FindModel(value);
            if (!row) {
                return Error("unknown model '" + value + "' (romlift-cli models lists them)");
            }
            o.modelRow = *row;
        } else if (name == "--image") {
            if (once(o.image)) {
                return Error("--image given twice");
            }
            o.image = std::filesystem::path(value);
        } else if (name == "--drivers") {
            if (once(o.drivers)) {
                return Error("--drivers given twice");
            }
            o.drivers = std::filesystem::path(value);
        } else if (name == "--pick") {
            if (once(o.pick)) {
                return Error("--pick given twice");
            }
            o.pick = value;
        } else {
            if (once(o.trace)) {
                return Error("--trace given twice");
            }
            o.trace = std::filesystem::path(value);
        }
    }
    if (o.ports.empty()) {
        return Error("missing --port");
    }
    if (o.modelRow < 0) {
        return Error("missing --model");
    }
    if (o.image && (o.drivers || o.pick)) {
        return Error("--image names the file itself: --drivers and --pick do not go with it");
    }
    return ParseResult{o, {}};
}

}  // namespace romlift::cli
