#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "ascii_case.h"
#include "download_row.h"
#include "map_file.h"
#include "models.h"
#include "pg_record.h"
#include "row_capture.h"
#include "utc_time.h"
#include "version.h"

namespace romlift::cli {

const char* const kUsage =
    R"(Usage: romlift-cli download --port COMn|DEVICE [--port ...] --model NAME [--image FILE]
                            [--drivers DIR] [--pick NAME | --pick-hex HEX] [--json]
                            [--trace FILE] [--record FILE|SERVER | --no-record]
                            [--station NAME] [--operator NAME]
                            [--release FILE] [--any-image-name]
                            [--unit-serial SN ...] [--lot TEXT]
       romlift-cli history [--record FILE|SERVER] [--since DATE] [--until DATE]
                           [--port P] [--station S] [--model M] [--outcome O]
                           [--limit N] [--pending] [--json | --csv]
       romlift-cli history --push [--record SERVER]
       romlift-cli models
       romlift-cli ports [--json]
       romlift-cli ports assign COMn DEVICE [--force]
       romlift-cli ports forget COMn
       romlift-cli doctor [--json]
       romlift-cli release sign --key KEY.pem DIR
       romlift-cli release verify [DIR | --drivers DIR]
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
  release sign --key KEY.pem DIR
                      write DIR/SHA256SUMS (the .abs images of DIR in name order, as
                      sha256sum writes them) and DIR/SHA256SUMS.sig (the list's raw Ed25519
                      signature by the private key KEY.pem); prints the key's id
  release verify [DIR | --drivers DIR]
                      check the release list a download from DIR would use (default: the
                      drivers folder beside romlift-cli): a line NAME: OK or NAME: FAILED
                      (why) per listed image, then whether the signature holds and by which of the
                      policy's trusted keys. Exit status 0 only when all hold, 1 when any
                      does not, 2 for a usage error
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
  --record FILE|SERVER
                      keep the record of each attempt in FILE (an SQLite file, made when
                      missing, mode 0600) or on the PostgreSQL server a postgresql:// URI or a
                      libpq keyword string (host=... dbname=...) names (the table made when
                      missing); text with '=' in it always names a server. Give the server's
                      password in ~/.pgpass (PGPASSFILE), a service file (PGSERVICE) or
                      PGPASSWORD, not here: a command line is seen by every user of the
                      machine, and one typed here is warned of. Default: ROMLIFT_RECORD when
                      set, else
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
  --operator NAME     the operator in the record (default ROMLIFT_OPERATOR, else the user);
                      each at most 200 characters, no control characters
  --unit-serial SN    the unit's serial number for the record (a scanned barcode): once per
                      --port, in the same order. Required for every port when the station's
                      policy says require_unit_serial = yes
  --lot TEXT          the work order (lot) the units are written for, for the record
  --release FILE      check the image against the release list FILE rather than SHA256SUMS
                      in the image's folder (not when the station's policy names another)
  --any-image-name    send an --image whose name does not begin with the model's firmware
                      prefix (refused otherwise, as the drivers search offers no such file);
                      refused itself when the station's policy requires released images

Releases:
  Before any port opens, the image is checked against its release list: SHA256SUMS in the
  folder the image is taken from (the drivers folder, --drivers DIR or the folder of --image),
  or the file the policy's release or --release names, in the format sha256sum writes. The
  image is read once and exactly the bytes hashed are sent. An image the list gives another
  SHA-256 is refused, always. Under require_release = yes in the station's policy an image goes
  out only when it is listed with its SHA-256 in a list whose SHA256SUMS.sig is a raw Ed25519
  signature of the list by a key in the policy's release_keys. A refused image shows "Download
  :Can not open file" and a line saying why (a "hint" with --json); nothing is sent, and the
  row says so. Each row names the list and key that allowed its image (release_list_sha256,
  release_key), the unit's serial number and the lot.

Options of history:
  --record FILE|SERVER
                      the record to read (default as for download); with --push, the server
  --since DATE        attempts started at or after DATE: YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS],
                      UTC
  --until DATE        attempts started before DATE (a date alone is its first moment):
                      --since 2026-12-01 --until 2027-01-01 is December
  --port P            attempts on the port named P, as it was given (COM3, /dev/ttyUSB0)
  --station S         attempts of the station named S, as it was recorded
  --model M           attempts with the model M (letter case ignored)
  --outcome O         confirmed, failed, interrupted or unfinished (letter case ignored)
  --limit N           only the newest N of the attempts chosen
  --pending           the rows of the station's own file that no push has sent to a server
                      yet: what history --push would send (--json and --csv give each row's
                      pushed_utc: when a push sent it, empty while only the file has it)
  --json              every column, as a JSON array of objects
  --csv               every column, as CSV; a text cell that a spreadsheet would take for a
                      formula (beginning with =, +, -, @, tab or CR) starts with a ' instead
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
       of them, a station or operator name (option or environment) too long or with a
       control character, a --record with '=' that libpq cannot read; or refused before
       anything was sent: the station's policy cannot be read or a flag would weaken it, a
       required record cannot take the attempt's row, the image is not released (see
       Releases) or an --image is not named for the model
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

