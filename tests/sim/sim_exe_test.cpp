#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "image_file.h"
#include "scratch_dir.h"
#include "sim_options.h"
#include "test_host.h"

extern char** environ;

namespace vx7r {
namespace {

using romlift::testing::ScratchDir;
using testing::Bytes;
using ::testing::HasSubstr;
using testing::Host;
using testing::Image;
using ::testing::StartsWith;

namespace fs = std::filesystem;

size_t Entries(const fs::path& dir) {
    return std::distance(fs::directory_iterator(dir), {});
}

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// vx7r-sim as a child process with its standard output and error on pipes.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args) {
        args.insert(args.begin(), VX7R_SIM_EXE);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        if (posix_spawn(&pid_, VX7R_SIM_EXE, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }
    pid_t pid() const { return pid_; }

    // The first line of standard output, without its newline.
    std::string FirstLine() { return Drain(out_, true); }

    // Exit status once standard error closes, or -1 when it stays open for 5 s.
    int Wait() {
        errors_ = Drain(err_, false);
        int status = 0;
        if (!eof_ || waitpid(pid_, &status, 0) != pid_) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& Errors() const { return errors_; }  // after Wait()

  private:
    std::string Drain(int fd, bool oneLine) {
        std::string text;
        char c;
        pollfd p{fd, POLLIN, 0};
        eof_ = false;
        while (poll(&p, 1, 5000) == 1) {
            if (read(fd, &c, 1) != 1) {
                eof_ = true;
                break;
            }
            if (oneLine && c == '\n') {
                break;
            }
            text += c;
        }
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool eof_ = false;
    std::string errors_;
};

TEST(SimExecutable, OnceServesOneDownloadAndSavesTheImage) {
    const ScratchDir dir;
    const std::string save = (dir.Path() / "image %s%n.bin").string();  // not a format string
    Sim sim({"--no-pace", "--once", "--quiet", "--save", save});
    const std::string path = sim.FirstLine();
    ASSERT_THAT(path, StartsWith("/dev/pts/"));
    const Bytes image = Image(130);
    {
        Host host(path);
        EXPECT_EQ(host.Download(image), Host::GoodAnswers(image));
    }
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_EQ(FileBytes(save), image);
    EXPECT_EQ(Entries(dir.Path()), 1u);  // no temporary file left behind
}

TEST(SimExecutable, OnceExitsOneWhenTheAttemptFailsAndLogsIt) {
    const ScratchDir dir;
    const std::string save = (dir.Path() / "image.bin").string();
    Sim sim({"--no-pace", "--once", "--type-code", "20", "--save", save});
    {
        Host host(sim.FirstLine());
        EXPECT_EQ(host.Download({1, 2}), Bytes({0x99, 0x51}));
    }
    EXPECT_EQ(sim.Wait(), 1);
    EXPECT_EQ(
        sim.Errors(),
        "attempt 1 wake-up: 99 -> 99\n"
        "attempt 1 header: 14 0A 00 18 00 00 00 00 00 00 00 01 01 00 00 00 00 00 00 00 -> 51\n");
    EXPECT_EQ(Entries(dir.Path()), 0u);
}

TEST(SimExecutable, SigtermEndsServingWithStatusZero) {
    Sim sim({"--quiet"});
    ASSERT_THAT(sim.FirstLine(), StartsWith("/dev/pts/"));
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimExecutable, UsageErrorsPrintOneLineAndExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--silent-at", "bogus"},
        {"--type-code", "70000"},
        {"--wrong-echo-at", "header"},
        {"--frobnicate"},
        {"--header-answer"},
        {"--double-at", "header:2"},
        {"--end-answer", "0x100"},
        {"--error-at-frame", "0"},
        {"--once=1"},
        {"--hang-up-at", "frob"},
        {"--hang-up-at", "header:2"},
        {"--return-after", "-5"},
        {"--random-faults", "x"},
        {"--fault-rate", "101"},
        {"--fault-frames", "0"},
        {"--link", ""},
        {"--no-slow-faults=1"},
        {"--type-code", "010"},  // not taken as octal 8
        {"--save="},             // nor the next argument taken as the file
        {"--save", "a", "--save", "b"},
        {"--random-faults", "18446744073709551616"},  // not the largest seed instead
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0]);
        Sim sim(args);
        EXPECT_EQ(sim.FirstLine(), "");
        EXPECT_EQ(sim.Wait(), 2);
        EXPECT_THAT(sim.Errors(), StartsWith("vx7r-sim: "));
        EXPECT_EQ(std::count(sim.Errors().begin(), sim.Errors().end(), '\n'), 1);
    }
    Sim unexpected({"--type-co", "9"});
    EXPECT_EQ(unexpected.Wait(), 2);
    EXPECT_THAT(unexpected.Errors(), HasSubstr("not expected: --type-co 9 "));
}

TEST(SimExecutable, VersionIsOneLineWithExitZero) {
    Sim sim({"--version"});
    EXPECT_THAT(sim.FirstLine(), ::testing::MatchesRegex("vx7r-sim [0-9]+(\\.[0-9]+)+"));
    EXPECT_EQ(sim.Wait(), 0);
}

// The fault options are parsed in the fault table; here the rest.
TEST(SimOptions, ParsesDefaultsAndPlainOptions) {
    const SimOptions defaults = testing::ParseArgs("");
    EXPECT_TRUE(defaults.unit.pace);
    EXPECT_EQ(defaults.unit.typeCode, 10);
    EXPECT_FALSE(defaults.unit.faults.silentAt || defaults.once || defaults.quiet);

    const SimOptions o = testing::ParseArgs(
        "--no-pace --type-code=510 --save out.bin --once --quiet --header-answer 81");
    EXPECT_FALSE(o.unit.pace);
    EXPECT_EQ(o.unit.typeCode, 510);
    EXPECT_EQ(o.savePath, "out.bin");
    EXPECT_TRUE(o.once && o.quiet);
    EXPECT_EQ(o.unit.faults.headerAnswer, 81);  // decimal, not hex
}

TEST(SimOptions, ParsesHangUpAndRandomFaultOptions) {
    const SimOptions o = testing::ParseArgs(
        "--hang-up-at frame:4 --hang-up-after-answer --return-after never --link /tmp/COM1 "
        "--random-faults 0x10000000001 --fault-rate=35 --fault-frames 12 --no-slow-faults");
    const Faults& f = o.unit.faults;
    EXPECT_EQ(f.hangUpAt, Phase::Frame);
    EXPECT_EQ(f.hangUpFrame, 4);
    EXPECT_TRUE(f.hangUpAfterAnswer);
    EXPECT_EQ(o.unit.returnAfterMs, -1);
    EXPECT_EQ(o.unit.linkPath, "/tmp/COM1");
    EXPECT_TRUE(f.random.enabled);
    EXPECT_EQ(f.random.seed, 0x10000000001ull);
    EXPECT_EQ(f.random.ratePercent, 35);
    EXPECT_EQ(f.random.frames, 12);
    EXPECT_FALSE(f.random.slow);

    const SimOptions d = testing::ParseArgs("--return-after 250");
    EXPECT_EQ(d.unit.returnAfterMs, 250);
    EXPECT_FALSE(d.unit.faults.random.enabled || d.unit.faults.hangUpAt);
    EXPECT_TRUE(d.unit.faults.random.slow);
}

// After a hang-up the executable prints its new device, and its link follows.
TEST(SimExecutable, PrintsTheNewDeviceAfterAHangUpAndKeepsItsLink) {
    const ScratchDir dir;
    const std::string link = (dir.Path() / "COM1").string();
    Sim sim({"--no-pace", "--quiet", "--hang-up-at", "header", "--fault-attempts", "1", "--link",
             link});
    const std::string first = sim.FirstLine();
    ASSERT_THAT(first, StartsWith("/dev/pts/"));
    EXPECT_EQ(fs::read_symlink(link).string(), first);
    {
        Host host(link);
        EXPECT_EQ(host.Download({4, 5}), Bytes({0x99}));  // the header is never answered
    }
    const std::string second = sim.FirstLine();
    ASSERT_THAT(second, StartsWith("/dev/pts/"));
    EXPECT_NE(second, first);
    EXPECT_EQ(fs::read_symlink(link).string(), second);
    {
        Host host(link);
        EXPECT_EQ(host.Download({4, 5}), Host::GoodAnswers({4, 5}));
    }
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(SaveImage, ReplacesTheFileWholeOrReportsWhyNot) {
    const ScratchDir dir;
    const std::string path = (dir.Path() / "fw.bin").string();
    std::string error;
    ASSERT_TRUE(SaveImage(path, Image(5000), &error)) << error;
    ASSERT_TRUE(SaveImage(path, {1, 2, 3}, &error)) << error;
    EXPECT_EQ(FileBytes(path), Bytes({1, 2, 3}));
    EXPECT_FALSE(SaveImage((dir.Path() / "missing/fw.bin").string(), {1}, &error));
    EXPECT_THAT(error, HasSubstr("missing/fw.bin"));
    EXPECT_THAT(error, HasSubstr("No such file"));
    EXPECT_FALSE(SaveImage(dir.Path(), {1}, &error));  // a folder is not replaced
    EXPECT_EQ(Entries(dir.Path()), 1u);
}

}  // namespace
}  // namespace vx7r
