#include "line_trace.h"

#include <cerrno>
#include <cstring>
#include <span>

#include "hex.h"

namespace romlift::cli {

bool TraceFile::Open(const std::string& path, std::string* error) {
    f_ = std::fopen(path.c_str(), "we");
    if (f_ == nullptr) {
        *error = "cannot write the trace file " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    if (std::fputs("# ms port direction phase bytes(hex)\n", f_) == EOF && writeErrno_ == 0) {
        writeErrno_ = errno;
    }
    return true;
}

TraceFile::~TraceFile() {
    std::string ignored;
    Close(&ignored);
}

bool TraceFile::Close(std::string* error) {
    std::lock_guard lock(mu_);
    if (f_ == nullptr) {
        return true;
    }
    if (std::fclose(f_) != 0 && writeErrno_ == 0) {
        writeErrno_ = errno;
    }
    f_ = nullptr;
    if (writeErrno_ == 0) {
        return true;
    }
    *error = "the trace file " + path_ + " is incomplete: " + std::strerror(writeErrno_);
    return false;
}

std::string LowLatencyText(SerialPort::LowLatency mode, int err) {
    using L = SerialPort::LowLatency;
    const std::string why = err != 0 ? std::string(" (") + std::strerror(err) + ")" : "";
    switch (mode) {
        case L::Set:
            return "low latency on (ASYNC_LOW_LATENCY) while the port is open; its flags as "
                   "found come back when it closes";
        case L::AlreadyOn:
            return "low latency was already on; left so";
        case L::Unsupported:
            return "low latency not available: the driver keeps no such flag" + why;
        case L::Refused:
            return "low latency could not be set" + why + "; the download goes on without it";
        case L::Off:
            break;
    }
    return "low latency off";
}

void PortTrace::Opened(const SerialLine& port) {
    if (latencySaid_) {
        return;
    }
    latencySaid_ = true;
    file_.Note(port_, LowLatencyText(port.LowLatencyMode(), port.LowLatencyErrno()));
}

void TraceFile::Note(const std::string& port, const std::string& text) {
    char head[64];
    std::snprintf(head, sizeof head, "# %.3f ", Ms());
    const std::string line = head + port + " " + text + "\n";
    Put(line);
}

void TraceFile::Write(const std::string& port, const char* direction, LinePhase phase,
                      const uint8_t* b, size_t n) {
    std::string line;
    char head[64];
    std::snprintf(head, sizeof head, "%.3f ", Ms());
    line += head;
    line += port;
    line += ' ';
    line += direction;
    line += ' ';
    line += LinePhaseName(phase);
    if (n > 0) {
        line += ' ';
        line += Hex(std::span(b, n), HexCase::Upper, ' ');
    }
    line += '\n';
    Put(line);
}

double TraceFile::Ms() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0_)
        .count();
}

void TraceFile::Put(const std::string& line) {
    std::lock_guard lock(mu_);
    if (f_ != nullptr) {
        const bool ok =
            std::fwrite(line.data(), 1, line.size(), f_) == line.size() && std::fflush(f_) == 0;
        if (!ok && writeErrno_ == 0) {
            writeErrno_ = errno;
        }
    }
}

}  // namespace romlift::cli