// A time for --since and --until.
CLI::Validator DateValidator() {
    return CLI::Validator(
        [](const std::string& v) {
            return record::ParseSince(v) ? std::string()
                                         : "'" + v +
                                               "' is not a date: give YYYY-MM-DD or "
                                               "YYYY-MM-DDTHH:MM[:SS] (UTC)";
        },
        "");
}

// A model's display name, letter case ignored.
CLI::Validator ModelValidator() {
    return CLI::Validator(
        [](const std::string& v) {
            return FindModel(v) ? std::string()
                                : "unknown model '" + v + "' (romlift-cli models lists them)";
        },
        "");
}

// A count of 1 or more in decimal digits, without a leading 0.
std::optional<int64_t> Count(const std::string& text) {
    int64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < 1 || text[0] == '0') {
        return std::nullopt;
    }
    return n;
}

std::string FoldedAscii(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
    }
    return text;
}

// A record to keep or read: a file, or a server libpq can reach. Anything with '=' in it is a
// server's keyword string, never a file name; one libpq cannot read is said without its text,
// which may hold a password.
CLI::Validator RecordTarget() {
    return CLI::Validator(
        [](const std::string& v) {
            std::string why;
            if (v.empty()) {
                return std::string("needs a value");
            }
            return !record::IsServerUri(v) || record::CheckServerTarget(v, &why) ? std::string()
                                                                                 : why;
        },
        "");
}

