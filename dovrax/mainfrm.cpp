#include "mainfrm.h"

#include "dovraxdlg.h"
#include "lockkeys.h"
#include "res/ids.h"
#include "res/resources.h"
#include "windowicon.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include <algorithm>

namespace {
constexpr int kMessagePaneWidth = 295;
constexpr int kToolBarHeight = 26;
constexpr int kAdapterPaneMaxWidth = 220;
// The lock-key panes, in the order of the status bar.
constexpr int kLockPaneIds[3] = {res::ID_INDICATOR_CAPS, res::ID_INDICATOR_NUM,
                                 res::ID_INDICATOR_SCRL};

// A pane that shortens its text in the middle to whatever width the status bar gives it, so
// that it is the pane that gives way when the frame's fixed width runs short.
class ElidingPane : public QLabel
{
public:
    using QLabel::QLabel;

    void setFullText(const QString &text)
    {
        fullText_ = text;
        // A screen reader reads the whole name, whatever width the pane has now.
        setAccessibleName(text);
        elide();
        updateGeometry();
    }

    QSize sizeHint() const override
    {
        const QMargins m = contentsMargins();
        return QSize(fontMetrics().horizontalAdvance(fullText_) + m.left() + m.right() +
                         2 * margin() + 6,
                     QLabel::sizeHint().height());
    }
    QSize minimumSizeHint() const override
    {
        return QSize(contentsMargins().left() + contentsMargins().right() +
                         fontMetrics().horizontalAdvance(QChar(0x2026)) + 6,
                     QLabel::minimumSizeHint().height());
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide()
    {
        setText(fontMetrics().elidedText(fullText_, Qt::ElideMiddle, contentsRect().width() - 6));
    }

    QString fullText_;
};

// Width a pane needs to show `text` whole.
int paneWidthFor(const QLabel *pane, const QString &text)
{
    const QMargins m = pane->contentsMargins();
    return pane->fontMetrics().horizontalAdvance(text) + m.left() + m.right() + 2 * pane->margin() +
           4;
}
} // namespace

CMainFrame::CMainFrame(const ViewFactory &makeView)
{
    // Caption, system menu and minimise box: no maximise box and no sizing border.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(res::kWindowTitle));

    form_ = makeView ? makeView(this) : nullptr;
    if (!form_)
        return;
    setCentralWidget(form_);
    createToolBar();
    createStatusBar();
    createMenuAndAccelerators();
    created_ = true;
}

CMainFrame::~CMainFrame() = default;

platform::View *CMainFrame::activeView() const
{
    return created_ ? form_ : nullptr;
}

void CMainFrame::createToolBar()
{
    toolBar_ = new QToolBar(this);
    toolBar_->setObjectName(QString::number(res::AFX_IDW_TOOLBAR));
    // No buttons are loaded: an empty band above the form. Bars do not dock elsewhere.
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setFixedHeight(kToolBarHeight);
    toolBar_->toggleViewAction()->setEnabled(false);
    addToolBar(Qt::TopToolBarArea, toolBar_);
}

void CMainFrame::createStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QString::number(res::AFX_IDW_STATUS_BAR));
    bar->setSizeGripEnabled(false);
    // The message pane is the status bar's own message area and shows "Ready" when idle. It is
    // 295 pixels wide where the frame has room, and gives up what the other panes need in the
    // frame's fixed width (the adapter pane would be cut off otherwise); a long prompt is cut.
    auto *ready = new QLabel(res::loadString(res::AFX_IDS_IDLEMESSAGE), bar);
    ready->setObjectName(QStringLiteral("0"));
    ready->setMinimumWidth(1);
    ready->setMaximumWidth(kMessagePaneWidth);
    ready->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    ready->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    bar->addWidget(ready, 1);
    connect(bar, &QStatusBar::messageChanged, ready, [ready](const QString &message) {
        ready->setText(message.isEmpty() ? res::loadString(res::AFX_IDS_IDLEMESSAGE) : message);
        // The interrupt count keeps its room for as long as it is shown; the adapter pane gives
        // way. It only grows while counting, so the panes do not jump with every tick.
        const bool count = message.startsWith(QLatin1String("INT "));
        const int needed = std::min(kMessagePaneWidth, paneWidthFor(ready, message));
        ready->setMinimumWidth(count ? std::max(ready->minimumWidth(), needed) : 1);
    });
    for (int i = 0; i < 3; ++i) {
        auto *pane = new QLabel(bar);
        pane->setObjectName(QString::number(kLockPaneIds[i]));
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(
            pane->fontMetrics().horizontalAdvance(res::loadString(kLockPaneIds[i])) + 8);
        bar->addPermanentWidget(pane);
        lockPanes_[i] = pane;
    }
    adapterPane_ = new ElidingPane(bar);
    adapterPane_->setObjectName(QStringLiteral("adapter"));
    adapterPane_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    bar->addPermanentWidget(adapterPane_);
    setAdapterLabel(QStringLiteral("No adapter library"), QString());
    // The panes change when the display reports a lock key change; nothing is polled.
    platform::LockKeyWatcher *lockKeys = platform::createLockKeyWatcher(this);
    connect(lockKeys, &platform::LockKeyWatcher::changed, this, &CMainFrame::updateLockIndicators);
    updateLockIndicators(lockKeys->state());
}

