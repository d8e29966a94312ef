#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>

#include "ascii_case.h"
#include "download_row.h"
#include "map_file.h"
#include "models.h"
#include "version.h"

namespace romlift::cli {

const char* const kUsage =
    R"(Usage: romlift-cli download --port COMn|DEVICE [--port ...] --model NAME [--image FILE]
                            [--drivers DIR] [--pick NAME | --pick-hex HEX] [--json]
                            [--trace FILE] [--record FILE|URI | --no-record]
                            [--station NAME] [--operator NAME]
       romlift-cli history [--record FILE|URI] [--since DATE] [--port P]
                           [--outcome O] [--json | --csv]
       romlift-cli history --push [--record URI]
       romlift-cli models
       romlift-cli ports [--json]
       romlift-cli ports assign COMn DEVICE [--force]
       romlift-cli ports forget COMn
       romlift-cli doctor [--json]
       romlift-cli --help | --version

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
  doctor              what on this machine stands between this user and a serial port, each
                      as OK, WARNING or PROBLEM with the fix to paste: this user's groups
                      against the devices' group (and "log in again" when the group was
                      joined after this login began); each serial device, its driver, USB ids,
                      COM number and FTDI latency timer; adapters that share one
                      /dev/serial/by-id name; USB serial adapters left without a tty, and
                      brltty, which claims them; ModemManager and each ttyACM port it has not
                      been told to leave alone; programs holding a port. Nothing is opened.
                      Exit status 0 when nothing is a PROBLEM, else 1. --json: one object a
                      line ("check" with level, check, device, text, fix; then "summary").
  history             the download record, newest first: a short table, or every column
                      with --json (an array of objects) or --csv (RFC 4180, a header line,
                      CRLF line ends, as a spreadsheet opens it)
  history --push      send the server named by --record or ROMLIFT_RECORD every row of the
                      station's own file it does not have yet: those kept while it was away,
                      and any recorded before the station was pointed at it; a row the server
                      has is not sent again

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
                      at once with the same image: each port gets its own attempt. Two ports
                      that are one device (COMn and its path, a link and its target) are a
                      usage error, as is this program's own terminal (/dev/tty, or the
                      terminal on standard input, output or error). A port is given back
                      with the settings and serial flags it had; while open it runs in low
                      latency where the driver has it (an FTDI adapter's timer at 1 ms).
  --model NAME        the unit model by its display name, letter case ignored:
                      VX7R-KT-121B-XXX, VX7R-KT-122B-XXX, VX7R-KT-123B-XXX,
                      VX7R-KT-125B-XXX, VX7R-KT-126B-XXX, VX7R-KT-127B-XXX
  --image FILE        the firmware image to send, byte for byte; its bare file name is the
                      name shown in "Downloading file ...". Without --image the image is
                      located in the drivers folder beside romlift-cli: files whose names
                      begin with the model's prefix and end in .abs (letter case ignored).
  --drivers DIR       locate the image in DIR instead; DIR must be a folder this user may
                      read, or nothing is opened and the exit status is 2
  --pick NAME         when several images match, take the one named NAME. Without it, a
                      terminal is asked (Enter takes the default, the last one listed);
                      with standard input not a terminal the list is shown and nothing is sent.
  --pick-hex HEX      the same, naming the file by the bytes of its name in hex, as the
                      "name_hex" of a candidates row gives them: for names that are not UTF-8
  --json              instead of text, one JSON object a line on standard output, each with
                      its "event":
                      "candidates" when several images match: "files", one row per image
                      with "name" (UTF-8, bytes that are not UTF-8 as U+FFFD), "name_hex"
                      (the name's bytes in hex, for --pick-hex), "date", "path" (the folder
                      searched), "size", "time" and "default" (true for the last row);
                      "status" for each status text; "progress" for each frame step (frame,
                      total, bytes sent, elapsed and estimated remaining milliseconds);
                      "hint" when a port would not open or went away (kind, device, errno,
                      holders, text) or the image would not open (kind, path, errno, text);
                      "outcome" per port (confirmed, interrupted, the last status; frame and
                      total when interrupted); and a final "summary" (the ports confirmed,
                      failed and interrupted, and the signal that interrupted them)
  --trace FILE        write every byte sent and received, with a millisecond timestamp, the
                      port and the exchange phase, to FILE; lines starting with # are
                      remarks (whether low latency was on, once per port)
  --record FILE|URI   keep the record of each attempt in FILE (an SQLite file, made when
                      missing) or on the PostgreSQL server a postgresql:// URI names (the
                      table made when missing). Default: ROMLIFT_RECORD when set, else
                      $XDG_STATE_HOME/romlift/history.sqlite (~/.local/state/romlift/
                      history.sqlite). Each attempt's row is written before the first byte
                      (outcome unfinished) and completed when the attempt ends. A record named
                      here, in ROMLIFT_RECORD or in the station's policy that cannot take the
                      row stops the attempt before anything is sent (exit status 2); one that
                      cannot complete it gives exit status 3. The default file failing only
                      says so. A server that goes away or stalls during the download: the rows
                      go to the default file, for history --push.
  --no-record         keep no record of this download (refused when the station's policy
                      requires one)
  --require-record    stop before anything is sent when the record cannot be written, even
                      the default file (as a named record does)
  --station NAME      the station in the record (default ROMLIFT_STATION, else the host name)
  --operator NAME     the operator in the record (default ROMLIFT_OPERATOR, else the user)

