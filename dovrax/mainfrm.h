// The main frame: menu, accelerator keys, an empty tool bar band, the status bar and the
// control form as its only view. Fixed size, centred on the primary screen at every activation.
#pragma once

#include "doctemplate.h"
#include "lockkeys.h"

#include <QHash>

#include <functional>

class CDovraxDlg;
class QAction;
class QLabel;
class QToolBar;

class CMainFrame : public platform::FrameWindow
{
    Q_OBJECT
public:
    // Makes the form; returns null when it cannot be made.
    using ViewFactory = std::function<CDovraxDlg *(QWidget *parent)>;

    explicit CMainFrame(const ViewFactory &makeView);
    ~CMainFrame() override;

    // False when the frame could not be built (the reason went to the debug trace).
    bool isCreated() const { return created_; }

    platform::View *activeView() const override;
    CDovraxDlg *form() const { return form_; }
    void activateFrame() override;
    // Moves the frame, window-manager frame included, to the middle of the primary screen.
    void centre();

    // The status bar pane after the lock keys that names the adapter library in use; `detail`
    // (its full path, or why there is none) is the pane's tooltip.
    void setAdapterLabel(const QString &text, const QString &detail);
    QLabel *adapterPane() const { return adapterPane_; }

    // The action of a command (menu entry or accelerator), or null.
    QAction *commandAction(int command) const { return actions_.value(command); }

    // Where the frame goes when activated: centred on the whole primary screen.
    static QPoint centredPosition(const QSize &frameSize, const QSize &screenSize);

Q_SIGNALS:
    // A command that the application handles (New, Open, Save, About).
    void commandIssued(int command);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createToolBar();
    void createStatusBar();
    void createMenuAndAccelerators();
    void updateLockIndicators(const platform::LockKeys &keys);

    bool created_ = false;
    CDovraxDlg *form_ = nullptr;
    QToolBar *toolBar_ = nullptr;
    QLabel *lockPanes_[3] = {};
    QLabel *adapterPane_ = nullptr;
    QHash<int, QAction *> actions_;
};
