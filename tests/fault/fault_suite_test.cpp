// Hundreds of seeded download attempts against a misbehaving unit, through the real engine on a
// real pty. Whatever the line or the unit does, every attempt must return within the time the
// protocol allows, show only the system's own texts, report success only for an image the unit
// confirmed and holds byte for byte, and give back the port and every descriptor.
//
// Each seed gets a fresh unit whose first attempt carries that seed's fault; a second, clean
// attempt follows whenever the unit has closed its side of the first, and must go through.
// Seeds whose fault makes the host wait out its answer time run in shards of their own so
// that ctest can wait them out side by side.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download.h"
#include "download_state.h"
#include "fault_plan.h"
#include "firmware_locator.h"
#include "quick_timings.h"
#include "recording_host.h"
#include "seeded_image.h"
#include "system_texts.h"
#include "virtual_unit.h"
#include "watchdog.h"

namespace romlift {
namespace {

namespace fs = std::filesystem;
using testing::HostEvent;
using testing::OpenDescriptorCount;
using testing::RecordingHost;
using testing::ScratchDir;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 3;
constexpr size_t kImageSize = 130;      // frames of 50, 50 and 30 bytes
constexpr int kMessages = kFrames + 4;  // wake-up, header, checksum, frames, end
constexpr int kFastSeeds = 320;
constexpr int kSlowSeeds = 40;
constexpr int kFastShards = 8;
constexpr int kSlowShards = 6;
const std::string kFileName = "PLQ5A_fault.abs";

// The time an attempt may take, from the engine's own waits. Every failure ends the attempt, so
// at most one answer waits out its answer time and at most one write its 2000 ms (after a drain
// of at most 5000 ms); every message costs its 28 ms pause. The slack covers opening and closing
// the port and image and a loaded two-core machine. Attempts with a fault that leaves the host
// waiting out an answer wait a shortened time (quick_timings.h).
// The seeded attempts pause a quarter of the unit's 28 ms before each answer: the virtual unit
// has answered (or spoilt its answer) within a millisecond, so the host still reads a queued
// answer, and the shards do not spend most of their time asleep. The back-to-back case keeps the
// unit's own pause.
constexpr uint32_t kSeededPausePerByteMs = 1;
constexpr uint32_t kSeededPauseSettleMs = 5;
constexpr int kPauseMs = 28;
constexpr int kAnswerWaitMs = static_cast<int>(testing::kQuickAnswerWaitMs);
constexpr int kWriteWaitMs = 2000;
constexpr int kDrainWaitMs = 5000;
constexpr int kSlackPerMessageMs = 50;
constexpr int kSlackMs = 1000;
constexpr int kUnansweredBoundMs =
    kMessages * (kPauseMs + kSlackPerMessageMs) + kAnswerWaitMs + kWriteWaitMs + kSlackMs;
// A fault that gets some answer to every message the host sends never waits out an answer; the
// only long wait left is a write the line does not take.
constexpr int kAnsweredBoundMs =
    kMessages * (kPauseMs + kSlackPerMessageMs) + kWriteWaitMs + kSlackMs;
// The watchdog leaves room for the bound's own failure to be reported first.
constexpr int kWatchdogExtraMs = 5000 + kDrainWaitMs;

vx7r::RandomFaults Faults(uint64_t seed) {
    vx7r::RandomFaults f;
    f.enabled = true;
    f.seed = seed;
    f.ratePercent = 85;
    f.frames = kFrames;
    return f;
}

// The first `count` seeds (from 1) whose first attempt's plan is slow, or is not.
std::vector<uint64_t> Seeds(bool slow, int count) {
    std::vector<uint64_t> seeds;
    for (uint64_t seed = 1; static_cast<int>(seeds.size()) < count; ++seed) {
        if (vx7r::PlanFault(Faults(seed), 1).Slow() == slow) {
            seeds.push_back(seed);
        }
    }
    return seeds;
}

Bytes ImageFor(uint64_t seed) {
    Bytes image = testing::SeededImage(kImageSize, static_cast<uint32_t>(seed) * 2654435761u + 1);
    // A checksum of 0 would let a silent checksum echo pass (0 is also "no answer"), and the
    // attempt would then wait out a second answer; keep the one-wait bound exact.
    if (testing::ImageXor(image) == 0) {
        image.back() ^= 0x5A;
    }
    return image;
}

struct Tally {
    int attempts = 0;
    int confirmed = 0;
    int unitConfirmedHostFailed = 0;  // the line spoiled the unit's 0xCC
    int hungUp = 0;
    double slowestFastMs = 0;
    double slowestSlowMs = 0;
};

class FaultSuite : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.Path().empty());
        fs::create_directory(scratch_.Path() / "drivers");
        link_ = (scratch_.Path() / "COM1").string();
        where_.programFolder = scratch_.Path();
    }

    // One attempt through DoDownload, the way the Download button runs it. `unitAttempt` is the
    // unit's number for it; `plan` the fault it carries (for the bound and the messages).
    void Attempt(vx7r::VirtualUnit& unit, const Bytes& image, size_t unitAttempt,
                 const vx7r::FaultPlan& plan, Tally& tally) {
        const std::string what =
            plan.Describe() + " (unit attempt " + std::to_string(unitAttempt) + ")";
        SCOPED_TRACE(what);
        DownloadState state;
        state.selectedPort = 1;
        if (plan.Slow()) {
            state.timings = testing::QuickTimings();
        }
        state.timings.pausePerByteMs = kSeededPausePerByteMs;
        state.timings.pauseSettleMs = kSeededPauseSettleMs;
        state.comDevice = {1, link_, {}};
        RecordingHost host(&state);
        const int bound = plan.Slow() ? kUnansweredBoundMs : kAnsweredBoundMs;

        const auto start = Clock::now();
        AttemptResult result;
        {
            testing::Watchdog watchdog(bound + kWatchdogExtraMs, what);
            result = DoDownload(state, host, [this](DownloadState& s, DownloadHost& h) {
                         return FirmwareHelper::LocateFirmware(s, h, where_);
                     }).result;
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        EXPECT_LT(ms, bound) << "the attempt took longer than its waits allow";
        double& slowest = plan.Slow() ? tally.slowestSlowMs : tally.slowestFastMs;
        slowest = std::max(slowest, ms);
        ++tally.attempts;

        // Only the system's own texts, the first always the one that names the file.
        const std::vector<std::string> statuses = host.Statuses();
        const auto allowed = testing::SystemTexts(kFileName, kFrames, 1);
        ASSERT_FALSE(statuses.empty());
        EXPECT_EQ(statuses.front(), testing::DownloadingText(kFileName));
        for (const std::string& s : statuses) {
            EXPECT_TRUE(allowed.count(s)) << "not a system text: \"" << s << "\"";
        }
        // Success is said once, last, and only with the engine's own verdict.
        const bool saysDone = statuses.back() == testing::kCompletedText;
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), testing::kCompletedText),
                  saysDone ? 1 : 0);
        EXPECT_EQ(saysDone, result == AttemptResult::Confirmed);
        EXPECT_NE(result, AttemptResult::Cancelled);

        // The engine's true is the unit's 0xCC for this very image; the unit has made up its
        // mind on everything the host sent before the host read its answer (28 ms later).
        const bool unitDone = unit.WaitForAttempts(unitAttempt, 150);
        const auto attempts = unit.Attempts();
        ASSERT_GE(attempts.size(), unitAttempt);
        const vx7r::Attempt& record = attempts[unitAttempt - 1];
        // Where the attempt ended, as the record keeps it, agrees with what was shown and never
        // claims a frame the unit did not accept.
        const AttemptOutcome& o = state.outcome;
        EXPECT_EQ(o.result, result);
        EXPECT_EQ(o.step == AttemptStep::Done, result == AttemptResult::Confirmed);
        if (statuses.back() == testing::DownloadingText(kFileName)) {
            EXPECT_EQ(o.cause, EndCause::UnexpectedAnswer) << "a silent end with another cause";
        }
        EXPECT_LE(std::min<size_t>(static_cast<size_t>(FramesConfirmed(o)) * 50, image.size()),
                  record.image.size())
            << "the outcome claims frames the unit did not accept (" << EndedAtName(o) << ")";
        if (result == AttemptResult::Confirmed) {
            EXPECT_TRUE(unitDone);
            EXPECT_TRUE(record.confirmed)
                << "success reported for an end frame the unit did not confirm";
            EXPECT_EQ(record.image, image)
                << "success reported for an image the unit does not hold";
            ++tally.confirmed;
        } else if (record.confirmed) {
            ++tally.unitConfirmedHostFailed;
        }
        tally.hungUp += record.hungUp ? 1 : 0;

        // Nothing left behind: port closed, wait cursor off, bar cleared on the way out.
        EXPECT_FALSE(state.port.IsOpen());
        ASSERT_GE(host.Count(HostEvent::Cursor), 2);
        EXPECT_EQ(host.events.back().kind == HostEvent::Cursor ? host.events.back().value : -1, 0);
        int cursorOn = 0;
        for (const HostEvent& e : host.events) {
            cursorOn += e.kind == HostEvent::Cursor ? (e.value ? 1 : -1) : 0;
        }
        EXPECT_EQ(cursorOn, 0);
    }

    // The seed's whole story: a faulty attempt, then a clean one when the unit is ready for it.
    void RunSeed(uint64_t seed, Tally& tally) {
        const vx7r::FaultPlan plan = vx7r::PlanFault(Faults(seed), 1);
        const Bytes image = ImageFor(seed);
        ASSERT_FALSE(scratch_.Write("drivers/" + kFileName, image).empty());
        const int before = OpenDescriptorCount();
        {
            vx7r::UnitOptions options;
            options.pace = false;
            options.linkPath = link_;
            options.faults.random = Faults(seed);
            options.faults.attempts = 1;
            vx7r::VirtualUnit unit(options);
            std::string error;
            ASSERT_TRUE(unit.Start(&error)) << error;
            const int running = OpenDescriptorCount();

            Attempt(unit, image, 1, plan, tally);
            const auto first = unit.Attempts().at(0);
            EXPECT_EQ(first.fault, plan.Describe());
            EXPECT_EQ(OpenDescriptorCount(), running) << plan.Describe();
            if (!first.faultHit) {
                EXPECT_TRUE(first.confirmed) << plan.Describe();
                EXPECT_TRUE(unit.Violations().empty())
                    << plan.Describe() << ": " << unit.Violations().front();
            }
            // A unit still inside the first attempt (it took a garbled answer for a good one)
            // may read the next wake-up as the byte it waits for; a clean second attempt is
            // only promised once the unit has closed its side.
            if (unit.WaitForAttempts(1, 0)) {
                Tally clean;
                Attempt(unit, image, 2, vx7r::FaultPlan{}, clean);
                EXPECT_EQ(clean.confirmed, 1) << "no recovery after " << plan.Describe();
                EXPECT_EQ(OpenDescriptorCount(), running) << plan.Describe();
                tally.attempts += clean.attempts;
                tally.confirmed += clean.confirmed;
            }
        }
        EXPECT_EQ(OpenDescriptorCount(), before) << plan.Describe();
    }

    static void Report(const char* name, const Tally& t) {
        printf(
            "%s: %d attempts, %d confirmed, %d confirmed by the unit but not by the line, "
            "%d hang-ups, slowest %.0f ms (answered faults) / %.0f ms (unanswered)\n",
            name, t.attempts, t.confirmed, t.unitConfirmedHostFailed, t.hungUp, t.slowestFastMs,
            t.slowestSlowMs);
    }

    ScratchDir scratch_;
    std::string link_;
    LocateOptions where_;
};

