// Fuzz target: the host's side of a whole download, TransferImage through the real serial link,
// against a fake unit whose answers, timing and faults come from the input.
//
// Input: flags byte (bit 0/1: first/second port open refused, bit 2: image file missing, bits
// 3-5: unit type code from kTypeCodes, 7 = two more bytes give it, bit 6: image 64 KiB longer),
// image length (2 bytes, at most kMaxImage), a seed for the image bytes, then the unit's script
// (see fake_unit.cpp: one byte per host message, some followed by their operands). Past its end the
// unit answers properly.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "download_host.h"
#include "download_state.h"
#include "fake_line.h"
#include "fake_unit.h"
#include "fuzz_clock.h"
#include "fuzz_input.h"
#include "scratch_folder.h"
#include "texts.h"
#include "transfer.h"

namespace romlift::fuzz {
namespace {

constexpr uint32_t kTypeCodes[] = {10, 9, 14, 15, 30, 510, 520};
constexpr size_t kMaxImage = 4000;    // 80 frames: past the 8-bit counters, quick to run
constexpr size_t kLongImage = 65536;  // added on request: the frame offset field wraps
constexpr std::string_view kChosenName = "PLQ5A_fuzz.abs";

std::vector<uint8_t> MakeImage(size_t size, uint8_t seed) {
    std::vector<uint8_t> image(size);
    uint32_t x = 0x9E3779B9u ^ seed;
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return image;
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot write the scratch image");
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        FUZZ_CHECK(put > 0, "cannot write the scratch image");
        done += static_cast<size_t>(put);
    }
    ::close(fd);
}

int FramesSent() {
    const auto& m = Unit().Messages();
    return static_cast<int>(std::count_if(
        m.begin(), m.end(), [](const SentMessage& s) { return s.kind == Message::Frame; }));
}

// The front end: checks each call as it comes.
class CheckingHost final : public DownloadHost {
  public:
    explicit CheckingHost(const DownloadState& state) : state_(state) {}

    void SetStatus(std::string_view text) override {
        statuses.emplace_back(text);
        shownAfter.push_back(Unit().Messages().size());
        const int frames = FramesSent();
        static constexpr std::string_view kFixed[] = {
            texts::kWriteError,      texts::kCrcMismatch,
            texts::kInvalidResponse, texts::kNotRespondingShort,
            texts::kCannotOpenFile,  texts::kStreamCannotOpen,
            texts::kWrongModel,      texts::kTouchScreen,
            texts::kLogMem,          texts::kAppMem,
            texts::kReadChunkFailed, texts::kCompleted,
            texts::kFailed};
        const bool known =
            std::find(std::begin(kFixed), std::end(kFixed), text) != std::end(kFixed) ||
            text == texts::Downloading(kChosenName) || text == texts::CannotOpenPort("COM1") ||
            text == texts::NotRespondingAfterFrame(frames) ||
            (frames > 0 && text == texts::WrongFrameNumber(frames));
        FUZZ_CHECK(known, "status text not the system's own (after %d frames): [%.*s]", frames,
                   static_cast<int>(text.size()), text.data());
    }
    void PaintProgress(int x) override {
        ++paints;
        FUZZ_CHECK(cursor, "bar painted without the wait cursor");
        FUZZ_CHECK(x >= 0 && x <= 200, "bar x %d outside 0..200", x);
        FUZZ_CHECK(x >= lastX, "bar went back from %d to %d", lastX, x);
        lastX = x;
        // The bar shows the frame being sent out of all frames.
        const int total = state_.totalFrames;
        const int frame = state_.frameCounter;
        FUZZ_CHECK(total > 0 && frame >= 2 && frame <= total && frame == FramesSent() + 1,
                   "bar painted for frame %d of %d after %d frames", frame, total, FramesSent());
        const double exact = 200.0 * frame / total;
        FUZZ_CHECK(std::fabs(x - exact) <= 1.0, "bar x %d for frame %d of %d", x, frame, total);
    }
    void ClearProgress() override {
        ++clears;
        lastX = 0;
    }
    bool ChooseFirmware(DownloadState&) override {
        FUZZ_CHECK(false, "a transfer asked for a file choice");
        return false;
    }
    void ShowWaitCursor(bool on) override {
        FUZZ_CHECK(on != cursor, "wait cursor set to %d twice", on);
        cursor = on;
        ++cursorCalls;
    }
    void InvalidateAll() override { ++invalidations; }

