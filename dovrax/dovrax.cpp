#include "dovrax.h"

#include "adapterlink.h"
#include "appstyle.h"
#include "dovraxdlg.h"
#include "dovraxdoc.h"
#include "fonts.h"
#include "mainfrm.h"
#include "mulvoloader.h"
#include "profile.h"
#include "res/ids.h"
#include "res/resources.h"
#include "windowicon.h"

#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

#include <cstdio>

Q_LOGGING_CATEGORY(lcApp, "dovrax.app")

namespace {
// A window class name is kept to 79 characters.
constexpr int kClassNameMax = 79;
} // namespace

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent)
{
    const dialogdata::DialogTemplate &dialog = res::aboutBoxTemplate();
    setWindowTitle(QString::fromLatin1(dialog.caption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(platform::dialogFont());
    platform::buildDialog(this, dialog);
    for (QLabel *label : findChildren<QLabel *>()) {
        if (label->text().isEmpty())
            label->setPixmap(res::appIcon().pixmap(label->size()));
    }
    auto *ok = static_cast<QPushButton *>(platform::controlById(this, res::IDOK));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    if (parent) {
        const QRect owner = parent->window()->frameGeometry();
        move(owner.center() - rect().center());
    }
}

CDovraxApp::CDovraxApp(int &argc, char **argv) : QApplication(argc, argv)
{
    setOrganizationName(QStringLiteral("Velmora"));
    setApplicationName(QString::fromLatin1(res::kAppTitle));
    setApplicationVersion(QString::fromLatin1(res::kVersion));
    setDesktopFileName(QStringLiteral("dovrax"));
    setStyle(platform::createAppStyle());
    // Made when a window first shows it: the main window's icon goes its own way (see the
    // frame), so a start without boxes never makes it.
    platform::setApplicationIcon(&res::appIcon, res::appIconProperty());
}

CDovraxApp::~CDovraxApp()
{
    ExitInstance();
}

CMainFrame *CDovraxApp::mainFrame() const
{
    return template_ ? static_cast<CMainFrame *>(template_->frame()) : nullptr;
}

bool CDovraxApp::InitInstance(const QString &documentPath, const mulvo::Choice &adapter,
                              int &exitCode)
{
    exitCode = 1;
    platform::loadFonts();
    if (!hostWindows_)
        hostWindows_ = platform::createHostWindows();

    {
        QSettings settings;
        settings.value(QLatin1String(kClassNameKey)); // the file is parsed on first access
        const QString repaired = platform::repairSettingsFile(
            settings, {QStringLiteral("Settings/"), QStringLiteral("Recent File List/"),
                       QString::fromLatin1(mulvo::kSettingGroup) + u'/'});
        if (!repaired.isEmpty())
            qCWarning(lcApp).noquote() << repaired;
        else if (settings.status() == QSettings::AccessError)
            qCWarning(lcApp) << "the settings file" << settings.fileName() << "cannot be read";
    }
    // The window-class lookup finds a running copy on this X11 display; the lock finds it on
    // any display, and also while its window is not up yet. Either way the adapter stays
    // unopened here.
    if (bringRunningCopyToFront()) {
        reportRunningCopy(true);
        exitCode = 0;
        return false;
    }
    if (!singleCopy_.acquire()) {
        reportRunningCopy(singleCopy_.askRunningCopyToFront());
        exitCode = 0;
        return false;
    }
    connect(&singleCopy_, &platform::SingleCopy::frontRequested, this, &CDovraxApp::comeToFront);

    std::string error;
    mulvo::LoadFailure failure;
    std::unique_ptr<mulvo::Library> library = mulvo::Library::choose(adapter, error, &failure);
    QString libraryError;
    // One line on standard error says which library this copy talks to, with the loader's full
    // text when it failed; the form's log gets the short form, which fits its width.
    if (library && library->kind() == mulvo::Library::Kind::Service) {
        // The client library is only the way there: the line names what the service holds.
        const mulvo::LibraryLabel through = mulvo::describeLibrary(library.get(), error);
        std::fprintf(stderr, "dovrax: adapter library %s (%s; %s)\n", library->file().c_str(),
                     through.text.c_str(), through.detail.c_str());
    } else if (library) {
        std::fprintf(stderr, "dovrax: adapter library %s\n", library->file().c_str());
    } else {
        libraryError = failure.file.empty()
                           ? QString::fromStdString(error)
                           : QString::fromStdString(failure.file + " " + failure.reason);
        std::fprintf(stderr, "dovrax: no adapter library: %s\n", error.c_str());
    }
    const mulvo::LibraryLabel label = mulvo::describeLibrary(library.get(), error);
    adapterLabel_ = QString::fromStdString(label.text);
    adapterDetail_ = QString::fromStdString(label.detail);
    link_ = std::make_unique<AdapterLink>(std::move(library), libraryError);

    template_ = std::make_unique<platform::SingleDocTemplate>(
        [] { return std::make_unique<CDovraxDoc>(); },
        [this]() -> std::unique_ptr<platform::FrameWindow> {
            auto frame = std::make_unique<CMainFrame>([this](QWidget *parent) {
                auto *form = new CDovraxDlg(*link_, parent, hostWindows_);
                form->setInterruptMonitoring(interruptMonitoring_);
                return form;
            });
            if (!frame->isCreated())
                return nullptr;
            frame->setAdapterLabel(adapterLabel_, adapterDetail_);
            connect(frame.get(), &CMainFrame::commandIssued, this, &CDovraxApp::onCommand);
            return frame;
        });

    const bool opened =
        documentPath.isEmpty() ? template_->newDocument() : template_->openDocument(documentPath);
    if (!opened) {
        // A document that cannot be opened was reported by the template.
        if (documentPath.isEmpty())
            QMessageBox::critical(nullptr, QString::fromLatin1(res::kAppTitle),
                                  QStringLiteral("Failed to create empty document."));
        return false;
    }
    storeWindowClass();
    exitCode = 0;
    return true;
}

bool CDovraxApp::bringRunningCopyToFront()
{
    QSettings settings;
    const QString windowClass =
        settings.value(QLatin1String(kClassNameKey), QLatin1String(kClassNameDefault)).toString();
    // A window of that class that is not marked as ours belongs to another program (the
    // setting may name anything): then this copy starts.
    const platform::HostWindow running = hostWindows_->findMainWindow(windowClass);
    if (!running)
        return false;
    hostWindows_->bringToFront(running);
    return true;
}

void CDovraxApp::reportRunningCopy(bool broughtToFront)
{
    QString text = broughtToFront
                       ? QStringLiteral("a copy is already running and was brought to the front")
                       : QStringLiteral("a copy is already running but did not answer");
    if (!startOptions_.isEmpty())
        text += QStringLiteral("; these options were not applied: ") +
                startOptions_.join(QStringLiteral(" "));
    std::fprintf(stderr, "dovrax: %s\n", qPrintable(text));
}

void CDovraxApp::comeToFront()
{
    CMainFrame *frame = mainFrame();
    if (!frame || !frame->isVisible())
        return;
    if (frame->isMinimized())
        frame->showNormal();
    // A modal box open in this copy is what the operator must see.
    QWidget *top = activeModalWidget() ? activeModalWidget() : frame;
    top->raise();
    top->activateWindow();
    // On X11, through the window manager as a pager would, which it does not refuse.
    hostWindows_->bringToFront(frame->winId());
}

void CDovraxApp::storeWindowClass()
{
    CMainFrame *frame = mainFrame();
    QString windowClass = hostWindows_->windowClass(frame->winId());
    if (windowClass.isEmpty())
        return; // no window system that names window classes
    hostWindows_->markAsMainWindow(frame->winId());
    windowClass.truncate(kClassNameMax);
    QSettings settings;
    // Most starts find the class stored already: the file is then left as it is.
    if (settings.value(QLatin1String(kClassNameKey)) == windowClass)
        return;
    settings.setValue(QLatin1String(kClassNameKey), windowClass);
    settings.sync();
    if (settings.status() == QSettings::AccessError)
        qCWarning(lcApp) << "the settings file" << settings.fileName()
                         << "cannot be written; the next start will not find this copy";
}

void CDovraxApp::onCommand(int command)
{
    switch (command) {
    case res::ID_FILE_NEW:
        template_->newDocument();
        break;
    case res::ID_FILE_OPEN:
        template_->openWithChooser();
        break;
    case res::ID_FILE_SAVE:
        template_->save();
        break;
    case res::ID_APP_ABOUT:
        OnAppAbout();
        break;
    default:
        break;
    }
}

void CDovraxApp::OnAppAbout()
{
    CAboutDlg about(mainFrame());
    about.exec();
}

int CDovraxApp::ExitInstance()
{
    template_.reset();
    link_.reset();
    return 0;
}