class FastFaults : public FaultSuite, public ::testing::WithParamInterface<int> {};
class SlowFaults : public FaultSuite, public ::testing::WithParamInterface<int> {};

TEST_P(FastFaults, EveryAttemptEndsInTimeTruthfullyAndCleanly) {
    const std::vector<uint64_t> seeds = Seeds(false, kFastSeeds);
    Tally tally;
    for (size_t i = static_cast<size_t>(GetParam()); i < seeds.size(); i += kFastShards) {
        RunSeed(seeds[i], tally);
        if (HasFatalFailure()) {
            return;
        }
    }
    Report("fast shard", tally);
}

TEST_P(SlowFaults, EveryAttemptEndsInTimeTruthfullyAndCleanly) {
    const std::vector<uint64_t> seeds = Seeds(true, kSlowSeeds);
    Tally tally;
    for (size_t i = static_cast<size_t>(GetParam()); i < seeds.size(); i += kSlowShards) {
        RunSeed(seeds[i], tally);
        if (HasFatalFailure()) {
            return;
        }
    }
    Report("slow shard", tally);
}

INSTANTIATE_TEST_SUITE_P(Shard, FastFaults, ::testing::Range(0, kFastShards));
INSTANTIATE_TEST_SUITE_P(Shard, SlowFaults, ::testing::Range(0, kSlowShards));

