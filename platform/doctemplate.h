// The single-document template: one document, one frame, one view, created once and reused.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace platform {

// A document's storage. The default steps succeed and touch no file.
class Document
{
public:
    virtual ~Document() = default;
    virtual bool onNewDocument() { return true; }
    virtual bool onOpenDocument(const QString &path);
    virtual bool onSaveDocument(const QString &path);

    const QString &pathName() const { return pathName_; }
    void setPathName(const QString &path) { pathName_ = path; }

private:
    QString pathName_;
};

// A view receives the initial update after its document was made new or opened.
class View
{
public:
    virtual ~View() = default;
    virtual void onInitialUpdate() = 0;
};

// The frame window that holds the view.
class FrameWindow : public QMainWindow
{
    Q_OBJECT
public:
    using QMainWindow::QMainWindow;
    virtual View *activeView() const = 0;
    // Brings the frame up after a new or opened document: position it and show it.
    virtual void activateFrame() = 0;
};

// Asks for a file name: to open (`save` false) or to save as. Empty when cancelled.
using FileChooser = std::function<QString(QWidget *parent, bool save)>;

class SingleDocTemplate
{
public:
    using DocumentFactory = std::function<std::unique_ptr<Document>()>;
    // Returns null when the frame cannot be created.
    using FrameFactory = std::function<std::unique_ptr<FrameWindow>()>;

    SingleDocTemplate(DocumentFactory document, FrameFactory frame, int recentFileCount = 4);
    ~SingleDocTemplate();

    // New: builds document, frame and view the first time, then reuses them. The view's initial
    // update runs and the frame is activated each time. False when anything fails.
    bool newDocument();
    // Open: as New but the document loads `path`, which joins the recent-file list. A file that
    // cannot be opened is reported in a stop box.
    bool openDocument(const QString &path);
    // The Open command: a chooser offering all files; cancelling changes nothing.
    bool openWithChooser();
    // The Save command: a new document asks for a file name first. A failure is reported in a
    // stop box; an existing file chosen to save over is kept as it is, and a box says so.
    bool save();

    Document *document() const { return document_.get(); }
    FrameWindow *frame() const { return frame_.get(); }
    QStringList recentFiles() const;

    // Replaces the file chooser (tests).
    void setFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }

    // Destroys frame, view and document, in that order.
    void close();

private:
    bool ensureCreated();
    bool finish();
    void addRecentFile(const QString &path);

    DocumentFactory makeDocument_;
    FrameFactory makeFrame_;
    int recentFileCount_;
    FileChooser chooser_;
    std::unique_ptr<Document> document_;
    std::unique_ptr<FrameWindow> frame_;
};

} // namespace platform
