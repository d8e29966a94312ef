// Who else has a serial device open: the programs a "port busy" message can name.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace romlift::ports {

struct Holder {
    pid_t pid = 0;
    std::string program;  // the process's command name (comm), "" when it could not be read
};

// Processes other than `self` that hold `device`: those with an flock on its node (from
// <procRoot>/locks, readable by anyone) and those with a descriptor on it (from
// <procRoot>/<pid>/fd, readable only for one's own processes unless root). Ordered by PID, each
// once. Empty when none can be seen; never fails otherwise.
std::vector<Holder> FindHolders(const std::string& device, pid_t self,
                                const std::string& procRoot = "/proc");

}  // namespace romlift::ports
