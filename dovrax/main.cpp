#include "dovrax.h"
#include "hostwindows.h"
#include "messagebox.h"
#include "res/resources.h"
#include "standardfds.h"

#include "adaptersetting.h"
#include "mulvoloader.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSettings>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace {

// Qt's own command-line options, which QApplication takes out of the arguments. The parser runs
// before the application exists (so that --help works without a display) and must accept them.
void addQtOptions(QCommandLineParser &parser)
{
    for (const char *name : {"platform", "platformpluginpath", "platformtheme", "plugin",
                             "qwindowgeometry", "qwindowicon", "qwindowtitle", "display",
                             "geometry", "style", "stylesheet", "session", "name", "title"}) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

// Settles the windowing platform before Qt starts; false (with a message) when there is no
// display to run on, where Qt would abort without a word an operator understands. On X11 the
// connection that found the server reachable goes to `hostWindows`, where one is given.
bool chooseDisplay(const QCommandLineParser &parser, bool quiet = false,
                   std::unique_ptr<platform::HostWindows> *hostWindows = nullptr)
{
    const QString option = parser.value(QStringLiteral("platform"));
    QByteArray platform = option.isEmpty() ? qgetenv("QT_QPA_PLATFORM") : option.toLocal8Bit();
    if (platform.isEmpty()) {
        if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
            // In a Wayland session too: the host windows and the running copy are found through
            // X11, so the program itself runs as an X11 client (XWayland).
            platform = "xcb";
            qputenv("QT_QPA_PLATFORM", platform);
        } else if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            if (quiet)
                return false;
            std::fprintf(stderr, "dovrax: no display: set DISPLAY (X11) or WAYLAND_DISPLAY, or "
                                 "choose a Qt platform with -platform\n");
            return false;
        }
    }
    if (platform.split(':').constFirst() != "xcb")
        return true;
    const QByteArray display = parser.isSet(QStringLiteral("display"))
                                   ? parser.value(QStringLiteral("display")).toLocal8Bit()
                                   : qgetenv("DISPLAY");
    if (auto windows = platform::openX11HostWindows(display)) {
        if (hostWindows)
            *hostWindows = std::move(windows);
        return true;
    }
    if (quiet)
        return false;
    std::fprintf(stderr,
                 "dovrax: cannot open the X display \"%s\": check DISPLAY (or -display), or "
                 "choose a Qt platform with -platform\n",
                 display.constData());
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    dovrax::openStandardDescriptors();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Bench tool for the DOV-RAX 8-bit digital I/O adapter."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    const QCommandLineOption adapter(
        QStringLiteral("adapter"),
        QStringLiteral("Adapter library to use: virtual (the bundled virtual adapter), gpio (the "
                       "bundled GPIO adapter library), system (libmulvo.so.1 on the system's "
                       "library path) or an absolute path. Without it: $DOVRAX_MULVOLIB, then "
                       "the setting Adapter/Library, then libmulvo.so.1 on the system's library "
                       "path, then the virtual adapter. The current directory is never "
                       "searched."),
        QStringLiteral("LIB"));
    const QCommandLineOption interrupts(
        QStringLiteral("interrupts"),
        QStringLiteral("Enable the Start button whenever an adapter is open, to watch the "
                       "adapter's interrupt (also the setting Settings/Interrupt Monitoring set "
                       "to true). Without it Start stays disabled. Each interrupt is answered "
                       "by writing 0x00 to the output, acknowledging it and writing 0x01, so "
                       "the output byte is 0x01 after any interrupt."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(adapter);
    parser.addOption(interrupts);
    addQtOptions(parser);
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("Document to open (its content is not read)."),
                                 QStringLiteral("[file]"));
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "dovrax: %s\nTry 'dovrax --help' for more information.\n",
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help)) {
        // Without an application object the parser cannot know the program's name.
        std::fputs(qPrintable(parser.helpText().replace(QLatin1String("<executable_name>"),
                                                        QLatin1String("dovrax"))),
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("dovrax %s\n", res::kVersion);
        return 0;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::fprintf(stderr, "dovrax: at most one file may be given\n"
                             "Try 'dovrax --help' for more information.\n");
        return 2;
    }

    // The adapter library is chosen before anything opens, so that a wrong choice ends here.
    std::optional<std::string> adapterOption;
    if (parser.isSet(adapter))
        adapterOption = parser.values(adapter).constLast().toLocal8Bit().toStdString();
    const std::optional<std::string> adapterSetting = mulvo::readAdapterSetting();
    bool interruptMonitoring = parser.isSet(interrupts);
    if (!interruptMonitoring)
        interruptMonitoring =
            QSettings(QStringLiteral("Velmora"), QString::fromLatin1(res::kAppTitle))
                .value(QLatin1String(CDovraxApp::kInterruptMonitoringKey), false)
                .toBool();
    mulvo::Choice choice;
    std::string error;
    if (!mulvo::resolveChoice(adapterOption, adapterSetting, choice, error)) {
        std::fprintf(stderr, "dovrax: %s\nTry 'dovrax --help' for more information.\n",
                     error.c_str());
        // Started from the desktop menu, nobody reads standard error: a wrong setting or
        // environment variable is shown in a box too, where there is a display for one.
        if (!adapterOption && chooseDisplay(parser, true)) {
            QApplication app(argc, argv);
            platform::messageBox(nullptr, QString::fromStdString(error),
                                 QString::fromLatin1(res::kAppTitle), platform::MessageIcon::Stop);
        }
        return 2;
    }

    std::unique_ptr<platform::HostWindows> hostWindows;
    if (!chooseDisplay(parser, false, &hostWindows))
        return 1;

    // What a copy already running would not take from this start.
    QStringList startOptions;
    if (adapterOption)
        startOptions << QStringLiteral("--adapter") << parser.values(adapter).constLast();
    if (parser.isSet(interrupts))
        startOptions << QStringLiteral("--interrupts");
    startOptions << files;

    CDovraxApp app(argc, argv);
    app.setInterruptMonitoring(interruptMonitoring);
    app.setStartOptions(startOptions);
    if (hostWindows)
        app.setHostWindows(std::move(hostWindows));
    int exitCode = 0;
    if (!app.InitInstance(files.value(0), choice, exitCode)) {
        app.ExitInstance();
        return exitCode;
    }
    const int status = app.exec();
    app.ExitInstance();
    return status;
}
