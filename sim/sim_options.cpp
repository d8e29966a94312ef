#include "sim_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <optional>

#include "version.h"

namespace vx7r {

const char kSimUsage[] =
    "usage: vx7r-sim [options]\n"
    "Serves a virtual VX7R unit on a pseudo-terminal; prints the device path first, and again\n"
    "each time the unit comes back on a new pseudo-terminal after a hang-up.\n"
    "  --type-code N            unit type code (default 10)\n"
    "  --no-pace                answer at once instead of at 9600 baud\n"
    "  --save FILE              write each confirmed image to FILE\n"
    "  --once                   exit after the first attempt (0 when confirmed, else 1)\n"
    "  --header-answer BYTE     answer the header with BYTE\n"
    "  --end-answer BYTE        answer the end frame with BYTE\n"
    "  --silent-at PHASE[:N]    send nothing at PHASE (frame N, default every frame)\n"
    "  --error-at-frame N       answer data frame N with 0xFF\n"
    "  --wrong-echo-at PHASE[:BYTE]  echo BYTE (default 0x55) at wake-up or checksum\n"
    "  --double-at PHASE[:N]    answer PHASE twice (frame N, default 1)\n"
    "  --hang-up-at PHASE[:N]   hang up the line instead of answering PHASE (frame N, default 1)\n"
    "  --hang-up-after-answer   with --hang-up-at: answer, then hang up once the host read it\n"
    "  --return-after MS|never  after a hang-up, come back on a new pty after MS ms (default 0)\n"
    "  --link PATH              keep a symbolic link at PATH pointing at the current pty\n"
    "  --random-faults SEED     one seeded random fault per attempt (the plan is logged)\n"
    "  --fault-rate PERCENT     share of attempts that get a random fault (default 80)\n"
    "  --fault-frames N         random faults hit frames 1..N (default 3)\n"
    "  --no-slow-faults         no random silence or hang-up that leaves the host waiting 10 s\n"
    "  --fault-attempts N       apply the faults to the first N attempts only\n"
    "  --quiet                  no exchange log on standard error\n"
    "  --help                   this text\n"
    "  --version                the program's version\n"
    "PHASE is wake-up|header|checksum|frame|end; BYTE is 0x.. hex or decimal.\n";

std::string SimVersionLine() {
    return std::string("vx7r-sim ") + romlift::version::kProduct;
}

namespace {

// Decimal or 0x.. hex. A leading 0 would read as octal to CLI11, so 010 is refused rather than
// taken as 8.
const CLI::Validator kDecimalOrHex(
    [](const std::string& v) {
        const bool octalLooking = v.size() > 1 && v[0] == '0' && v[1] != 'x' && v[1] != 'X';
        return octalLooking || v.empty() || v[0] == '+' || v[0] == '-'
                   ? "'" + v + "' is not a number (decimal, or hex as 0x..)"
                   : std::string();
    },
    "", "decimal or hex");

std::optional<long> Number(const std::string& text, long max) {
    if (!kDecimalOrHex(std::string(text)).empty()) {
        return std::nullopt;
    }
    const bool hex = text.size() > 2 && (text[1] == 'x' || text[1] == 'X');
    long value = 0;
    const char* first = text.data() + (hex ? 2 : 0);
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value, hex ? 16 : 10);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

// A seed fills 64 bits; CLI11 would take a longer number as the largest seed instead.
const CLI::Validator kSeed(
    [](const std::string& v) {
        const bool hex = v.size() > 2 && (v[1] == 'x' || v[1] == 'X');
        uint64_t seed = 0;
        const char* first = v.data() + (hex ? 2 : 0);
        const auto [end, ec] = std::from_chars(first, v.data() + v.size(), seed, hex ? 16 : 10);
        return ec == std::errc() && end == v.data() + v.size()
                   ? std::string()
                   : "'" + v + "' is not a seed (0 to 18446744073709551615)";
    },
    "");

std::optional<Phase> PhaseFromName(const std::string& name) {
    for (Phase p : {Phase::WakeUp, Phase::Header, Phase::Checksum, Phase::Frame, Phase::End}) {
        if (name == PhaseName(p)) {
            return p;
        }
    }
    return std::nullopt;
}

// PHASE[:ARG] of the phase faults; false with *error set when the phase is unknown.
bool SplitPhase(const std::string& flag, const std::string& value, Phase* phase, std::string* arg,
                std::string* error) {
    const size_t colon = value.find(':');
    const auto p = PhaseFromName(value.substr(0, colon));
    if (!p) {
        *error = flag + ": unknown phase '" + value.substr(0, colon) +
                 "' (wake-up|header|checksum|frame|end)";
        return false;
    }
    *phase = *p;
    *arg = colon == std::string::npos ? "" : value.substr(colon + 1);
    return true;
}

// The frame of --silent-at, --double-at and --hang-up-at: only the frame phase takes one.
bool PhaseFrame(const std::string& flag, Phase phase, const std::string& arg, int* frame,
                std::string* error) {
    *frame = 0;
    if (arg.empty()) {
        return true;
    }
    const auto n = Number(arg, 1'000'000'000);
    if (phase != Phase::Frame || !n) {
        *error = flag + ": ':" + arg + "' needs the frame phase and a frame number";
        return false;
    }
    *frame = static_cast<int>(*n);
    return true;
}

}  // namespace

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error) {
    UnitOptions& unit = options->unit;
    Faults& faults = unit.faults;
    unit.pace = true;

    CLI::App app{"", "vx7r-sim"};
    app.set_help_flag("--help");
    app.set_version_flag("--version", SimVersionLine());
    bool noPace = false, noSlow = false;
    std::optional<std::string> silentAt, wrongEchoAt, doubleAt, hangUpAt, returnAfter;
    std::optional<int> headerAnswer, endAnswer;
    const auto flag = [&](const char* name, bool& value) {
        app.add_flag(name, value)->disable_flag_override();
    };
    const auto number = [&](const char* name, auto& value, long min, long max) {
        app.add_option(name, value)->check(kDecimalOrHex)->check(CLI::Range(min, max));
    };
    number("--type-code", unit.typeCode, 0, 65535);
    flag("--no-pace", noPace);
    app.add_option("--save", options->savePath)
        ->check(CLI::Validator(
            [](const std::string& v) {
                return v.empty() ? std::string("needs a file name") : std::string();
            },
            ""));
    flag("--once", options->once);
    number("--header-answer", headerAnswer, 0, 255);
    number("--end-answer", endAnswer, 0, 255);
    app.add_option("--silent-at", silentAt);
    number("--error-at-frame", faults.errorAtFrame, 1, 1'000'000'000);
    app.add_option("--wrong-echo-at", wrongEchoAt);
    app.add_option("--double-at", doubleAt);
    app.add_option("--hang-up-at", hangUpAt);
    flag("--hang-up-after-answer", faults.hangUpAfterAnswer);
    app.add_option("--return-after", returnAfter);
    app.add_option("--link", unit.linkPath)
        ->check(CLI::Validator(
            [](const std::string& v) {
                return v.empty() ? std::string("needs a path") : std::string();
            },
            ""));
    auto* seed =
        app.add_option("--random-faults", faults.random.seed)->check(kDecimalOrHex)->check(kSeed);
    number("--fault-rate", faults.random.ratePercent, 0, 100);
    number("--fault-frames", faults.random.frames, 1, 1'000'000);
    flag("--no-slow-faults", noSlow);
    number("--fault-attempts", faults.attempts, 0, 1'000'000'000);
    flag("--quiet", options->quiet);

    // "--save=" with nothing after the sign: CLI11 would take the next argument as the value.
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.size() > 3 && a.rfind("--", 0) == 0 && a.find('=') == a.size() - 1) {
            *error = a.substr(0, a.size() - 1) + ": needs a value";
            return false;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        options->help = true;
        return true;
    } catch (const CLI::CallForVersion&) {
        options->version = true;
        return true;
    } catch (const CLI::ExtrasError&) {
        // CLI11's own text lists them last first; say them in the order typed.
        const std::vector<std::string> extras = app.remaining();
        *error = extras.size() > 1 ? "The following arguments were not expected:"
                                   : "The following argument was not expected:";
        for (const std::string& a : extras) {
            *error += " " + a;
        }
        *error += " (see --help)";
        return false;
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        std::replace(error->begin(), error->end(), '\n', ' ');
        *error += " (see --help)";
        return false;
    }

    unit.pace = !noPace;
    faults.random.slow = !noSlow;
    faults.random.enabled = seed->count() > 0;
    if (headerAnswer) {
        faults.headerAnswer = static_cast<uint8_t>(*headerAnswer);
    }
    if (endAnswer) {
        faults.endAnswer = static_cast<uint8_t>(*endAnswer);
    }
    if (returnAfter) {
        const auto ms = Number(*returnAfter, 86'400'000);
        if (*returnAfter != "never" && !ms) {
            *error =
                "--return-after: '" + *returnAfter + "' is not a time in ms (0..86400000) or never";
            return false;
        }
        unit.returnAfterMs = *returnAfter == "never" ? -1 : static_cast<int>(*ms);
    }
    Phase phase{};
    std::string arg;
    const struct {
        const char* flag;
        const std::optional<std::string>& value;
        std::optional<Phase>& phase;
        int& frame;
    } phaseFaults[] = {{"--silent-at", silentAt, faults.silentAt, faults.silentFrame},
                       {"--double-at", doubleAt, faults.doubleAt, faults.doubleFrame},
                       {"--hang-up-at", hangUpAt, faults.hangUpAt, faults.hangUpFrame}};
    for (const auto& f : phaseFaults) {
        if (f.value && (!SplitPhase(f.flag, *f.value, &phase, &arg, error) ||
                        !PhaseFrame(f.flag, phase, arg, &f.frame, error))) {
            return false;
        }
        if (f.value) {
            f.phase = phase;
        }
    }
    if (wrongEchoAt) {
        if (!SplitPhase("--wrong-echo-at", *wrongEchoAt, &phase, &arg, error)) {
            return false;
        }
        if (phase != Phase::WakeUp && phase != Phase::Checksum) {
            *error = "--wrong-echo-at: only wake-up and checksum are echoed";
            return false;
        }
        faults.wrongEchoAt = phase;
        if (!arg.empty()) {
            const auto byte = Number(arg, 255);
            if (!byte) {
                *error = "--wrong-echo-at: '" + arg + "' is not a byte (0x00..0xFF or 0..255)";
                return false;
            }
            faults.wrongEchoByte = static_cast<uint8_t>(*byte);
        }
    }
    return true;
}

}  // namespace vx7r
