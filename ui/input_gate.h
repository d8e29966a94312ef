// Keeps the user's input away from the program's windows while a download attempt runs: keys,
// clicks, the wheel and window-close requests are dropped as they arrive, so none of them acts
// later, when the attempt is over. Painting, moving and hovering go on as usual.
#pragma once

#include <functional>

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace romlift {

class InputGate : public QObject {
    Q_OBJECT
  public:
    // Closed from construction to destruction. Must be made and destroyed on the GUI thread, while
    // a QApplication exists.
    InputGate();
    ~InputGate() override;
    InputGate(const InputGate&) = delete;
    InputGate& operator=(const InputGate&) = delete;

    // Opens the gate for as long as it lives, for a dialog that asks the user something in the
    // middle of the attempt (the choice of firmware file). Nests.
    class Pause {
      public:
        explicit Pause(InputGate& gate) : gate_(gate) { ++gate_.paused_; }
        ~Pause() { --gate_.paused_; }
        Pause(const Pause&) = delete;
        Pause& operator=(const Pause&) = delete;

      private:
        InputGate& gate_;
    };

    // Called with each input event the closed gate drops, after it is dropped: a request to stop
    // may be among them.
    using Watcher = std::function<void(InputGate& gate, QObject* receiver, const QEvent* event)>;
    void SetWatcher(Watcher watcher) { watcher_ = std::move(watcher); }

    // Lets input through to `window` (a question asked during the attempt) while it lives. Its
    // own modality keeps the other windows from the user meanwhile.
    void Admit(QWidget* window) { admitted_ = window; }

    // Whether `event` for `receiver` is input that a closed gate drops.
    static bool IsUserInput(const QObject* receiver, const QEvent* event);

  protected:
    bool eventFilter(QObject* receiver, QEvent* event) override;

  private:
    bool ForAdmitted(const QObject* receiver) const;

    int paused_ = 0;
    Watcher watcher_;
    QPointer<QWidget> admitted_;
};

}  // namespace romlift