Options of history:
  --record FILE|URI   the record to read (default as for download); with --push, the server
  --since DATE        attempts started at or after DATE: YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS],
                      UTC
  --port P            attempts on the port named P, as it was given (COM3, /dev/ttyUSB0)
  --outcome O         confirmed, failed or interrupted
  --json              every column, as a JSON array of objects
  --csv               every column, as CSV
  --push              send the locally kept rows to the server

Common options:
  -h, --help          this text
  --version           the program's version

Output:
  Every status text goes to standard error as the status line would show it, "\n" as a line
  break; with several ports each line starts with the port's name. Progress of the frames shows
  as a bar when standard error is a terminal; with several ports there, each port keeps one
  line, redrawn in place (port, bar, frame/total, time left, then its outcome), below the
  status texts. Otherwise progress comes as plain lines, at most one per 10% per port besides
  the first and the last. With several ports a summary says which units confirmed. When a port
  does not open (no access, not there, not a terminal, in use) or hangs up mid-download, or
  the image does not open (no such file, permission denied, a folder, a FIFO or device, larger
  than the exchange's 32-bit size, gone since the search), a line starting "romlift-cli: "
  after the status text says why and what to do about it.

Signals:
  SIGINT (Ctrl-C) or SIGTERM during a download ends every port's attempt at once and releases
  every port; each port then says it was interrupted at frame N of M (the unit may need the
  download again), then comes the summary. A hang-up signal (a closing terminal) does not stop
  a download under way: it runs to its end, as a unit left with half its firmware may not
  start again.

Exit status:
  0    every unit confirmed the end frame (answered 0xCC) and every row of the record is
       complete: the download is complete
  1    an attempt failed (the status text says why), or the image choice was cancelled
  2    usage error: unknown command or model, a missing argument, a --drivers that is not a
       readable folder, two ports that are one device, a port that is this program's own
       terminal, several images matching with no terminal to ask and no --pick naming one
       of them; or refused before anything was sent: the station's policy cannot be read or
       a flag would weaken it, a required record cannot take the attempt's row
  3    every unit confirmed, but a required record could not complete a row (it stays
       "unfinished" in the record)
  130  interrupted by SIGINT during the download
  143  interrupted by SIGTERM during the download
)";

std::string VersionLine() {
    return std::string("romlift-cli ") + version::kProduct;
}

std::string PortLabel(const PortArg& port) {
    return port.comNumber > 0 ? "COM" + std::to_string(port.comNumber) : port.device;
}

std::optional<PortArg> ParsePort(const std::string& text) {
    if (text.size() > 3 && EqualsIgnoringCase(std::string_view(text).substr(0, 3), "COM")) {
        int n = 0;
        const char* first = text.data() + 3;
        const char* last = text.data() + text.size();
        const auto [end, ec] = std::from_chars(first, last, n);
        if (ec == std::errc() && end == last && n >= 1 && n <= ports::kMaxComNumber &&
            *first != '0') {
            return PortArg{n, {}};
        }
        return std::nullopt;
    }
    if (text.find('/') != std::string::npos) {
        return PortArg{0, text};
    }
    return std::nullopt;
}

