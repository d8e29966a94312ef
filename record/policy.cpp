#include "policy.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace romlift::record {

namespace {

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) {
        return {};
    }
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

std::optional<bool> YesNo(const std::string& v) {
    if (v == "yes" || v == "true" || v == "1") {
        return true;
    }
    if (v == "no" || v == "false" || v == "0") {
        return false;
    }
    return std::nullopt;
}

}  // namespace

std::string PolicyPath() {
    const char* env = std::getenv("ROMLIFT_POLICY");
    return env != nullptr && env[0] != '\0' ? std::string(env)
                                            : std::string("/etc/romlift/policy.conf");
}

bool LoadPolicy(const std::string& path, Policy* policy, std::string* error) {
    *policy = Policy{};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return true;
        }
        *error = path + ": cannot read the station's policy (" + std::strerror(errno) +
                 "); nothing is sent until it can be read";
        return false;
    }
    policy->path = path;
    std::string line;
    int number = 0;
    auto bad = [&](const std::string& why) {
        *error = path + ":" + std::to_string(number) + ": " + why +
                 "; nothing is sent until the station's policy is mended";
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            return bad("not a `key = value` line");
        }
        const std::string key = Trim(text.substr(0, eq));
        const std::string value = Trim(text.substr(eq + 1));
        auto flag = [&](bool* out) {
            const auto v = YesNo(value);
            if (!v) {
                std::string why = key;
                why += " must be yes or no, not \"";
                why += value;
                why += '"';
                return bad(why);
            }
            *out = *v;
            return true;
        };
        auto word = [&](std::string* out) {
            if (value.empty()) {
                return bad(key + " has no value");
            }
            *out = value;
            return true;
        };
        bool ok = true;
        if (key == "record") {
            ok = word(&policy->record);
        } else if (key == "require_record") {
            ok = flag(&policy->requireRecord);
        } else if (key == "release") {
            ok = word(&policy->release);
        } else if (key == "release_keys") {
            ok = word(&policy->releaseKeys);
        } else if (key == "require_release") {
            ok = flag(&policy->requireRelease);
        } else if (key == "require_unit_serial") {
            ok = flag(&policy->requireUnitSerial);
        } else {
            return bad("unknown key \"" + key + "\"");
        }
        if (!ok) {
            return false;
        }
    }
    if (in.bad()) {
        return bad("cannot read the station's policy");
    }
    return true;
}

std::optional<std::string> RecordFromEnvironment() {
    const char* env = std::getenv("ROMLIFT_RECORD");
    if (env == nullptr || env[0] == '\0') {
        return std::nullopt;
    }
    return std::string(env);
}

std::optional<RecordChoice> ChooseRecord(const Policy& policy, const std::string& given,
                                         const std::optional<std::string>& env, bool noRecord,
                                         bool requireRecord, std::string* error) {
    RecordChoice choice;
    const bool policyNames = !policy.record.empty();
    const bool policyRequires = policyNames || policy.requireRecord;
    if (noRecord) {
        if (policyRequires) {
            *error = "--no-record: the station's policy (" + policy.path +
                     ") requires the download record";
            return std::nullopt;
        }
        if (requireRecord) {
            *error = "--no-record and --require-record contradict each other";
            return std::nullopt;
        }
        choice.none = true;
        return choice;
    }
    const std::string named = !given.empty() ? given : env.value_or(std::string());
    if (policyNames) {
        if (!named.empty() && named != policy.record) {
            *error = std::string(!given.empty() ? "--record" : "ROMLIFT_RECORD") +
                     ": the station's policy (" + policy.path +
                     ") keeps the download record elsewhere; a flag cannot move it";
            return std::nullopt;
        }
        choice.target = policy.record;
    } else {
        choice.target = named;
    }
    choice.required = policyRequires || requireRecord || !named.empty();
    return choice;
}

}  // namespace romlift::record
