#include "doctemplate.h"

#include "messagebox.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QSettings>

namespace platform {

Q_LOGGING_CATEGORY(lcDocument, "dovrax.document")

bool Document::onOpenDocument(const QString &path)
{
    // Opening needs a readable file, although nothing is read from it.
    QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

bool Document::onSaveDocument(const QString &path)
{
    // The document has no content. An existing file is left exactly as it is; a new one is
    // created empty.
    if (QFileInfo::exists(path))
        return true;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qCWarning(lcDocument) << "cannot create" << path << ":" << file.errorString();
        return false;
    }
    return true;
}

SingleDocTemplate::SingleDocTemplate(DocumentFactory document, FrameFactory frame,
                                     int recentFileCount)
    : makeDocument_(std::move(document)), makeFrame_(std::move(frame)),
      recentFileCount_(recentFileCount)
{
    chooser_ = [](QWidget *parent, bool save) {
        return save ? QFileDialog::getSaveFileName(parent)
                    : QFileDialog::getOpenFileName(parent, QString(), QString(),
                                                   QStringLiteral("All Files (*)"));
    };
}

SingleDocTemplate::~SingleDocTemplate()
{
    close();
}

void SingleDocTemplate::close()
{
    frame_.reset();
    document_.reset();
}

bool SingleDocTemplate::ensureCreated()
{
    if (document_ && frame_)
        return true;
    document_ = makeDocument_();
    if (!document_)
        return false;
    frame_ = makeFrame_();
    if (!frame_ || !frame_->activeView()) {
        frame_.reset();
        document_.reset();
        return false;
    }
    return true;
}

bool SingleDocTemplate::finish()
{
    frame_->activeView()->onInitialUpdate();
    frame_->activateFrame();
    return true;
}

bool SingleDocTemplate::newDocument()
{
    if (!ensureCreated() || !document_->onNewDocument())
        return false;
    document_->setPathName(QString());
    return finish();
}

bool SingleDocTemplate::openDocument(const QString &path)
{
    if (!ensureCreated())
        return false;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    if (!document_->onOpenDocument(absolute)) {
        qCWarning(lcDocument) << "cannot open" << absolute;
        messageBox(frame_.get(), QStringLiteral("Failed to open document."),
                   QGuiApplication::applicationName(), MessageIcon::Stop);
        return false;
    }
    document_->setPathName(absolute);
    addRecentFile(absolute);
    return finish();
}

bool SingleDocTemplate::openWithChooser()
{
    const QString path = chooser_(frame_.get(), false);
    if (path.isEmpty())
        return false;
    return openDocument(path);
}

bool SingleDocTemplate::save()
{
    if (!document_)
        return false;
    QString path = document_->pathName();
    bool keptExisting = false;
    if (path.isEmpty()) {
        path = chooser_(frame_.get(), true);
        if (path.isEmpty())
            return false;
        // The document has no content: a file chosen to save over stays as it is.
        keptExisting = QFileInfo::exists(path);
    }
    if (!document_->onSaveDocument(path)) {
        messageBox(frame_.get(), QStringLiteral("Failed to save document."),
                   QGuiApplication::applicationName(), MessageIcon::Stop);
        return false;
    }
    if (keptExisting)
        messageBox(frame_.get(),
                   QStringLiteral("%1 was kept as it was: this document has no content to write.")
                       .arg(QDir::toNativeSeparators(path)),
                   QGuiApplication::applicationName(), MessageIcon::Information);
    document_->setPathName(path);
    addRecentFile(path);
    return true;
}

QStringList SingleDocTemplate::recentFiles() const
{
    QSettings settings;
    QStringList files;
    for (int i = 1; i <= recentFileCount_; ++i) {
        const QString file =
            settings.value(QStringLiteral("Recent File List/File%1").arg(i)).toString();
        if (!file.isEmpty())
            files << file;
    }
    return files;
}

void SingleDocTemplate::addRecentFile(const QString &path)
{
    QStringList files = recentFiles();
    files.removeAll(path);
    files.prepend(path);
    while (files.size() > recentFileCount_)
        files.removeLast();
    QSettings settings;
    for (int i = 1; i <= recentFileCount_; ++i) {
        const QString key = QStringLiteral("Recent File List/File%1").arg(i);
        if (i <= files.size())
            settings.setValue(key, files[i - 1]);
        else
            settings.remove(key);
    }
}

} // namespace platform
