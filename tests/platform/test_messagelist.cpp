// The message log: its line store, the deferred selection and scrolling, and the list box
// behaviour the form relies on (double-click, keyboard, mouse, accessibility).
#include "appstyle.h"
#include "filedialog.h"
#include "fonts.h"
#include "messagebox.h"
#include "messagelist.h"
#include "messagelistmodel.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMainWindow>
#include <QPainter>
#include <QProxyStyle>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyleOptionToolBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QToolBar>
#include <QToolTip>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using platform::MessageList;
using platform::MessageListModel;

namespace {

const QString Separator(70, QLatin1Char('-'));

QString portText(int i)
{
    return QStringLiteral("Output Data : [ 0x%1 ]").arg(i & 0xff, 2, 16, QLatin1Char('0'));
}

// The form's LogMessage(true, text).
void logMessage(MessageList &list, const QString &text)
{
    list.appendAndSelect(text);
    list.appendLine(Separator);
}

// A shown log the size of the form's.
std::unique_ptr<MessageList> shownList()
{
    auto list = std::make_unique<MessageList>();
    list->setFont(platform::dialogFont());
    list->resize(282, 160);
    list->show();
    QApplication::processEvents();
    return list;
}

bool similar(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) <= 8 && qAbs(a.green() - b.green()) <= 8 &&
           qAbs(a.blue() - b.blue()) <= 8;
}

int inkPixels(const QImage &image, const QRect &rect, const QColor &background)
{
    int ink = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x)
            ink += similar(image.pixelColor(x, y), background) ? 0 : 1;
    }
    return ink;
}

QRect rowRect(const MessageList &list, int row)
{
    return list.visualRect(list.model()->index(row, 0));
}

} // namespace

TEST(MessageListModel, LinesRoundTripInEveryEncoding)
{
    MessageListModel model;
    const QStringList texts = {QStringLiteral("plain ASCII"),
                               QString(),
                               QStringLiteral("Latin-1: 5 µs, café"),
                               QStringLiteral("日本語のテキスト"),
                               QStringLiteral("mixed µ and 日本 and \U0001F600"),
                               QString(3'000'000, QChar(0x65e5)), // larger than a text block
                               QStringLiteral("after the big one")};
    for (const QString &text : texts)
        model.append(text);
    ASSERT_EQ(model.lineCount(), texts.size());
    for (int row = 0; row < texts.size(); ++row)
        EXPECT_EQ(model.line(row), texts[row]) << "row " << row;
    EXPECT_EQ(model.line(-1), QString());
    EXPECT_EQ(model.line(texts.size()), QString());
}

TEST(MessageListModel, ManyDistinctAndRepeatedLinesKeepTheirText)
{
    // Enough text to span several blocks, with repeats both adjacent and far apart, and
    // strings that differ only in their last character.
    MessageListModel model;
    const int lines = 120'000;
    for (int i = 0; i < lines; ++i) {
        if (i % 3 == 0)
            model.append(Separator);
        else if (i % 3 == 1)
            model.append(portText(i));
        else
            model.append(QStringLiteral("line %1 of a long session x").arg(i));
    }
    for (int i = 0; i < lines; i += 7) {
        const QString expected = i % 3 == 0 ? Separator
                                 : i % 3 == 1
                                     ? portText(i)
                                     : QStringLiteral("line %1 of a long session x").arg(i);
        ASSERT_EQ(model.line(i), expected) << "row " << i;
    }
}

TEST(MessageListModel, RepeatedLinesShareStorage)
{
    // The form's pattern: a port value, then the separator. Stored separately, 100,000 rows
    // would take about 5 MB of text; shared, the row table and one text block remain.
    MessageListModel model;
    for (int i = 0; i < 50'000; ++i) {
        model.append(portText(i));
        model.append(Separator);
    }
    EXPECT_LT(model.storageBytes(), std::size_t(3) << 20);
    EXPECT_EQ(model.line(99'998), portText(49'999));
    EXPECT_EQ(model.line(99'999), Separator);
}

TEST(MessageListModel, PublishAnnouncesPendingLinesOnceAndClearResets)
{
    MessageListModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    model.append(QStringLiteral("a"));
    model.append(QStringLiteral("b"));
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.lineCount(), 2);
    EXPECT_EQ(model.line(1), QStringLiteral("b"));
    EXPECT_FALSE(model.data(model.index(0, 0)).isValid());

    model.publish();
    model.publish();
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[0][2].toInt(), 1);
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.data(model.index(1, 0)).toString(), QStringLiteral("b"));

    model.clear();
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.lineCount(), 0);
    EXPECT_EQ(model.storageBytes(), 0u);
    model.append(QStringLiteral("c"));
    EXPECT_EQ(model.line(0), QStringLiteral("c"));
}

