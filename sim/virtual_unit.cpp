#include "virtual_unit.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "hex.h"
#include "pacing_faults.h"
#include "pty_line.h"
#include "unit_exchange.h"
#include "unit_record.h"

namespace vx7r {
namespace {

using Clock = UnitClock;

constexpr auto kCutShort = std::chrono::milliseconds(1000);

}  // namespace

// The unit's thread: reads the host's bytes off the line, cuts them into messages, has the
// exchange judge each one, lays the faults over the answer, and records what happened.
struct VirtualUnit::Impl {
    explicit Impl(UnitOptions o)
        : options(std::move(o)),
          line(options.linkPath, options.returnAfterMs),
          unit(options.typeCode) {}

    UnitOptions options;
    Observer observer;
    PtyLine line;
    int wake = -1;  // eventfd: Stop() wants the thread out
    bool started = false;
    std::thread thread;

    UnitRecord record;

    // Owned by the unit's thread.
    UnitExchange unit;
    HostInput input{options.pace};
    bool attemptOpen = false;
    FaultPlan plan;  // this attempt's random fault

    void StopThread();

    void CloseAll() {
        line.Close();
        if (wake >= 0) {
            close(wake);
            wake = -1;
        }
    }

    bool FaultsApply() const {
        return options.faults.attempts == 0 || unit.AttemptNumber() <= options.faults.attempts;
    }

    std::string Where() const { return unit.Where(); }

    void ReadAvailable() { input.ReadFrom(line.Master()); }