    std::vector<std::string> statuses;
    std::vector<size_t> shownAfter;  // messages the unit had seen when each status was shown
    int paints = 0;
    int clears = 0;
    int invalidations = 0;
    int cursorCalls = 0;
    bool cursor = false;
    int lastX = 0;

  private:
    const DownloadState& state_;
};

std::string_view HeaderText(uint8_t answer) {
    switch (answer) {
        case 0x51:
            return texts::kWrongModel;
        case 0xFC:
            return texts::kTouchScreen;
        case 0xFD:
            return texts::kLogMem;
        case 0xFE:
            return texts::kAppMem;
        default:
            return texts::kInvalidResponse;
    }
}

// What the attempt must have ended with, from what the unit saw; checks the result against it.
void CheckOutcome(bool result, const CheckingHost& host, bool imageMissing) {
    const FakeUnit& unit = Unit();
    const auto& msgs = unit.Messages();
    const std::string downloading = texts::Downloading(kChosenName);
    FUZZ_CHECK(!host.statuses.empty() && host.statuses.front() == downloading,
               "first status is not the downloading text");
    const std::string& last = host.statuses.back();
    bool success = false;
    bool framesReached = false;
    std::string want;

    if (imageMissing) {
        FUZZ_CHECK(unit.Opens() == 0, "port opened without an image");
        want = texts::kCannotOpenFile;
    } else if (msgs.empty()) {
        FUZZ_CHECK(unit.Opens() == 1 && unit.RefusedOpens() == 1,
                   "nothing sent though the port opened");
        want = texts::CannotOpenPort("COM1");
    } else {
        const SentMessage& m = msgs.back();
        framesReached = m.kind == Message::Frame || m.kind == Message::End;
        const bool accepted = FakeUnit::Accepted(m);
        // The frame the host would have sent next, had it gone on.
        const int nextFrame = m.kind == Message::Checksum ? 1
                              : m.kind == Message::Frame  ? m.frame + 1
                                                          : 0;
        if (!m.full) {
            want = texts::kWriteError;
        } else if (m.kind == Message::End) {
            success = accepted;
            want = accepted ? texts::kCompleted : texts::kFailed;
            FUZZ_CHECK(host.invalidations == 1, "window invalidated %d times after the end answer",
                       host.invalidations);
        } else if (accepted && m.kind == Message::WakeUp) {
            FUZZ_CHECK(unit.Opens() == 2 && unit.RefusedOpens() == 1,
                       "stopped after the wake-up echo without a refused reopen");
            want = texts::CannotOpenPort("COM1");
        } else if (accepted && nextFrame > 0) {
            FUZZ_CHECK(nextFrame <= unit.TotalFrames() && !unit.FrameInFile(nextFrame),
                       "stopped before frame %d of %d for no reason", nextFrame,
                       unit.TotalFrames());
            want = texts::kReadChunkFailed;
            framesReached = false;  // the bar is left as it was
        } else if (accepted) {
            FUZZ_CHECK(false, "stopped after an accepted %d message", static_cast<int>(m.kind));
        } else if (m.kind == Message::Header) {
            want = HeaderText(m.firstRead.value_or(0));
        } else if (!m.firstRead) {
            // Before the first frame the text follows the byte that was expected: the wake-up
            // echo, or a checksum that happens to be 0x99 or 0xEE, gets the short one.
            const bool shortText =
                m.kind == Message::WakeUp ||
                (m.kind == Message::Checksum && (m.bytes[0] == 0x99 || m.bytes[0] == 0xEE));
            want = shortText ? std::string(texts::kNotRespondingShort)
                             : texts::NotRespondingAfterFrame(m.frame);
        } else if (m.kind == Message::Frame && *m.firstRead == 0xFF) {
            want = texts::WrongFrameNumber(m.frame);
        } else {
            // A wrong echo or frame answer adds no text: the line keeps what it showed before
            // this message (the downloading text, or the time-out a zero checksum went past).
            FUZZ_CHECK(host.shownAfter.back() < msgs.size(), "a text for a wrong answer: [%s]",
                       last.c_str());
            want = last;
        }
    }
    FUZZ_CHECK(last == want, "last status [%s], expected [%s]", last.c_str(), want.c_str());
    FUZZ_CHECK(result == success, "TransferImage returned %d, the unit's answers say %d", result,
               success);
    FUZZ_CHECK(host.clears == (framesReached ? 2 : 1), "bar cleared %d times", host.clears);
    FUZZ_CHECK(host.cursorCalls == 2 && !host.cursor, "wait cursor left on");
    // One paint for every accepted frame that is not the last.
    int acceptedFrames = 0;
    for (const SentMessage& s : msgs) {
        if (s.kind == Message::Frame && s.frame < unit.TotalFrames() && s.firstRead == 0x01) {
            ++acceptedFrames;
        }
    }
    FUZZ_CHECK(host.paints == acceptedFrames, "bar painted %d times for %d accepted frames",
               host.paints, acceptedFrames);
}

// With ROMLIFT_FUZZ_TRACE set: what the unit saw and what the host showed, for reading a seed
// or a crash by eye.
void Trace(bool result, const CheckingHost& host) {
    static const char* kNames[] = {"wake-up", "header", "checksum", "frame", "end"};
    for (const SentMessage& m : Unit().Messages()) {
        std::fprintf(stderr, "  %s %d: %zu bytes%s, answer %d, read %d\n",
                     kNames[static_cast<int>(m.kind)], m.frame, m.bytes.size(),
                     m.full ? "" : " (cut short)", m.answer ? *m.answer : -1,
                     m.firstRead ? *m.firstRead : -1);
    }
    for (const std::string& s : host.statuses) {
        std::fprintf(stderr, "  status: %s\n", s.c_str());
    }
    std::fprintf(stderr, "  result %d, %d paints, %d opens (%d refused)\n", result, host.paints,
                 Unit().Opens(), Unit().RefusedOpens());
}

}  // namespace
}  // namespace romlift::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace romlift;
    using namespace romlift::fuzz;
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const size_t imageSize = in.U16() % (kMaxImage + 1) + ((flags & 0x40) != 0 ? kLongImage : 0);
    const uint8_t seed = in.Byte();
    const unsigned pick = (flags >> 3) & 7;
    const uint32_t typeCode = pick < std::size(kTypeCodes) ? kTypeCodes[pick] : in.U16();
    const bool imageMissing = (flags & 4) != 0;

    UnitSetup setup;
    setup.image = MakeImage(imageSize, seed);
    setup.imagePath = ScratchFolder() / kChosenName;
    setup.typeCode = typeCode;
    setup.openFailMask = flags & 3;
    if (imageMissing) {
        ::unlink(setup.imagePath.c_str());
    } else {
        WriteFile(setup.imagePath, setup.image);
    }

    FuzzClock().Reset(int64_t{1'000'000} * kNsPerMs);
    Unit().Reset(setup, &in);
    const int64_t start = FuzzClock().NowNs();
    {
        FakeLine line;
        DownloadState state;
        state.line = &line;
        state.clock = &FuzzClock();
        // COM1 names the fake unit's line, as a front end hands it in.
        state.comDevice = {1, FakeDevice(1), {}};
        state.unitTypeCode = typeCode;
        state.imageFileName = setup.imagePath;
        state.chosenFileName = std::string(kChosenName);
        CheckingHost host(state);

        const bool result = TransferImage(state, host);
        if (std::getenv("ROMLIFT_FUZZ_TRACE") != nullptr) {
            Trace(result, host);
        }

        Unit().Finish();
        FUZZ_CHECK(!line.IsOpen() && !Unit().PortOpen(), "port left open");
        FUZZ_CHECK(!state.image.IsOpen(), "image left open");
        CheckOutcome(result, host, imageMissing);
    }
    // Every message may cost a drain, a write wait, the pause and the answer time, no more.
    const auto& msgs = Unit().Messages();
    const int64_t bound = static_cast<int64_t>(msgs.size()) *
                          (kDrainMs + kWriteMs + kPauseMs + kAnswerMs + 3) * kNsPerMs;
    FUZZ_CHECK(FuzzClock().NowNs() - start <= bound, "attempt took %lld ms for %zu messages",
               static_cast<long long>((FuzzClock().NowNs() - start) / kNsPerMs), msgs.size());
    size_t allowed = 1 + 20 + 1 + 2;
    for (int f = 1; f <= Unit().TotalFrames(); ++f) {
        allowed +=
            4 + std::min<size_t>(50, imageSize - std::min<size_t>(imageSize, size_t{50} * (f - 1)));
    }
    FUZZ_CHECK(Unit().BytesWritten() <= allowed, "%zu bytes written, at most %zu allowed",
               Unit().BytesWritten(), allowed);
    return 0;
}
