#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_host.h"
#include "virtual_unit.h"

namespace vx7r {
namespace {

using testing::Bytes;
using testing::Host;
using testing::Image;
using ::testing::IsEmpty;

UnitOptions Parse(const std::string& faults) {
    return testing::ParseArgs("--no-pace " + faults).unit;
}

// Each fault hits attempt 1 exactly where asked; attempt 2 is clean, and a correct host is never
// blamed for the unit's own misbehaviour. Faults that keep the attempt going must not stop the
// download from going through.
TEST(VirtualUnitFaults, EachFaultHitsOnlyItsMessageAndItsAttempts) {
    struct Case {
        const char* options;  // as given to vx7r-sim
        size_t at;            // 0 wake-up, 1 header, 2 checksum, 3..5 frames, 6 end
        Bytes answer;         // what the host gets for that message
        bool ends;            // the attempt is over right after it
        bool confirmed;
    };
    const Case cases[] = {
        {"--header-answer 0xFC", 1, {0xFC}, true, false},
        {"--end-answer 255", 6, {0xFF}, true, false},
        {"--silent-at wake-up", 0, {}, true, false},
        {"--silent-at header", 1, {}, true, false},
        {"--silent-at checksum", 2, {}, true, false},
        {"--silent-at frame:2", 4, {}, true, false},
        {"--silent-at frame", 3, {}, true, false},
        {"--silent-at end", 6, {}, true, false},
        {"--error-at-frame 2", 4, {0xFF}, true, false},
        {"--wrong-echo-at wake-up", 0, {0x55}, true, false},
        {"--wrong-echo-at checksum:0x42", 2, {0x42}, true, false},
        {"--double-at wake-up", 0, {0x99, 0x99}, false, true},
        {"--double-at header", 1, {0x01, 0x01}, false, true},
        {"--double-at frame:3", 5, {0x01, 0x01}, false, true},
        {"--double-at frame", 3, {0x01, 0x01}, false, true},
        {"--double-at end", 6, {0xCC, 0xCC}, true, true},
    };
    const Bytes image = Image(130);
    const auto messages = testing::Messages(image);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        VirtualUnit unit(Parse(std::string(c.options) + " --fault-attempts 1"));
        ASSERT_TRUE(unit.Start());
        Host host(unit.DevicePath());
        EXPECT_EQ(host.Play(messages, c.at, c.ends), c.answer);
        ASSERT_TRUE(unit.WaitForAttempts(1, 2000));
        Attempt first = unit.Attempts().at(0);
        ASSERT_LT(c.at, first.exchanges.size());
        EXPECT_EQ(first.exchanges[c.at].phase, messages[c.at].phase);
        EXPECT_EQ(first.exchanges[c.at].answered, c.answer);
        EXPECT_EQ(first.exchanges.size(), c.ends ? c.at + 1 : messages.size());
        EXPECT_EQ(first.confirmed, c.confirmed);

        EXPECT_EQ(host.Download(image), Host::GoodAnswers(image));
        ASSERT_TRUE(unit.WaitForAttempts(2, 2000));
        EXPECT_TRUE(unit.Attempts().at(1).confirmed);
        EXPECT_THAT(unit.Violations(), IsEmpty());
    }
}

TEST(VirtualUnitFaults, WithoutAnAttemptLimitFaultsHitEveryAttempt) {
    VirtualUnit unit(Parse("--header-answer 0xFD"));
    ASSERT_TRUE(unit.Start());
    Host host(unit.DevicePath());
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(host.Download({1}), Bytes({0x99, 0xFD}));
    }
    EXPECT_TRUE(unit.WaitForAttempts(3, 2000));
}

}  // namespace
}  // namespace vx7r
