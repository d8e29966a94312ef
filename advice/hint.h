// Why an attempt could not start or failed, in words a technician can act on: romlift-cli prints
// it after the status text, the Download dialog shows it on its advice line. The status texts
// stay the unit's own; this is the program's word beside them.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "port_advice.h"

namespace romlift::advice {

using Json = nlohmann::ordered_json;

// A stable kind for scripts, one line for people, and the facts behind it (device, errno,
// holders; path).
struct Hint {
    std::string kind;
    std::string text;  // one sentence, without a program's name before it
    Json facts = Json::object();
};

Hint HintFromPortAdvice(const PortAdvice& advice);

}  // namespace romlift::advice
