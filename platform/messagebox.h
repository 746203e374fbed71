// Modal message boxes with an OK button, replaceable by tests.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace platform {

enum class MessageIcon
{
    Stop,
    Exclamation,
    Information
};

// One message box as shown: owner, text, caption and icon kind.
struct MessageBoxCall
{
    QWidget *owner;
    QString text;
    QString caption;
    MessageIcon icon;
};

using MessageBoxHook = std::function<void(const MessageBoxCall &)>;

// Shows a modal box owned by `owner` and waits until it is closed. It is centred over the
// owner's window, or on the primary screen while that window is not shown yet. When a hook is
// installed, the hook is called instead (tests record the boxes that way).
void messageBox(QWidget *owner, const QString &text, const QString &caption, MessageIcon icon);

// Installs `hook` (an empty function restores the real boxes); returns the previous one.
MessageBoxHook setMessageBoxHook(MessageBoxHook hook);

} // namespace platform
