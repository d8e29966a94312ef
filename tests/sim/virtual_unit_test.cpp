#include "virtual_unit.h"

#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include "scratch_dir.h"
#include "test_host.h"

namespace vx7r {
namespace {

using romlift::testing::OpenDescriptorCount;
using testing::Bytes;
using ::testing::HasSubstr;
using testing::Header;
using testing::Host;
using testing::Image;
using testing::ImageXor;
using ::testing::IsEmpty;

std::unique_ptr<VirtualUnit> Started(UnitOptions options = {}) {
    auto unit = std::make_unique<VirtualUnit>(options);
    std::string error;
    EXPECT_TRUE(unit->Start(&error)) << error;
    return unit;
}

std::string AllViolations(const VirtualUnit& unit) {
    std::string text;
    for (const std::string& v : unit.Violations()) {
        text += v + "\n";
    }
    return text;
}

// The unit reported `violation`, or nothing at all when it is null.
void ExpectViolation(const VirtualUnit& unit, const char* violation) {
    if (violation) {
        EXPECT_THAT(AllViolations(unit), HasSubstr(violation));
    } else {
        EXPECT_THAT(unit.Violations(), IsEmpty());
    }
}

// Sizes around the 50-byte frame and past the 16-bit offset; {0x99} makes the checksum byte look
// like a wake-up, which it must not be taken for.
TEST(VirtualUnit, AcceptsWholeDownloadsOfEverySize) {
    for (const Bytes& image :
         {Image(0), Image(1), Image(50), Image(51), Image(70000), Bytes{0x99}}) {
        SCOPED_TRACE("image of " + std::to_string(image.size()) + " bytes");
        auto unit = Started();
        Host host(unit->DevicePath());
        EXPECT_EQ(host.Download(image), Host::GoodAnswers(image));
        ASSERT_TRUE(unit->WaitForAttempts(1, 2000));
        auto attempts = unit->Attempts();
        ASSERT_EQ(attempts.size(), 1u);
        EXPECT_TRUE(attempts[0].confirmed);
        EXPECT_EQ(attempts[0].image, image);
        EXPECT_EQ(attempts[0].exchanges.size(), testing::Messages(image).size());
        EXPECT_THAT(unit->Violations(), IsEmpty());
    }
}

TEST(VirtualUnit, AnswersHeadersByTypeCodeAndForm) {
    struct Case {
        const char* name;
        uint16_t unitCode;
        Bytes header;
        uint8_t answer;
        const char* violation;  // nullptr: none expected
    };
    auto with = [](uint16_t code, size_t at, uint8_t value) {
        Bytes h = Header(code);
        h[at] = value;
        return h;
    };
    const Case cases[] = {
        {"own code", 10, Header(10), 0x01, nullptr},
        {"another code", 10, Header(20), 0x51, nullptr},
        {"510 sets byte 7", 510, Header(510), 0x01, nullptr},
        {"520 sets byte 7", 520, Header(520), 0x01, nullptr},
        {"30 clears byte 12", 30, Header(30), 0x01, nullptr},
        {"510 without byte 7", 510, with(510, 7, 0), 0x00, "byte 7 is 0x00, expected 0x01"},
        {"30 with byte 12", 30, with(30, 12, 1), 0x00, "byte 12 is 0x01, expected 0x00"},
        {"bad first byte", 10, with(10, 0, 0x15), 0x00, "byte 0 is 0x15"},
        {"bad byte 3", 10, with(10, 3, 0x17), 0x00, "byte 3 is 0x17"},
        {"trailing byte set", 10, with(10, 19, 1), 0x00, "byte 19"},
        {"malformed beats wrong code", 10, with(20, 4, 1), 0x00, "byte 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnitOptions options;
        options.typeCode = c.unitCode;
        auto unit = Started(options);
        Host host(unit->DevicePath());
        ASSERT_EQ(host.Ask({0x99}), 0x99);
        EXPECT_EQ(host.Ask(c.header), c.answer);
        // Only an accepted header keeps the attempt going.
        EXPECT_EQ(unit->WaitForAttempts(1, c.answer == 0x01 ? 0 : 2000), c.answer != 0x01);
        ExpectViolation(*unit, c.violation);
    }
}

// One message of a good 150-byte download spoiled; what came before it must be kept.
TEST(VirtualUnit, AnswersSpoiledMessagesAndReportsThem) {
    struct Case {
        const char* name;
        size_t at;  // 0 wake-up, 1 header, 2 checksum, 3..5 frames, 6 end
        void (*spoil)(Bytes& message);
        uint8_t answer;
        size_t kept;  // image bytes accepted
        const char* violation;
    };
    const Case cases[] = {
        {"frame XOR", 4, [](Bytes& f) { f.back() ^= 1; }, 0xFF, 50, "frame 2: XOR byte is"},
        {"frame offset", 4, [](Bytes& f) { f[1] = 0; }, 0xFF, 50,
         "frame 2: offset is 0, expected 50"},
        {"51 data bytes", 4,
         [](Bytes& f) {
             f.insert(f.end() - 1, 0);
             f[0] = 51;
         },
         0xFF, 50, "frame 2: carries 51 bytes, more than 50"},
        {"end XOR", 6, [](Bytes& e) { e[1] ^= 1; }, 0xFF, 150, "end frame XOR is"},
        // A wrong checksum byte is echoed and the download still confirmed, but reported.
        {"checksum byte", 2, [](Bytes& c) { c[0] ^= 1; }, 0, 150, "disagrees with the XOR"},
    };
    const Bytes image = Image(150);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto unit = Started();
        Host host(unit->DevicePath());
        auto messages = testing::Messages(image);
        c.spoil(messages[c.at].bytes);
        const bool echo = c.at == 2;
        EXPECT_EQ(host.Play(messages, c.at, !echo),
                  Bytes{echo ? messages[c.at].bytes[0] : c.answer});
        ASSERT_TRUE(unit->WaitForAttempts(1, 2000));
        auto attempt = unit->Attempts().at(0);
        EXPECT_EQ(attempt.confirmed, echo);
        EXPECT_EQ(attempt.image, Bytes(image.begin(), image.begin() + c.kept));
        EXPECT_THAT(AllViolations(*unit), HasSubstr(c.violation));
        EXPECT_EQ(unit->Violations().size(), 1u);
    }
}

// Attempt 1 is turned down, attempt 2 is abandoned by a wake-up mid-way, attempt 3 goes through.
TEST(VirtualUnit, EachWakeUpStartsANewAttempt) {
    auto unit = Started();
    Host host(unit->DevicePath());
    const Bytes image = Image(120);
    EXPECT_EQ(host.Download(image, 20), Bytes({0x99, 0x51}));
    ASSERT_TRUE(unit->WaitForAttempts(1, 2000));
    ASSERT_EQ(host.Ask({0x99}), 0x99);
    ASSERT_EQ(host.Ask(Header(10)), 0x01);
    ASSERT_EQ(host.Ask({ImageXor(image)}), ImageXor(image));
    ASSERT_EQ(host.Ask(testing::Messages(image)[3].bytes), 0x01);
    EXPECT_FALSE(unit->WaitForAttempts(2, 0));
    EXPECT_EQ(host.Download(image), Host::GoodAnswers(image));
    ASSERT_TRUE(unit->WaitForAttempts(3, 2000));
    auto attempts = unit->Attempts();
    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_FALSE(attempts[0].confirmed || attempts[1].confirmed);
    EXPECT_EQ(attempts[1].image, Bytes(image.begin(), image.begin() + 50));
    EXPECT_TRUE(attempts[2].confirmed);
    EXPECT_EQ(attempts[2].image, image);
}

TEST(VirtualUnit, ReportsBytesSentBeforeItsAnswerAndLosesNone) {
    auto unit = Started();
    Host host(unit->DevicePath());
    const Bytes image = Image(60);
    ASSERT_EQ(host.Ask({0x99}), 0x99);
    Bytes early = Header(10);
    early.push_back(ImageXor(image));
    ASSERT_TRUE(host.Send(early));
    EXPECT_EQ(host.Read(2), Bytes({0x01, ImageXor(image)}));
    EXPECT_THAT(AllViolations(*unit), HasSubstr("1 byte(s) sent before the answer to the header"));
    auto rest = testing::Messages(image);
    rest.erase(rest.begin(), rest.begin() + 3);
    host.Play(rest, rest.size(), false);  // fails on any answer but the good one
    ASSERT_TRUE(unit->WaitForAttempts(1, 2000));
    EXPECT_TRUE(unit->Attempts().at(0).confirmed);
    EXPECT_EQ(unit->Attempts().at(0).image, image);
    EXPECT_EQ(unit->Violations().size(), 1u);
}

TEST(VirtualUnit, RecordsTheHostsLineSettingsAtTheWakeUp) {
    struct Case {
        speed_t speed;
        const char* violation;
    };
    for (const Case& c : {Case{B9600, nullptr}, Case{B19200, "speed is not 9600"}}) {
        auto unit = Started();
        Host host(unit->DevicePath(), c.speed);
        ASSERT_EQ(host.Ask({0x99}), 0x99);
        auto attempts = unit->Attempts();
        ASSERT_EQ(attempts.size(), 1u);
        ASSERT_TRUE(attempts[0].line.has_value());
        const termios& line = *attempts[0].line;
        EXPECT_EQ(cfgetospeed(&line), c.speed);
        EXPECT_EQ(line.c_lflag & (ECHO | ICANON), 0u);
        EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        ExpectViolation(*unit, c.violation);
    }
}

TEST(VirtualUnit, PacedHeaderTakesTwentyOneByteTimes) {
    UnitOptions options;
    options.pace = true;
    auto unit = Started(options);
    Host host(unit->DevicePath());
    ASSERT_EQ(host.Ask({0x99}), 0x99);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(host.Ask(Header(10)), 0x01);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::microseconds(21 * 10'000'000 / 9600));
}

TEST(VirtualUnit, DropsAMessageCutShortAndWaitsForAWakeUp) {
    auto unit = Started();
    Host host(unit->DevicePath());
    const Bytes header = Header(10);
    ASSERT_EQ(host.Ask({0x99}), 0x99);
    ASSERT_TRUE(host.Send(Bytes(header.begin(), header.begin() + 7)));
    EXPECT_FALSE(unit->WaitForAttempts(1, 500));  // a pause under 1000 ms is fine
    ASSERT_TRUE(unit->WaitForAttempts(1, 3000));
    EXPECT_THAT(AllViolations(*unit), HasSubstr("header cut short after 7 of 20 bytes"));
    // The late rest of the header is not taken as a new message.
    ASSERT_TRUE(host.Send(Bytes(header.begin() + 7, header.end())));
    EXPECT_EQ(host.Ask({0x99}), 0x99);
    EXPECT_THAT(AllViolations(*unit), HasSubstr("13 byte(s) while waiting for a wake-up"));
    EXPECT_EQ(unit->Attempts().size(), 2u);
}

TEST(VirtualUnit, StopReleasesEveryDescriptorAndHangsUpTheHost) {
    const int before = OpenDescriptorCount();
    {
        VirtualUnit never;
        never.Stop();
        auto unit = Started();
        std::string error;
        EXPECT_FALSE(unit->Start(&error));  // and the running unit keeps its descriptors
        EXPECT_THAT(error, HasSubstr("already started"));
        {
            Host host(unit->DevicePath());
            EXPECT_EQ(host.Download({5}), Host::GoodAnswers({5}));
        }
        unit->Stop();
        unit->Stop();
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
    {
        auto unit = Started();
        Host host(unit->DevicePath());
        ASSERT_EQ(host.Ask({0x99}), 0x99);
        unit.reset();  // destroyed while the host is still on the line
        pollfd p{host.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        EXPECT_TRUE(p.revents & POLLHUP);
        // A hung-up slave reads end of file (or EIO), never blocks.
        uint8_t byte;
        ssize_t got = read(host.fd(), &byte, 1);
        EXPECT_TRUE(got == 0 || (got < 0 && errno == EIO)) << got;
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(VirtualUnit, StopWhenHostClosesLetsTheLastAnswerThrough) {
    const int before = OpenDescriptorCount();
    {
        // Declared before the unit: its thread may call the observer until the unit is gone.
        std::promise<void> written;
        bool said = false;  // the log runs on the unit's thread only
        VirtualUnit unit;
        unit.SetObserver({[&](const std::string&) {
                              if (!std::exchange(said, true)) {
                                  written.set_value();
                              }
                          },
                          {},
                          {}});
        ASSERT_TRUE(unit.Start());
        auto host = std::make_unique<Host>(unit.DevicePath());
        ASSERT_TRUE(host->Send({0x99}));
        written.get_future().wait();
        // The host gets round to reading only while the unit is shutting down.
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(host->Read(1), Bytes({0x99}));
            host.reset();
        });
        EXPECT_TRUE(unit.StopWhenHostCloses(5000));
        late.join();
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    {
        auto unit = Started();
        Host stays(unit->DevicePath());
        EXPECT_FALSE(unit->StopWhenHostCloses(50));
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace vx7r
