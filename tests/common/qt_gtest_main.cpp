// gtest entry point for tests that need a QApplication.
#include "fonts.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Tests must not read or write the user's own settings.
    if (qEnvironmentVariableIsEmpty("DOVRAX_TEST_KEEP_HOME")) {
        static QByteArray tmpl = QByteArray("/tmp/dovrax-test-XXXXXX");
        if (char *dir = mkdtemp(tmpl.data()))
            qputenv("XDG_CONFIG_HOME", dir);
    }
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    platform::loadFonts();
    return RUN_ALL_TESTS();
}