TEST(MessageList, AppendAndSelectOnEmptyListSelectsRowZero)
{
    auto list = shownList();
    list->appendAndSelect(QStringLiteral("first"));
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(list->selectedRow(), 0);
    QApplication::processEvents();
    EXPECT_EQ(list->selectedRow(), 0);
    EXPECT_EQ(list->currentIndex().row(), 0);
    EXPECT_TRUE(list->selectionModel()->isRowSelected(0, QModelIndex()));
    EXPECT_EQ(list->firstVisibleRow(), 0);
}

TEST(MessageList, LogMessageSelectsTextNotSeparator)
{
    auto list = shownList();
    logMessage(*list, portText(0x55));
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->line(0), QStringLiteral("Output Data : [ 0x55 ]"));
    EXPECT_EQ(list->line(1), Separator);
    EXPECT_EQ(list->selectedRow(), 0);
    QApplication::processEvents();
    EXPECT_EQ(list->selectedRow(), 0);
}

TEST(MessageList, AppendLineKeepsSelectionAndScrollPosition)
{
    auto list = shownList();
    for (int i = 0; i < 5; ++i)
        list->appendLine(portText(i));
    EXPECT_EQ(list->selectedRow(), -1);
    list->appendAndSelect(QStringLiteral("chosen"));
    for (int i = 0; i < 100; ++i)
        list->appendLine(portText(i));
    EXPECT_EQ(list->selectedRow(), 5);
    QApplication::processEvents();
    EXPECT_EQ(list->selectedRow(), 5);
    EXPECT_EQ(list->firstVisibleRow(), 0);

    // A selection the user made survives appended lines too.
    list->selectionModel()->setCurrentIndex(list->model()->index(2, 0),
                                            QItemSelectionModel::ClearAndSelect);
    list->appendLine(QStringLiteral("more"));
    EXPECT_EQ(list->selectedRow(), 2);
    QApplication::processEvents();
    EXPECT_EQ(list->selectedRow(), 2);
}