std::optional<std::string> FromHex(const std::string& hex) {
    if (hex.empty() || hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
        if (ec != std::errc() || end != hex.data() + i + 2) {
            return std::nullopt;
        }
        bytes += static_cast<char>(value);
    }
    return bytes;
}

namespace {

// A value CLI11 takes as given; an empty one names nothing.
CLI::Validator NotEmpty() {
    return CLI::Validator(
        [](const std::string& v) {
            return v.empty() ? std::string("needs a value") : std::string();
        },
        "");
}

// "--pick=" with nothing after the sign: CLI11 would take the next argument as the value.
std::optional<std::string> EmptyInlineValue(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a.size() > 3 && a.rfind("--", 0) == 0 && a.back() == '=' &&
            a.find('=') == a.size() - 1) {
            return a.substr(0, a.size() - 1) + " needs a value";
        }
    }
    return std::nullopt;
}

}  // namespace

ParseResult Parse(const std::vector<std::string>& args) {
    Options o;
    CLI::App app{"", "romlift-cli"};
    app.set_help_flag("-h,--help");
    app.set_version_flag("--version", VersionLine());
    app.require_subcommand(1);

    CLI::App* download = app.add_subcommand("download");
    std::vector<std::string> portTexts;
    std::string model, pickHex;
    download->add_option("--port", portTexts)
        ->check(CLI::Validator(
            [](const std::string& v) {
                return ParsePort(v)
                           ? std::string()
                           : "'" + v + "' is not a port: give COM1 to COM" +
                                 std::to_string(ports::kMaxComNumber) + " or a device path";
            },
            ""));
    download->add_option("--model", model)
        ->check(CLI::Validator(
            [](const std::string& v) {
                return FindModel(v) ? std::string()
                                    : "unknown model '" + v + "' (romlift-cli models lists them)";
            },
            ""));
    CLI::Option* image = download->add_option("--image", o.image)->check(NotEmpty());
    download->add_option("--drivers", o.drivers)->check(NotEmpty())->excludes(image);
    CLI::Option* pick = download->add_option("--pick", o.pick)->check(NotEmpty())->excludes(image);
    download->add_option("--pick-hex", pickHex)
        ->check(CLI::Validator(
            [](const std::string& v) {
                return FromHex(v) ? std::string() : "'" + v + "' is not pairs of hex digits";
            },
            ""))
        ->excludes(image)
        ->excludes(pick);
    download->add_flag("--json", o.json)->disable_flag_override();
    download->add_option("--trace", o.trace)->check(NotEmpty());

    CLI::Option* record = download->add_option("--record", o.record)->check(NotEmpty());
    CLI::Option* noRecord =
        download->add_flag("--no-record", o.noRecord)->disable_flag_override()->excludes(record);
    download->add_flag("--require-record", o.requireRecord)
        ->disable_flag_override()
        ->excludes(noRecord);
    download->add_option("--station", o.station)->check(NotEmpty());
    download->add_option("--operator", o.operatorName)->check(NotEmpty());

    CLI::App* models = app.add_subcommand("models");

    CLI::App* doctor = app.add_subcommand("doctor");
    doctor->add_flag("--json", o.json)->disable_flag_override();

    CLI::App* history = app.add_subcommand("history");
    history->add_option("--record", o.record)->check(NotEmpty());
    std::string sinceText;
    CLI::Option* since = history->add_option("--since", sinceText)
                             ->check(CLI::Validator(
                                 [](const std::string& v) {
                                     return record::ParseSince(v)
                                                ? std::string()
                                                : "'" + v +
                                                      "' is not a date: give YYYY-MM-DD or "
                                                      "YYYY-MM-DDTHH:MM[:SS] (UTC)";
                                 },
                                 ""));
    CLI::Option* hport = history->add_option("--port", o.historyPort)->check(NotEmpty());
    CLI::Option* outcome =
        history->add_option("--outcome", o.historyOutcome)
            ->check(CLI::Validator(
                [](const std::string& v) {
                    return record::ParseOutcome(v)
                               ? std::string()
                               : "'" + v + "' is not an outcome: confirmed, failed or interrupted";
                },
                ""));
    CLI::Option* hjson = history->add_flag("--json", o.json)->disable_flag_override();
    CLI::Option* csv = history->add_flag("--csv", o.csv)->disable_flag_override()->excludes(hjson);
    history->add_flag("--push", o.push)
        ->disable_flag_override()
        ->excludes(since)
        ->excludes(hport)
        ->excludes(outcome)
        ->excludes(hjson)
        ->excludes(csv);

    CLI::App* ports = app.add_subcommand("ports");
    ports->add_flag("--json", o.json)->disable_flag_override();
    ports->require_subcommand(0, 1);
    std::string comText;
    CLI::App* assign = ports->add_subcommand("assign");
    assign->add_option("COMn", comText)->required();
    assign->add_option("DEVICE", o.assignDevice)->required()->check(NotEmpty());
    assign->add_flag("--force", o.force)->disable_flag_override();
    CLI::App* forget = ports->add_subcommand("forget");
    forget->add_option("COMn", comText)->required();

    if (args.empty()) {
        return ParseResult{std::nullopt, "no command given (try --help)"};
    }
    if (args[0].rfind('-', 0) != 0 && args[0] != "download" && args[0] != "models" &&
        args[0] != "ports" && args[0] != "history" && args[0] != "doctor") {
        return ParseResult{std::nullopt, "unknown command '" + args[0] + "' (try --help)"};
    }
    if (const auto empty = EmptyInlineValue(args)) {
        return ParseResult{std::nullopt, *empty};
    }
    // CLI11 takes the arguments from the back of the vector.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        o.command = Options::Command::Help;
        return ParseResult{o, {}};
    } catch (const CLI::CallForVersion&) {
        o.command = Options::Command::Version;
        return ParseResult{o, {}};
    } catch (const CLI::ExtrasError&) {
        // CLI11's own text lists them last first; say them in the order typed.
        const std::vector<std::string> extras = app.remaining(true);
        std::string why = extras.size() > 1 ? "The following arguments were not expected:"
                                            : "The following argument was not expected:";
        for (const std::string& a : extras) {
            why += " " + a;
        }
        return ParseResult{std::nullopt, why + " (try --help)"};
    } catch (const CLI::ParseError& e) {
        std::string why = e.what();
        std::replace(why.begin(), why.end(), '\n', ' ');
        return ParseResult{std::nullopt, why + " (try --help)"};
    }

    if (models->parsed()) {
        o.command = Options::Command::Models;
        return ParseResult{o, {}};
    }
    if (doctor->parsed()) {
        o.command = Options::Command::Doctor;
        return ParseResult{o, {}};
    }
    if (ports->parsed()) {
        o.command = Options::Command::Ports;
        if (assign->parsed() || forget->parsed()) {
            const auto com = ParsePort(comText);
            if (!com || com->comNumber == 0 || com->comNumber > 255) {
                return ParseResult{std::nullopt, "'" + comText + "' is not COM1 to COM255"};
            }
            if (o.json) {
                return ParseResult{std::nullopt, std::string("--json does not go with ports ") +
                                                     (assign->parsed() ? "assign" : "forget")};
            }
            o.comNumber = com->comNumber;
            o.portsAction =
                assign->parsed() ? Options::PortsAction::Assign : Options::PortsAction::Forget;
        }
        return ParseResult{o, {}};
    }

    if (history->parsed()) {
        o.command = Options::Command::History;
        if (!sinceText.empty()) {
            o.since = *record::ParseSince(sinceText);
        }
        return ParseResult{o, {}};
    }

    o.command = Options::Command::Download;
    // Checked here rather than by CLI11, which would name a missing --port before an unknown
    // option that was meant to be one.
    if (portTexts.empty() || model.empty()) {
        return ParseResult{std::nullopt, portTexts.empty() ? "missing --port" : "missing --model"};
    }
    for (const std::string& text : portTexts) {
        const PortArg port = *ParsePort(text);
        for (const PortArg& p : o.ports) {
            if (p.comNumber == port.comNumber && p.device == port.device) {
                return ParseResult{std::nullopt, "port '" + text + "' given twice"};
            }
        }
        o.ports.push_back(port);
    }
    o.modelRow = *FindModel(model);
    if (o.pick) {
        o.pickAsGiven = "--pick " + *o.pick;
    } else if (!pickHex.empty()) {
        o.pick = FromHex(pickHex);
        o.pickAsGiven = "--pick-hex " + pickHex;
    }
    return ParseResult{o, {}};
}

}  // namespace romlift::cli
