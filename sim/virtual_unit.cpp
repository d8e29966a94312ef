#include "virtual_unit.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace vx7r {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as clock_nanosleep below

constexpr uint8_t kWakeUp = 0x99;
constexpr uint8_t kEndMark = 0xCC;
constexpr uint8_t kAccepted = 0x01;
constexpr uint8_t kMalformed = 0x00;
constexpr uint8_t kWrongModel = 0x51;
constexpr uint8_t kFrameError = 0xFF;
constexpr size_t kHeaderSize = 20;
constexpr size_t kFrameData = 50;
// One byte on a 9600 baud line: start bit, 8 data bits, stop bit.
constexpr Clock::duration kByteTime = std::chrono::nanoseconds(1'000'000'000LL * 10 / 9600);
constexpr auto kCutShort = std::chrono::milliseconds(1000);

std::string Hex(uint8_t byte) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        char two[4];
        snprintf(two, sizeof two, "%s%02X", text.empty() ? "" : " ", byte);
        text += two;
    }
    return text;
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

// The header a host must send for `code`; bytes 7 and 12 depend on the type code.
std::array<uint8_t, kHeaderSize> ExpectedHeader(uint16_t code) {
    std::array<uint8_t, kHeaderSize> header{};
    header[0] = 0x14;
    header[1] = code & 0xFF;
    header[2] = code >> 8;
    header[3] = 0x18;
    header[7] = (code == 510 || code == 520) ? 1 : 0;
    header[11] = 1;
    header[12] = code == 30 ? 0 : 1;
    return header;
}

// Empty when the line is raw 9600 8N1; else what is wrong with it.
std::string LineProblems(const termios& t) {
    std::string problems;
    auto note = [&](const std::string& what) { problems += (problems.empty() ? "" : ", ") + what; };
    if (cfgetispeed(&t) != B9600 || cfgetospeed(&t) != B9600) {
        note("speed is not 9600");
    }
    if ((t.c_cflag & CSIZE) != CS8) {
        note("not 8 data bits");
    }
    if (t.c_cflag & PARENB) {
        note("parity on");
    }
    const std::pair<tcflag_t, const char*> lflags[] = {
        {ICANON, "ICANON"}, {ECHO, "ECHO"}, {ISIG, "ISIG"}};
    for (auto [flag, name] : lflags) {
        if (t.c_lflag & flag) {
            note(std::string(name) + " on");
        }
    }
    const std::pair<tcflag_t, const char*> iflags[] = {
        {ISTRIP, "ISTRIP"}, {INLCR, "INLCR"}, {IGNCR, "IGNCR"}, {ICRNL, "ICRNL"}, {IXON, "IXON"}};
    for (auto [flag, name] : iflags) {
        if (t.c_iflag & flag) {
            note(std::string(name) + " on");
        }
    }
    if (t.c_oflag & OPOST) {
        note("OPOST on");
    }
    return problems;
}

// One pty pair: the master the unit serves, and a slave the unit keeps open so that the master
// never sees a hang-up while no host holds the line.
struct Line {
    int master = -1;
    int slave = -1;
    std::string path;
};

