// The unit's end of the serial line: a pty master, with the slave held open by the unit too so
// that the master never sees a hang-up while no host holds the line; a symbolic link kept pointing
// at the current slave; hang-ups (the master closed, the host's reads and writes fail with EIO as
// on a pulled USB adapter) and the return on a new pty.
#pragma once

#include <termios.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace vx7r {

// Empty when the line is raw 9600 8N1; else what is wrong with it.
std::string LineProblems(const termios& t);

class PtyLine {
  public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;

    // linkPath: "" for none. returnAfterMs: see UnitOptions::returnAfterMs.
    PtyLine(std::string linkPath, int returnAfterMs)
        : link_(std::move(linkPath)), returnAfterMs_(returnAfterMs) {}
    ~PtyLine() { Close(); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Makes the first pty and points the link at it. False with *error set, nothing left open;
    // a link path that exists and is not a symbolic link is refused and left alone.
    bool Open(std::string* error);
    // Closes everything and removes the link (only when it is a symbolic link: never a file
    // that is not ours). Safe to call twice.
    void Close();

    int Master() const { return master_; }  // -1 while the unit is gone
    int Slave() const { return slave_; }
    const std::string& Path() const { return path_; }

    // Closes the master. Comes back at once on a new pty when returnAfterMs is 0, before the old
    // one is closed so the link never dangles; else the link goes and ComeBackIfDue() brings the
    // line back later. Returns the new slave path, "" when gone. Trouble goes to `log`.
    std::string HangUp(const Log& log);
    // When the line is gone and its time has come: a new pty (true; Path() names it).
    bool ComeBackIfDue(const Log& log);
    // When a gone line comes back; none while up or when it stays gone.
    std::optional<Clock::time_point> ReturnAt() const { return returnAt_; }

    // Bytes the host has not read yet, -1 when unknown.
    int QueuedForHost() const;
    // Drops the unit's own slave descriptor: the master then hangs up when the host's last one
    // closes.
    void ReleaseSlave();

  private:
    struct Pty {
        int master = -1;
        int slave = -1;
        std::string path;
    };
    static bool MakePty(Pty* pty, std::string* error);
    static void ClosePty(Pty& pty);
    bool PointLink(const std::string& target, std::string* error) const;

    std::string link_;
    int returnAfterMs_;
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::optional<Clock::time_point> returnAt_;
};

}  // namespace vx7r
