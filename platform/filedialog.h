// The file chooser for saving, replaceable by tests.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace platform {

// Asks for the name of a file to save to, starting at `suggestedName`; an existing file is
// replaced only after the user confirms. Returns an empty string when the user cancels.
// When a hook is installed, the hook answers instead.
QString chooseSaveFile(QWidget *owner, const QString &caption, const QString &suggestedName,
                       const QString &filter);

using SaveFileHook = std::function<QString(const QString &caption, const QString &suggestedName)>;

// Installs `hook` (an empty function restores the real chooser); returns the previous one.
SaveFileHook setSaveFileHook(SaveFileHook hook);

} // namespace platform
