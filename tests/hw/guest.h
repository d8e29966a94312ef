// A QEMU guest running the Debian kernel's own serial drivers: the 8250 driver on an emulated
// 16550A UART (guest /dev/ttyS1) and ftdi_sio on emulated FTDI adapters hanging off an xHCI
// controller. Each line's host end is a pty path given by the caller (a virtual unit's slave).
// The guest's shell is reached through a virtio console, QEMU's monitor through a unix socket.
//
// Every wait has a deadline; the destructor kills QEMU on every path.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace romlift::hw {

// The full path of `program` found on $PATH, or "".
std::string FindOnPath(const std::string& program);

struct Adapter {
    std::string id;      // QEMU device id, e.g. "usA": what Pull and Plug name
    std::string serial;  // the adapter's USB serial number, e.g. "RLA1"
    std::string pty;     // host end of its line
};

struct GuestSetup {
    std::filesystem::path kernel;
    std::filesystem::path initramfs;
    std::filesystem::path dir;      // sockets and logs go here
    std::string uartPty;            // host end of the guest's ttyS1
    std::vector<Adapter> adapters;  // plugged in at boot into xHCI ports 1, 2, ...
};

struct Result {
    bool finished = false;  // the command ended before its deadline
    int status = -1;        // its exit status
    std::string output;     // standard output and error, interleaved
};

class Guest {
  public:
    // Starts QEMU and waits (at most timeoutMs) until the guest's shell is ready. Null with
    // *error set (QEMU's own messages included) when it is not.
    static std::unique_ptr<Guest> Boot(const GuestSetup& setup, int timeoutMs, std::string* error);
    ~Guest();
    Guest(const Guest&) = delete;
    Guest& operator=(const Guest&) = delete;

    // Runs one shell command line (no newline in it) with standard input from /dev/null.
    Result Run(const std::string& command, int timeoutMs = 60000);

    // One monitor command; its reply. "" with the reason in *error when none came in time.
    std::string Monitor(const std::string& command, std::string* error, int timeoutMs = 10000);
    // Pulls the adapter out of its socket; plugs it (back) into xHCI port `port`.
    bool Pull(const Adapter& adapter, std::string* error);
    bool Plug(const Adapter& adapter, int port, std::string* error);

    // What the guest kernel wrote on its console (ttyS0), for a failure report.
    std::string ConsoleLog() const;

  private:
    Guest() = default;
    bool ReadUntil(int fd, std::string& buffer, const std::string& end, int timeoutMs);

    pid_t qemu_ = -1;
    int shell_ = -1;
    int monitor_ = -1;
    std::string shellBuffer_;
    std::string monitorBuffer_;
    std::filesystem::path consoleLog_;
    std::vector<Adapter> adapters_;
    unsigned sequence_ = 0;
};

}  // namespace romlift::hw
