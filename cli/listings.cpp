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
#include "serial_port.h"

namespace romlift::cli {

namespace fs = std::filesystem;

void PrintModels(std::FILE* out) {
    std::fprintf(out, "%-4s %-18s %-7s %s\n", "row", "display name", "prefix", "type code");
    int row = 0;
    for (const UnitModel& m : Models()) {
        std::fprintf(out, "%-4d %-18.*s %-7.*s %u\n", row++, static_cast<int>(m.displayName.size()),
                     m.displayName.data(), static_cast<int>(m.prefix.size()), m.prefix.data(), m.typeCode);
    }
}

std::vector<std::string> SerialDevices(const std::string& sysClassTty) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysClassTty, ec)) {
        const fs::path& dir = entry.path();
        if (!fs::exists(dir / "device", ec)) {
            continue;  // virtual terminals, ptys: no hardware behind them
        }
        const std::string name = dir.filename().string();
        if (name.rfind("ttyS", 0) == 0) {
            // The 8250 driver registers ttyS0..ttyS31 whether or not a UART answers; type 0 is none.
            std::ifstream type(dir / "type");
            int t = 0;
            if (!(type >> t) || t == 0) {
                continue;
            }
        }
        found.push_back("/dev/" + name);
    }
    std::sort(found.begin(), found.end());
    return found;
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

}  // namespace

void PrintPorts(std::FILE* out, const std::string& sysClassTty) {
    const std::vector<std::string> devices = SerialDevices(sysClassTty);
    std::fprintf(out, "Serial devices present:\n");
    if (devices.empty()) {
        std::fprintf(out, "  (none found)\n");
    }
    for (const std::string& d : devices) {
        const std::string note = AccessNote(d);
        std::fprintf(out, "  %s%s\n", d.c_str(), note.empty() ? "" : ("  (" + note + ")").c_str());
    }
    std::fprintf(out, "COM port mapping:\n");
    for (int n = 1; n <= 4; ++n) {
        const std::string var = "ROMLIFT_COM" + std::to_string(n);
        const char* v = std::getenv(var.c_str());
        const bool fromEnv = v != nullptr && *v != '\0';
        const std::string device = ComDevicePath(n);
        std::error_code ec;
        const bool present = fs::exists(device, ec);
        const std::string access = present ? AccessNote(device) : "not present";
        const std::string note = access.empty() ? "" : ", " + access;
        std::fprintf(out, "  COM%d  %s  (%s%s)\n", n, device.c_str(),
                     fromEnv ? var.c_str() : "default", note.c_str());
    }
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
