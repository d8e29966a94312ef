// Services of a Linux desktop that get in a serial line's way, found by their running processes
// (/proc/<pid>/comm, which every user may read) and by the files their packages install.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace romlift::ports {

// The PIDs of running processes whose command name is `name` (the kernel keeps its first 15
// characters), in ascending order; empty when none, or when <procRoot> cannot be read.
std::vector<pid_t> ProcessesNamed(const std::string& name, const std::string& procRoot = "/proc");

// brltty's program or its udev rules (which start it when a listed USB device is plugged in)
// are on this machine.
bool BrlttyInstalled();

}  // namespace romlift::ports
