// The main window: the Firmware and Help menus, the keyboard commands, a hidden toolbar, the
// status bar with its prompt pane and lock indicators, and the view in the middle.
#pragma once

#include <memory>

#include <QMainWindow>

#include "frame_options.h"

class QAction;
class QLabel;

namespace romlift {

class CVekApp;
class CVekDoc;
class CVekView;

class CMainFrame : public QMainWindow {
    Q_OBJECT
  public:
    // `options` answer the window's questions; the defaults ask the person.
    CMainFrame(CVekApp& app, std::unique_ptr<CVekDoc> doc, FrameOptions options = {},
               QWidget* parent = nullptr);
    ~CMainFrame() override;

    CVekDoc& Document() const { return *doc_; }
    CVekView* View() const { return view_; }
    QLabel* MessagePane() const { return message_; }
    QAction* ExitAction() const { return exit_; }

    // The commands, as the menu and the keys run them.
    void OnDownload();
    void OnFileOpen();
    void OnFileSave();
    void OnFilePrint();
    void OnAbout();
    [[noreturn]] void OnExit();

    // Reads the lock LEDs again and shows "CAP", "NUM", "SCRL" for those that are on.
    void RefreshLockPanes();

  protected:
    bool event(QEvent* event) override;

  private:
    QAction* MakeAction(const QString& text, const char* id, const QKeySequence& key = {});
    void ShowPrompt(const QString& text);
    void CreateToolBar();
    void CreateStatusBar();

    CVekApp& app_;
    FrameOptions options_;
    std::unique_ptr<CVekDoc> doc_;
    CVekView* view_;
    QLabel* message_ = nullptr;
    QLabel* caps_ = nullptr;
    QLabel* num_ = nullptr;
    QLabel* scroll_ = nullptr;
    QAction* download_ = nullptr;
    QAction* open_ = nullptr;
    QAction* save_ = nullptr;
    QAction* print_ = nullptr;
    QAction* about_ = nullptr;
    QAction* exit_ = nullptr;
};

}  // namespace romlift
