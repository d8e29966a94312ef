#include "listings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "models.h"
#include "port_advice.h"
#include "reporter.h"

namespace romlift::cli {

namespace fs = std::filesystem;
using ports::AccessFacts;
using ports::GatherAccessFacts;

void PrintModels(std::FILE* out) {
    std::fprintf(out, "%-4s %-18s %-7s %s\n", "row", "display name", "prefix", "type code");
    int row = 0;
    for (const UnitModel& m : Models()) {
        std::fprintf(out, "%-4d %-18.*s %-7.*s %u\n", row++, static_cast<int>(m.displayName.size()),
                     m.displayName.data(), static_cast<int>(m.prefix.size()), m.prefix.data(), m.typeCode);
    }
}

namespace {

// "no access for this user (group dialout)" when this user may not open `device` for reading
// and writing; "" when it may, or when that cannot be told.
std::string AccessNote(const std::string& device) {
    if (::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) == 0 || errno != EACCES) {
        return "";
    }
    const AccessFacts facts = GatherAccessFacts(device);
    if (!facts.known) {
        return "no access for this user";
    }
    return "no access for this user (group " + facts.group + ")";
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

}  // namespace

void PrintPorts(std::FILE* out, ports::ComMap& map, bool json) {
    map.Refresh();
    for (const std::string& problem : map.Problems()) {
        if (json) {
            std::fprintf(out, "{\"event\":\"problem\",\"text\":%s}\n", JsonString(problem).c_str());
        } else {
            std::fprintf(stderr, "romlift-cli: %s\n", problem.c_str());
        }
    }
    if (!json) {
        std::fprintf(out, "Serial devices present:\n");
        if (map.Devices().empty()) {
            std::fprintf(out, "  (none found)\n");
        }
    }
    for (const ports::SerialDevice& d : map.Devices()) {
        const int com = map.ComOf(d);
        const std::string note = AccessNote(d.path);
        const std::string usb = d.adapter ? d.id.vendor + ":" + d.id.product : "";
        if (json) {
            std::fprintf(
                out,
                "{\"event\":\"device\",\"device\":%s,\"com\":%s,\"driver\":%s,\"usb\":%s,"
                "\"manufacturer\":%s,\"product\":%s,\"serial\":%s,\"usb_port\":%s,\"by_id\":%s,"
                "\"access\":%s}\n",
                JsonString(d.path).c_str(), com > 0 ? JsonString("COM" + std::to_string(com)).c_str() : "null",
                JsonOrNull(d.driver).c_str(), JsonOrNull(usb).c_str(), JsonOrNull(d.manufacturer).c_str(),
                JsonOrNull(d.product).c_str(), JsonOrNull(d.id.serial).c_str(),
                JsonOrNull(d.id.usbPort).c_str(), JsonOrNull(d.byId).c_str(),
                note.empty() ? "true" : "false");
            continue;
        }
        std::string line = "  " + d.path + "  " + (com > 0 ? "COM" + std::to_string(com) : "-") +
                           "  " + (d.driver.empty() ? "?" : d.driver);
        if (d.adapter) {
            line += "  " + usb + "  " + d.Description();
        } else if (d.uart) {
            line += "  UART";
        }
        std::fprintf(out, "%s\n", line.c_str());
        if (!d.byId.empty()) {
            std::fprintf(out, "      %s\n", d.byId.c_str());
        }
        if (!note.empty()) {
            std::fprintf(out, "      %s\n", note.c_str());
        }
    }
    if (!json) {
        std::fprintf(out, "COM port mapping:\n");
    }
    for (int n = 1; n <= 4; ++n) {
        const ports::ComResolution r = map.Resolve(n);
        std::error_code ec;
        const bool present = !r.device.empty() && fs::exists(r.device, ec);
        const std::string access = r.device.empty() ? "" : present ? AccessNote(r.device) : "not present";
        if (json) {
            std::fprintf(out,
                         "{\"event\":\"com\",\"com\":\"COM%d\",\"device\":%s,\"source\":\"%s\","
                         "\"detail\":%s,\"access\":%s}\n",
                         n, JsonOrNull(r.device).c_str(), ports::ComSourceName(r.source),
                         JsonOrNull(r.detail).c_str(),
                         r.device.empty() ? "null" : access.empty() ? "true" : "false");
            continue;
        }
        const std::string note = access.empty() ? "" : ", " + access;
        std::fprintf(out, "  COM%d  %s  (%s: %s%s)\n", n, r.device.empty() ? "-" : r.device.c_str(),
                     ports::ComSourceName(r.source), r.detail.c_str(), note.c_str());
    }
    std::fflush(out);
}

void PrintChoices(std::FILE* out, const std::vector<FileRow>& rows) {
    size_t nameWidth = 9, dateWidth = 4, sizeWidth = 4;
    for (const FileRow& r : rows) {
        nameWidth = std::max(nameWidth, r.name.size());
        dateWidth = std::max(dateWidth, r.date.size());
        sizeWidth = std::max(sizeWidth, r.size.size());
    }
    auto cell = [&](const std::string& s, size_t width) {
        std::fwrite(s.data(), 1, s.size(), out);
        for (size_t i = s.size(); i < width + 2; ++i) {
            std::fputc(' ', out);
        }
    };
    std::fprintf(out, "     ");
    cell("File Name", nameWidth);
    cell("Date", dateWidth);
    cell("Size", sizeWidth);
    std::fprintf(out, "Time\n");
    for (size_t i = 0; i < rows.size(); ++i) {
        std::fprintf(out, "%3zu  ", i + 1);
        cell(rows[i].name, nameWidth);
        cell(rows[i].date, dateWidth);
        cell(rows[i].size, sizeWidth);
        std::fputs(rows[i].time.c_str(), out);
        std::fputs(i + 1 == rows.size() ? "  (default)\n" : "\n", out);
    }
    if (!rows.empty()) {
        std::fprintf(out, "in %s\n", rows.front().path.c_str());
    }
    std::fflush(out);
}

Choice ChooseRow(const std::vector<FileRow>& rows, const std::optional<std::string>& pick, bool ask,
                 std::FILE* in, std::FILE* out, size_t* index, std::string* why) {
    if (pick) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].name == *pick) {
                *index = i;
                return Choice::Taken;
            }
        }
        *why = "--pick " + *pick + ": no such image among the " + std::to_string(rows.size()) + " that match";
        return Choice::Refused;
    }
    if (!ask) {
        *why = std::to_string(rows.size()) +
               " images match and standard input is not a terminal: name one with --pick";
        return Choice::Refused;
    }
    for (;;) {
        std::fprintf(out, "Select the image to download [1-%zu, Enter: %zu, q: cancel]: ", rows.size(), rows.size());
        std::fflush(out);
        char line[64];
        if (std::fgets(line, sizeof line, in) == nullptr) {
            return Choice::Cancelled;
        }
        std::string answer(line);
        while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' ')) {
            answer.pop_back();
        }
        if (answer.empty()) {
            *index = rows.size() - 1;
            return Choice::Taken;
        }
        if (answer == "q" || answer == "Q") {
            return Choice::Cancelled;
        }
        char* end = nullptr;
        const long n = std::strtol(answer.c_str(), &end, 10);
        if (*end == '\0' && n >= 1 && static_cast<size_t>(n) <= rows.size()) {
            *index = static_cast<size_t>(n) - 1;
            return Choice::Taken;
        }
    }
}

}  // namespace romlift::cli