// The seed lists cover every kind of fault, clean attempts among them, at every phase.
TEST(FaultSeeds, CoverEveryKindAndPhase) {
    std::set<vx7r::FaultKind> kinds;
    std::set<vx7r::Phase> phases;
    int clean = 0;
    for (bool slow : {false, true}) {
        for (uint64_t seed : Seeds(slow, slow ? kSlowSeeds : kFastSeeds)) {
            const vx7r::FaultPlan p = vx7r::PlanFault(Faults(seed), 1);
            clean += p.kind == vx7r::FaultKind::None ? 1 : 0;
            kinds.insert(p.kind);
            phases.insert(p.phase);
        }
    }
    EXPECT_EQ(kinds.size(), 11u);  // ten faults and none
    EXPECT_EQ(phases.size(), 5u);
    EXPECT_GE(clean, 30);
}

// One unit, faults on every attempt, attempts back to back through its link: a unit left in the
// middle of an attempt, a line that came back on a new pty, noise still queued from the last
// attempt. The unit's misreadings may cost an attempt its answer time, never more, and never a
// false success.
TEST_F(FaultSuite, BackToBackAttemptsOnOneUnitAcrossHangUps) {
    constexpr int kAttempts = 60;
    const Bytes image = ImageFor(4242);
    ASSERT_FALSE(scratch_.Write("drivers/" + kFileName, image).empty());
    vx7r::UnitOptions options;
    options.pace = false;
    options.linkPath = link_;
    options.faults.random = Faults(4242);
    options.faults.random.slow = false;
    vx7r::VirtualUnit unit(options);
    ASSERT_TRUE(unit.Start());
    const int running = OpenDescriptorCount();
    Tally tally;
    int unitConfirmed = 0;
    for (int n = 1; n <= kAttempts; ++n) {
        SCOPED_TRACE("host attempt " + std::to_string(n));
        DownloadState state;
        state.timings = testing::QuickTimings();
        state.comDevice = {1, link_, {}};
        RecordingHost host(&state);
        const auto start = Clock::now();
        AttemptResult result;
        {
            testing::Watchdog watchdog(kUnansweredBoundMs + kWatchdogExtraMs,
                                       "back-to-back attempt " + std::to_string(n));
            result = DoDownload(state, host, [this](DownloadState& s, DownloadHost& h) {
                         return FirmwareHelper::LocateFirmware(s, h, where_);
                     }).result;
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        EXPECT_LT(ms, kUnansweredBoundMs);
        tally.slowestSlowMs = std::max(tally.slowestSlowMs, ms);
        ++tally.attempts;
        const auto allowed = testing::SystemTexts(kFileName, kFrames, 1);
        ASSERT_FALSE(host.Statuses().empty());
        for (const std::string& s : host.Statuses()) {
            EXPECT_TRUE(allowed.count(s)) << "not a system text: \"" << s << "\"";
        }
        EXPECT_EQ(host.Statuses().back() == testing::kCompletedText,
                  result == AttemptResult::Confirmed);
        unit.WaitForAttempts(unit.Attempts().size(), 150);
        int nowConfirmed = 0;
        for (const vx7r::Attempt& a : unit.Attempts()) {
            nowConfirmed += a.confirmed && a.image == image ? 1 : 0;
        }
        if (result == AttemptResult::Confirmed) {
            EXPECT_EQ(nowConfirmed, unitConfirmed + 1) << "success without a new confirmation";
            ++tally.confirmed;
        }
        unitConfirmed = nowConfirmed;
        EXPECT_FALSE(state.port.IsOpen());
        EXPECT_EQ(OpenDescriptorCount(), running);
    }
    for (const vx7r::Attempt& a : unit.Attempts()) {
        tally.hungUp += a.hungUp ? 1 : 0;
    }
    Report("back to back", tally);
    EXPECT_GT(tally.confirmed, 0);
}

}  // namespace
}  // namespace romlift
