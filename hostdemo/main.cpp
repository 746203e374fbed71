// dovrax-hostdemo [title] [--x N] [--y N]
// A window to drive from the program: it lists (and prints to stdout) the keys it receives.
#include "demowindow.h"
#include "standardfds.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char **argv)
{
    dovrax::openStandardDescriptors();
    QApplication app(argc, argv);
    // Qt's xcb platform derives the window's WM_CLASS from the application name.
    QCoreApplication::setApplicationName(QStringLiteral("dovrax-hostdemo"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A window to drive from DOVRAX."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("title"), QStringLiteral("Window title."));
    const QCommandLineOption xOption(QStringLiteral("x"), QStringLiteral("Initial left edge."),
                                     QStringLiteral("N"));
    const QCommandLineOption yOption(QStringLiteral("y"), QStringLiteral("Initial top edge."),
                                     QStringLiteral("N"));
    parser.addOption(xOption);
    parser.addOption(yOption);
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    DemoWindow window;
    window.setWindowTitle(positional.isEmpty() ? QStringLiteral("DOVRAX Host Demo")
                                               : positional.first());

    if (parser.isSet(xOption) || parser.isSet(yOption)) {
        bool xOk = true;
        bool yOk = true;
        const int x = parser.isSet(xOption) ? parser.value(xOption).toInt(&xOk) : 0;
        const int y = parser.isSet(yOption) ? parser.value(yOption).toInt(&yOk) : 0;
        if (!xOk || !yOk) {
            std::fprintf(stderr, "dovrax-hostdemo: --x and --y take whole numbers\n");
            return 2;
        }
        window.move(x, y);
    }
    window.show();
    return app.exec();
}
