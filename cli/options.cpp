#include "options.h"

#include <cctype>
#include <charconv>

#include "models.h"

namespace romlift::cli {

const char* const kUsage =
    R"(Usage: romlift-cli download --port COMn|DEVICE [--port ...] --model NAME [--image FILE]
                            [--drivers DIR] [--pick NAME] [--json] [--trace FILE]
       romlift-cli models
       romlift-cli ports [--json]
       romlift-cli ports assign COMn DEVICE [--force]
       romlift-cli ports forget COMn
       romlift-cli --help

Writes a firmware image into VX7R units over serial lines, in the same exchange the Download
dialog runs: wake-up, header, checksum, 50-byte frames, end frame.

Commands:
  download            one download attempt per port
  models              the unit models: row, display name, firmware prefix, type code
  ports               the serial devices present (from sysfs; none is opened): COM number,
                      driver, USB ids, maker and product, serial number, by-id name, and
                      whether this user may open it; then where COM1 to COM4 come from
                      (environment, map file, ttyS default, none). --json: one object a line.
  ports assign COMn DEVICE
                      save the adapter at DEVICE as COMn in the map file; refused when another
                      adapter has COMn, unless --force
  ports forget COMn   free COMn in the map file

COM numbers:
  COMn names the device in the environment variable ROMLIFT_COMn when it is set; else the USB
  adapter saved as COMn in the map file, wherever the kernel put it this time; else /dev/ttySn-1
  (COM1 is /dev/ttyS0) when a UART is behind it; else nothing. A USB or ACM adapter seen for the
  first time gets the lowest free number, saved at once in $XDG_CONFIG_HOME/romlift/ports.conf
  (~/.config/romlift/ports.conf), so it keeps that number when plugged in again, into any USB
  socket. /etc/romlift/ports.conf, when present, holds the machine's own numbers and is read
  first.

Options of download:
  --port COMn|DEVICE  a serial port: COM1, COM2, ... as the COM numbers below say; a path
                      such as /dev/ttyUSB0 is opened as given. Status texts
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

ParseResult ParsePorts(const std::vector<std::string>& args) {
    Options o;
    o.command = Options::Command::Ports;
    std::vector<std::string> words;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json") {
            o.json = true;
        } else if (args[i] == "--force") {
            o.force = true;
        } else if (args[i] == "-h" || args[i] == "--help") {
            o.command = Options::Command::Help;
            return ParseResult{o, {}};
        } else if (args[i].rfind("--", 0) == 0) {
            return Error("unknown option '" + args[i] + "' (try --help)");
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.empty()) {
        if (o.force) {
            return Error("--force goes with ports assign");
        }
        return ParseResult{o, {}};
    }
    const std::string& action = words[0];
    if (action != "assign" && action != "forget") {
        return Error("unknown ports command '" + action + "': give assign or forget");
    }
    const size_t want = action == "assign" ? 3 : 2;
    if (words.size() != want) {
        return Error(action == "assign" ? "usage: romlift-cli ports assign COMn DEVICE [--force]"
                                        : "usage: romlift-cli ports forget COMn");
    }
    const auto com = ParsePort(words[1]);
    if (!com || com->comNumber == 0 || com->comNumber > 255) {
        return Error("'" + words[1] + "' is not COM1 to COM255");
    }
    if (o.json || (o.force && action == "forget")) {
        return Error(std::string(o.json ? "--json" : "--force") + " does not go with ports " +
                     action);
    }
    o.portsAction = action == "assign" ? Options::PortsAction::Assign : Options::PortsAction::Forget;
    o.comNumber = com->comNumber;
    if (action == "assign") {
        o.assignDevice = words[2];
    }
    return ParseResult{o, {}};
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
    if (args[0] == "models") {
        if (args.size() > 1) {
            return Error(args[0] + " takes no arguments");
        }
        o.command = Options::Command::Models;
        return ParseResult{o, {}};
    }
    if (args[0] == "ports") {
        return ParsePorts(args);
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
