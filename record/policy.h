// The station's rules, set by its administrator in one file: /etc/romlift/policy.conf
// (ROMLIFT_POLICY names another, for tests). `key = value` lines, `#` comments. Flags and the
// environment may make a rule stricter, never weaker.
#pragma once

#include <optional>
#include <string>

namespace romlift::record {

struct Policy {
    std::string path;            // the file read; "" when there is none
    std::string record;          // record = URI-or-FILE: where every row must go ("" not set)
    bool requireRecord = false;  // require_record = yes: no unit is written without its row
    std::string release;         // release = FILE: the release list
    std::string releaseKeys;     // release_keys = FILE-or-FOLDER: trusted public keys
    bool requireRelease = false;
    bool requireUnitSerial = false;
};

// The policy file's path: $ROMLIFT_POLICY when set and not empty, else /etc/romlift/policy.conf.
std::string PolicyPath();

// Reads the policy at `path`. A missing file is no policy (true, all rules off). A file that is
// there but cannot be read, or holds a line that is not a known `key = value` with a valid value,
// is false with a sentence naming the file and line: a station must not run on half its rules.
bool LoadPolicy(const std::string& path, Policy* policy, std::string* error);

// Where an attempt's rows go, after the policy has had its say.
struct RecordChoice {
    bool none = false;      // --no-record, allowed only when nothing requires a record
    std::string target;     // as OpenRecordSink takes it ("" the station's default file)
    bool required = false;  // named by a flag, the environment or the policy: never skipped
};

// `given` is --record (or "" for none given), `env` ROMLIFT_RECORD (nullopt when unset or empty).
// nullopt with the reason when the flags would weaken the policy: another record than the one
// it names, or no record where it requires one.
std::optional<RecordChoice> ChooseRecord(const Policy& policy, const std::string& given,
                                         const std::optional<std::string>& env, bool noRecord,
                                         bool requireRecord, std::string* error);

// ROMLIFT_RECORD when set and not empty.
std::optional<std::string> RecordFromEnvironment();

}  // namespace romlift::record
