#include "doctor.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "reporter.h"

namespace romlift::cli {

void PrintFindings(std::FILE* out, const std::vector<ports::Finding>& findings, bool json) {
    using ports::Level;
    const auto count = [&](Level level) {
        return std::count_if(findings.begin(), findings.end(),
                             [&](const ports::Finding& f) { return f.level == level; });
    };
    const long problems = count(Level::Problem);
    const long warnings = count(Level::Warning);
    for (const ports::Finding& f : findings) {
        if (json) {
            std::string level = ports::LevelName(f.level);
            std::transform(level.begin(), level.end(), level.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            WriteJsonLine(out, Json{{"event", "check"},
                                    {"level", level},
                                    {"check", f.check},
                                    {"device", f.device.empty() ? Json(nullptr) : Json(f.device)},
                                    {"text", f.text},
                                    {"fix", f.fix.empty() ? Json(nullptr) : Json(f.fix)}});
            continue;
        }
        std::fprintf(out, "%-8s %s\n", ports::LevelName(f.level), f.text.c_str());
        if (!f.fix.empty()) {
            std::fprintf(out, "%-8s fix: %s\n", "", f.fix.c_str());
        }
    }
    if (json) {
        WriteJsonLine(out,
                      Json{{"event", "summary"}, {"problems", problems}, {"warnings", warnings}});
        return;
    }
    std::fprintf(out, "%ld problem%s, %ld warning%s\n", problems, problems == 1 ? "" : "s",
                 warnings, warnings == 1 ? "" : "s");
    std::fflush(out);
}

int RunDoctor(bool json) {
    ports::ComMap map(ports::PortsPaths::ForThisProcess());
    const std::vector<ports::Finding> findings = ports::Examine(map);
    PrintFindings(stdout, findings, json);
    const bool problem = std::any_of(findings.begin(), findings.end(), [](const ports::Finding& f) {
        return f.level == ports::Level::Problem;
    });
    return problem ? 1 : 0;
}

}  // namespace romlift::cli
