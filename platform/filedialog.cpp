#include "filedialog.h"

#include <QFileDialog>

namespace platform {

namespace {
SaveFileHook &hookSlot()
{
    static SaveFileHook hook;
    return hook;
}
} // namespace

QString chooseSaveFile(QWidget *owner, const QString &caption, const QString &suggestedName,
                       const QString &filter)
{
    if (const SaveFileHook &hook = hookSlot())
        return hook(caption, suggestedName);
    // QFileDialog asks before it returns the name of a file that exists.
    return QFileDialog::getSaveFileName(owner, caption, suggestedName, filter);
}

SaveFileHook setSaveFileHook(SaveFileHook hook)
{
    SaveFileHook previous = std::move(hookSlot());
    hookSlot() = std::move(hook);
    return previous;
}

} // namespace platform
