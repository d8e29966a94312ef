#include "download_dialog.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>

#include "attempt_thread.h"
#include "com_map.h"
#include "dialog_template.h"
#include "download.h"
#include "download_state.h"
#include "file_select_dialog.h"
#include "image_digest.h"
#include "interrupt.h"
#include "models.h"
#include "outcome_advice.h"
#include "port_advice.h"
#include "progress_area.h"
#include "release_check.h"
#include "row_capture.h"
#include "run_recorder.h"
#include "texts.h"
#include "version.h"

namespace romlift {
namespace {

using dialog::Control;
using dialog::Kind;
using dialog::kNoId;
constexpr unsigned kStaticRight = dialog::kRight | dialog::kVCenter;

// In tab order: the model list, Download, Close; nothing else takes a Tab stop.
constexpr std::array kControls{
    Control{CDownloadDlg::kModelList, Kind::ComboBox, "", 62, 20, 142, 79, dialog::kTabStop},
    Control{CDownloadDlg::kDownload, Kind::PushButton, "Download", 228, 10, 41, 14,
            dialog::kTabStop | dialog::kDefault},
    Control{CDownloadDlg::kClose, Kind::PushButton, "Close", 228, 34, 41, 14, dialog::kTabStop},
    Control{CDownloadDlg::kProgress, Kind::ProgressArea, "", 62, 89, 101, 9, dialog::kBorder},
    Control{CDownloadDlg::kStatus, Kind::Static, "", 5, 105, 217, 19,
            dialog::kCenter | dialog::kWordWrap | dialog::kSunken},
    Control{CDownloadDlg::kSelectUnit, Kind::Static, "Select Unit :-", 9, 18, 39, 11, kStaticRight},
    Control{kNoId, Kind::GroupBox, "", 1, 0, 278, 136, 0},
    Control{kNoId, Kind::GroupBox, "", 5, 7, 215, 33, 0},
    Control{CDownloadDlg::kSelectPort, Kind::Static, "Select Port :-", 9, 59, 39, 11, kStaticRight},
    Control{kNoId, Kind::GroupBox, "", 5, 47, 215, 33, 0},
    Control{kNoId, Kind::GroupBox, "", 53, 51, 163, 25, 0},
    Control{CDownloadDlg::kCom1, Kind::RadioButton, "COM1", 62, 61, 35, 10, 0},
    Control{CDownloadDlg::kCom2, Kind::RadioButton, "COM2", 100, 61, 30, 10, 0},
    Control{CDownloadDlg::kCom3, Kind::RadioButton, "COM3", 138, 61, 30, 10, 0},
    Control{CDownloadDlg::kCom4, Kind::RadioButton, "COM4", 176, 61, 30, 10, 0},
    Control{kNoId, Kind::GroupBox, "", 53, 12, 163, 23, 0},
};
constexpr dialog::Template kTemplate{"Download", 279, 139, 10, kControls};

// The advice line, under the template's frame, across it (dialog units).
constexpr int kAdviceX = 5;
constexpr int kAdviceWidth = 269;
constexpr int kAdviceMargin = 4;  // below the line

// What the stop question puts in the attempt's stop signal: no signal, the user's word.
constexpr int kStoppedFromWindow = -1;

// Runs a filled question modally: through the owner's answer when it gave one, else the person's.
template <class Dialog>
int Ask(const std::function<int(Dialog&)>& answer, Dialog& dialog) {
    return answer ? answer(dialog) : dialog.exec();
}

}  // namespace

const dialog::Template& CDownloadDlg::Layout() {
    return kTemplate;
}

CDownloadDlg::CDownloadDlg(DownloadState& state, LocateOptions options, DownloadPrompts prompts,
                           QWidget* parent)
    : QDialog(parent), state_(state), options_(std::move(options)), prompts_(std::move(prompts)) {
    dialog::Build(*this, kTemplate);
    models_ = dialog::Find<QComboBox>(*this, kModelList);
    download_ = dialog::Find<QPushButton>(*this, kDownload);
    close_ = dialog::Find<QPushButton>(*this, kClose);
    progress_ = dialog::Find<ProgressArea>(*this, kProgress);
    status_ = dialog::Find<QLabel>(*this, kStatus);
    templateHeight_ = height();
    advice_ = new QLabel(this);
    advice_->setObjectName("advice");
    advice_->setTextFormat(Qt::PlainText);  // paths and program names show as written
    advice_->setWordWrap(true);
    advice_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The fix it names (a command to paste) can be copied.
    advice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    advice_->hide();

    state_.selectedPort = 1;
    SelectModel(state_, 0);
    {
        // Row 0 is shown without being "selected" again: the state holds its values already.
        const QSignalBlocker quiet(models_);
        FillModelList([this](std::string_view name) {
            models_->addItem(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
        });
        models_->setCurrentIndex(0);
    }
    connect(models_, &QComboBox::currentIndexChanged, this,
            [this](int row) { SelectModel(state_, row); });

    int port = 1;
    for (int id : {kCom1, kCom2, kCom3, kCom4}) {
        auto* radio = dialog::Find<QRadioButton>(*this, id);
        connect(radio, &QRadioButton::clicked, this, [this, port] { state_.selectedPort = port; });
        // Alt+1 .. Alt+4 check a port from the keyboard (the texts keep no mnemonic); the arrow
        // keys then move within the group.
        auto* key = new QShortcut(QKeySequence(Qt::ALT | (Qt::Key_0 + port)), this);
        connect(key, &QShortcut::activated, radio, [radio] {
            radio->click();
            radio->setFocus(Qt::ShortcutFocusReason);
        });
        ++port;
    }
    dialog::Find<QRadioButton>(*this, kCom1)->setChecked(true);

    // Adapters come and go while the dialog is open: the port buttons say within a second what
    // each COM number names now (and a new adapter gets its number).
    RefreshPorts();
    auto* portWatch = new QTimer(this);
    connect(portWatch, &QTimer::timeout, this, &CDownloadDlg::RefreshPorts);
    portWatch->start(kPortWatchMs);

    connect(download_, &QPushButton::clicked, this, &CDownloadDlg::OnDownload);
    connect(close_, &QPushButton::clicked, this, [this] { done(1); });
    models_->setFocus();
}

CDownloadDlg::~CDownloadDlg() {
    // This class's own cursor, whatever derives from it: the cursor is ours to give back.
    CDownloadDlg::ShowWaitCursor(false);
}

void CDownloadDlg::OnDownload() {
    const std::optional<std::string> serial = AskUnitSerial();
    if (!serial) {
        return;  // asked before anything is opened: nothing sent, no row
    }
    unitSerial_ = *serial;
    state_.cancel = 0;
    download_->setEnabled(false);
    close_->setFocus();
    // The port's stop signal: Stop in the question, or a signal. Ctrl-C in the launching
    // terminal or SIGTERM at logout would otherwise kill the program with the unit half written
    // and nothing recorded: the attempt stops at once instead, its row says how far the unit
    // got, and then the program ends as asked. Stop in the question leaves the dialog open.
    Interrupt stop;
    Interrupt signaled;
    bool stoppedShort = false;  // the transfer was cut short (not one that was confirmed)
    {
        InterruptSignals stopOnSignal(signaled);
        QSocketNotifier onSignal(signaled.Fd(), QSocketNotifier::Read);
        connect(&onSignal, &QSocketNotifier::activated, this, [&] {
            onSignal.setEnabled(false);  // it stays readable
            stop.Request(signaled.Signal());
        });
        stop_ = &stop;
        state_.Line().SetStopSignal(stop.Fd());
        // The windows keep painting while the unit is written; input meanwhile is dropped, but
        // a request to close asks whether to stop.
        RunAttempt(
            *this,
            [this, &stop, &stoppedShort](DownloadHost& gui) {
                stoppedShort = AttemptWithRecord(gui, stop);
            },
            [this](InputGate& gate, QObject* receiver, const QEvent* event) {
                if (AsksToClose(receiver, event)) {
                    // Not from inside the event filter; dropped with the gate when the attempt
                    // ends first.
                    QMetaObject::invokeMethod(
                        &gate, [this, &gate] { AskStop(gate); }, Qt::QueuedConnection);
                }
            });
        state_.Line().SetStopSignal(-1);
        stop_ = nullptr;
        if (stopQuestion_ != nullptr) {
            stopQuestion_->reject();  // the attempt ended while the question was open
        }
        if (signaled.Requested()) {
            stop.Request(signaled.Signal());  // came as the attempt ended
        }
    }
    download_->setEnabled(true);
    // Enter downloads again, to the next unit.
    download_->setFocus();
    if (!signaled.Requested()) {
        ShowAdvice(stoppedShort && stop.Requested());
        return;
    }
    ShowAdvice(false);
    interruptedBy_ = signaled.Signal();
    if (stoppedShort && state_.totalFrames > 0) {
        std::fprintf(stderr, "romlift: %s: %s %s\n", ::strsignal(interruptedBy_),
                     PortName(state_).c_str(),
                     InterruptedAt(state_.frameCounter, state_.totalFrames).c_str());
    }
    done(1);
}

bool CDownloadDlg::AsksToClose(const QObject* receiver, const QEvent* event) const {
    // Input from the window system comes to the dialog's window first; a synthesized event may
    // go straight to a widget.
    const bool onWindow = windowHandle() != nullptr && receiver == windowHandle();
    const auto* widget = qobject_cast<const QWidget*>(receiver);
    if (!onWindow && (widget == nullptr || widget->window() != this)) {
        return false;
    }
    switch (event->type()) {
        case QEvent::Close:
            return onWindow || widget == this;
        case QEvent::KeyPress: {
            const int key = static_cast<const QKeyEvent*>(event)->key();
            const bool onClose = widget == close_ || QApplication::focusWidget() == close_;
            return key == Qt::Key_Escape ||
                   (onClose &&
                    (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space));
        }
        case QEvent::MouseButtonRelease: {
            const auto* m = static_cast<const QMouseEvent*>(event);
            if (m->button() != Qt::LeftButton) {
                return false;
            }
            const QPoint at = m->position().toPoint();
            return onWindow ? childAt(at) == close_
                            : widget == close_ && close_->rect().contains(at);
        }
        default:
            return false;
    }
}

void CDownloadDlg::AskStop(InputGate& gate) {
    if (stop_ == nullptr || stopQuestion_ != nullptr) {
        return;  // over already, or asked already
    }
    auto* box = new QMessageBox(QMessageBox::Question, windowTitle(),
                                QString::fromUtf8(kStopQuestion), QMessageBox::NoButton, this);
    QPushButton* stopButton = box->addButton(QStringLiteral("&Stop"), QMessageBox::AcceptRole);
    QPushButton* goOn = box->addButton(QStringLiteral("&Continue"), QMessageBox::RejectRole);
    box->setDefaultButton(goOn);  // Enter continues
    box->setEscapeButton(goOn);   // so do Escape and the close box
    box->setAttribute(Qt::WA_DeleteOnClose);
    dialog::ModalFrame(*box);
    connect(box, &QMessageBox::finished, this, [this, box, stopButton] {
        if (box->clickedButton() == stopButton && stop_ != nullptr) {
            stop_->Request(kStoppedFromWindow);
        }
    });
    stopQuestion_ = box;
    gate.Admit(box);
    box->open();
}

void CDownloadDlg::RefreshPorts() {
    if (!download_->isEnabled()) {
        return;  // an attempt holds the line; its own open looked at the ports
    }
    ports::ComMap map(ports::PortsPaths::ForThisProcess());
    map.Refresh();
    int port = 1;
    for (int id : {kCom1, kCom2, kCom3, kCom4}) {
        const std::string tip =
            map.Resolve(port).Describe() + " (Alt+" + std::to_string(port) + ")";
        dialog::Find<QRadioButton>(*this, id)->setToolTip(QString::fromUtf8(tip.c_str()));
        ++port;
    }
    // A broken map file is said once, not every second.
    for (const std::string& problem : map.Problems()) {
        if (reported_.insert(problem).second) {
            std::fprintf(stderr, "romlift: %s\n", problem.c_str());
        }
    }
}

namespace {

// Between the engine and the dialog on the attempt's thread: everything goes to the dialog (on
// the GUI thread), but the start row is written here, so the windows keep painting meanwhile.
class RecordingHost final : public DownloadHost {
  public:
    RecordingHost(DownloadHost& gui, std::function<ImageAdmission(DownloadState&)> admit,
                  std::function<bool(DownloadState&)> begin)
        : gui_(gui), admit_(std::move(admit)), begin_(std::move(begin)) {}
    void SetStatus(std::string_view text) override { gui_.SetStatus(text); }
    void PaintProgress(int x) override { gui_.PaintProgress(x); }
    void ClearProgress() override { gui_.ClearProgress(); }
    bool ChooseFirmware(DownloadState& state) override { return gui_.ChooseFirmware(state); }
    void ShowWaitCursor(bool on) override { gui_.ShowWaitCursor(on); }
    void InvalidateAll() override { gui_.InvalidateAll(); }
    ImageAdmission AdmitImage(DownloadState& state) override { return admit_(state); }
    bool BeginSending(DownloadState& state) override { return begin_(state); }

  private:
    DownloadHost& gui_;
    std::function<ImageAdmission(DownloadState&)> admit_;
    std::function<bool(DownloadState&)> begin_;
};

}  // namespace

bool CDownloadDlg::AttemptWithRecord(DownloadHost& gui, const Interrupt& interrupt) {
    recordAdvice_.clear();
    recordAdviceSaid_ = false;
    // Opened for this attempt only, once the file is chosen (a cancelled choice touches no
    // record): attempts are minutes apart, and the dialog holds nothing open between them.
    record::RunRecorder record(
        [](const std::string& note) { std::fprintf(stderr, "romlift: %s\n", note.c_str()); });
    record::RecordRequest request;
    request.program = "romlift";
    request.version = version::kProduct;
    bool opened = false;
    std::string refusal;  // a required record that cannot be had: nothing may be sent
    std::unique_ptr<record::AttemptRow> row;
    auto openRecord = [&] {
        if (opened) {
            return;
        }
        opened = true;
        if (!record.Open(request, &refusal)) {
            return;
        }
        record.SetStopSignal(interrupt.Fd());
        row = record.NewRow();
        row->SetUnitSerial(unitSerial_);
        // Looked up now: a pulled adapter has left sysfs by the time the attempt ends.
        row->SetAdapter(record::AdapterOf(PortDevice(state_), ports::PortsPaths::ForThisProcess()));
        state_.image.SetObserver(&row->Digest());
    };
    // The station's release list has its say before the port opens; the image goes out as the
    // bytes it checked.
    auto admit = [&](DownloadState& s) {
        openRecord();
        if (!refusal.empty()) {
            return ImageAdmission::Admitted;  // the record refuses the start: nothing is sent
        }
        const record::ReleaseCheck check =
            record::CheckRelease(record.StationPolicy(), s.imageFileName, {});
        if (check.admission == ImageAdmission::Refused) {
            recordAdvice_ = check.why;
        }
        row->SetRelease(check.listSha256, check.keyId);
        return record::Admit(check, s);
    };
    RecordingHost host(gui, admit, [&](DownloadState& s) {
        openRecord();
        std::string why = refusal;
        if (why.empty() && record.Start(*row, s, lastStatus_, &why)) {
            return true;
        }
        gui.SetStatus(texts::kCannotWriteRecord);
        recordAdvice_ = why;
        return false;
    });
    const AttemptOutcome outcome =
        DoDownload(state_, host, [this, &openRecord](DownloadState& s, DownloadHost& h) {
            const bool found = FirmwareHelper::LocateFirmware(s, h, options_);
            if (s.cancel == 0) {
                // Looked up once the file is chosen, so an adapter plugged in meanwhile counts;
                // both opens of the port and the record then use this device.
                const ports::ComResolution com = ports::ResolveCom(s.selectedPort);
                s.comDevice = {com.com, com.device, com.detail};
                openRecord();
            }
            return found;
        });
    state_.image.SetObserver(nullptr);
    const bool stoppedShort = outcome.cause == EndCause::Stopped;
    if (row != nullptr && outcome.result != AttemptResult::Cancelled &&
        outcome.cause != EndCause::NotStarted) {
        std::string why;
        if (!record.Finish(*row, state_, stoppedShort, lastStatus_, &why) && record.Required()) {
            recordAdvice_ = why;
            recordAdviceSaid_ = true;  // the record's note has put it on stderr
        }
    }
    return stoppedShort;
}

std::optional<std::string> CDownloadDlg::AskUnitSerial() {
    record::Policy policy;
    std::string error;
    // A policy that does not read stops the attempt later, with its reason.
    if (!record::LoadPolicy(record::PolicyPath(), &policy, &error) || !policy.requireUnitSerial) {
        return std::string();
    }
    // One line: a barcode scanner types the number and presses Enter.
    QInputDialog ask(this);
    ask.setWindowTitle(QStringLiteral("Download"));
    ask.setLabelText(QStringLiteral("Serial number of the unit:"));
    ask.setInputMode(QInputDialog::TextInput);
    if (Ask(prompts_.unitSerial, ask) != QDialog::Accepted) {
        return std::nullopt;
    }
    const QString serial = ask.textValue().trimmed();
    if (serial.isEmpty()) {
        return std::nullopt;
    }
    return serial.toStdString();
}

void CDownloadDlg::ShowAdvice(bool stopped) {
    const AttemptOutcome& outcome = state_.outcome;
    if (outcome.result == AttemptResult::Cancelled) {
        return;  // the status line keeps its text, and this line the word on it
    }
    // Standard error keeps what it always said: the port's trouble, or the record's.
    std::string said = recordAdviceSaid_ ? std::string() : recordAdvice_;
    if (const auto port = advice::AdviseOnFault(state_.portFault, PortName(state_))) {
        said = port->text;
    }
    if (!said.empty()) {
        std::fprintf(stderr, "romlift: %s\n", said.c_str());
    }
    std::string line;
    if (outcome.result == AttemptResult::Failed) {
        const advice::ImageTried image{state_.imageFileName, true, state_.searchPattern};
        if (const auto hint = advice::ExplainOutcome(PortName(state_), outcome, image)) {
            line = hint->text;
        }
    }
    if (line.empty()) {
        line = recordAdvice_;
    }
    if (line.empty() && stopped) {
        line = PortName(state_) + " " + InterruptedAt(outcome.frame, outcome.totalFrames);
    }
    SetAdviceLine(line);
}

void CDownloadDlg::SetAdviceLine(const std::string& text) {
    if (text == advice_->text().toStdString()) {
        return;
    }
    advice_->setText(QString::fromUtf8(text.c_str()));
    const dialog::Units u = dialog::UnitsFor(font());
    QRect strip = u.ToPixels(kAdviceX, kTemplate.h, kAdviceWidth, kAdviceMargin);
    const int margin = strip.height();
    strip.setHeight(text.empty() ? 0 : advice_->heightForWidth(strip.width()));
    advice_->setGeometry(strip);
    advice_->setVisible(!text.empty());
    setFixedHeight(templateHeight_ + (text.empty() ? 0 : strip.height() + margin));
}

void CDownloadDlg::SetStatus(std::string_view text) {
    lastStatus_ = std::string(text);
    SetAdviceLine("");  // it spoke of the text this one replaces
    status_->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    status_->repaint();
}

void CDownloadDlg::PaintProgress(int x) {
    progress_->PaintBar(x);
}

void CDownloadDlg::ClearProgress() {
    // Only the clear at the start of an attempt empties the bar; the one after the frames leaves
    // it to the window's repaint.
    if (state_.frameCounter == 0) {
        progress_->EraseBar();
        progress_->repaint();
    }
}

bool CDownloadDlg::ChooseFirmware(DownloadState& state) {
    CFileSelectDlg select(state, this);
    // Ctrl-C or SIGTERM while the technician chooses: the choice is cancelled at once, as
    // Escape would, and nothing reaches the unit.
    if (state.Line().StopSignal() >= 0) {
        auto* stop = new QSocketNotifier(state.Line().StopSignal(), QSocketNotifier::Read, &select);
        connect(stop, &QSocketNotifier::activated, &select, [stop, &select] {
            stop->setEnabled(false);  // the stop signal stays readable
            select.reject();
        });
    }
    Ask(prompts_.fileSelect, select);
    return state.cancel == 0;
}

void CDownloadDlg::ShowWaitCursor(bool on) {
    if (on == waitCursor_) {
        return;
    }
    waitCursor_ = on;
    if (on) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void CDownloadDlg::InvalidateAll() {
    progress_->EraseBar();
    update();
    progress_->update();
}

void CDownloadDlg::reject() {
    done(1);
}

}  // namespace romlift