void CloseLine(Line& line) {
    for (int* fd : {&line.master, &line.slave}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool OpenLine(Line* line, std::string* error) {
    Line made;
    auto fail = [&](const std::string& why) {
        *error = why;
        CloseLine(made);
        return false;
    };
    made.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (made.master < 0) {
        return fail(Errno("posix_openpt"));
    }
    if (grantpt(made.master) != 0) {
        return fail(Errno("grantpt"));
    }
    if (unlockpt(made.master) != 0) {
        return fail(Errno("unlockpt"));
    }
    char name[128];
    if (int rc = ptsname_r(made.master, name, sizeof name); rc != 0) {
        errno = rc;
        return fail(Errno("ptsname_r"));
    }
    int flags = fcntl(made.master, F_GETFL);
    if (flags < 0 || fcntl(made.master, F_SETFL, flags | O_NONBLOCK) < 0) {
        return fail(Errno("fcntl on the pty master"));
    }
    made.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (made.slave < 0) {
        return fail(Errno(name));
    }
    made.path = name;
    *line = std::move(made);
    return true;
}

bool IsSymlink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Points `link` at `target` in one rename, so a host opening the link sees the old device or the
// new one, never none.
bool PointLink(const std::string& link, const std::string& target, std::string* error) {
    const std::string fresh = link + ".new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0) {
        *error = Errno(fresh.c_str());
        return false;
    }
    if (rename(fresh.c_str(), link.c_str()) != 0) {
        *error = Errno(link.c_str());
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

}  // namespace

struct VirtualUnit::Impl {
    // What the unit expects next from the host.
    enum class State { Idle, Header, Checksum, Frames };

    enum class HangUp { None, Now, AfterRead };

    // The unit's verdict on one host message, applied by Commit().
    struct Outcome {
        Exchange exchange;
        std::vector<std::string> problems;
        std::optional<termios> line;  // set for a wake-up: it begins an attempt
        std::vector<uint8_t> accepted;
        bool ends = false;
        bool confirmed = false;
        State next = State::Idle;
        HangUp hangUp = HangUp::None;
        bool faultHit = false;
        std::string fault;  // for a wake-up: the attempt's random fault
    };

    explicit Impl(UnitOptions o) : options(std::move(o)) {}

    UnitOptions options;
    Observer observer;
    std::string path;  // guarded by mutex once the thread runs
    int master = -1;
    int slave = -1;  // held while the line is up so the master never sees a hangup
    int wake = -1;   // eventfd: Stop() wants the thread out
    bool started = false;
    std::thread thread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Attempt> attempts;
    std::vector<std::string> violations;
    size_t ended = 0;

    // Owned by the unit's thread.
    State state = State::Idle;
    std::vector<uint8_t> pending;
    std::vector<Clock::time_point> arrivals;  // paced arrival time of each pending byte
    Clock::time_point lastArrival{};
    Clock::time_point lastRead{};
    int attemptNumber = 0;
    bool attemptOpen = false;
    uint8_t checksum = 0;
    uint8_t dataXor = 0;
    size_t received = 0;
    int frame = 0;  // data frames seen in this attempt
    int lastFrameSize = -1;
    FaultPlan plan;                             // this attempt's random fault
    bool offline = false;                       // hung up and not back yet
    std::optional<Clock::time_point> returnAt;  // when an offline unit comes back

    void StopThread();

    void CloseAll() {
        for (int* fd : {&master, &slave, &wake}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
        // Only a link we may have made goes; a file that is not a link is never ours.
        if (!options.linkPath.empty() && IsSymlink(options.linkPath)) {
            unlink(options.linkPath.c_str());
        }
    }

    bool FaultsApply() const {
        return options.faults.attempts == 0 || attemptNumber <= options.faults.attempts;
    }

    std::string Where() const { return "attempt " + std::to_string(attemptNumber); }

    // Reads whatever the host has sent so far. False when the thread should stop.
    bool ReadAvailable() {
        uint8_t buffer[4096];
        for (;;) {
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                Clock::time_point now = Clock::now();
                lastRead = now;
                for (ssize_t i = 0; i < got; ++i) {
                    lastArrival = std::max(now, lastArrival) + kByteTime;
                    pending.push_back(buffer[i]);
                    arrivals.push_back(options.pace ? lastArrival : now);
                }
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            // EAGAIN: drained. EIO cannot happen while we hold the slave; treat it as drained.
            return true;
        }
    }

    // Writes the answer; gives up only when Stop() is waiting.
    void WriteAnswer(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t put = write(master, bytes.data() + done, bytes.size() - done);
            if (put > 0) {
                done += put;
                continue;
            }
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0 && errno != EAGAIN) {
                return;
            }
            // The host is not reading and the slave's input queue is full.
            pollfd fds[2] = {{master, POLLOUT, 0}, {wake, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            if (fds[1].revents & POLLIN) {
                return;
            }
        }
    }

    void Log(const std::string& line) const {
        if (observer.log) {
            observer.log(line);
        }
    }

    void Report(std::vector<std::string> lines) {
        if (lines.empty()) {
            return;
        }
        {
            std::lock_guard lock(mutex);
            violations.insert(violations.end(), lines.begin(), lines.end());
        }
        for (const std::string& line : lines) {
            Log("violation: " + line);
        }
    }

    void AttemptEnded(size_t number) {
        if (!observer.attemptEnded) {
            return;
        }
        Attempt snapshot;
        {
            std::lock_guard lock(mutex);
            snapshot = attempts[number - 1];
        }
        observer.attemptEnded(number, snapshot);
    }

    std::vector<uint8_t> Answer(Phase phase, uint8_t byte) const {
        const Faults& f = options.faults;
        std::vector<uint8_t> answer{byte};
        if (!FaultsApply()) {
            return answer;
        }
        const bool unnumbered = phase != Phase::Frame;
        if (f.wrongEchoAt == phase && (phase == Phase::WakeUp || phase == Phase::Checksum)) {
            answer = {f.wrongEchoByte};
        }
        if (f.silentAt == phase && (unnumbered || f.silentFrame == 0 || f.silentFrame == frame)) {
            return {};
        }
        if (f.doubleAt == phase && (unnumbered || frame == std::max(f.doubleFrame, 1))) {
            answer.push_back(answer[0]);
        }
        return answer;
    }

    Outcome WakeUp() {
        Outcome out;
        termios line;
        if (tcgetattr(slave, &line) == 0) {
            out.line = line;
        }
        ++attemptNumber;
        plan = FaultPlan{};
        if (FaultsApply() && options.faults.random.enabled) {
            plan = PlanFault(options.faults.random, attemptNumber);
            out.fault = plan.Describe();
        }
        checksum = dataXor = 0;
        received = 0;
        frame = 0;
        lastFrameSize = -1;
        if (out.line) {
            std::string problems = LineProblems(*out.line);
            if (!problems.empty()) {
                out.problems.push_back(Where() + ": line is not raw 9600 8N1 at the wake-up (" +
                                       problems + ")");
            }
        }
        out.exchange.answered = Answer(Phase::WakeUp, kWakeUp);
        out.ends = out.exchange.answered.empty() || out.exchange.answered[0] != kWakeUp;
        out.next = State::Header;
        return out;
    }

    Outcome Header(const std::vector<uint8_t>& h) {
        Outcome out;
        const uint16_t code = h[1] | (h[2] << 8);
        const auto expected = ExpectedHeader(code);
        std::string wrong;
        for (size_t i = 0; i < kHeaderSize; ++i) {
            if (h[i] != expected[i]) {
                wrong += (wrong.empty() ? "" : ", ") + std::string("byte ") + std::to_string(i) +
                         " is " + Hex(h[i]) + ", expected " + Hex(expected[i]);
            }
        }
        uint8_t answer = kAccepted;
        if (!wrong.empty()) {
            answer = kMalformed;
            out.problems.push_back(Where() + ": header not well formed: " + wrong);
        } else if (code != options.typeCode) {
            answer = kWrongModel;
        }
        if (FaultsApply() && options.faults.headerAnswer) {
            answer = *options.faults.headerAnswer;
        }
        out.exchange.answered = Answer(Phase::Header, answer);
        out.ends = out.exchange.answered.empty() || out.exchange.answered[0] != kAccepted;
        out.next = State::Checksum;
        return out;
    }

    Outcome Checksum(uint8_t byte) {
        Outcome out;
        checksum = byte;
        out.exchange.answered = Answer(Phase::Checksum, byte);
        out.ends = out.exchange.answered.empty() || out.exchange.answered[0] != byte;
        out.next = State::Frames;
        return out;
    }

    Outcome Frame(const std::vector<uint8_t>& f) {
        Outcome out;
        ++frame;
        out.exchange.frame = frame;
        const size_t n = f[0];
        const unsigned offset = f[1] | (f[2] << 8);
        const unsigned expectedOffset = received & 0xFFFF;
        uint8_t sum = 0;
        for (size_t i = 0; i < n; ++i) {
            sum ^= f[3 + i];
        }
        std::string wrong;
        auto note = [&](const std::string& what) { wrong += (wrong.empty() ? "" : ", ") + what; };
        if (n > kFrameData) {
            note("carries " + std::to_string(n) + " bytes, more than 50");
        }
        if (offset != expectedOffset) {
            note("offset is " + std::to_string(offset) + ", expected " +
                 std::to_string(expectedOffset));
        }
        if (sum != f[3 + n]) {
            note("XOR byte is " + Hex(f[3 + n]) + " but the data gives " + Hex(sum));
        }
        const std::string name = Where() + ", frame " + std::to_string(frame) + ": ";
        uint8_t answer = kAccepted;
        if (!wrong.empty()) {
            answer = kFrameError;
            out.problems.push_back(name + wrong);
        } else {
            // Accepted on the wire, but not how a download is cut into frames.
            if (lastFrameSize >= 0 && lastFrameSize < static_cast<int>(kFrameData)) {
                out.problems.push_back(name + "follows a frame of only " +
                                       std::to_string(lastFrameSize) + " bytes");
            } else if (n == 0 && received > 0) {
                out.problems.push_back(name + "is empty after " + std::to_string(received) +
                                       " bytes");
            }
        }
        if (FaultsApply() && options.faults.errorAtFrame == frame) {
            answer = kFrameError;
        }
        out.exchange.answered = Answer(Phase::Frame, answer);
        if (!out.exchange.answered.empty() && out.exchange.answered[0] == kAccepted) {
            out.accepted.assign(f.begin() + 3, f.begin() + 3 + n);
            received += n;
            dataXor ^= sum;
            lastFrameSize = static_cast<int>(n);
            out.next = State::Frames;
        } else {
            out.ends = true;
        }
        return out;
    }

    Outcome End(uint8_t hostXor) {
        Outcome out;
        uint8_t answer = kEndMark;
        if (frame == 0) {
            out.problems.push_back(Where() + ": end frame before any data frame");
        }
        if (hostXor != dataXor) {
            answer = kFrameError;
            out.problems.push_back(Where() + ": end frame XOR is " + Hex(hostXor) +
                                   " but the accepted data gives " + Hex(dataXor));
        }
        if (checksum != dataXor) {
            out.problems.push_back(Where() + ": checksum byte " + Hex(checksum) +
                                   " disagrees with the XOR of the received image " + Hex(dataXor));
        }
        if (FaultsApply() && options.faults.endAnswer) {
            answer = *options.faults.endAnswer;
        }
        out.exchange.answered = Answer(Phase::End, answer);
        out.confirmed = !out.exchange.answered.empty() && out.exchange.answered[0] == kEndMark;
        out.ends = true;
        return out;
    }

    static void GiveUp(Outcome& out) {
        out.ends = true;
        out.accepted.clear();
        out.confirmed = false;
    }

    // Hang-ups and the attempt's random fault, laid over the answer the checks decided. Faults of
    // the line (noise, a flipped bit, a doubled answer) leave the unit's own verdict standing;
    // the unit's own faults (a wrong answer, silence, a hang-up) give the attempt up.
    void ApplyLineFaults(Outcome& out) {
        if (!FaultsApply()) {
            return;
        }
        const Faults& f = options.faults;
        const Phase phase = out.exchange.phase;
        std::vector<uint8_t>& answer = out.exchange.answered;
        if (f.hangUpAt == phase && (phase != Phase::Frame || frame == std::max(f.hangUpFrame, 1))) {
            if (f.hangUpAfterAnswer) {
                out.hangUp = HangUp::AfterRead;
                out.ends = true;
            } else {
                answer.clear();
                out.hangUp = HangUp::Now;
                GiveUp(out);
            }
            return;
        }
        if (plan.kind == FaultKind::None || plan.phase != phase ||
            (phase == Phase::Frame && plan.frame != frame)) {
            return;
        }
        out.faultHit = true;
        // Noise that happens to start with the good answer would be no fault at all.
        auto unlike = [&answer](std::vector<uint8_t> bytes) {
            if (!bytes.empty() && !answer.empty() && bytes[0] == answer[0]) {
                bytes[0] ^= 0x80;
            }
            return bytes;
        };
        switch (plan.kind) {
            case FaultKind::None:
                break;
            case FaultKind::WrongByte:
                answer = unlike(plan.bytes);
                GiveUp(out);
                break;
            case FaultKind::FlippedBit:
                if (!answer.empty()) {
                    answer[0] ^= plan.bytes.at(0);
                }
                break;
            case FaultKind::GarbageBefore: {
                const std::vector<uint8_t> noise = unlike(plan.bytes);
                answer.insert(answer.begin(), noise.begin(), noise.end());
                break;
            }
            case FaultKind::GarbageAfter:
                answer.insert(answer.end(), plan.bytes.begin(), plan.bytes.end());
                break;
            case FaultKind::Doubled:
                if (!answer.empty()) {
                    answer.push_back(answer[0]);
                }
                break;
            case FaultKind::Silent:
                answer.clear();
                GiveUp(out);
                break;
            case FaultKind::Burst:
                answer = unlike(plan.bytes);
                GiveUp(out);
                break;
            case FaultKind::HangUpBefore:
                answer.clear();
                out.hangUp = HangUp::Now;
                GiveUp(out);
                break;
            case FaultKind::HangUpAfter:
                out.hangUp = HangUp::AfterRead;
                out.ends = true;
                break;
            case FaultKind::HangUpMidAnswer:
                answer = unlike(plan.bytes);
                out.hangUp = HangUp::AfterRead;
                GiveUp(out);
                break;
        }
    }

    // Sleeps up to ms; false when Stop() is waiting.
    bool Nap(int ms) {
        pollfd p{wake, POLLIN, 0};
        return !(poll(&p, 1, ms) > 0 && (p.revents & POLLIN));
    }

    int QueuedForHost() const {
        int n = 0;
        return ioctl(slave, FIONREAD, &n) == 0 ? n : -1;
    }

    // Waits until the host has taken at least one byte of what we just wrote, so that the hang-up
    // does not swallow the answer (a hung-up tty discards its input queue). `before` is what was
    // queued before the write. False when Stop() is waiting.
    bool WaitForHostToRead(int before, size_t written) {
        const int full = before + static_cast<int>(written);
        // The bytes reach the slave's queue a moment after the write.
        const auto arrived = Clock::now() + std::chrono::milliseconds(200);
        while (QueuedForHost() >= 0 && QueuedForHost() < full && Clock::now() < arrived) {
            if (!Nap(1)) {
                return false;
            }
        }
        // Longer than any host waits for an answer.
        const auto given = Clock::now() + std::chrono::milliseconds(12000);
        while (QueuedForHost() >= full && Clock::now() < given) {
            if (!Nap(1)) {
                return false;
            }
        }
        return true;
    }

    void LineChanged(const std::string& now) {
        {
            std::lock_guard lock(mutex);
            path = now;
        }
        if (observer.lineChanged) {
            observer.lineChanged(now);
        }
    }

    // Closes the master: the host's slave reads and writes fail with EIO from now on. Comes back
    // at once on a new pty when returnAfterMs is 0, else later (Run()).
    void HangUpLine() {
        Line next;
        std::string error;
        const bool back = options.returnAfterMs == 0 && OpenLine(&next, &error);
        // cppcheck-suppress knownConditionTrueFalse ; OpenLine writes the error through its pointer
        if (!error.empty()) {
            Log("cannot make a new pty: " + error);
        }
        if (!options.linkPath.empty()) {
            // The new pty exists before the old one goes, so the link never names a freed slot.
            if (back && !PointLink(options.linkPath, next.path, &error)) {
                Log("cannot point the link: " + error);
            } else if (!back) {
                unlink(options.linkPath.c_str());
            }
        }
        Line old{master, slave, {}};
        CloseLine(old);
        master = next.master;
        slave = next.slave;
        pending.clear();
        arrivals.clear();
        state = State::Idle;
        attemptOpen = false;
        offline = !back;
        returnAt.reset();
        if (!back && options.returnAfterMs >= 0) {
            // A pty that could not be made is tried again a second later.
            returnAt = Clock::now() + std::chrono::milliseconds(
                                          options.returnAfterMs > 0 ? options.returnAfterMs : 1000);
        }
        Log(Where() + ": hung up the line" + (back ? "; back on " + next.path : "; gone"));
        LineChanged(next.path);
    }

    // An offline unit whose time has come gets a new pty.
    void ComeBack() {
        Line next;
        std::string error;
        if (!OpenLine(&next, &error)) {
            Log("cannot make a new pty: " + error);
            returnAt = Clock::now() + std::chrono::milliseconds(1000);
            return;
        }
        if (!options.linkPath.empty() && !PointLink(options.linkPath, next.path, &error)) {
            Log("cannot point the link: " + error);
        }
        master = next.master;
        slave = next.slave;
        offline = false;
        returnAt.reset();
        Log("back on " + next.path);
        LineChanged(next.path);
    }

    // Records the outcome, then answers at the paced time.
    void Commit(Outcome out, Clock::time_point complete) {
        if (options.pace) {
            const auto due = (complete + kByteTime).time_since_epoch();
            timespec at{};
            at.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(due).count();
            at.tv_nsec = (due - std::chrono::seconds(at.tv_sec)).count();
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
        }
        ReadAvailable();
        if (!pending.empty()) {
            out.problems.push_back(Where() + ": " + std::to_string(pending.size()) +
                                   " byte(s) sent before the answer to the " +
                                   PhaseName(out.exchange.phase) + " (first " + Hex(pending[0]) +
                                   ")");
        }
        // A wake-up in the middle of an attempt abandons that attempt.
        const bool closesPrevious = out.exchange.phase == Phase::WakeUp && attemptOpen;
        {
            std::lock_guard lock(mutex);
            if (closesPrevious) {
                ++ended;
            }
            if (out.exchange.phase == Phase::WakeUp) {
                attempts.push_back(Attempt{});
                attempts.back().line = out.line;
                attempts.back().fault = out.fault;
            }
            Attempt& attempt = attempts.back();
            attempt.exchanges.push_back(out.exchange);
            attempt.image.insert(attempt.image.end(), out.accepted.begin(), out.accepted.end());
            attempt.confirmed = attempt.confirmed || out.confirmed;
            attempt.faultHit = attempt.faultHit || out.faultHit;
            attempt.hungUp = attempt.hungUp || out.hangUp != HangUp::None;
            violations.insert(violations.end(), out.problems.begin(), out.problems.end());
            // A hang-up counts as ended once the unit has hung up (below).
            if (out.ends && out.hangUp == HangUp::None) {
                ++ended;
            }
        }
        changed.notify_all();
        attemptOpen = !out.ends;
        state = out.ends ? State::Idle : out.next;
        const int queued = out.hangUp == HangUp::AfterRead ? QueuedForHost() : 0;
        WriteAnswer(out.exchange.answered);

        if (closesPrevious) {
            AttemptEnded(attemptNumber - 1);
        }
        if (!out.fault.empty()) {
            Log("fault plan for " + out.fault);
        }
        Log(Describe(out.exchange));
        for (const std::string& line : out.problems) {
            Log("violation: " + line);
        }
        if (out.hangUp != HangUp::None) {
            if (out.hangUp == HangUp::AfterRead &&
                !WaitForHostToRead(std::max(queued, 0), out.exchange.answered.size())) {
                return;  // Stop() is waiting
            }
            HangUpLine();
            {
                std::lock_guard lock(mutex);
                ++ended;
            }
            changed.notify_all();
        }
        if (out.ends) {
            AttemptEnded(attemptNumber);
        }
    }

    std::string Describe(const Exchange& e) const {
        std::string text = Where() + " " + PhaseName(e.phase);
        if (e.phase == Phase::Frame && e.received.size() >= 3) {
            text += " " + std::to_string(e.frame) + ": " + std::to_string(e.received[0]) +
                    " bytes at offset " + std::to_string(e.received[1] | (e.received[2] << 8));
        } else {
            text += ": " + HexBytes(e.received);
        }
        return text + " -> " + (e.answered.empty() ? "(nothing)" : HexBytes(e.answered));
    }

    // Length of the message at the front of pending, 0 when not yet known.
    size_t MessageLength(Phase* phase) const {
        if (pending.empty()) {
            return 0;
        }
        const uint8_t first = pending[0];
        if (state != State::Checksum && first == kWakeUp) {
            *phase = Phase::WakeUp;
            return 1;
        }
        switch (state) {
            case State::Idle:
                return 0;
            case State::Header:
                *phase = Phase::Header;
                return kHeaderSize;
            case State::Checksum:
                *phase = Phase::Checksum;
                return 1;
            case State::Frames:
                *phase = first == kEndMark ? Phase::End : Phase::Frame;
                return first == kEndMark ? 2 : first + 4;
        }
        return 0;
    }

    void Consume(size_t count) {
        pending.erase(pending.begin(), pending.begin() + count);
        arrivals.erase(arrivals.begin(), arrivals.begin() + count);
    }

    void ProcessPending() {
        for (;;) {
            if (state == State::Idle) {
                // Between attempts only a wake-up means anything.
                size_t junk = 0;
                while (junk < pending.size() && pending[junk] != kWakeUp) {
                    ++junk;
                }
                if (junk > 0) {
                    const uint8_t first = pending[0];
                    Consume(junk);
                    Report({"after attempt " + std::to_string(attemptNumber) + ": " +
                            std::to_string(junk) + " byte(s) while waiting for a wake-up, ignored" +
                            " (first " + Hex(first) + ")"});
                }
            }
            Phase phase = Phase::WakeUp;
            const size_t length = MessageLength(&phase);
            if (length == 0 || pending.size() < length) {
                return;
            }
            std::vector<uint8_t> message(pending.begin(), pending.begin() + length);
            const Clock::time_point complete = arrivals[length - 1];
            Consume(length);
            Outcome out;
            switch (phase) {
                case Phase::WakeUp:
                    out = WakeUp();
                    break;
                case Phase::Header:
                    out = Header(message);
                    break;
                case Phase::Checksum:
                    out = Checksum(message[0]);
                    break;
                case Phase::Frame:
                    out = Frame(message);
                    break;
                case Phase::End:
                    out = End(message[1]);
                    break;
            }
            out.exchange.phase = phase;
            out.exchange.received = std::move(message);
            ApplyLineFaults(out);
            const bool hangsUp = out.hangUp != HangUp::None;
            Commit(std::move(out), complete);
            if (hangsUp) {
                return;  // whatever else came went with the old line
            }
        }
    }

    // The host stopped mid-message: drop what came and wait for a new wake-up.
    void CutShort() {
        Phase phase = Phase::WakeUp;
        const size_t length = MessageLength(&phase);
        Exchange exchange;
        exchange.phase = phase;
        exchange.frame = phase == Phase::Frame ? frame + 1 : 0;
        exchange.received = pending;
        std::string name = PhaseName(phase);
        if (phase == Phase::Frame) {
            name += " " + std::to_string(frame + 1);
        }
        const std::string problem = Where() + ": " + name + " cut short after " +
                                    std::to_string(pending.size()) + " of " +
                                    std::to_string(length) + " bytes (no byte for 1000 ms)";
        Consume(pending.size());
        {
            std::lock_guard lock(mutex);
            attempts.back().exchanges.push_back(exchange);
            violations.push_back(problem);
            ++ended;
        }
        changed.notify_all();
        state = State::Idle;
        attemptOpen = false;
        Log(Describe(exchange));
        Log("violation: " + problem);
        AttemptEnded(attemptNumber);
    }

    void Run() {
        for (;;) {
            if (offline && returnAt && Clock::now() >= *returnAt) {
                ComeBack();
            }
            int timeout = -1;
            if (!pending.empty()) {
                auto left = lastRead + kCutShort - Clock::now();
                timeout =
                    std::max<int>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count());
            } else if (offline && returnAt) {
                auto left = *returnAt - Clock::now();
                timeout =
                    std::max<int>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count());
            }
            // poll() skips the master while it is -1 (offline).
            pollfd fds[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
            int ready = poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR) {
                return;
            }
            if (fds[1].revents & POLLIN) {
                return;
            }
            if (fds[0].revents & POLLIN) {
                ReadAvailable();
                ProcessPending();
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                // Not expected while the slave is held; wait for Stop() rather than spin.
                poll(&fds[1], 1, -1);
                return;
            }
            if (!pending.empty() && Clock::now() - lastRead >= kCutShort) {
                CutShort();
            }
        }
    }
};

VirtualUnit::VirtualUnit(UnitOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualUnit::~VirtualUnit() {
    Stop();
}

void VirtualUnit::SetObserver(Observer observer) {
    impl_->observer = std::move(observer);
}

bool VirtualUnit::Start(std::string* error) {
    Impl& u = *impl_;
    auto fail = [&](const std::string& why) {
        if (error) {
            *error = why;
        }
        u.CloseAll();
        return false;
    };
    if (u.started) {
        // Not through fail(): the running unit keeps its descriptors.
        if (error) {
            *error = "the unit was already started";
        }
        return false;
    }
    const std::string& link = u.options.linkPath;
    if (!link.empty() && access(link.c_str(), F_OK) == 0 && !IsSymlink(link)) {
        // Not through fail(): the file is not ours to remove.
        if (error) {
            *error = link + " exists and is not a symbolic link; not replaced";
        }
        return false;
    }
    Line line;
    std::string why;
    if (!OpenLine(&line, &why)) {
        return fail(why);
    }
    u.master = line.master;
    u.slave = line.slave;
    if (!link.empty() && !PointLink(link, line.path, &why)) {
        return fail(why);
    }
    u.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (u.wake < 0) {
        return fail(Errno("eventfd"));
    }
    u.path = line.path;
    u.started = true;
    u.thread = std::thread([&u] { u.Run(); });
    return true;
}

void VirtualUnit::Impl::StopThread() {
    if (thread.joinable()) {
        uint64_t one = 1;
        while (write(wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread.join();
    }
}

void VirtualUnit::Stop() {
    impl_->StopThread();
    impl_->CloseAll();
}

bool VirtualUnit::StopWhenHostCloses(int timeoutMs) {
    Impl& u = *impl_;
    u.StopThread();
    bool closed = true;
    if (u.master >= 0) {
        // Without our own slave descriptor, the master hangs up when the host's last one closes.
        close(u.slave);
        u.slave = -1;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{u.master, 0, 0};  // POLLHUP is reported unasked
            int ready = poll(&p, 1, std::max<int>(0, left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            closed = ready == 1 && (p.revents & POLLHUP);
            break;
        }
    }
    u.CloseAll();
    return closed;
}

std::string VirtualUnit::DevicePath() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->path;
}

std::vector<Attempt> VirtualUnit::Attempts() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->attempts;
}

std::vector<std::string> VirtualUnit::Violations() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->violations;
}

bool VirtualUnit::WaitForAttempts(size_t count, int timeoutMs) const {
    std::unique_lock lock(impl_->mutex);
    auto done = [&] { return impl_->ended >= count; };
    if (timeoutMs < 0) {
        impl_->changed.wait(lock, done);
        return true;
    }
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

}  // namespace vx7r
