#include "line_trace.h"

#include <cerrno>
#include <cstring>

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

void TraceFile::Write(const std::string& port, const char* direction, LinePhase phase,
                      const uint8_t* b, size_t n) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0_).count();
    std::string line;
    char head[64];
    std::snprintf(head, sizeof head, "%.3f ", ms);
    line += head;
    line += port;
    line += ' ';
    line += direction;
    line += ' ';
    line += LinePhaseName(phase);
    for (size_t i = 0; i < n; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b[i]);
        line += hex;
    }
    line += '\n';
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
