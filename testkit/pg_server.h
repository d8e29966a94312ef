// A throw-away PostgreSQL server for the record's tests: initdb and pg_ctl from Debian's
// postgresql package, in a scratch folder, listening only on a Unix socket there. PostgreSQL
// refuses to run as root, so as root it runs as nobody.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_dir.h"

extern char** environ;

namespace romlift::testing {

class PgServer {
  public:
    // The newest /usr/lib/postgresql/N/bin with initdb and pg_ctl; "" when there is none.
    static std::filesystem::path FindBin() {
        std::vector<std::filesystem::path> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            const auto bin = e.path() / "bin";
            if (::access((bin / "initdb").c_str(), X_OK) == 0 &&
                ::access((bin / "pg_ctl").c_str(), X_OK) == 0) {
                found.push_back(bin);
            }
        }
        std::sort(found.begin(), found.end());
        return found.empty() ? std::filesystem::path() : found.back();
    }

    // `durable`: fsync as a real server does (for measuring); the tests go without it.
    explicit PgServer(bool durable = false) : durable_(durable) {}
    ~PgServer() {
        if (running_) {
            Stop();
        }
    }

    // Makes the cluster and starts it; false with the reason in `why`.
    bool Start(std::string* why) {
        bin_ = FindBin();
        if (bin_.empty()) {
            *why = "no PostgreSQL server binaries under /usr/lib/postgresql";
            return false;
        }
        root_ = scratch_.Path() / "pg";
        std::filesystem::create_directories(root_);
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr) {
                *why = "no user nobody to run the server as";
                return false;
            }
            uid_ = nobody->pw_uid;
            gid_ = nobody->pw_gid;
            ::chmod(scratch_.Path().c_str(), 0711);
            if (::chown(root_.c_str(), uid_, gid_) != 0) {
                *why = "cannot hand the server's folder to nobody";
                return false;
            }
        }
        if (Run({(bin_ / "initdb").string(), "-D", Data(), "-U", "romlift", "-A", "trust", "-N",
                 "-E", "UTF8", "--locale=C"}) != 0) {
            *why = "initdb failed; its output is in " + (root_ / "log").string();
            return false;
        }
        return Resume(why);
    }

    // Starts the stopped server again on the same data.
    bool Resume(std::string* why) {
        // Without fsync the tests go faster; a measurement wants the commits a real server makes.
        const std::string options = "-c listen_addresses='' -k " + root_.string() +
                                    (durable_ ? "" : " -c fsync=off") + " -c max_connections=40";
        if (Run({(bin_ / "pg_ctl").string(), "-D", Data(), "-w", "-t", "60", "-l",
                 (root_ / "server.log").string(), "-o", options, "start"}) != 0) {
            *why = "pg_ctl start failed; see " + (root_ / "server.log").string();
            return false;
        }
        running_ = true;
        return true;
    }

    // Stops at once, cutting connections off as a server that goes away would.
    void Stop() {
        Run({(bin_ / "pg_ctl").string(), "-D", Data(), "-w", "-m", "immediate", "stop"});
        running_ = false;
    }

    std::string Uri() const {
        return "postgresql:///postgres?host=" + root_.string() + "&user=romlift";
    }
    // The same server as a libpq keyword string.
    std::string Keywords() const {
        return "host='" + root_.string() + "' dbname=postgres user=romlift";
    }

  private:
    std::string Data() const { return (root_ / "data").string(); }

    // Runs argv as the server's user, its output appended to <root>/log; the exit status.
    int Run(const std::vector<std::string>& argv) const {
        std::vector<std::string> full;
        if (uid_ != 0) {
            full = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_),
                    "--regid=" + std::to_string(gid_), "--clear-groups"};
        }
        full.insert(full.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (auto& a : full) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = (root_ / "log").string();
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0666);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addchdir_np(&actions, root_.c_str());
        pid_t pid = 0;
        const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            return -1;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ScratchDir scratch_;
    std::filesystem::path bin_;
    std::filesystem::path root_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool durable_ = false;
    bool running_ = false;
};

}  // namespace romlift::testing
