#include "image_choice.h"

#include <algorithm>
#include <cstdlib>

#include "download_host.h"
#include "download_state.h"
#include "hex.h"
#include "models.h"

namespace romlift::cli {
namespace {

// The locator's host while nothing is sent yet: only the choice among several images matters.
class ChoosingHost final : public DownloadHost {
  public:
    explicit ChoosingHost(std::function<bool(DownloadState&)> choose)
        : choose_(std::move(choose)) {}
    void SetStatus(std::string_view) override {}
    void PaintProgress(int) override {}
    void ClearProgress() override {}
    bool ChooseFirmware(DownloadState& state) override { return choose_(state); }
    void ShowWaitCursor(bool) override {}

  private:
    std::function<bool(DownloadState&)> choose_;
};

}  // namespace

ImageChoice ChooseImage(const Options& o, Reporter& reporter, const Console& console) {
    ImageChoice c;
    if (o.image) {
        c.imageFileName = *o.image;
        c.chosenFileName = o.image->filename().string();
        return c;
    }
    c.searched = true;
    DownloadState probe;
    SelectModel(probe, o.modelRow);
    ChoosingHost host([&](DownloadState& s) {
        // The rows name the folder that was searched.
        const std::string folder = o.drivers ? (*o.drivers / "").string() : s.programFolder;
        const std::vector<FileRow> rows =
            MakeFileRows(FindFirmware(s.driversFolder, s.modelPrefix), folder);
        if (rows.empty()) {
            return true;  // gone since the search: the transfer reports the file it cannot open
        }
        const bool ask = !o.pick && console.inIsTerminal;
        if (o.json) {
            PrintCandidatesJson(console.out, rows);
        } else {
            PrintChoices(console.err, rows);
        }
        size_t index = rows.size() - 1;
        std::string why;
        switch (
            ChooseRow(rows, o.pick, o.pickAsGiven, ask, console.in, console.err, &index, &why)) {
            case Choice::Taken:
                s.chosenFileName = rows[index].name;
                s.imageFileName = s.driversFolder / rows[index].name;
                return true;
            case Choice::Refused:
                reporter.Note(why);
                c.refused = true;
                break;
            case Choice::Cancelled:
                break;
        }
        s.cancel = 1;
        return false;
    });
    LocateOptions where;
    if (o.drivers) {
        // The search makes the program folder current: a relative DIR means the caller's folder.
        where.driversFolder = std::filesystem::absolute(*o.drivers);
    }
    if (FirmwareHelper::LocateFirmware(probe, host, where) && o.pick && probe.cancel == 0 &&
        probe.chosenFileName != *o.pick) {
        // One match only, and not the one asked for: do not send another file than named.
        reporter.Note(o.pickAsGiven + ": the only image that matches is " + probe.chosenFileName);
        c.refused = true;
        probe.cancel = 1;
    }
    c.imageFileName = probe.imageFileName;
    c.chosenFileName = probe.chosenFileName;
    c.searchPattern = probe.searchPattern;
    c.cancelled = probe.cancel != 0 && !c.refused;
    return c;
}

void PrintCandidatesJson(std::FILE* out, const std::vector<FileRow>& rows) {
    Json files = Json::array();
    for (size_t i = 0; i < rows.size(); ++i) {
        const FileRow& r = rows[i];
        files.push_back(Json{{"name", r.name},
                             {"name_hex", Hex(r.name, HexCase::Lower)},
                             {"date", r.date},
                             {"path", r.path},
                             {"size", r.size},
                             {"time", r.time},
                             {"default", i + 1 == rows.size()}});
    }
    WriteJsonLine(out, Json{{"event", "candidates"}, {"files", files}});
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

Choice ChooseRow(const std::vector<FileRow>& rows, const std::optional<std::string>& pick,
                 const std::string& pickAsGiven, bool ask, std::FILE* in, std::FILE* out,
                 size_t* index, std::string* why) {
    if (pick) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].name == *pick) {
                *index = i;
                return Choice::Taken;
            }
        }
        *why = pickAsGiven + ": no such image among the " + std::to_string(rows.size()) +
               " that match";
        return Choice::Refused;
    }
    if (!ask) {
        *why = std::to_string(rows.size()) +
               " images match and standard input is not a terminal: name one with --pick";
        return Choice::Refused;
    }
    for (;;) {
        std::fprintf(out,
                     "Select the image to download [1-%zu, Enter: %zu, q: cancel]: ", rows.size(),
                     rows.size());
        std::fflush(out);
        char line[64];
        if (std::fgets(line, sizeof line, in) == nullptr) {
            return Choice::Cancelled;
        }
        std::string answer(line);
        while (!answer.empty() &&
               (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' ')) {
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
