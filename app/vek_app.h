// The application object: names the settings, keeps the recent-file list and the one
// DownloadState of the process, and runs start-up and shutdown around the main window.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>

#include <QSettings>
#include <QStringList>

#include "download_state.h"
#include "firmware_locator.h"
#include "frame_options.h"

namespace romlift {

class CMainFrame;

class CVekApp {
  public:
    static constexpr int kMaxRecentFiles = 4;

    // Organization "Vek", application "vek", the program icon. Needs the QApplication.
    static void ConfigureApplication();

    // `options` go to the main window; their message answer also takes this object's messages.
    explicit CVekApp(FrameOptions options = {});
    ~CVekApp();
    CVekApp(const CVekApp&) = delete;
    CVekApp& operator=(const CVekApp&) = delete;

    // Makes the document, main frame and view; with `file` that file is opened as the document.
    // Shows the frame maximized with its caption. False (and no window) when the file cannot be
    // opened, after the message.
    bool InitInstance(const std::optional<QString>& file);
    // Writes the settings back: the normal shutdown.
    void ExitInstance();

    CMainFrame* MainFrame() const { return frame_.get(); }
    DownloadState& State() { return state_; }
    QSettings& Settings() { return settings_; }
    // Where Download looks for firmware: by default drivers/ beside the executable.
    const LocateOptions& Locate() const { return locate_; }
    void SetLocate(LocateOptions options) { locate_ = std::move(options); }

    QStringList RecentFiles() const { return recent_; }
    // Most recent first, no duplicates, at most kMaxRecentFiles.
    void AddRecentFile(const QString& path);

    // The full path last chosen with File Open: shown as the caption, read by nothing else.
    const QString& ChosenImagePath() const { return chosenImagePath_; }
    void SetChosenImagePath(const QString& path) { chosenImagePath_ = path; }

    // Shows `text` in a message box over the main window, or hands it to the message answer.
    void Message(const QString& text);

  private:
    FrameOptions options_;
    DownloadState state_;
    QSettings settings_;
    QStringList recent_;
    QString chosenImagePath_;
    LocateOptions locate_;
    std::unique_ptr<CMainFrame> frame_;
};

// Handles --version and --help without a display; nullopt when the program should go on.
std::optional<int> HandleInfoOptions(int argc, char** argv, std::ostream& out);

// The whole program: options, QApplication, start-up, message loop, shutdown.
int RunRomlift(int argc, char** argv);

}  // namespace romlift
