// Reading the host application's title from setup.ini, and the settings store's file.
#include "profile.h"

#include "adaptersetting.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// The program reads the adapter setting without Qt; it must read what Qt's settings store reads,
// from the same files in the same order, on tricky values and damaged files alike.
TEST(SettingsFile, AdapterSettingReadsAsTheSettingsStoreReadsIt)
{
    using Files = std::vector<std::pair<const char *, QByteArray>>;
    struct Case
    {
        Files files; // relative to the home folder; XDG_CONFIG_HOME is <home>/config
        std::vector<std::pair<const char *, const char *>> environment = {};
    };
    const QByteArray noise = [] {
        QByteArray bytes;
        for (int i = 0; i < 2048; ++i)
            bytes.append(char((i * 7919 + 13) & 0xFF));
        return bytes;
    }();
    auto user = [](const QByteArray &text) { return Files{{"config/Velmora/DOVRAX.conf", text}}; };
    const QByteArray adapter = "[Adapter]\nLibrary=";
    const std::vector<Case> cases = {
        {user(adapter + "virtual\n")},
        {user(adapter + "\"/opt/my libs/libmulvo.so.1\"\n")},
        {user(adapter + "  /opt/a b/lib.so \t\n")},
        {user(adapter + "\" /opt/x \" tail  \n")},
        {user(adapter + "/opt/x\\ty\\\\z\\\"q\\x41\\101\\u\\?\\'\n")},
        {user(adapter + "/opt/\\x4a\\x4\\0q\\777\\8end\n")},
        {user(adapter + "/a\\")},
        {user(adapter + "/a\\x")},
        {user(adapter + "/a\\x41")},
        {user(adapter + "/a\\12")},
        {user(adapter + "/a \\ \n")},
        {user(adapter + "/opt/Ger\xc3\xa4t/\xc2\xb5/\xe6\x97\xa5\xf0\x9f\x94\x8c/lib.so\n")},
        {user("[Adap%74er]\nLibrar%79=/opt/%41\n[Adapter]\nLibrar%U0079=second\n")},
        {user(adapter + "/opt/a,b/lib.so\n")},
        {user(adapter + "\"/opt/a,b/lib.so\"\n")},
        {user(adapter + "/opt/x;comment\n")},
        {user(adapter + "\"/opt/a;b\" ;c\n")},
        {user("[Adapter]\n; Library=/x\n  ;Library=/y\nLibrary = /z = w\n")},
        {user(adapter + "@@/x\n")},
        {user(adapter + "@ByteArray(/opt/\xc3\xa9)\n")},
        {user(adapter + "@ByteArray(/opt/\\xe9)\n")},
        {user(adapter + "@Invalid()\n")},
        {user(adapter + "@String(/x)\n")},
        {user(adapter + "@Variant(\\0\\0\\0\\n\\0\\0\\0\\x4\\0/\\0x)\n")},
        {user(adapter + "@Variant(\\0\\0\\0\\f\\0\\0\\0\\x2/y)\n")},
        {user(adapter + "@Rect(1 2 3 4)\n")},
        {user(adapter + "@Size(1)\n")},
        {user(adapter + "@Point(1 2)\n")},
        {user(adapter + "@virtual\n")},
        {user("\xef\xbb\xbf[Adapter]\r\nLibrary=crlf\r\n")},
        {user("[Adapter]\rLibrary=/opt/\\\n  next\r")},
        {user("[adapter]\nlibrary=lower\n")},
        {user("[Adapter]\nLibrary=one\nLibrary=two\n[Other]\nx=1\n[Adapter]\nLibrary=three\n")},
        {user("[Adapter]\nLibrary=x\n[Adapter/A]\ny=1\n")},
        {user("[General]\nAdapter\\Library=general\n")},
        {user("Adapter/Library=top\n[Adapter]\n")},
        {user("[Adapter]\nLibrary\\Sub=x\n[%General]\nLibrary=y\n")},
        {user("[Adapter\nLibrary=unclosed\n")},
        {user(adapter + "\"/opt/x\n[Other]\nk=v\n")},
        {user(adapter + "/opt/\xff\xfe/x\xe2\x82\n")},
        {user(adapter + "/opt/\xe2\x82\"q\"\xc3\n")},
        {user(QByteArray(adapter + "/opt/nul\0x\n", adapter.size() + 12))},
        {user(noise)},
        {user(adapter + "/opt/good\n" + noise)},
        {user(noise + "\n[Adapter]\nLibrary=/after/noise\n")},
        {user("")},
        {{{"config/Velmora.conf", adapter + "organisation\n"}}},
        {{{"config/Velmora/DOVRAX.conf", "[Adapter]\nOther=1\n"},
          {"sys2/Velmora/DOVRAX.conf", adapter + "second system folder\n"},
          {"sys1/Velmora.conf", adapter + "system organisation\n"}},
         {{"XDG_CONFIG_DIRS", "@/sys1::@/sys2"}}},
        {{{"sys1/Velmora.conf", adapter + "system organisation\n"}},
         {{"XDG_CONFIG_DIRS", "@/sys1"}}},
        {{{".config/Velmora/DOVRAX.conf", adapter + "home\n"}},
         {{"XDG_CONFIG_HOME", ""}, {"HOME", "@//./"}}},
        {{{"config/Velmora/DOVRAX.conf/x", "dir"}, {"config/Velmora.conf", adapter + "org\n"}}},
        {{{"rel/Velmora/DOVRAX.conf", adapter + "relative\n"}}, {{"XDG_CONFIG_HOME", "rel"}}},
        {{{"sys/Velmora/DOVRAX.conf", adapter + "relative system\n"}},
         {{"XDG_CONFIG_DIRS", "sys"}}},
        {{{"x/.config/Velmora/DOVRAX.conf", adapter + "x\n"}},
         {{"XDG_CONFIG_HOME", ""}, {"HOME", nullptr}}},
        {user(adapter + "\xef\xbb\xbf/bom" + "\n")},
        {user(adapter + "\xef\xbb\xbf/bom\n")},
        {user(adapter + "\"\xef\xbb\xbf/bom\"\n")},
        {user(adapter + "/opt/\xc3\"\"\xa9\n")},
        {user(adapter + "/opt/\xf0\x9f\",\"\x94\x8c\n")},
        {user("[ Adapter ]  ; note\n\t Library \t= \tx\t;y\n")},
        {user("[Adapter]\nLibrary\\\n=cont\n")},
        {user("[Adapter]\n\"Library\"=quoted key\n")},
        {user("[Adapter]\nLibrary=a\\\r\nb\n")},
        {user(adapter + "@@a, @b\n")},
        {user(adapter + "\"\"\n")},
        {user(adapter + "\n")},
        {user(adapter)},
        {user("[Adapter]\nLibrary")},
        {user("[Adapter]\n[Adapter/Library]\nx=1\n")},
        {user("[Adapter]\nLibrary=/x\n[Adapter ]\n")},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        QTemporaryDir home;
        for (const auto &[name, content] : c.files) {
            const QString path = home.filePath(QString::fromUtf8(name));
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        // Qt keeps its settings paths and files for the life of the process: read in a child.
        int channel[2];
        ASSERT_EQ(pipe(channel), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const QByteArray root = QFile::encodeName(home.path());
            setenv("HOME", root.constData(), 1);
            setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
            unsetenv("XDG_CONFIG_DIRS");
            if (chdir(root.constData()) != 0)
                _exit(1);
            for (const auto &[name, value] : c.environment) {
                if (!value)
                    unsetenv(name);
                else
                    setenv(name, QByteArray(value).replace('@', root).constData(), 1);
            }
            QByteArray theirs = "unset";
            QSettings settings(QStringLiteral("Velmora"), QStringLiteral("DOVRAX"));
            if (settings.contains(QStringLiteral("Adapter/Library")))
                theirs =
                    "set:" + settings.value(QStringLiteral("Adapter/Library")).toString().toUtf8();
            const std::optional<std::string> ours = mulvo::readAdapterSetting();
            const QByteArray both = QByteArray::number(theirs.size()) + ':' + theirs +
                                    (ours ? "set:" + QByteArray::fromStdString(*ours) : "unset");
            (void)!write(channel[1], both.constData(), size_t(both.size()));
            _exit(0);
        }
        close(channel[1]);
        QByteArray both;
        char buffer[4096];
        for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;)
            both.append(buffer, n);
        close(channel[0]);
        int status = 0;
        waitpid(child, &status, 0);
        const qsizetype colon = both.indexOf(':');
        ASSERT_TRUE(WIFEXITED(status) && colon > 0) << "case " << i;
        const qsizetype length = both.left(colon).toLongLong();
        EXPECT_EQ(both.mid(colon + 1 + length).toStdString(),
                  both.mid(colon + 1, length).toStdString())
            << "case " << i << ": ours, then the settings store's";
    }
}

} // namespace
