#include "messagebox.h"

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimerEvent>
#include <QWindow>

namespace platform {

namespace {

MessageBoxHook &hookSlot()
{
    static MessageBoxHook hook;
    return hook;
}

// A box whose owner is not on screen yet (at start-up, before the main window is placed) goes
// where the main window will be: centred on the primary screen, its window-manager frame
// included.
class ScreenCentredBox : public QMessageBox
{
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent *event) override
    {
        // The box takes its final size here; it is placed before it is mapped.
        QMessageBox::showEvent(event);
        centre();
        // A window manager frames the box a moment later, at a pace of its own, and Qt learns
        // of the frame without any event: centre it again until the operator could have moved
        // it.
        shown_.start();
        settle_.start(kSettleStepMs, this);
    }

    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() != settle_.timerId()) {
            QMessageBox::timerEvent(event);
            return;
        }
        if (shown_.hasExpired(kSettleMs))
            settle_.stop();
        centre();
    }

private:
    static constexpr int kSettleMs = 1500;
    static constexpr int kSettleStepMs = 50;

    void centre()
    {
        // The window's own frame margins: the widget's cached frame is not renewed when only
        // the frame changes.
        QWindow *window = windowHandle();
        const QScreen *screen = QGuiApplication::primaryScreen();
        if (!window || !screen)
            return;
        const QRect area = screen->geometry();
        const QSize frame = size().grownBy(window->frameMargins());
        const QPoint target(area.x() + (area.width() - frame.width()) / 2,
                            area.y() + (area.height() - frame.height()) / 2);
        if (window->framePosition() != target)
            window->setFramePosition(target);
    }

    QElapsedTimer shown_;
    QBasicTimer settle_;
};

} // namespace

void messageBox(QWidget *owner, const QString &text, const QString &caption, MessageIcon icon)
{
    if (const MessageBoxHook &hook = hookSlot()) {
        hook(MessageBoxCall{owner, text, caption, icon});
        return;
    }
    QMessageBox::Icon kind = QMessageBox::Information;
    switch (icon) {
    case MessageIcon::Stop:
        kind = QMessageBox::Critical;
        break;
    case MessageIcon::Exclamation:
        kind = QMessageBox::Warning;
        break;
    case MessageIcon::Information:
        break;
    }
    const QWidget *ownerWindow = owner ? owner->window() : nullptr;
    if (ownerWindow && ownerWindow->isVisible()) {
        // Qt centres the box over its owner's window.
        QMessageBox box(kind, caption, text, QMessageBox::Ok, owner);
        box.exec();
    } else {
        ScreenCentredBox box(kind, caption, text, QMessageBox::Ok, owner);
        box.exec();
    }
}

MessageBoxHook setMessageBoxHook(MessageBoxHook hook)
{
    MessageBoxHook previous = std::move(hookSlot());
    hookSlot() = std::move(hook);
    return previous;
}

} // namespace platform
