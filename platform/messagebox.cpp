#include "messagebox.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

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
        // A window manager may report its frame only a moment after the box is mapped.
        for (int delayMs : {50, 250})
            QTimer::singleShot(delayMs, this, &ScreenCentredBox::centre);
    }

private:
    void centre()
    {
        const QScreen *screen = QGuiApplication::primaryScreen();
        if (!screen)
            return;
        const QRect area = screen->geometry();
        const QSize frame = frameGeometry().size();
        const QPoint target(area.x() + (area.width() - frame.width()) / 2,
                            area.y() + (area.height() - frame.height()) / 2);
        if (frameGeometry().topLeft() != target)
            move(target);
    }
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