TEST(MessageList, FullListShowsSelectedLineAtBottomWithSeparatorBelow)
{
    auto list = shownList();
    list->verticalScrollBar()->setValue(0);
    for (int i = 0; i < 100; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();

    const int text = 198;
    const int full = list->viewport()->height() / list->rowHeight();
    ASSERT_GT(full, 2);
    EXPECT_EQ(list->selectedRow(), text);
    EXPECT_EQ(list->lastFullyVisibleRow(), text);
    EXPECT_EQ(list->firstVisibleRow(), text - full + 1);
    EXPECT_TRUE(list->viewport()->rect().contains(rowRect(*list, text)));
    EXPECT_FALSE(list->viewport()->rect().contains(rowRect(*list, text + 1)));

    // The next message scrolls the previous separator into view and the new text under it.
    logMessage(*list, QStringLiteral("next"));
    QApplication::processEvents();
    EXPECT_EQ(list->lastFullyVisibleRow(), 200);
    EXPECT_EQ(list->line(list->lastFullyVisibleRow()), QStringLiteral("next"));
}

TEST(MessageList, LinesLoggedBeforeTheFormIsShownEndAtTheBottom)
{
    // A hidden child has no real viewport size until shown; the form logs before that.
    QWidget form;
    form.resize(400, 300);
    auto *list = new MessageList(&form);
    list->setFont(platform::dialogFont());
    list->setGeometry(10, 10, 282, 160);
    for (int i = 0; i < 100; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(list->selectedRow(), 198);
    EXPECT_EQ(list->lastFullyVisibleRow(), 198);

    // Once shown, the user's scrolling is not undone by a resize.
    list->verticalScrollBar()->setValue(0);
    list->resize(282, 200);
    QApplication::processEvents();
    EXPECT_EQ(list->firstVisibleRow(), 0);
}

TEST(MessageList, AppendAndSelectBringsBackAListScrolledToTheTop)
{
    auto list = shownList();
    for (int i = 0; i < 50; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();
    list->verticalScrollBar()->setValue(0);
    ASSERT_EQ(list->firstVisibleRow(), 0);
    logMessage(*list, QStringLiteral("latest"));
    EXPECT_EQ(list->firstVisibleRow(), 0) << "the view updates when the event loop runs";
    QApplication::processEvents();
    EXPECT_EQ(list->lastFullyVisibleRow(), 100);
}

TEST(MessageList, RowsArePaintedWhereTheViewSaysTheyAre)
{
    auto list = shownList();
    for (int i = 0; i < 40; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();
    const QImage image = list->viewport()->grab().toImage();
    const QRect selected = rowRect(*list, 78);
    const QRect plain = rowRect(*list, 77);
    ASSERT_TRUE(list->viewport()->rect().contains(selected));
    const QColor highlight = image.pixelColor(selected.left() + 1, selected.center().y());
    const QColor base = image.pixelColor(plain.left() + 1, plain.center().y());
    EXPECT_NE(highlight, base);
    // Styles may shade the highlight a little, so compare loosely.
    EXPECT_TRUE(similar(highlight, list->palette().color(QPalette::Active, QPalette::Highlight)) ||
                similar(highlight, list->palette().color(QPalette::Inactive, QPalette::Highlight)))
        << qPrintable(highlight.name());
    // Both rows carry their text: pixels unlike their background.
    EXPECT_GT(inkPixels(image, selected, highlight), 10);
    EXPECT_GT(inkPixels(image, plain, base), 10);
}

TEST(MessageList, ClearEmptiesAndNextLineIsRowZero)
{
    auto list = shownList();
    for (int i = 0; i < 30; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();
    logMessage(*list, QStringLiteral("pending when cleared"));
    list->clear();
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(list->selectedRow(), -1);
    EXPECT_EQ(list->line(0), QString());
    QApplication::processEvents();
    EXPECT_EQ(list->model()->rowCount(), 0);
    EXPECT_EQ(list->firstVisibleRow(), -1);
    EXPECT_EQ(list->verticalScrollBar()->maximum(), 0);

    list->appendAndSelect(QStringLiteral("again"));
    EXPECT_EQ(list->selectedRow(), 0);
    QApplication::processEvents();
    EXPECT_EQ(list->model()->rowCount(), 1);
    EXPECT_EQ(list->line(0), QStringLiteral("again"));
    EXPECT_EQ(list->selectedRow(), 0);
}

TEST(MessageList, DoubleClickOnALineOrBelowTheLinesIsReported)
{
    auto list = shownList();
    logMessage(*list, portText(1));
    QApplication::processEvents();
    QSignalSpy spy(list.get(), &MessageList::listDoubleClicked);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rowRect(*list, 0).center());
    EXPECT_EQ(spy.count(), 1);
    const QPoint below(10, list->viewport()->height() - 3);
    ASSERT_FALSE(list->indexAt(below).isValid());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, below);
    EXPECT_EQ(spy.count(), 2);
}

TEST(MessageList, DoubleClickHandlerMayClearTheList)
{
    auto list = shownList();
    for (int i = 0; i < 20; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();
    QObject::connect(list.get(), &MessageList::listDoubleClicked, list.get(),
                     [&list] { list->clear(); });
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rowRect(*list, 36).center());
    QApplication::processEvents();
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(list->model()->rowCount(), 0);
}

TEST(MessageList, ClickSelectsTheLineUnderTheMouse)
{
    auto list = shownList();
    for (int i = 0; i < 3; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowRect(*list, 3).center());
    EXPECT_EQ(list->selectedRow(), 3);

    // A click straight after logging acts on the logged lines and is not undone afterwards.
    logMessage(*list, QStringLiteral("just logged"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowRect(*list, 1).center());
    QApplication::processEvents();
    EXPECT_EQ(list->selectedRow(), 1);
}

TEST(MessageList, KeyboardMovesTheSingleSelection)
{
    auto list = shownList();
    for (int i = 0; i < 50; ++i)
        logMessage(*list, portText(i));
    QApplication::processEvents();
    const int page = list->viewport()->height() / list->rowHeight() - 1;

    QTest::keyClick(list.get(), Qt::Key_Up);
    EXPECT_EQ(list->selectedRow(), 97);
    QTest::keyClick(list.get(), Qt::Key_Down);
    QTest::keyClick(list.get(), Qt::Key_Down);
    EXPECT_EQ(list->selectedRow(), 99);
    QTest::keyClick(list.get(), Qt::Key_Down);
    EXPECT_EQ(list->selectedRow(), 99);
    QTest::keyClick(list.get(), Qt::Key_Home);
    EXPECT_EQ(list->selectedRow(), 0);
    EXPECT_EQ(list->firstVisibleRow(), 0);
    QTest::keyClick(list.get(), Qt::Key_PageDown);
    EXPECT_EQ(list->selectedRow(), page);
    QTest::keyClick(list.get(), Qt::Key_PageUp);
    EXPECT_EQ(list->selectedRow(), 0);
    QTest::keyClick(list.get(), Qt::Key_End);
    EXPECT_EQ(list->selectedRow(), 99);
    EXPECT_EQ(list->lastFullyVisibleRow(), 99);
    EXPECT_EQ(list->selectionModel()->selectedRows().size(), 1);
}

TEST(MessageList, KeyboardActsOnLinesLoggedInTheSameTurn)
{
    auto list = shownList();
    for (int i = 0; i < 10; ++i)
        logMessage(*list, portText(i));
    QTest::keyClick(list.get(), Qt::Key_Up);
    EXPECT_EQ(list->selectedRow(), 17);
}

TEST(MessageList, AssistiveTechnologyReadsTheLines)
{
    auto list = shownList();
    logMessage(*list, QStringLiteral("5 µs"));
    list->appendLine(QStringLiteral("日本"));
    QApplication::processEvents();
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(list.get());
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::List);
    ASSERT_NE(iface->tableInterface(), nullptr);
    EXPECT_EQ(iface->tableInterface()->rowCount(), 3);
    ASSERT_EQ(iface->childCount(), 3);
    EXPECT_EQ(iface->child(0)->text(QAccessible::Name), QStringLiteral("5 µs"));
    EXPECT_EQ(iface->child(2)->text(QAccessible::Name), QStringLiteral("日本"));
    const QList<QAccessibleInterface *> selected = iface->tableInterface()->selectedCells();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0]->text(QAccessible::Name), QStringLiteral("5 µs"));
}

TEST(MessageList, DestroyedWithAPendingUpdate)
{
    // The coalesced update must die with its list; a survivor still gets its own.
    auto survivor = shownList();
    {
        auto doomed = shownList();
        logMessage(*doomed, portText(7));
        logMessage(*survivor, portText(8));
    }
    QApplication::processEvents();
    EXPECT_EQ(survivor->model()->rowCount(), 2);
    EXPECT_EQ(survivor->currentIndex().row(), 0);
}

// The log kept: every row's time, Save Log As through the context menu, and the menu from the
// keyboard.
class KeptLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Local time 5:45 ahead of UTC, so that a time written in UTC shows.
        hadZone = qEnvironmentVariableIsSet("TZ");
        zone = qgetenv("TZ");
        qputenv("TZ", "XST-5:45");
        ASSERT_TRUE(dir.isValid());
        platform::setMessageBoxHook(
            [this](const platform::MessageBoxCall &call) { boxes.push_back(call); });
        platform::setSaveFileHook([this](const QString &, const QString &) { return chosenFile; });
        list = shownList();
        list->setFocus();
    }
    void TearDown() override
    {
        platform::setMessageBoxHook({});
        platform::setSaveFileHook({});
        hadZone ? qputenv("TZ", zone) : qunsetenv("TZ");
    }
    // Opens the menu with `key` and picks the entry `downs` rows below the first enabled one.
    void pick(Qt::Key key, Qt::KeyboardModifiers modifiers, int downs)
    {
        QTest::keyClick(list.get(), key, modifiers);
        QWidget *menu = QApplication::activePopupWidget();
        ASSERT_NE(menu, nullptr) << "no context menu";
        for (int i = 0; i < downs; ++i)
            QTest::keyClick(menu, Qt::Key_Down);
        QTest::keyClick(menu, Qt::Key_Return);
        QApplication::processEvents();
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    }
    static QString read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    bool hadZone = false;
    QByteArray zone;
    QTemporaryDir dir;
    QString chosenFile;
    std::vector<platform::MessageBoxCall> boxes;
    std::unique_ptr<MessageList> list;
};

