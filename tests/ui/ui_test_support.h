// Shared by the widget tests: a scratch program folder with drivers/, firmware files in it, and
// ways to look at painted pixels.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <QImage>
#include <QWidget>

namespace romlift::ui_testing {

using Bytes = std::vector<uint8_t>;

// A fresh program folder under /tmp with an empty drivers/ in it; removed when the object goes.
class ProgramFolder {
  public:
    ProgramFolder() {
        std::string tmpl = "/tmp/romlift-ui-prog-XXXXXX";
        if (::mkdtemp(tmpl.data()) != nullptr) {
            path_ = tmpl;
            std::filesystem::create_directory(path_ / "drivers");
        }
    }
    ~ProgramFolder() {
        std::error_code ec;
        // The locator makes the program folder current; step out before removing it.
        std::filesystem::current_path("/tmp", ec);
        std::filesystem::remove_all(path_, ec);
    }
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path Drivers() const { return path_ / "drivers"; }

    // Writes drivers/<name>; returns the bytes written.
    Bytes AddFirmware(const std::string& name, size_t size, uint32_t seed = 7) const {
        Bytes b(size);
        uint32_t x = seed;
        for (auto& v : b) {
            x = x * 1103515245u + 12345u;
            v = static_cast<uint8_t>(x >> 16);
        }
        std::ofstream out(Drivers() / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return b;
    }

  private:
    std::filesystem::path path_;
};

// The widget's inner pixels (inside its frame) as painted now.
inline QImage InnerPixels(QWidget& w) {
    return w.grab(w.contentsRect()).toImage();
}

// Horizontal bands of rows that hold a pixel clearly darker than the corner pixel: the lines of
// text a label shows.
inline int TextBands(const QImage& img, int margin) {
    const QColor bg = img.pixelColor(margin, margin);
    int bands = 0;
    bool inBand = false;
    for (int y = margin; y < img.height() - margin; ++y) {
        bool ink = false;
        for (int x = margin; x < img.width() - margin && !ink; ++x) {
            ink = img.pixelColor(x, y).lightness() + 60 < bg.lightness();
        }
        if (ink && !inBand) {
            ++bands;
        }
        inBand = ink;
    }
    return bands;
}

}  // namespace romlift::ui_testing
