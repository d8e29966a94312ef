// The Download dialog: pick the unit model and the COM port, press Download, watch the status
// line and the bar. It is the engine's front end for the attempt it starts.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

#include "dialog_template.h"

#include "download.h"
#include "download_host.h"
#include "download_prompts.h"
#include "firmware_locator.h"

class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace romlift {

namespace record {
class AttemptTimer;
class ImageDigest;
}  // namespace record

struct DownloadState;
class ProgressArea;
class Interrupt;
class InputGate;

class CDownloadDlg : public QDialog, public DownloadHost {
    Q_OBJECT
  public:
    enum Id {
        kDownload = 1,
        kClose = 2,
        kCom1 = 1006,
        kCom2 = 1007,
        kCom3 = 1008,
        kCom4 = 1009,
        kProgress = 1013,
        kStatus = 1014,
        kModelList = 1029,
        kSelectUnit = 1031,
        kSelectPort = 1032,
    };

    // The control table the dialog is built from (for layout checks and screenshots).
    static const dialog::Template& Layout();

    // The question asked when Escape, Close, the close box or Alt+F4 come during an attempt.
    static constexpr const char* kStopQuestion = "Stop the download? The unit will need it again.";

    // Resets `state` to COM1 and the first model. `state` must outlive the dialog; `options`
    // say where the locator looks for firmware, `prompts` how its questions are answered.
    explicit CDownloadDlg(DownloadState& state, LocateOptions options = {},
                          DownloadPrompts prompts = {}, QWidget* parent = nullptr);
    ~CDownloadDlg() override;

    // Texts are taken as UTF-8; invalid bytes show as U+FFFD.
    void SetStatus(std::string_view text) override;
    void PaintProgress(int x) override;
    void ClearProgress() override;
    bool ChooseFirmware(DownloadState& state) override;
    void ShowWaitCursor(bool on) override;
    void InvalidateAll() override;

    // Escape and the close box end the dialog as Close does, with result 1. During an attempt
    // they ask whether to stop it instead.
    void reject() override;

    // The line under the status line: why the last attempt could not start or failed, "" when
    // no reason is known or it went well.
    QLabel* AdviceLine() const { return advice_; }
    // The stop question while it is open, else nullptr.
    QMessageBox* StopQuestion() const { return stopQuestion_.data(); }

    // The signal (SIGINT, SIGTERM) that ended the last attempt early, 0 when none did. The
    // attempt's row is recorded as interrupted and the dialog closes; the program should then end
    // as that signal asks.
    int InterruptedBy() const { return interruptedBy_; }

  private:
    void OnDownload();
    // Tooltips of the port buttons: the device and adapter each COM number names now.
    void RefreshPorts();
    // One attempt with its row in the download record, on the attempt's thread: the row is
    // written before the first byte and completed at the end. A required record that cannot
    // take the row stops the attempt with nothing sent. Sets recordAdvice_; returns whether the
    // transfer ran short because of a signal.
    bool AttemptWithRecord(DownloadHost& gui, const Interrupt& interrupt);
    // After an attempt: why it failed or stopped, on the advice line, and the port's or the
    // record's trouble on stderr. `stopped`: Stop in the question ended it.
    void ShowAdvice(bool stopped);
    // Puts `text` on the advice line; the dialog grows under its template just enough to show
    // it whole, and back when it is empty.
    void SetAdviceLine(const std::string& text);
    // Whether input the attempt's gate dropped was a request to close the dialog: Escape, Close
    // (clicked, or Enter or Space on it), the close box, Alt+F4.
    bool AsksToClose(const QObject* receiver, const QEvent* event) const;
    // Asks once whether to stop the attempt; Stop requests stop_. Continue is the default.
    void AskStop(InputGate& gate);
    // The unit's serial number when the station's policy requires it ("" when it does not);
    // nothing when the person cancelled the question.
    std::optional<std::string> AskUnitSerial();
    static constexpr int kPortWatchMs = 700;

    DownloadState& state_;
    LocateOptions options_;
    DownloadPrompts prompts_;
    QComboBox* models_;
    QPushButton* download_;
    QPushButton* close_;
    ProgressArea* progress_;
    QLabel* status_;
    QLabel* advice_;
    int templateHeight_ = 0;     // the dialog's height as its template gives it, in pixels
    Interrupt* stop_ = nullptr;  // the running attempt's stop signal
    QPointer<QMessageBox> stopQuestion_;
    bool waitCursor_ = false;
    std::set<std::string> reported_;  // map file problems already written to stderr
    std::string lastStatus_;          // the last status text shown, for the record
    // Why the record refused or lost the last attempt's row, or why its image was refused.
    std::string recordAdvice_;
    bool recordAdviceSaid_ = false;  // ... and it is on stderr already
    int interruptedBy_ = 0;
    std::string unitSerial_;  // for the row of the attempt under way
};

}  // namespace romlift