void CMainFrame::setAdapterLabel(const QString &text, const QString &detail)
{
    // The frame has a fixed width: a long name is cut short to the room the pane gets, the
    // tooltip has it whole.
    adapterPane_->setMaximumWidth(kAdapterPaneMaxWidth);
    static_cast<ElidingPane *>(adapterPane_)->setFullText(text);
    // A library's path names its file; an instance's name is said only by the pane.
    adapterPane_->setToolTip(detail.contains(text) || text.isEmpty() ? detail
                             : detail.isEmpty()                      ? text
                                                : text + QLatin1Char('\n') + detail);
}

void CMainFrame::updateLockIndicators(const platform::LockKeys &keys)
{
    const bool on[3] = {keys.caps, keys.num, keys.scroll};
    for (int i = 0; i < 3; ++i)
        lockPanes_[i]->setText(on[i] ? res::loadString(kLockPaneIds[i]) : QString());
}

void CMainFrame::createMenuAndAccelerators()
{
    auto makeAction = [this](const QString &text, int command) {
        auto *action = new QAction(text, this);
        action->setStatusTip(res::commandPrompt(command));
        action->setData(command);
        actions_.insert(command, action);
        return action;
    };
    for (const res::MenuColumn &column : res::mainMenu()) {
        const QString title = QString::fromLatin1(column.title);
        if (column.entries.empty()) {
            // A top-level entry without a pop-up; choosing it does nothing.
            menuBar()->addAction(title);
            continue;
        }
        QMenu *menu = menuBar()->addMenu(title);
        for (const res::MenuEntry &entry : column.entries) {
            if (!entry.text) {
                menu->addSeparator();
                continue;
            }
            // Qt shows the text after the tab as the key of the entry.
            const QString text = QString::fromLatin1(entry.text);
            QAction *action = actions_.value(entry.command);
            if (!action)
                action = makeAction(text, entry.command);
            else
                action->setText(text);
            menu->addAction(action);
        }
    }
    for (const res::Accelerator &accelerator : res::accelerators()) {
        QAction *action = actions_.value(accelerator.command);
        if (!action) {
            action = makeAction(QString(), accelerator.command);
            addAction(action); // reachable by its keys without a menu entry
        }
        QList<QKeySequence> keys = action->shortcuts();
        keys << QKeySequence(accelerator.keys);
        action->setShortcuts(keys);
    }
    for (QAction *action : std::as_const(actions_)) {
        const int command = action->data().toInt();
        switch (command) {
        case res::ID_EDIT_UNDO:
        case res::ID_EDIT_CUT:
        case res::ID_EDIT_COPY:
        case res::ID_EDIT_PASTE:
            // Nothing in the program handles these: they show disabled and do nothing.
            action->setEnabled(false);
            break;
        case res::ID_NEXT_PANE:
        case res::ID_PREV_PANE:
            // The frame has one pane: nothing to switch to.
            break;
        case res::ID_APP_EXIT:
            connect(action, &QAction::triggered, this, &QWidget::close);
            break;
        default:
            connect(action, &QAction::triggered, this,
                    [this, command] { Q_EMIT commandIssued(command); });
            break;
        }
    }
}

QPoint CMainFrame::centredPosition(const QSize &frameSize, const QSize &screenSize)
{
    return QPoint((screenSize.width() - frameSize.width()) / 2,
                  (screenSize.height() - frameSize.height()) / 2);
}

void CMainFrame::activateFrame()
{
    // Fit the frame to the form, then centre it on the whole primary screen (the area under
    // panels included).
    layout()->invalidate();
    adjustSize();
    setFixedSize(sizeHint());
    // The frame shows the application's icon. On X11 it goes to the window system as it was
    // laid out when the program was built: Qt would convert and send the whole icon, every size
    // of it, twice at each start.
    platform::createWithApplicationIcon(this);
    // Shown first, so that the window manager's frame is part of the size being centred. The
    // manager may report its frame only a moment after the window is mapped: centre again then.
    show();
    centre();
    for (int delayMs : {50, 250})
        QTimer::singleShot(delayMs, this, &CMainFrame::centre);
    raise();
    activateWindow();
    repaint();
}

void CMainFrame::centre()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    const QSize screenSize = screen ? screen->geometry().size() : QSize();
    const QPoint target = centredPosition(frameGeometry().size(), screenSize);
    if (frameGeometry().topLeft() != target)
        move(target);
}

void CMainFrame::closeEvent(QCloseEvent *event)
{
    // The document is never modified, so closing never asks to save.
    event->accept();
}
