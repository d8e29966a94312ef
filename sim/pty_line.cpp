#include "pty_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace vx7r {
namespace {

std::string Errno(const std::string& what) {
    return what + ": " + strerror(errno);
}

bool IsSymlink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

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

void PtyLine::ClosePty(Pty& pty) {
    for (int* fd : {&pty.master, &pty.slave}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool PtyLine::MakePty(Pty* pty, std::string* error) {
    Pty made;
    auto fail = [&](const std::string& why) {
        *error = why;
        ClosePty(made);
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
    *pty = std::move(made);
    return true;
}

// Points the link at `target` in one rename, so a host opening the link sees the old device or
// the new one, never none.
bool PtyLine::PointLink(const std::string& target, std::string* error) const {
    if (link_.empty()) {
        return true;
    }
    const std::string fresh = link_ + ".new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0) {
        *error = Errno(fresh);
        return false;
    }
    if (rename(fresh.c_str(), link_.c_str()) != 0) {
        *error = Errno(link_);
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

bool PtyLine::Open(std::string* error) {
    if (!link_.empty() && access(link_.c_str(), F_OK) == 0 && !IsSymlink(link_)) {
        *error = link_ + " exists and is not a symbolic link; not replaced";
        return false;
    }
    Pty pty;
    if (!MakePty(&pty, error)) {
        return false;
    }
    master_ = pty.master;
    slave_ = pty.slave;
    path_ = pty.path;
    if (!PointLink(path_, error)) {
        Close();
        return false;
    }
    return true;
}

void PtyLine::Close() {
    Pty old{master_, slave_, {}};
    ClosePty(old);
    master_ = slave_ = -1;
    if (!link_.empty() && IsSymlink(link_)) {
        unlink(link_.c_str());
    }
}

std::string PtyLine::HangUp(const Log& log) {
    Pty next;
    std::string error;
    const bool back = returnAfterMs_ == 0 && MakePty(&next, &error);
    // cppcheck-suppress knownConditionTrueFalse ; MakePty writes the error through its pointer
    if (!error.empty()) {
        log("cannot make a new pty: " + error);
    }
    // The new pty exists before the old one goes, so the link never names a freed slot.
    if (back && !PointLink(next.path, &error)) {
        log("cannot point the link: " + error);
    } else if (!back && !link_.empty()) {
        unlink(link_.c_str());
    }
    Pty old{master_, slave_, {}};
    ClosePty(old);
    master_ = next.master;
    slave_ = next.slave;
    path_ = next.path;
    returnAt_.reset();
    if (!back && returnAfterMs_ >= 0) {
        // A pty that could not be made is tried again a second later.
        returnAt_ =
            Clock::now() + std::chrono::milliseconds(returnAfterMs_ > 0 ? returnAfterMs_ : 1000);
    }
    return path_;
}

bool PtyLine::ComeBackIfDue(const Log& log) {
    if (master_ >= 0 || !returnAt_ || Clock::now() < *returnAt_) {
        return false;
    }
    Pty next;
    std::string error;
    if (!MakePty(&next, &error)) {
        log("cannot make a new pty: " + error);
        returnAt_ = Clock::now() + std::chrono::milliseconds(1000);
        return false;
    }
    if (!PointLink(next.path, &error)) {
        log("cannot point the link: " + error);
    }
    master_ = next.master;
    slave_ = next.slave;
    path_ = next.path;
    returnAt_.reset();
    return true;
}

int PtyLine::QueuedForHost() const {
    // The pty hands written bytes to the slave's queue from a kernel worker, which a loaded
    // machine can hold up for longer than the unit waits to see them; a poll of the slave makes
    // the kernel hand them on first, so the count below includes them.
    pollfd p{slave_, POLLIN, 0};
    (void)poll(&p, 1, 0);
    int n = 0;
    return ioctl(slave_, FIONREAD, &n) == 0 ? n : -1;
}

void PtyLine::ReleaseSlave() {
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}

}  // namespace vx7r
