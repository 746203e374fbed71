// Reading the host application's title from setup.ini.
#include "profile.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString lookup(const QByteArray &file, int size = 80)
{
    return platform::profileValue(platform::decodeProfileText(file), "OPEN_APP", "NAME", "", size);
}

TEST(Profile, FindsTheValueWithThePrivateProfileRules)
{
    const std::pair<QByteArray, QString> cases[] = {
        {"[OPEN_APP]\nNAME=Host\n", "Host"},
        {"[open_app]\nname=Host", "Host"},                     // other case, no final newline
        {"[OPEN_APP]\r\nNAME=Host Demo\r\n", "Host Demo"},     // CRLF
        {"[OTHER]\rNAME=no\r[OPEN_APP]\rNAME=Host\r", "Host"}, // CR alone
        {"  [ OPEN_APP ]  \n  NAME  =   spaced out   \n", "spaced out"},
        {"[OPEN_APP]\nNAME=\"quoted \"\n", "quoted "}, // one pair of quotes removed
        {"[OPEN_APP]\nNAME='single'\n", "single"},
        {"[OPEN_APP]\nNAME=\"\"inner\"\"\n", "\"inner\""},
        {"[OPEN_APP]\nNAME=\"unbalanced\n", "\"unbalanced"},
        {"[OPEN_APP]\n;NAME=commented\nNAME=real\n", "real"},
        {"[OTHER]\nNAME=wrong\n[OPEN_APP]\nNAME=right\n", "right"},
        {"[OPEN_APP]\nNAME=first\nNAME=second\n", "first"},
        {"[OPEN_APP]\nNAMES=no\nNAME=a=b\n", "a=b"},
        {"\xEF\xBB\xBF[OPEN_APP]\nNAME=bom\n", "bom"}, // UTF-8 mark
        {"[OPEN_APP]\nNAME=Gr\xC3\xBC\xC3\x9F"
         "e\n",
         QString::fromUtf8("Grüße")},
    };
    for (const auto &[file, expected] : cases)
        EXPECT_EQ(lookup(file), expected) << file.toStdString();
}

TEST(Profile, MissingPiecesGiveTheDefault)
{
    for (const QByteArray &file :
         {QByteArray(), QByteArray("[OPEN_APP]\n"), QByteArray("[OPEN_APP]\nNAME=\n"),
          QByteArray("NAME=x\n"), QByteArray("[OTHER]\nNAME=x\n"), QByteArray("[OPEN_APP\nNAME")})
        EXPECT_EQ(lookup(file), "") << file.toStdString();
    EXPECT_EQ(platform::profileValue("", "OPEN_APP", "NAME", "fallback", 80), "fallback");
    EXPECT_EQ(platform::profileValue("", "OPEN_APP", "NAME", "fallback", 4), "fal");
    EXPECT_EQ(platform::profileValue("[OPEN_APP]\nNAME=x", "OPEN_APP", "NAME", "", 0), "");
}

TEST(Profile, ValueIsCutToSizeMinusOneWithoutSplittingAPair)
{
    EXPECT_EQ(lookup("[OPEN_APP]\nNAME=" + QByteArray(100, 'x')), QString(79, 'x'));
    EXPECT_EQ(lookup("[OPEN_APP]\nNAME=\"" + QByteArray(100, 'x') + "\""), QString(79, 'x'));
    // 78 letters and then a character outside the basic plane: cut before the pair.
    const QString cut = lookup("[OPEN_APP]\nNAME=" + QByteArray(78, 'x') + "\xF0\x9F\x98\x80");
    EXPECT_EQ(cut, QString(78, 'x'));
}

TEST(Profile, DecodesUtf16AndBrokenText)
{
    QStringEncoder utf16(QStringEncoder::Utf16LE);
    const QByteArray wide =
        QByteArray("\xFF\xFE") + QByteArray(utf16(u"[Open_App]\r\nName=Wide \u00e9\r\n"));
    EXPECT_EQ(lookup(wide), QString::fromUtf8("Wide é"));
    EXPECT_EQ(lookup(wide + "\x41"), QString::fromUtf8("Wide é")) << "odd trailing byte";
    QStringEncoder utf16be(QStringEncoder::Utf16BE);
    EXPECT_EQ(
        lookup(QByteArray("\xFE\xFF") + QByteArray(utf16be(u"[OPEN_APP]\rNAME=Big \u00e9\r"))),
        QString::fromUtf8("Big é"));
    // Half a surrogate pair becomes a replacement character, never a broken string.
    const QByteArray lone =
        QByteArray("\xFF\xFE") + QByteArray(utf16(u"[OPEN_APP]\nNAME=x")) + QByteArray("\x78\xD8");
    EXPECT_EQ(lookup(lone), QString::fromUtf8("x\uFFFD"));
    // Invalid UTF-8 becomes replacement characters; the lookup still works.
    EXPECT_EQ(lookup("[OPEN_APP]\nNAME=a\xFF\xFE"
                     "b\n"),
              QString::fromUtf8("a\uFFFD\uFFFDb"));
    // Binary garbage with NULs finds nothing and does not crash.
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 131) & 0xFF));
    EXPECT_EQ(lookup(binary), "");
}

