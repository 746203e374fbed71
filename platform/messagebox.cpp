#include "messagebox.h"

#include <QMessageBox>

namespace platform {

namespace {
MessageBoxHook &hookSlot()
{
    static MessageBoxHook hook;
    return hook;
}
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
    QMessageBox box(kind, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

MessageBoxHook setMessageBoxHook(MessageBoxHook hook)
{
    MessageBoxHook previous = std::move(hookSlot());
    hookSlot() = std::move(hook);
    return previous;
}

} // namespace platform