TEST_F(KeptLog, SaveWritesEveryRowWithItsLocalTimeInOrder)
{
    logMessage(*list, QStringLiteral("Output Data : [ 0x55 ]"));
    list->appendLine(QStringLiteral("Grüße, ünïcode"));
    logMessage(*list, QStringLiteral("Input Data : [ 0x3c ]"));
    chosenFile = dir.filePath(QStringLiteral("log.txt"));
    pick(Qt::Key_F10, Qt::ShiftModifier, 1); // Save Log As...
    EXPECT_TRUE(boxes.empty());

    const QStringList lines = read(chosenFile).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 6) << "five rows and the final newline";
    EXPECT_TRUE(lines.last().isEmpty());
    const QStringList texts = {QStringLiteral("Output Data : [ 0x55 ]"), Separator,
                               QStringLiteral("Grüße, ünïcode"),
                               QStringLiteral("Input Data : [ 0x3c ]"), Separator};
    const QRegularExpression stamp(
        QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3})\\t(.*)$"));
    QString previous;
    for (int i = 0; i < 5; ++i) {
        const QRegularExpressionMatch match = stamp.match(lines[i]);
        ASSERT_TRUE(match.hasMatch()) << qPrintable(lines[i]);
        EXPECT_EQ(match.captured(2), texts[i]);
        EXPECT_GE(match.captured(1), previous) << "times in order";
        previous = match.captured(1);
        const QDateTime logged = QDateTime::fromMSecsSinceEpoch(list->messageModel()->loggedAt(i),
                                                                QTimeZone((5 * 60 + 45) * 60));
        EXPECT_EQ(match.captured(1), logged.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")));
    }
    EXPECT_EQ(list->model()->index(0, 0).data(Qt::ToolTipRole).toString(),
              lines[0].section(QLatin1Char('\t'), 0, 0));
}