TEST(Profile, UnreadableFilesGiveTheDefaultWithAReason)
{
    QTemporaryDir dir;
    QString error;
    EXPECT_EQ(platform::readProfileString(dir.filePath("missing.ini"), "OPEN_APP", "NAME", "", 80,
                                          &error),
              "");
    EXPECT_TRUE(error.contains("does not exist"));
    EXPECT_EQ(platform::readProfileString(dir.path(), "OPEN_APP", "NAME", "", 80, &error), "");
    EXPECT_TRUE(error.contains("directory"));

    // A FIFO is refused at once, whether or not a program writes to it.
    const QString fifo = dir.filePath("fifo.ini");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    auto read = std::async(std::launch::async, [&] {
        QString why;
        const QString value =
            platform::readProfileString(fifo, "OPEN_APP", "NAME", "dflt", 80, &why);
        return value + '|' + why;
    });
    if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked reader go before failing.
        ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
        FAIL() << "reading a FIFO blocks";
    }
    EXPECT_EQ(read.get(), "dflt|" + fifo + " is not a regular file");

    QFile big(dir.filePath("big.ini"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    big.write("[OPEN_APP]\nNAME=big\n");
    big.write(QByteArray(10 * 1024 * 1024, ';'));
    big.close();
    EXPECT_EQ(platform::readProfileString(big.fileName(), "OPEN_APP", "NAME", "", 80, &error),
              "big")
        << "a 10 MB file is still read";
}

TEST(Profile, FileWithoutReadPermissionGivesTheDefault)
{
    QTemporaryDir dir;
    QString error;
    QFile locked(dir.filePath("locked.ini"));
    ASSERT_TRUE(locked.open(QIODevice::WriteOnly));
    locked.write("[OPEN_APP]\nNAME=secret\n");
    locked.close();
    locked.setPermissions(QFileDevice::Permissions());
    if (QFile(locked.fileName()).open(QIODevice::ReadOnly))
        GTEST_SKIP() << "running with rights that read any file";
    EXPECT_EQ(platform::readProfileString(locked.fileName(), "OPEN_APP", "NAME", "", 80, &error),
              "");
    EXPECT_TRUE(error.contains("cannot be read"));
}

TEST(SettingsFile, CorruptFileKeepsOnlyOurPlainEntriesAndSaysSo)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("DOVRAX.conf");
    auto write = [&](const QByteArray &content) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    };
    const QStringList keep = {"Settings/Class Name", "Recent File List/"};
    const QByteArray good = "[Settings]\nClass%20Name=dovrax\n\n[Recent%20File%20List]\n"
                            "File1=/tmp/a b\n; a comment\n[Other]\nx=1\n";
    write(good);
    {
        QSettings settings(path, QSettings::IniFormat);
        EXPECT_EQ(platform::repairSettingsFile(settings, keep), "");
        EXPECT_EQ(settings.allKeys().size(), 3) << "a sound file is left alone";
    }

    QByteArray noise;
    for (int i = 0; i < 2048; ++i)
        noise.append(char((i * 7919 + 13) & 0xFF));
    for (const QByteArray &bad : {noise, good + noise, QByteArray("[Settings\nClass%20Name=x\n")}) {
        write(bad);
        QSettings settings(path, QSettings::IniFormat);
        settings.value("Settings/Class Name");
        const QString said = platform::repairSettingsFile(settings, keep);
        EXPECT_TRUE(said.startsWith("the settings file " + path + " was corrupt"))
            << said.toStdString();
        QSettings reread(path, QSettings::IniFormat);
        if (bad.startsWith(good)) {
            EXPECT_TRUE(said.endsWith("kept \"Recent File List/File1\", \"Settings/Class Name\"; "
                                      "everything else in it was dropped"))
                << said.toStdString();
            EXPECT_EQ(reread.allKeys(),
                      QStringList({"Recent File List/File1", "Settings/Class Name"}));
        } else if (bad.startsWith("[Settings\n")) {
            EXPECT_TRUE(said.contains("cannot be parsed")) << said.toStdString();
        } else {
            EXPECT_TRUE(said.contains("kept nothing")) << said.toStdString();
            EXPECT_EQ(reread.allKeys(), QStringList());
        }
    }
}

} // namespace
