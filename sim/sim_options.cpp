#include "sim_options.h"

#include <errno.h>
#include <stdlib.h>

#include <optional>

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
    "PHASE is wake-up|header|checksum|frame|end; BYTE is 0x.. hex or decimal.\n";

namespace {

std::optional<long> Number(const std::string& text, long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    long value = strtol(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || end == text.c_str() + (hex ? 2 : 0) || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<Phase> PhaseFromName(const std::string& name) {
    for (Phase p : {Phase::WakeUp, Phase::Header, Phase::Checksum, Phase::Frame, Phase::End}) {
        if (name == PhaseName(p)) {
            return p;
        }
    }
    return std::nullopt;
}

}  // namespace

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error) {
    Faults& faults = options->unit.faults;
    options->unit.pace = true;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        std::string value;
        bool inlineValue = false;
        if (size_t eq = flag.find('='); flag.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = flag.substr(eq + 1);
            flag.resize(eq);
            inlineValue = true;
        }
        auto bad = [&](const std::string& why) {
            *error = flag;
            *error += ": ";
            *error += why;
            return false;
        };
        const bool plain = flag == "--no-pace" || flag == "--once" || flag == "--quiet" ||
                           flag == "--help" || flag == "--hang-up-after-answer" ||
                           flag == "--no-slow-faults";
        if (plain) {
            if (inlineValue) {
                return bad("takes no value");
            }
            faults.hangUpAfterAnswer = faults.hangUpAfterAnswer || flag == "--hang-up-after-answer";
            faults.random.slow = faults.random.slow && flag != "--no-slow-faults";
            options->unit.pace = options->unit.pace && flag != "--no-pace";
            options->once = options->once || flag == "--once";
            options->quiet = options->quiet || flag == "--quiet";
            options->help = options->help || flag == "--help";
            continue;
        }
        const bool known =
            flag == "--type-code" || flag == "--save" || flag == "--header-answer" ||
            flag == "--end-answer" || flag == "--silent-at" || flag == "--error-at-frame" ||
            flag == "--wrong-echo-at" || flag == "--double-at" || flag == "--fault-attempts" ||
            flag == "--hang-up-at" || flag == "--return-after" || flag == "--link" ||
            flag == "--random-faults" || flag == "--fault-rate" || flag == "--fault-frames";
        if (!known) {
            *error = "unknown option " + flag + " (see --help)";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                return bad("needs a value");
            }
            value = argv[++i];
        }
        // PHASE[:ARG] for the three phase faults.
        std::string arg;
        std::optional<Phase> phase;
        if (flag == "--silent-at" || flag == "--wrong-echo-at" || flag == "--double-at" ||
            flag == "--hang-up-at") {
            size_t colon = value.find(':');
            phase = PhaseFromName(value.substr(0, colon));
            if (!phase) {
                return bad("unknown phase '" + value.substr(0, colon) +
                           "' (wake-up|header|checksum|frame|end)");
            }
            if (colon != std::string::npos) {
                arg = value.substr(colon + 1);
            }
        }
        if (flag == "--type-code") {
            auto n = Number(value, 65535);
            if (!n) {
                return bad("'" + value + "' is not a type code 0..65535");
            }
            options->unit.typeCode = static_cast<uint16_t>(*n);
        } else if (flag == "--save") {
            if (value.empty()) {
                return bad("needs a file name");
            }
            options->savePath = value;
        } else if (flag == "--header-answer" || flag == "--end-answer") {
            auto n = Number(value, 255);
            if (!n) {
                return bad("'" + value + "' is not a byte (0x00..0xFF or 0..255)");
            }
            (flag == "--header-answer" ? faults.headerAnswer : faults.endAnswer) =
                static_cast<uint8_t>(*n);
        } else if (flag == "--link") {
            if (value.empty()) {
                return bad("needs a path");
            }
            options->unit.linkPath = value;
        } else if (flag == "--return-after") {
            auto n = Number(value, 86'400'000);
            if (value != "never" && !n) {
                return bad("'" + value + "' is not a time in ms (0..86400000) or never");
            }
            options->unit.returnAfterMs = value == "never" ? -1 : static_cast<int>(*n);
        } else if (flag == "--random-faults") {
            auto n = Number(value, 0x7FFF'FFFF'FFFF'FFFF);
            if (!n) {
                return bad("'" + value + "' is not a seed (a number)");
            }
            faults.random.enabled = true;
            faults.random.seed = static_cast<uint64_t>(*n);
        } else if (flag == "--fault-rate") {
            auto n = Number(value, 100);
            if (!n) {
                return bad("'" + value + "' is not a percentage 0..100");
            }
            faults.random.ratePercent = static_cast<int>(*n);
        } else if (flag == "--fault-frames") {
            auto n = Number(value, 1'000'000);
            if (!n || *n == 0) {
                return bad("'" + value + "' is not a frame count 1..");
            }
            faults.random.frames = static_cast<int>(*n);
        } else if (flag == "--error-at-frame" || flag == "--fault-attempts") {
            auto n = Number(value, 1'000'000'000);
            if (!n || (flag == "--error-at-frame" && *n == 0)) {
                return bad("'" + value + "' is not a " +
                           (flag == "--error-at-frame" ? "frame number 1.." : "count"));
            }
            (flag == "--error-at-frame" ? faults.errorAtFrame : faults.attempts) =
                static_cast<int>(*n);
        } else if (flag == "--wrong-echo-at") {
            if (*phase != Phase::WakeUp && *phase != Phase::Checksum) {
                return bad("only wake-up and checksum are echoed");
            }
            faults.wrongEchoAt = phase;
            if (!arg.empty()) {
                auto n = Number(arg, 255);
                if (!n) {
                    return bad("'" + arg + "' is not a byte (0x00..0xFF or 0..255)");
                }
                faults.wrongEchoByte = static_cast<uint8_t>(*n);
            }
        } else {
            int frame = 0;
            if (!arg.empty()) {
                auto n = Number(arg, 1'000'000'000);
                if (*phase != Phase::Frame || !n) {
                    return bad("':" + arg + "' needs the frame phase and a frame number");
                }
                frame = static_cast<int>(*n);
            }
            if (flag == "--silent-at") {
                faults.silentAt = phase;
                faults.silentFrame = frame;
            } else if (flag == "--hang-up-at") {
                faults.hangUpAt = phase;
                faults.hangUpFrame = frame;
            } else {
                faults.doubleAt = phase;
                faults.doubleFrame = frame;
            }
        }
    }
    return true;
}

}  // namespace vx7r
