// What went wrong with the serial device in the last attempt, for front ends that want to say
// more than the status line does (the command line's advice on permissions, a busy or pulled
// port). Recording it never changes a status text or the course of a download.
#pragma once

#include <string>

#include "serial_line.h"

namespace romlift {

struct PortFault {
    enum class Kind {
        None,
        OpenFailed,  // the device did not open or take its settings: see openError and err
        HungUp,      // the device went away (hang-up, EIO) while it was open
        NoDevice,    // COMn names no device now: see detail
    };
    Kind kind = Kind::None;
    SerialLine::OpenError openError = SerialLine::OpenError::None;  // for OpenFailed
    int err = 0;         // errno of the failing step: EACCES, ENOENT, EBUSY, EWOULDBLOCK, EIO, ...
    std::string device;  // the path that was opened, e.g. /dev/ttyS2 for COM3
    std::string detail;  // for NoDevice: why COMn names nothing (the COM map's words)
};

}  // namespace romlift