    // Writes the answer; gives up only when Stop() is waiting.
    void WriteAnswer(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t put = write(line.Master(), bytes.data() + done, bytes.size() - done);
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
            pollfd fds[2] = {{line.Master(), POLLOUT, 0}, {wake, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            if (fds[1].revents & POLLIN) {
                return;
            }
        }
    }

    void Log(const std::string& text) const {
        if (observer.log) {
            observer.log(text);
        }
    }

    void Report(const std::string& problem) {
        record.AddViolation(problem);
        Log("violation: " + problem);
    }

    void AttemptEnded(size_t number) const {
        if (!observer.attemptEnded) {
            return;
        }
        observer.attemptEnded(number, record.Snapshot(number));
    }

    // The exchange's verdict on one whole message, with the faults laid over its answer.
    Outcome Judge(Phase phase, std::vector<uint8_t> message) {
        Outcome out;
        UnitExchange::Verdict verdict = unit.Judge(phase, message);
        if (phase == Phase::WakeUp) {
            termios settings;
            if (tcgetattr(line.Slave(), &settings) == 0) {
                out.line = settings;
                const std::string problems = LineProblems(settings);
                if (!problems.empty()) {
                    out.problems.push_back(Where() + ": line is not raw 9600 8N1 at the wake-up (" +
                                           problems + ")");
                }
            }
            plan = FaultPlan{};
            if (FaultsApply() && options.faults.random.enabled) {
                plan = PlanFault(options.faults.random, unit.AttemptNumber());
                out.fault = plan.Describe();
            }
        }
        out.problems.insert(out.problems.end(), verdict.problems.begin(), verdict.problems.end());
        const int frame = phase == Phase::Frame ? unit.FramesSeen() : 0;
        std::vector<uint8_t> answer =
            FaultsApply() ? FixedFaultAnswer(options.faults, phase, frame, verdict.answer)
                          : std::vector<uint8_t>{verdict.answer};
        const UnitExchange::Settled settled = unit.Settle(phase, message, answer);
        out.ends = settled.ends;
        out.confirmed = settled.confirmed;
        out.accepted = settled.accepted;
        if (FaultsApply()) {
            const LineFault fault = ApplyLineFaults(options.faults, plan, phase, frame, answer);
            out.hangUp = fault.hangUp;
            out.faultHit = fault.hit;
            out.ends = out.ends || fault.ends;
            if (fault.givesUp) {
                out.accepted.clear();
                out.confirmed = false;
            }
        }
        out.exchange.phase = phase;
        out.exchange.frame = frame;
        out.exchange.received = std::move(message);
        out.exchange.answered = std::move(answer);
        return out;
    }

    void LineChanged(const std::string& now) {
        record.SetPath(now);
        if (observer.lineChanged) {
            observer.lineChanged(now);
        }
    }

    // Sleeps up to ms; false when Stop() is waiting.
    bool Nap(int ms) {
        pollfd p{wake, POLLIN, 0};
        return !(poll(&p, 1, ms) > 0 && (p.revents & POLLIN));
    }

    // Waits until the host has taken at least one byte of what we just wrote, so that the hang-up
    // does not swallow the answer (a hung-up tty discards its input queue). `before` is what was
    // queued before the write. False when Stop() is waiting.
    bool WaitForHostToRead(int before, size_t written) {
        const int full = before + static_cast<int>(written);
        // The bytes reach the slave's queue a moment after the write (QueuedForHost() hurries
        // them); should they not show, the host has read them already if it wrote again.
        const auto arrived = Clock::now() + std::chrono::milliseconds(200);
        while (line.QueuedForHost() >= 0 && line.QueuedForHost() < full && !HostWroteAgain() &&
               Clock::now() < arrived) {
            if (!Nap(1)) {
                return false;
            }
        }
        // Longer than any host waits for an answer.
        const auto given = Clock::now() + std::chrono::milliseconds(12000);
        while (line.QueuedForHost() >= full && Clock::now() < given) {
            if (!Nap(1)) {
                return false;
            }
        }
        return true;
    }

    // The host has written something since our answer (it read the answer and went on).
    bool HostWroteAgain() const {
        pollfd p{line.Master(), POLLIN, 0};
        return line.Master() >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
    }

    void HangUpLine() {
        const std::string next = line.HangUp([this](const std::string& text) { Log(text); });
        input.Clear();
        unit.Abandon();
        attemptOpen = false;
        Log(Where() + ": hung up the line" + (next.empty() ? "; gone" : "; back on " + next));
        LineChanged(next);
    }

    // Records the outcome, then answers at the paced time.
    void Commit(Outcome out, Clock::time_point complete) {
        if (options.pace) {
            SleepUntil(complete + kByteTime);
        }
        ReadAvailable();
        if (!input.Bytes().empty()) {
            out.problems.push_back(Where() + ": " + std::to_string(input.Bytes().size()) +
                                   " byte(s) sent before the answer to the " +
                                   PhaseName(out.exchange.phase) + " (first " +
                                   Hex(input.Bytes()[0]) + ")");
        }
        // A wake-up in the middle of an attempt abandons that attempt.
        const bool closesPrevious = out.exchange.phase == Phase::WakeUp && attemptOpen;
        record.Add(out, closesPrevious);
        attemptOpen = !out.ends;
        unit.Advance(out.exchange.phase, out.ends);
        const int queued = out.hangUp == HangUp::AfterRead ? line.QueuedForHost() : 0;
        WriteAnswer(out.exchange.answered);

        if (closesPrevious) {
            AttemptEnded(unit.AttemptNumber() - 1);
        }
        if (!out.fault.empty()) {
            Log("fault plan for " + out.fault);
        }
        Log(Describe(out.exchange));
        for (const std::string& problem : out.problems) {
            Log("violation: " + problem);
        }
        if (out.hangUp != HangUp::None) {
            if (out.hangUp == HangUp::AfterRead &&
                !WaitForHostToRead(std::max(queued, 0), out.exchange.answered.size())) {
                return;  // Stop() is waiting
            }
            HangUpLine();
            record.EndAttempt();
        }
        if (out.ends) {
            AttemptEnded(unit.AttemptNumber());
        }
    }

    std::string Describe(const Exchange& e) const {
        std::string text = Where() + " " + PhaseName(e.phase);
        if (e.phase == Phase::Frame && e.received.size() >= 3) {
            text += " " + std::to_string(e.frame) + ": " + std::to_string(e.received[0]) +
                    " bytes at offset " + std::to_string(e.received[1] | (e.received[2] << 8));
        } else {
            text += ": " + romlift::Hex(e.received, romlift::HexCase::Upper, ' ');
        }
        return text + " -> " +
               (e.answered.empty() ? "(nothing)"
                                   : romlift::Hex(e.answered, romlift::HexCase::Upper, ' '));
    }

    void ProcessPending() {
        for (;;) {
            if (unit.BetweenAttempts()) {
                // Between attempts only a wake-up means anything.
                size_t junk = 0;
                while (junk < input.Bytes().size() && input.Bytes()[junk] != kWakeUp) {
                    ++junk;
                }
                if (junk > 0) {
                    const uint8_t first = input.Bytes()[0];
                    input.Consume(junk);
                    Report("after attempt " + std::to_string(unit.AttemptNumber()) + ": " +
                           std::to_string(junk) + " byte(s) while waiting for a wake-up, ignored" +
                           " (first " + Hex(first) + ")");
                }
            }
            Phase phase = Phase::WakeUp;
            const size_t length = unit.MessageLength(input.Bytes(), &phase);
            if (length == 0 || input.Bytes().size() < length) {
                return;
            }
            std::vector<uint8_t> message(input.Bytes().begin(),
                                         input.Bytes().begin() + static_cast<long>(length));
            const Clock::time_point complete = input.ArrivalOf(length - 1);
            input.Consume(length);
            Outcome out = Judge(phase, std::move(message));
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
        const size_t length = unit.MessageLength(input.Bytes(), &phase);
        Exchange exchange;
        exchange.phase = phase;
        exchange.frame = phase == Phase::Frame ? unit.FramesSeen() + 1 : 0;
        exchange.received = input.Bytes();
        std::string name = PhaseName(phase);
        if (phase == Phase::Frame) {
            name += " " + std::to_string(exchange.frame);
        }
        const std::string problem = Where() + ": " + name + " cut short after " +
                                    std::to_string(input.Bytes().size()) + " of " +
                                    std::to_string(length) + " bytes (no byte for 1000 ms)";
        input.Consume(input.Bytes().size());
        record.CutShort(exchange, problem);
        unit.Abandon();
        attemptOpen = false;
        Log(Describe(exchange));
        Log("violation: " + problem);
        AttemptEnded(unit.AttemptNumber());
    }

    static int MsUntil(Clock::time_point at) {
        return std::max<int>(
            0, std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now()).count());
    }

    void Run() {
        for (;;) {
            if (line.ComeBackIfDue([this](const std::string& text) { Log(text); })) {
                Log("back on " + line.Path());
                LineChanged(line.Path());
            }
            int timeout = -1;
            if (!input.Bytes().empty()) {
                timeout = MsUntil(input.LastRead() + kCutShort);
            } else if (line.ReturnAt()) {
                timeout = MsUntil(*line.ReturnAt());
            }
            // poll() skips the master while it is -1 (gone).
            pollfd fds[2] = {{line.Master(), POLLIN, 0}, {wake, POLLIN, 0}};
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
            if (!input.Bytes().empty() && Clock::now() - input.LastRead() >= kCutShort) {
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
    std::string why;
    if (u.started) {
        why = "the unit was already started";  // the running unit keeps its line
    } else if (!u.line.Open(&why)) {
        // nothing was left open
    } else if (u.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); u.wake < 0) {
        why = std::string("eventfd: ") + strerror(errno);
        u.CloseAll();
    } else {
        u.record.SetPath(u.line.Path());
        u.started = true;
        u.thread = std::thread([&u] { u.Run(); });
        return true;
    }
    if (error) {
        *error = why;
    }
    return false;
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
    if (u.line.Master() >= 0) {
        u.line.ReleaseSlave();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            pollfd p{u.line.Master(), 0, 0};  // POLLHUP is reported unasked
            int ready = poll(&p, 1, Impl::MsUntil(deadline));
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
    return impl_->record.Path();
}

std::vector<Attempt> VirtualUnit::Attempts() const {
    return impl_->record.Attempts();
}

std::vector<std::string> VirtualUnit::Violations() const {
    return impl_->record.Violations();
}

bool VirtualUnit::WaitForAttempts(size_t count, int timeoutMs) const {
    return impl_->record.WaitForEnded(count, timeoutMs);
}

}  // namespace vx7r