// A station or operator name for the record, from an option or the environment.
std::optional<std::string> BadName(const char* option, const char* variable,
                                   const std::string& given) {
    const char* env = std::getenv(variable);
    const bool fromEnv = given.empty() && env != nullptr;
    if (const std::string why = record::NameProblem(fromEnv ? env : given); !why.empty()) {
        return std::string(fromEnv ? variable : option) + " " + why;
    }
    return std::nullopt;
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
    download->add_option("--model", model)->check(ModelValidator());
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

    CLI::Option* record = download->add_option("--record", o.record)->check(RecordTarget());
    CLI::Option* noRecord =
        download->add_flag("--no-record", o.noRecord)->disable_flag_override()->excludes(record);
    download->add_flag("--require-record", o.requireRecord)
        ->disable_flag_override()
        ->excludes(noRecord);
    download->add_option("--station", o.station)->check(NotEmpty());
    download->add_option("--operator", o.operatorName)->check(NotEmpty());
    download->add_option("--unit-serial", o.unitSerials)->check(NotEmpty());
    download->add_option("--lot", o.lot)->check(NotEmpty());
    download->add_option("--release", o.release)->check(NotEmpty());
    download->add_flag("--any-image-name", o.anyImageName)->disable_flag_override()->needs(image);

    CLI::App* models = app.add_subcommand("models");

    CLI::App* doctor = app.add_subcommand("doctor");
    doctor->add_flag("--json", o.json)->disable_flag_override();

    CLI::App* release = app.add_subcommand("release");
    release->require_subcommand(1);
    CLI::App* sign = release->add_subcommand("sign");
    sign->add_option("--key", o.signingKey)->required()->check(NotEmpty());
    std::string signDir, verifyDir, verifyDrivers;
    sign->add_option("DIR", signDir)->required()->check(NotEmpty());
    CLI::App* verify = release->add_subcommand("verify");
    CLI::Option* verifyAt = verify->add_option("DIR", verifyDir)->check(NotEmpty());
    verify->add_option("--drivers", verifyDrivers)->check(NotEmpty())->excludes(verifyAt);

    CLI::App* history = app.add_subcommand("history");
    history->add_option("--record", o.record)->check(RecordTarget());
    std::string sinceText;
    CLI::Option* since = history->add_option("--since", sinceText)->check(DateValidator());
    std::string untilText;
    CLI::Option* until = history->add_option("--until", untilText)->check(DateValidator());
    CLI::Option* hport = history->add_option("--port", o.historyPort)->check(NotEmpty());
    CLI::Option* hstation = history->add_option("--station", o.historyStation)->check(NotEmpty());
    std::string historyModel;
    CLI::Option* hmodel = history->add_option("--model", historyModel)->check(ModelValidator());
    CLI::Option* outcome = history->add_option("--outcome", o.historyOutcome)
                               ->check(CLI::Validator(
                                   [](const std::string& v) {
                                       return record::ParseOutcome(FoldedAscii(v))
                                                  ? std::string()
                                                  : "'" + v +
                                                        "' is not an outcome: confirmed, failed, "
                                                        "interrupted or unfinished";
                                   },
                                   ""));
    std::string limitText;
    CLI::Option* limit =
        history->add_option("--limit", limitText)
            ->check(CLI::Validator(
                [](const std::string& v) {
                    return Count(v) ? std::string()
                                    : "'" + v + "' is not a count of rows: give 1 or more";
                },
                ""));
    CLI::Option* pending = history->add_flag("--pending", o.pending)->disable_flag_override();
    CLI::Option* hjson = history->add_flag("--json", o.json)->disable_flag_override();
    CLI::Option* csv = history->add_flag("--csv", o.csv)->disable_flag_override()->excludes(hjson);
    CLI::Option* push = history->add_flag("--push", o.push)->disable_flag_override();
    for (CLI::Option* reading :
         {since, until, hport, hstation, hmodel, outcome, limit, pending, hjson, csv}) {
        push->excludes(reading);
    }

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
        args[0] != "ports" && args[0] != "history" && args[0] != "doctor" && args[0] != "release") {
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

    if (release->parsed()) {
        o.command = Options::Command::Release;
        o.releaseAction =
            sign->parsed() ? Options::ReleaseAction::Sign : Options::ReleaseAction::Verify;
        const std::string dir = sign->parsed() ? signDir : verifyDir + verifyDrivers;
        if (!dir.empty()) {
            o.drivers = dir;
        }
        return ParseResult{o, {}};
    }

    // A password typed on the command line shows in ps and in the shell's history.
    const std::string warning =
        record::IsServerUri(o.record) && record::HasTypedPassword(o.record)
            ? "a password typed in --record can be seen by other users of this machine "
              "(ps, shell history); give it in ~/.pgpass (PGPASSFILE), a service file "
              "(PGSERVICE) or PGPASSWORD instead"
            : "";

    if (history->parsed()) {
        o.command = Options::Command::History;
        if (!sinceText.empty()) {
            o.since = *record::ParseSince(sinceText);
        }
        if (!untilText.empty()) {
            o.until = *record::ParseSince(untilText);
        }
        if (!historyModel.empty()) {
            o.historyModel = Models()[static_cast<size_t>(*FindModel(historyModel))].displayName;
        }
        o.historyOutcome = FoldedAscii(o.historyOutcome);
        if (!limitText.empty()) {
            o.limit = *Count(limitText);
        }
        return ParseResult{o, {}, warning};
    }

    o.command = Options::Command::Download;
    // Checked here rather than by CLI11, which would name a missing --port before an unknown
    // option that was meant to be one.
    if (portTexts.empty() || model.empty()) {
        return ParseResult{std::nullopt, portTexts.empty() ? "missing --port" : "missing --model"};
    }
    for (const auto& bad : {BadName("--station", "ROMLIFT_STATION", o.station),
                            BadName("--operator", "ROMLIFT_OPERATOR", o.operatorName)}) {
        if (bad) {
            return ParseResult{std::nullopt, *bad};
        }
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
    if (!o.unitSerials.empty() && o.unitSerials.size() != o.ports.size()) {
        return ParseResult{std::nullopt, std::to_string(o.unitSerials.size()) +
                                             " --unit-serial for " +
                                             std::to_string(o.ports.size()) +
                                             " --port: give one per --port, in the same order"};
    }
    // Scanned text goes into log lines and spreadsheets: held to the rules of names.
    for (size_t i = 0; i < o.unitSerials.size(); ++i) {
        const std::string& serial = o.unitSerials[i];
        if (const std::string why = record::NameProblem(serial); !why.empty()) {
            return ParseResult{std::nullopt, "--unit-serial " + why};
        }
        if (std::count(o.unitSerials.begin(), o.unitSerials.begin() + i, serial) > 0) {
            return ParseResult{std::nullopt, "unit serial '" + serial +
                                                 "' given twice: two units cannot share one"};
        }
    }
    if (const std::string why = record::NameProblem(o.lot); !why.empty()) {
        return ParseResult{std::nullopt, "--lot " + why};
    }
    o.modelRow = *FindModel(model);
    if (o.pick) {
        o.pickAsGiven = "--pick " + *o.pick;
    } else if (!pickHex.empty()) {
        o.pick = FromHex(pickHex);
        o.pickAsGiven = "--pick-hex " + pickHex;
    }
    return ParseResult{o, {}, warning};
}

}  // namespace romlift::cli
