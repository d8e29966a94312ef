#include "guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace romlift::hw {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int ConnectUnix(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

bool SendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> QemuArguments(const GuestSetup& s) {
    const std::string dir = s.dir.string();
    std::vector<std::string> args = {
        "qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-display", "none", "-nodefaults",
        "-no-reboot", "-kernel", s.kernel.string(), "-initrd", s.initramfs.string(), "-append",
        "console=ttyS0 quiet panic=-1",
        // ttyS0: a UART that only carries the kernel's console, into a file.
        "-serial", "file:" + dir + "/console.log",
        // QEMU waits for the shell socket's client before the guest starts: nothing is lost.
        "-device", "virtio-serial-pci", "-chardev",
        "socket,id=shell,path=" + dir + "/shell.sock,server=on,wait=on", "-device",
        "virtconsole,chardev=shell", "-monitor", "unix:" + dir + "/monitor.sock,server=on,wait=off",
        "-chardev", "serial,id=uart1,path=" + s.uartPty, "-device",
        "isa-serial,chardev=uart1,index=1", "-device", "qemu-xhci,id=xhci"};
    int port = 1;
    for (const Adapter& a : s.adapters) {
        args.insert(args.end(),
                    {"-chardev", "serial,id=line-" + a.id + ",path=" + a.pty, "-device",
                     "usb-serial,chardev=line-" + a.id + ",id=" + a.id +
                         ",bus=xhci.0,port=" + std::to_string(port++) + ",serial=" + a.serial});
    }
    return args;
}

}  // namespace

std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return "";
}

std::unique_ptr<Guest> Guest::Boot(const GuestSetup& setup, int timeoutMs, std::string* error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_ptr<Guest> guest(new Guest);
    guest->consoleLog_ = setup.dir / "console.log";
    guest->adapters_ = setup.adapters;
    const std::filesystem::path qemuLog = setup.dir / "qemu.log";
    auto fail = [&](const std::string& why) {
        *error =
            why + "\nQEMU said:\n" + FileText(qemuLog) + "\nguest console:\n" + guest->ConsoleLog();
        return nullptr;
    };

    // Everything the child needs is made before the fork: the unit threads are running.
    const std::string qemu = FindOnPath("qemu-system-x86_64");
    std::vector<std::string> args = QemuArguments(setup);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int log = ::open(qemuLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    guest->qemu_ = ::fork();
    if (guest->qemu_ == 0) {
        // QEMU must not outlive a test process that dies without running its destructors.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execv(qemu.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(log);
    if (guest->qemu_ < 0) {
        return fail(std::string("fork: ") + std::strerror(errno));
    }

    while ((guest->shell_ = ConnectUnix(setup.dir / "shell.sock")) < 0) {
        if (MsLeft(deadline) == 0 || ::waitpid(guest->qemu_, nullptr, WNOHANG) != 0) {
            guest->qemu_ = -1;  // reaped, or left to the destructor's kill
            return fail("QEMU did not open the shell socket");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!guest->ReadUntil(guest->shell_, guest->shellBuffer_, "guest: ready\n", MsLeft(deadline))) {
        return fail("the guest's shell did not come up");
    }
    guest->shellBuffer_.clear();
    guest->monitor_ = ConnectUnix(setup.dir / "monitor.sock");
    if (guest->monitor_ < 0 ||
        !guest->ReadUntil(guest->monitor_, guest->monitorBuffer_, "(qemu) ", MsLeft(deadline))) {
        return fail("QEMU's monitor did not answer");
    }
    guest->monitorBuffer_.clear();
    return guest;
}

Guest::~Guest() {
    for (int fd : {shell_, monitor_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (qemu_ > 0) {
        ::kill(qemu_, SIGKILL);
        ::waitpid(qemu_, nullptr, 0);
    }
}

bool Guest::ReadUntil(int fd, std::string& buffer, const std::string& end, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buffer.find(end) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

Result Guest::Run(const std::string& command, int timeoutMs) {
    Result result;
    // A numbered end mark, so that late output of a command that ran out of time is not taken
    // for this one's end.
    const std::string mark = "@@" + std::to_string(++sequence_) + "=";
    shellBuffer_.clear();
    if (!SendAll(shell_, "{ " + command + "\n} </dev/null 2>&1; echo \"" + mark + "$?@@\"\n")) {
        return result;
    }
    if (!ReadUntil(shell_, shellBuffer_, mark, timeoutMs) ||
        !ReadUntil(shell_, shellBuffer_, "@@\n", 2000)) {
        result.output = shellBuffer_;
        return result;
    }
    const size_t at = shellBuffer_.find(mark);
    result.finished = true;
    result.status = std::atoi(shellBuffer_.c_str() + at + mark.size());
    result.output = shellBuffer_.substr(0, at);
    return result;
}

std::string Guest::Monitor(const std::string& command, std::string* error, int timeoutMs) {
    monitorBuffer_.clear();
    if (!SendAll(monitor_, command + "\n") ||
        !ReadUntil(monitor_, monitorBuffer_, "(qemu) ", timeoutMs)) {
        *error = "no answer from QEMU's monitor to: " + command;
        return "";
    }
    return monitorBuffer_;
}

bool Guest::Pull(const Adapter& adapter, std::string* error) {
    const std::string reply = Monitor("device_del " + adapter.id, error);
    if (reply.empty() || reply.find("Error") != std::string::npos) {
        *error += reply;
        return false;
    }
    return true;
}

bool Guest::Plug(const Adapter& adapter, int port, std::string* error) {
    const std::string reply =
        Monitor("device_add usb-serial,chardev=line-" + adapter.id + ",id=" + adapter.id +
                    ",bus=xhci.0,port=" + std::to_string(port) + ",serial=" + adapter.serial,
                error);
    if (reply.empty() || reply.find("Error") != std::string::npos) {
        *error += reply;
        return false;
    }
    return true;
}

std::string Guest::ConsoleLog() const {
    return FileText(consoleLog_);
}

}  // namespace romlift::hw
