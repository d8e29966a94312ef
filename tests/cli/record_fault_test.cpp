// The record under real faults, as a plant engineer meets them: a program killed mid-download, a
// disk that fills, a file another program holds locked, a server that stalls, a policy a flag
// tries to weaken. romlift-cli against virtual units on real pseudo-terminals; every answer is
// read back with `romlift-cli history`.
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"
#include "pg_server.h"

extern char** environ;

namespace romlift::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// Another program on the record (sqlite3, psql) fed its commands on standard input: it holds
// whatever lock they take until Release() closes its input and it ends.
class SecondProgram {
  public:
    SecondProgram(const std::vector<std::string>& argv, const std::string& commands) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            std::vector<char*> args;
            for (const std::string& a : argv) {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
        const std::string all = commands + "\nSELECT 'holding';\n";
        EXPECT_EQ(::write(in_, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    }
    ~SecondProgram() { Release(); }

    // True once the program has run every command (its lock is taken).
    bool Holding() {
        std::string seen;
        char buf[256];
        for (ssize_t n; (n = ::read(out_, buf, sizeof buf)) > 0;) {
            seen.append(buf, static_cast<size_t>(n));
            if (seen.find("holding") != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    void Release() {
        if (pid_ <= 0) {
            return;
        }
        ::close(in_);
        ::close(out_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

// A small tmpfs of its own, so a test can fill a disk for real.
class SmallDisk {
  public:
    explicit SmallDisk(const fs::path& at) : at_(at) {
        fs::create_directories(at);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=512k,mode=0700") == 0;
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(at_.c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return mounted_; }
    // Writes a filler file until the disk says it is full.
    void Fill() {
        std::FILE* f = std::fopen((at_ / "filler").c_str(), "wb");
        const std::string block(4096, '\0');
        while (f != nullptr && std::fwrite(block.data(), 1, block.size(), f) == block.size() &&
               std::fflush(f) == 0) {
        }
        if (f != nullptr) {
            std::fclose(f);
        }
    }
    void Free() { fs::remove(at_ / "filler"); }

  private:
    fs::path at_;
    bool mounted_ = false;
};

class RecordFault : public CliFixture {
  protected:
    fs::path PutImage(size_t size) { return scratch_.Write("img.abs", Image(size)); }

    json History(const std::string& record, std::vector<std::string> more = {}) const {
        std::vector<std::string> args{"history", "--json", "--record", record};
        args.insert(args.end(), more.begin(), more.end());
        const Outcome o = RunTool(RunSpec{args, OwnState()});
        EXPECT_EQ(o.exitStatus, 0) << o.err;
        return o.out.empty() ? json::array() : json::parse(o.out);
    }

    // A confirmed download to `unit` that the record need not take: what the unit got before
    // is then told by its first attempt being this one.
    void ConfirmNothingCameBefore(vx7r::VirtualUnit& unit, const fs::path& image) {
        const Outcome o = RunTool(
            RunSpec{DownloadImage({unit.DevicePath()}, image, {"--no-record"}), OwnState()});
        ASSERT_EQ(o.exitStatus, 0) << o.err;
        ASSERT_TRUE(unit.WaitForAttempts(1, 10000));
        const auto attempts = unit.Attempts();
        ASSERT_EQ(attempts.size(), 1u) << "an attempt the record refused reached the unit";
        EXPECT_TRUE(attempts[0].confirmed);
    }
};

// kill -9 or a power cut mid-download: the row written before the first byte stays, unfinished,
// claiming nothing the unit did not get.
TEST_F(RecordFault, AKilledProgramLeavesItsRowUnfinished) {
    vx7r::UnitOptions paced;
    paced.pace = true;
    auto [unit, watch] = StartWatchedUnit(paced);
    const fs::path file = dir_ / "line.sqlite";
    Running run = StartTool(
        RunSpec{DownloadImage({unit.DevicePath()}, PutImage(3000), {"--record", file.string()}),
                OwnState()});
    ASSERT_TRUE(watch.WaitFor(3, 20000));
    ASSERT_EQ(::kill(run.pid, SIGKILL), 0);
    EXPECT_EQ(FinishTool(run).exitStatus, 128 + SIGKILL);

    const json rows = History(file.string());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["outcome"], "unfinished");
    EXPECT_EQ(rows[0]["ended_utc"], "");
    EXPECT_EQ(rows[0]["ended_at"], "");
    EXPECT_EQ(rows[0]["frames_confirmed"], 0);
    EXPECT_EQ(rows[0]["frames_total"], 60);
    EXPECT_TRUE(rows[0]["image_xor"].is_null());
    EXPECT_EQ(rows[0]["run_id"].get<std::string>().size(), 36u);
    const Outcome table = RunTool(RunSpec{{"history", "--record", file.string()}, OwnState()});
    EXPECT_THAT(table.out, HasSubstr("unfinished"));
}

// A disk full before the start refuses the attempt with nothing sent; one that fills during it
// leaves the row unfinished and the run says so with exit status 3.
TEST_F(RecordFault, AFullDiskRefusesTheStartAndMarksAnIncompleteRow) {
    SmallDisk disk(dir_ / "disk");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here (not root?): the full-disk case needs one";
    }
    const fs::path file = dir_ / "disk" / "line.sqlite";
    const fs::path image = PutImage(1000);
    auto& unit = StartUnit();

    // The record is made and holds a row, then the disk fills: its start row has no room.
    ASSERT_EQ(
        RunTool(RunSpec{DownloadImage({"/nonexistent/tty"}, image, {"--record", file.string()}),
                        OwnState()})
            .exitStatus,
        1);
    disk.Fill();
    const Outcome refused = RunTool(
        RunSpec{DownloadImage({unit.DevicePath()}, image, {"--record", file.string(), "--json"}),
                OwnState()});
    EXPECT_EQ(refused.exitStatus, 2) << refused.err;
    EXPECT_THAT(refused.err + refused.out, HasSubstr("nothing was sent"));
    EXPECT_THAT(refused.err + refused.out, HasSubstr("full"));
    disk.Free();
    ConfirmNothingCameBefore(unit, image);

    // Room for the start row, none left for its completion.
    vx7r::UnitOptions paced;
    paced.pace = true;
    auto [pacedUnit, watch] = StartWatchedUnit(paced);
    Running run = StartTool(RunSpec{
        DownloadImage({pacedUnit.DevicePath()}, image, {"--record", file.string(), "--json"}),
        OwnState()});
    ASSERT_TRUE(watch.WaitFor(2, 20000));
    disk.Fill();
    const Outcome o = FinishTool(run);
    disk.Free();
    EXPECT_EQ(o.exitStatus, 3) << o.err;
    const auto outcomes = Events(JsonLines(o.out), "outcome");
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0]["confirmed"], true);
    EXPECT_EQ(outcomes[0]["recorded"], false);
    const json rows = History(file.string());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["outcome"], "unfinished") << "a row that could not be completed stays so";
}

// Another program holding the file in an exclusive transaction: the attempt waits a few seconds,
// then is refused with the cause named and nothing sent; the other program's work is untouched.
TEST_F(RecordFault, ALockedFileRefusesTheAttemptAfterAFewSeconds) {
    const fs::path file = dir_ / "line.sqlite";
    const fs::path image = PutImage(200);
    ASSERT_EQ(
        RunTool(RunSpec{DownloadImage({"/nonexistent/tty"}, image, {"--record", file.string()}),
                        OwnState()})
            .exitStatus,
        1);
    auto& unit = StartUnit();
    SecondProgram holder({"sqlite3", file.string()},
                         "BEGIN EXCLUSIVE; UPDATE downloads SET station = 'held';");
    ASSERT_TRUE(holder.Holding()) << "sqlite3 did not take the lock";
    const auto start = Clock::now();
    const Outcome o = RunTool(RunSpec{
        DownloadImage({unit.DevicePath()}, image, {"--record", file.string()}), OwnState()});
    const auto waited = Clock::now() - start;
    EXPECT_EQ(o.exitStatus, 2) << o.err;
    EXPECT_THAT(o.err, HasSubstr("locked"));
    EXPECT_LT(waited, std::chrono::seconds(8)) << "gave up only after the other program";
    holder.Release();
    ConfirmNothingCameBefore(unit, image);
    EXPECT_EQ(History(file.string()).size(), 1u) << "the refused attempt left a row";
}

// A server whose table another session locks while a unit is written: the end of the download
// waits at most 15 s on it, the row goes to the station's file, and one push delivers it; a
// signal during that wait ends the program at once, and a confirmed unit is not reported
// interrupted.
TEST_F(RecordFault, AStalledServerIsGivenUpAndTheRowArrivesAfterAPush) {
    PgServer server;
    if (std::string why; !server.Start(&why)) {
        GTEST_SKIP() << "no PostgreSQL server to test against: " << why;
    }
    const fs::path image = PutImage(1500);  // long enough on the line to lock the table meanwhile
    const std::vector<std::string> env = OwnState({"ROMLIFT_RECORD=" + server.Uri()});
    const std::vector<std::string> psql = {(PgServer::FindBin() / "psql").string(), "-qAt",
                                           server.Uri()};

    for (const bool signalled : {false, true}) {
        vx7r::UnitOptions paced;
        paced.pace = true;
        auto [unit, watch] = StartWatchedUnit(paced);
        Running run =
            StartTool(RunSpec{DownloadImage({unit.DevicePath()}, image, {"--json"}), env});
        ASSERT_TRUE(watch.WaitFor(2, 20000));
        SecondProgram locker(psql, "BEGIN; LOCK TABLE downloads IN ACCESS EXCLUSIVE MODE;");
        ASSERT_TRUE(locker.Holding()) << "psql did not take the lock";
        ASSERT_TRUE(unit.WaitForAttempts(1, 20000));
        const auto confirmed = Clock::now();
        if (signalled) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            ASSERT_EQ(::kill(run.pid, SIGTERM), 0);
        }
        const Outcome o = FinishTool(run);
        const auto waited = Clock::now() - confirmed;
        locker.Release();
        EXPECT_EQ(o.exitStatus, 0) << o.err;
        EXPECT_LT(waited, signalled ? std::chrono::seconds(3) : std::chrono::seconds(15));
        EXPECT_THAT(o.out, HasSubstr("history --push"));  // a note event: the row went local
        const auto outcomes = Events(JsonLines(o.out), "outcome");
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0]["confirmed"], true);
        EXPECT_EQ(outcomes[0]["interrupted"], false);
    }
    // The station's file holds both rows complete (a statement given up may still have
    // completed on the server once the lock went: the same values either way).
    const Outcome local = RunTool(RunSpec{{"history", "--json"}, OwnState()});
    ASSERT_EQ(json::parse(local.out).size(), 2u) << local.err;
    for (const json& r : json::parse(local.out)) {
        EXPECT_EQ(r["outcome"], "confirmed");
    }

    const Outcome push = RunTool(RunSpec{{"history", "--push", "--record", server.Uri()}, env});
    EXPECT_EQ(push.exitStatus, 0) << push.err;
    const json after = History(server.Uri());
    ASSERT_EQ(after.size(), 2u);
    for (const json& r : after) {
        EXPECT_EQ(r["outcome"], "confirmed");
        EXPECT_EQ(r["ended_at"], "done");
    }
}

// The station's policy: where rows go and that they are required; a flag may not weaken it,
// and a policy that cannot be read stops the download before any port is opened.
TEST_F(RecordFault, APolicyCannotBeWeakenedByAFlag) {
    const fs::path image = PutImage(100);
    const fs::path plant = dir_ / "plant.sqlite";
    const fs::path policy = dir_ / "policy.conf";
    struct Case {
        std::string policy;
        std::vector<std::string> flags;
        int exitStatus;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"record = " + plant.string() + "\n",
         {"--record", (dir_ / "mine.sqlite").string()},
         2,
         "keeps the download record elsewhere"},
        {"record = " + plant.string() + "\n", {"--no-record"}, 2, "requires the download record"},
        {"require_record = yes\n", {"--no-record"}, 2, "requires the download record"},
        {"require_record = perhaps\n", {}, 2, "must be yes or no"},
        {"records = " + plant.string() + "\n", {}, 2, "unknown key"},
        {"# the plant's record\nrecord = " + plant.string() + "\n", {}, 0, ""},
    };
    auto& unit = StartUnit();
    for (const Case& c : cases) {
        std::ofstream(policy) << c.policy;
        const Outcome o = RunTool(RunSpec{DownloadImage({unit.DevicePath()}, image, c.flags),
                                          OwnState({"ROMLIFT_POLICY=" + policy.string()})});
        EXPECT_EQ(o.exitStatus, c.exitStatus) << c.policy << o.err;
        EXPECT_THAT(o.err, HasSubstr(c.said));
    }
    ASSERT_TRUE(unit.WaitForAttempts(1, 10000));
    EXPECT_EQ(unit.Attempts().size(), 1u) << "a refused policy let bytes through";
    EXPECT_EQ(History(plant.string()).size(), 1u);
    EXPECT_FALSE(fs::exists(DefaultRecord()));
}

}  // namespace
}  // namespace romlift::testing
