// The application object and the About box.
#pragma once

#include "doctemplate.h"
#include "hostwindows.h"
#include "mulvoloader.h"
#include "singlecopy.h"

#include <QApplication>
#include <QDialog>
#include <QStringList>

#include <memory>

class AdapterLink;
class CMainFrame;

class CAboutDlg : public QDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget *parent = nullptr);
};

class CDovraxApp : public QApplication
{
    Q_OBJECT
public:
    CDovraxApp(int &argc, char **argv);
    ~CDovraxApp() override;

    // Start-up with the adapter library `adapter` chose: false when the program should end at
    // once; `exitCode` says with which status (0 when another copy was brought to the front
    // instead).
    bool InitInstance(const QString &documentPath, const mulvo::Choice &adapter, int &exitCode);
    // Shutdown: the frame, the form and the document go, then the adapter link and library.
    int ExitInstance();

    CMainFrame *mainFrame() const;
    platform::SingleDocTemplate *docTemplate() const { return template_.get(); }

    // Settings store entry holding the window class of the running copy's main window.
    static constexpr const char *kClassNameKey = "Settings/Class Name";
    static constexpr const char *kClassNameDefault = "default string";
    // Settings store entry that, set to true, lets the operator start interrupt monitoring.
    static constexpr const char *kInterruptMonitoringKey = "Settings/Interrupt Monitoring";

    // Whether the form's Start button is enabled while an adapter is open; before
    // InitInstance.
    void setInterruptMonitoring(bool allowed) { interruptMonitoring_ = allowed; }
    // The options and file this start was given, as typed; a copy already running does not
    // take them, and the message says so. Before InitInstance.
    void setStartOptions(const QStringList &given) { startOptions_ = given; }
    // Other programs' windows are found through `windows` (a connection made before the
    // application); without it InitInstance opens one for the platform the program runs on.
    void setHostWindows(std::unique_ptr<platform::HostWindows> windows)
    {
        hostWindows_ = std::move(windows);
    }

    void OnAppAbout();

private:
    void onCommand(int command);
    bool bringRunningCopyToFront();
    // Tells standard error that this start ends because of a running copy.
    void reportRunningCopy(bool broughtToFront);
    void comeToFront();
    void storeWindowClass();

    // One connection for the running copy's lookup and the form's automation.
    std::shared_ptr<platform::HostWindows> hostWindows_;
    platform::SingleCopy singleCopy_{QStringLiteral("dovrax")};
    bool interruptMonitoring_ = false;
    QStringList startOptions_;
    // The link outlives the template, whose form uses it until it is destroyed.
    std::unique_ptr<AdapterLink> link_;
    // What the status bar shows of the library in use: its name, and its path as the tooltip.
    QString adapterLabel_;
    QString adapterDetail_;
    std::unique_ptr<platform::SingleDocTemplate> template_;
};
