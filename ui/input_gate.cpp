#include "input_gate.h"

#include <QApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

namespace romlift {
namespace {

// A frame the window manager gives a close box: the dialogs and the main window, not tool tips
// or pop-up lists, which close themselves.
bool IsFramedWindow(Qt::WindowType type) {
    return type == Qt::Window || type == Qt::Dialog;
}

}  // namespace

InputGate::InputGate() {
    qApp->installEventFilter(this);
}

InputGate::~InputGate() {
    qApp->removeEventFilter(this);
}

bool InputGate::IsUserInput(const QObject* receiver, const QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::InputMethod:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        case QEvent::MouseMove:
            // A drag; plain movement only hovers, and tool tips keep working.
            return static_cast<const QMouseEvent*>(event)->buttons() != Qt::NoButton;
        case QEvent::Close:
            // The close box and Alt+F4 arrive as a close of the window, then of its widget.
            if (const auto* window = qobject_cast<const QWindow*>(receiver)) {
                return IsFramedWindow(window->type());
            }
            if (const auto* widget = qobject_cast<const QWidget*>(receiver)) {
                return widget->isWindow() && IsFramedWindow(widget->windowType());
            }
            return false;
        default:
            return false;
    }
}

bool InputGate::ForAdmitted(const QObject* receiver) const {
    if (admitted_ == nullptr) {
        return false;
    }
    if (const auto* window = qobject_cast<const QWindow*>(receiver)) {
        return window == admitted_->windowHandle();
    }
    const auto* widget = qobject_cast<const QWidget*>(receiver);
    return widget != nullptr && widget->window() == admitted_;
}

bool InputGate::eventFilter(QObject* receiver, QEvent* event) {
    if (paused_ != 0 || !IsUserInput(receiver, event) || ForAdmitted(receiver)) {
        return false;
    }
    if (event->type() == QEvent::Close) {
        event->ignore();  // refused, as a window that may not close says
    }
    if (watcher_) {
        watcher_(*this, receiver, event);
    }
    return true;
}

}  // namespace romlift