TEST_F(KeptLog, FailedSaveShowsAnErrorAndLeavesTheOldFile)
{
    logMessage(*list, QStringLiteral("Output Data : [ 0xaa ]"));
    const QString old = dir.filePath(QStringLiteral("old.txt"));
    {
        QFile file(old);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("earlier log\n");
    }
    // Things that are not files are never replaced: a pipe, a device node (made where this
    // test may), and a link to one.
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("pipe")));
    const QByteArray device = QFile::encodeName(dir.filePath(QStringLiteral("null")));
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    QStringList notFiles = {dir.path(), QString::fromLocal8Bit(fifo)};
    if (mknod(device.constData(), S_IFCHR | 0600, makedev(1, 3)) == 0)
        notFiles << QString::fromLocal8Bit(device);
    ASSERT_TRUE(QFile::link(QString::fromLocal8Bit(fifo), dir.filePath(QStringLiteral("link"))));
    notFiles << dir.filePath(QStringLiteral("link"));
    // And a place nobody may write to, not even root.
    for (const QString &target : notFiles + QStringList{QStringLiteral("/proc/dovrax-log.txt")}) {
        boxes.clear();
        chosenFile = target;
        pick(Qt::Key_Menu, Qt::NoModifier, 1);
        ASSERT_EQ(boxes.size(), 1u) << qPrintable(target);
        EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Stop);
        EXPECT_TRUE(boxes[0].text.contains(target)) << qPrintable(boxes[0].text);
        EXPECT_EQ(boxes[0].text.endsWith(QStringLiteral(": it is not a regular file")),
                  notFiles.contains(target))
            << qPrintable(boxes[0].text);
    }
    struct stat st;
    EXPECT_TRUE(stat(fifo.constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    if (notFiles.size() == 4) {
        EXPECT_TRUE(stat(device.constData(), &st) == 0 && S_ISCHR(st.st_mode));
    }
    EXPECT_EQ(read(old), QStringLiteral("earlier log\n"));
    EXPECT_EQ(QDir(dir.path())
                  .entryList({QStringLiteral(".*")},
                             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList())
        << "no half-written file left behind";
}

TEST_F(KeptLog, SaveOnAFullDiskKeepsTheOldFileAndSaysWhy)
{
    const QString folder = dir.filePath(QStringLiteral("small"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QByteArray mountPoint = QFile::encodeName(folder);
    if (mount("dovrax-test", mountPoint.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
              "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount
    {
        QByteArray path;
        ~Unmount() { umount2(path.constData(), MNT_DETACH); }
    } unmount{mountPoint};

    const QString old = folder + QStringLiteral("/log.txt");
    {
        QFile file(old);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("earlier log\n");
    }
    for (int i = 0; i < 4000; ++i)
        list->appendAndSelect(portText(i));
    chosenFile = old;
    pick(Qt::Key_Menu, Qt::NoModifier, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Stop);
    EXPECT_TRUE(boxes[0].text.endsWith(QStringLiteral(": No space left on device")))
        << qPrintable(boxes[0].text);
    EXPECT_EQ(read(old), QStringLiteral("earlier log\n"));
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("log.txt")});

    // With room again the same save goes through, keeping the file's permissions.
    QFile::remove(old);
    ASSERT_TRUE(QFile(old).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile::setPermissions(old, QFile::ReadOwner | QFile::WriteOwner));
    list->clear();
    list->appendAndSelect(portText(1));
    boxes.clear();
    pick(Qt::Key_Menu, Qt::NoModifier, 1);
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(read(old).endsWith(QStringLiteral("\tOutput Data : [ 0x01 ]\n")));
    struct stat st;
    ASSERT_EQ(stat((mountPoint + "/log.txt").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(KeptLog, CopyAndClearFromTheKeyboard)
{
    logMessage(*list, QStringLiteral("Input Data : [ 0x3c ]"));
    QApplication::processEvents();
    pick(Qt::Key_F10, Qt::ShiftModifier, 0); // Copy, the selected line
    const QString copied = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(copied.endsWith(QStringLiteral("\tInput Data : [ 0x3c ]"))) << qPrintable(copied);
    EXPECT_EQ(copied, list->selectedTimedLine());
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(list.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), copied) << "Ctrl+C copies as the menu does";

    QSignalSpy clear(list.get(), &MessageList::clearRequested);
    pick(Qt::Key_Menu, Qt::NoModifier, 2);
    EXPECT_EQ(clear.count(), 1);
}

// A line cut at the log's edge is read whole from its tooltip, beneath its time, and copied
// whole; a line that fits has only its time.
TEST_F(KeptLog, LongLinesAreWholeInTheTooltipAndTheCopy)
{
    const QString longLine = QStringLiteral("Adapter library: libmulvo.so.1 not on the system's "
                                            "library path ") +
                             QString(200, QLatin1Char('x')) + QStringLiteral(" <end>");
    logMessage(*list, QStringLiteral("Trig INT"));
    logMessage(*list, longLine);
    QApplication::processEvents();
    const auto tipOf = [&](int row) {
        const QRect rect = list->visualRect(list->model()->index(row, 0));
        QHelpEvent help(QEvent::ToolTip, rect.center(),
                        list->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(list->viewport(), &help);
        return QToolTip::text();
    };
    const auto timeOf = [&](int row) {
        return list->model()->index(row, 0).data(Qt::ToolTipRole).toString();
    };
    EXPECT_EQ(tipOf(0), timeOf(0));
    const QString longTip = tipOf(2);
    EXPECT_TRUE(longTip.contains(timeOf(2))) << qPrintable(longTip);
    EXPECT_TRUE(longTip.contains(longLine.toHtmlEscaped())) << qPrintable(longTip);
    QToolTip::hideText();

    list->setCurrentIndex(list->model()->index(2, 0));
    QTest::keyClick(list.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(QGuiApplication::clipboard()->text().endsWith(QLatin1Char('\t') + longLine));
}

// The application's style draws the tool bar's band in slices; every pixel must still be the one
// its base style draws.
TEST(AppStyle, DrawsTheToolBarBandAsItsBaseStyleDoes)
{
    const std::unique_ptr<QStyle> style(platform::createAppStyle());
    QMainWindow window;
    auto *bar = new QToolBar(&window);
    window.addToolBar(Qt::TopToolBarArea, bar);
    QStyleOptionToolBar option;
    option.initFrom(bar);
    option.rect = QRect(0, 0, 700, 30);
    option.toolBarArea = Qt::TopToolBarArea;
    option.positionOfLine = QStyleOptionToolBar::OnlyOne;
    option.state |= QStyle::State_Horizontal;
    const auto draw = [&](const QStyle *by) {
        QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter painter(&image);
        by->drawControl(QStyle::CE_ToolBar, &option, &painter, bar);
        return image;
    };
    const QImage base = draw(static_cast<QProxyStyle *>(style.get())->baseStyle());
    QImage blank(base.size(), base.format());
    blank.fill(Qt::white);
    ASSERT_NE(base, blank) << "the base style drew no band to compare with";
    EXPECT_EQ(draw(style.get()), base);
}
