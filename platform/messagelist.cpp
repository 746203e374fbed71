#include "messagelist.h"

#include "filedialog.h"
#include "messagebox.h"
#include "messagelistmodel.h"

#include <QAccessible>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOption>
#include <QStyleOptionViewItem>
#include <QTimerEvent>
#include <QToolTip>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Rows far outside the viewport get a rectangle pinned this far away, so that pixel arithmetic
// on millions of rows never overflows int.
constexpr qint64 FarAway = qint64(1) << 28;

// Writes straight to a descriptor, each write checked and repeated until all of it is taken:
// nothing is held in a buffer behind a result that said it was written.
class DescriptorWriter : public QIODevice
{
public:
    explicit DescriptorWriter(int fd) : fd_(fd) { open(WriteOnly | Unbuffered); }
    // errno of the write that failed, 0 while none did.
    int error() const { return error_; }
    qint64 written() const { return written_; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, std::size_t(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                return -1;
            }
            done += n;
            written_ += n;
        }
        return done;
    }

private:
    int fd_;
    int error_ = 0;
    qint64 written_ = 0;
};

} // namespace

MessageList::MessageList(QWidget *parent) : QListView(parent), model_(new MessageListModel(this))
{
    setModel(model_);
    setSelectionMode(SingleSelection);
    setSelectionBehavior(SelectRows);
    setEditTriggers(NoEditTriggers);
    setUniformItemSizes(true);
    setVerticalScrollMode(ScrollPerItem);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setTextElideMode(Qt::ElideNone);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
}

MessageList::~MessageList() = default;

void MessageList::appendLine(const QString &text)
{
    if (model_->append(text) >= 0)
        scheduleSync();
}

void MessageList::appendAndSelect(const QString &text)
{
    const int row = model_->append(text);
    if (row < 0)
        return;
    pendingSelect_ = row;
    pendingSelectCount_ = row + 1;
    scheduleSync();
}

void MessageList::clear()
{
    syncTimer_.stop();
    pendingSelect_ = -1;
    topAnchor_ = -1;
    model_->clear();
}

int MessageList::count() const
{
    return model_->lineCount();
}

QString MessageList::line(int row) const
{
    return model_->line(row);
}

int MessageList::selectedRow() const
{
    if (pendingSelect_ >= 0)
        return pendingSelect_;
    const QItemSelection selection = selectionModel()->selection();
    return selection.isEmpty() ? -1 : selection.first().top();
}

void MessageList::syncView()
{
    syncTimer_.stop();
    model_->publish();
    if (pendingSelect_ < 0)
        return;
    const int row = pendingSelect_;
    const int countThen = pendingSelectCount_;
    pendingSelect_ = -1;
    selectionModel()->setCurrentIndex(model_->index(row, 0), QItemSelectionModel::ClearAndSelect);
    topAnchor_ = row;
    topAnchorCount_ = countThen;
    scrollToAnchor();
    if (isVisible())
        topAnchor_ = -1;
}

int MessageList::firstVisibleRow() const
{
    const int rows = model_->rowCount();
    return rows == 0 ? -1 : std::min(topRow(), rows - 1);
}

int MessageList::lastFullyVisibleRow() const
{
    const int rows = model_->rowCount();
    const int full = viewport()->height() / rowHeight();
    if (rows == 0 || full == 0)
        return -1;
    return int(std::min<qint64>(rows - 1, qint64(topRow()) + full - 1));
}

int MessageList::rowHeight() const
{
    const qreal ratio = devicePixelRatioF();
    if (rowHeight_ == 0 || ratio != rowHeightRatio_) {
        // What the default delegate would answer for any line: the rows differ only in text,
        // and one line of text in this font sets the height.
        QStyleOptionViewItem option;
        initViewItemOption(&option);
        option.features |= QStyleOptionViewItem::HasDisplay;
        option.text = QStringLiteral("Xg");
        const QSize size =
            style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this);
        // Styles measure the font at one device pixel a pixel; glyphs drawn at more are hinted
        // to that size and stand taller. The row takes the font's full height as the screen
        // draws it, so that no row cuts its own text or the descenders of the row above.
        // Where rows do not start on whole device pixels, the text may land up to one device
        // pixel lower or higher: it gets one more of room.
        const TextBox box = textBox(option.font, ratio);
        const bool whole = ratio == std::round(ratio);
        const qreal room = box.height + (whole ? 0.0 : 1.0 / ratio);
        rowHeight_ = std::max({1, size.height(), int(std::ceil(room - 0.001))});
        rowHeightRatio_ = ratio;
        // The full height centred in the row, its baseline on a device pixel.
        const qreal baseline = (rowHeight_ - box.height) / 2 + box.ascent;
        textTop_ = std::round(baseline * ratio) / ratio - QFontMetricsF(option.font, this).ascent();
    }
    return rowHeight_;
}

MessageList::TextBox MessageList::textBox(const QFont &font, qreal ratio) const
{
    // The font as the screen draws it: hinted to the device pixels' size, whose ascent and
    // descent in pixels differ from those measured at one device pixel a pixel.
    QFont drawn(font);
    if (font.pixelSize() > 0)
        drawn.setPixelSize(qRound(font.pixelSize() * ratio));
    else
        drawn.setPointSizeF(font.pointSizeF() * ratio);
    const QFontMetricsF metrics(drawn, this);
    // Whole device pixels, in pixels.
    const qreal up = std::ceil(metrics.ascent() - 0.001);
    const qreal down = std::ceil(metrics.descent() - 0.001);
    return TextBox{up / ratio, (up + down) / ratio};
}

QRect MessageList::visualRect(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != model_ || index.column() != 0 ||
        index.row() >= model_->rowCount())
        return QRect();
    const qint64 y = (qint64(index.row()) - topRow()) * rowHeight();
    return QRect(0, int(std::clamp(y, -FarAway, FarAway)), viewport()->width(), rowHeight());
}

void MessageList::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    if (!index.isValid() || index.model() != model_ || index.row() >= model_->rowCount())
        return;
    const int row = index.row();
    const int top = topRow();
    const int full = fullRowsPerPage();
    int newTop = top;
    switch (hint) {
    case EnsureVisible:
        if (row < top)
            newTop = row;
        else if (qint64(row) > qint64(top) + full - 1)
            newTop = row - full + 1;
        break;
    case PositionAtTop:
        newTop = row;
        break;
    case PositionAtBottom:
        newTop = row - full + 1;
        break;
    case PositionAtCenter:
        newTop = row - full / 2;
        break;
    }
    verticalScrollBar()->setValue(newTop);
}

QModelIndex MessageList::indexAt(const QPoint &point) const
{
    if (!viewport()->rect().contains(point))
        return QModelIndex();
    const qint64 row = qint64(topRow()) + point.y() / rowHeight();
    if (row >= model_->rowCount())
        return QModelIndex();
    return model_->index(int(row), 0);
}

void MessageList::doItemsLayout()
{
    // QListView's own pass records a position for every row: O(n) time and memory on each
    // insertion. Rows here all share one height, so geometry is arithmetic instead.
    QAbstractItemView::doItemsLayout();
}

void MessageList::reset()
{
    QListView::reset();
    updateGeometries();
    viewport()->update();
}

void MessageList::scrollContentsBy(int dx, int dy)
{
    Q_UNUSED(dx);
    Q_UNUSED(dy);
    // Scroll values count rows, not pixels, and repainting a page of rows is cheap, so no
    // pixel blitting of the old contents.
    viewport()->update();
}

void MessageList::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    updateGeometries();
    if (qint64(start) < qint64(topRow()) + pageRows())
        viewport()->update();
}

void MessageList::paintEvent(QPaintEvent *event)
{
    const int rows = model_->rowCount();
    if (rows == 0)
        return;
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features |= QStyleOptionViewItem::HasDisplay;
    painter.setFont(option.font);
    const QStyle::State baseState = option.state;
    QPalette::ColorGroup group = QPalette::Disabled;
    if (baseState & QStyle::State_Enabled)
        group = (baseState & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
    const QModelIndex current = currentIndex();
    const bool focus = (hasFocus() || viewport()->hasFocus()) && current.isValid();
    const QItemSelectionModel *selection = selectionModel();
    const int margin = textMargin();

    const int height = rowHeight();
    const int top = topRow();
    const QRect area = event->rect();
    const qint64 first = qint64(top) + std::max(0, area.top()) / height;
    const qint64 last =
        std::min<qint64>(rows - 1, qint64(top) + std::max(0, area.bottom()) / height);
    for (qint64 row = first; row <= last; ++row) {
        const QModelIndex index = model_->index(int(row), 0);
        option.rect = QRect(0, int(row - top) * height, viewport()->width(), height);
        option.state = baseState;
        const bool selected = selection->isSelected(index);
        if (selected)
            option.state |= QStyle::State_Selected;
        // The style's item panel draws the selection the way its own views do; the text goes
        // through a cache because shaping it anew costs far more than drawing it.
        style()->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, &painter, this);
        const QStaticText &text = laidOut(model_->line(int(row)));
        const QRectF textArea = option.rect.adjusted(margin, 0, -margin, 0);
        painter.setPen(
            option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        painter.drawStaticText(QPointF(textArea.left(), textArea.top() + textTop_), text);
        if (focus && index == current) {
            QStyleOptionFocusRect frame;
            frame.QStyleOption::operator=(option);
            frame.state |= QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
            frame.backgroundColor =
                option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, this);
        }
    }
}

void MessageList::resizeEvent(QResizeEvent *event)
{
    // QListView's version defers to its own layout pass while one is pending; the scroll
    // range here depends only on the viewport height, so update it straight away.
    QAbstractItemView::resizeEvent(event);
}

void MessageList::showEvent(QShowEvent *event)
{
    QListView::showEvent(event);
    // Pending resize events have been delivered by now, so the viewport has its real height.
    if (topAnchor_ >= 0)
        scrollToAnchor();
    topAnchor_ = -1;
}

void MessageList::changeEvent(QEvent *event)
{
    QListView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        rowHeight_ = 0;
        laidOut_.clear();
        updateGeometries();
        viewport()->update();
    }
}

void MessageList::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == syncTimer_.timerId()) {
        syncView();
        return;
    }
    QListView::timerEvent(event);
}

void MessageList::mousePressEvent(QMouseEvent *event)
{
    // The user acts on the lines already logged; a pending selection must not override the
    // click when the deferred update lands afterwards.
    syncView();
    QListView::mousePressEvent(event);
}

void MessageList::mouseDoubleClickEvent(QMouseEvent *event)
{
    syncView();
    QListView::mouseDoubleClickEvent(event);
    // Emitted last: the usual handler clears the list, which the base class must not see
    // half-way through.
    if (event->button() == Qt::LeftButton)
        Q_EMIT listDoubleClicked();
}

void MessageList::keyPressEvent(QKeyEvent *event)
{
    syncView();
    // The same as the context menu's Copy, not the item view's copy of the bare text.
    if (event->matches(QKeySequence::Copy)) {
        if (selectedRow() >= 0)
            QGuiApplication::clipboard()->setText(selectedTimedLine());
        event->accept();
        return;
    }
    const bool shiftF10 = event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier;
    if (shiftF10 || (event->key() == Qt::Key_Menu && event->modifiers() == Qt::NoModifier)) {
        const int row = selectedRow();
        const QRect rect = row >= 0 ? visualRect(model()->index(row, 0)) : QRect();
        const QPoint at = rect.isValid() && viewport()->rect().intersects(rect)
                              ? rect.bottomLeft()
                              : viewport()->rect().topLeft();
        showContextMenu(viewport()->mapToGlobal(at));
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

void MessageList::contextMenuEvent(QContextMenuEvent *event)
{
    if (menu_ && menu_->isVisible() && event->reason() == QContextMenuEvent::Keyboard) {
        event->accept();
        return;
    }
    syncView();
    showContextMenu(event->globalPos());
    event->accept();
}

bool MessageList::viewportEvent(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QListView::viewportEvent(event);
    // A row's tooltip is its time; a line cut at the log's edge shows whole beneath it, wrapped
    // to the screen.
    const auto *help = static_cast<QHelpEvent *>(event);
    const QModelIndex index = indexAt(help->pos());
    if (!index.isValid()) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    const QString time = index.data(Qt::ToolTipRole).toString();
    const QString text = model_->line(index.row());
    const int room = viewport()->width() - 2 * textMargin();
    QString tip = time;
    if (fontMetrics().horizontalAdvance(text) > room)
        tip = QStringLiteral("<p style=\"white-space:pre-wrap\">%1<br>%2</p>")
                  .arg(time.toHtmlEscaped(), text.toHtmlEscaped());
    QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(index));
    return true;
}

QMenu *MessageList::showContextMenu(const QPoint &globalPos)
{
    if (menu_)
        menu_->close();
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *copy = menu->addAction(QStringLiteral("Copy"), this, [this] {
        QGuiApplication::clipboard()->setText(selectedTimedLine());
    });
    copy->setEnabled(selectedRow() >= 0);
    menu->addAction(QStringLiteral("Save Log As..."), this, &MessageList::saveWithChooser);
    menu->addAction(QStringLiteral("Clear"), this, &MessageList::clearRequested);
    menu->setActiveAction(copy->isEnabled() ? copy : menu->actions().at(1));
    menu_ = menu;
    menu->popup(globalPos);
    return menu;
}

QString MessageList::selectedTimedLine() const
{
    return model_->timedLine(selectedRow());
}

bool MessageList::saveTo(const QString &path, QString &error) const
{
    const auto failWith = [&error](int code) {
        error = QString::fromLocal8Bit(std::strerror(code));
        return false;
    };
    QByteArray target = QFile::encodeName(path);
    if (target.isEmpty())
        return failWith(ENOENT);
    struct stat existing;
    const bool replacing = ::stat(target.constData(), &existing) == 0;
    if (replacing) {
        // Only a file is ever replaced: a device, a pipe or a folder under that name would be
        // swapped for a regular file.
        if (!S_ISREG(existing.st_mode)) {
            error = QStringLiteral("it is not a regular file");
            return false;
        }
        // A link is followed: the file it names is replaced, the link stays.
        char *real = ::realpath(target.constData(), nullptr);
        if (!real)
            return failWith(errno);
        target = real;
        std::free(real);
    } else if (errno != ENOENT) {
        return failWith(errno);
    } else if (struct stat link; ::lstat(target.constData(), &link) == 0) {
        error = QStringLiteral("it is not a regular file");
        return false;
    }

    // The new file is written beside the target under a fresh name and renamed over it only
    // when every byte is known to be on the disk.
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : target.left(std::max<qsizetype>(slash, 1));
    const QByteArray base = target.mid(slash + 1).left(200);
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = folder + "/." + base + '.' +
                    QByteArray::number(QRandomGenerator::global()->generate(), 16);
        fd = ::open(temporary.constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return failWith(errno);
    }
    if (fd < 0)
        return failWith(EEXIST);
    const auto discard = [&](int code) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temporary.constData());
        return failWith(code);
    };
    if (replacing && ::fchmod(fd, existing.st_mode & 07777) != 0)
        return discard(errno);
    DescriptorWriter writer(fd);
    if (!model_->writeTimedLines(writer))
        return discard(writer.error() ? writer.error() : EIO);
    if (::fsync(fd) != 0)
        return discard(errno);
    struct stat written;
    if (::fstat(fd, &written) != 0)
        return discard(errno);
    if (written.st_size != writer.written()) {
        discard(0);
        error = QStringLiteral("the file holds %1 of the %2 bytes written")
                    .arg(qint64(written.st_size))
                    .arg(writer.written());
        return false;
    }
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return discard(errno);
    if (::rename(temporary.constData(), target.constData()) != 0)
        return discard(errno);
    // The rename itself reaches the disk with the folder.
    if (const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

void MessageList::saveWithChooser()
{
    const QString path =
        chooseSaveFile(this, QStringLiteral("Save Log As"), QStringLiteral("dovrax-log.txt"),
                       QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!saveTo(path, error))
        messageBox(this, QStringLiteral("Failed to save the log to %1: %2").arg(path, error),
                   QStringLiteral("Save Log As"), MessageIcon::Stop);
}

int MessageList::horizontalOffset() const
{
    return 0;
}

int MessageList::verticalOffset() const
{
    return int(std::min<qint64>(INT_MAX, qint64(topRow()) * rowHeight()));
}

QModelIndex MessageList::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    Q_UNUSED(modifiers);
    const int rows = model_->rowCount();
    if (rows == 0)
        return QModelIndex();
    const QModelIndex current = currentIndex();
    if (!current.isValid())
        return model_->index(0, 0);

    // A page step keeps one row of context, as list boxes do.
    const qint64 page = std::max(1, fullRowsPerPage() - 1);
    qint64 row = current.row();
    switch (cursorAction) {
    case MoveUp:
    case MovePrevious:
        --row;
        break;
    case MoveDown:
    case MoveNext:
        ++row;
        break;
    case MovePageUp:
        row -= page;
        break;
    case MovePageDown:
        row += page;
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = rows - 1;
        break;
    case MoveLeft:
    case MoveRight:
        break;
    }
    return model_->index(int(std::clamp<qint64>(row, 0, rows - 1)), 0);
}

void MessageList::setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command)
{
    QItemSelection selection;
    const QRect area = rect.normalized();
    const int rows = model_->rowCount();
    if (rows > 0 && area.bottom() >= 0) {
        const int height = rowHeight();
        const qint64 first = qint64(topRow()) + std::max(0, area.top()) / height;
        const qint64 last = std::min<qint64>(rows - 1, qint64(topRow()) + area.bottom() / height);
        if (first <= last)
            selection.select(model_->index(int(first), 0), model_->index(int(last), 0));
    }
    selectionModel()->select(selection, command);
}

QRegion MessageList::visualRegionForSelection(const QItemSelection &selection) const
{
    QRegion region;
    const int top = topRow();
    const qint64 bottom = qint64(top) + pageRows() - 1;
    const int height = rowHeight();
    for (const QItemSelectionRange &range : selection) {
        if (!range.isValid() || range.model() != model_ || range.parent().isValid())
            continue;
        const qint64 first = std::max(range.top(), top);
        const qint64 last = std::min<qint64>(range.bottom(), bottom);
        if (first <= last)
            region += QRect(0, int(first - top) * height, viewport()->width(),
                            int(last - first + 1) * height);
    }
    return region;
}

bool MessageList::isIndexHidden(const QModelIndex &index) const
{
    Q_UNUSED(index);
    return false;
}

void MessageList::updateGeometries()
{
    const int full = fullRowsPerPage();
    QScrollBar *bar = verticalScrollBar();
    bar->setSingleStep(1);
    bar->setPageStep(full);
    bar->setRange(0, std::max(0, model_->rowCount() - full));
    horizontalScrollBar()->setRange(0, 0);
    QAbstractItemView::updateGeometries();
}

void MessageList::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    // QListView's version maps rows through its layout, which this view never builds; the
    // accessible child of a row is the row itself.
#if QT_CONFIG(accessibility)
    if (QAccessible::isActive()) {
        if (!selected.isEmpty()) {
            QAccessibleEvent added(this, QAccessible::SelectionAdd);
            added.setChild(selected.first().top());
            QAccessible::updateAccessibility(&added);
        }
        if (!deselected.isEmpty()) {
            QAccessibleEvent removed(this, QAccessible::SelectionRemove);
            removed.setChild(deselected.first().top());
            QAccessible::updateAccessibility(&removed);
        }
    }
#endif
    QAbstractItemView::selectionChanged(selected, deselected);
}

void MessageList::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QAbstractItemView::currentChanged(current, previous);
#if QT_CONFIG(accessibility)
    if (QAccessible::isActive() && current.isValid() && hasFocus()) {
        QAccessibleEvent focused(this, QAccessible::Focus);
        focused.setChild(current.row());
        QAccessible::updateAccessibility(&focused);
    }
#endif
}

void MessageList::scheduleSync()
{
    if (!syncTimer_.isActive())
        syncTimer_.start(0, this);
}

void MessageList::scrollToAnchor()
{
    // The list capped the first visible line at the last full page of the lines it had when
    // the line was selected; lines appended since then stay below the view.
    const int lastFullPage = std::max(0, topAnchorCount_ - fullRowsPerPage());
    verticalScrollBar()->setValue(std::min(topAnchor_, lastFullPage));
}

int MessageList::topRow() const
{
    return verticalScrollBar()->value();
}

int MessageList::fullRowsPerPage() const
{
    return std::max(1, viewport()->height() / rowHeight());
}

const QStaticText &MessageList::laidOut(const QString &text)
{
    if (const QStaticText *cached = laidOut_.object(text))
        return *cached;
    auto *fresh = new QStaticText(text);
    fresh->setTextFormat(Qt::PlainText);
    fresh->setPerformanceHint(QStaticText::AggressiveCaching);
    laidOut_.insert(text, fresh);
    return *fresh;
}

int MessageList::textMargin() const
{
    // The same text margin the styles give item view text.
    return style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
}

int MessageList::pageRows() const
{
    // Includes the partly visible row at the bottom.
    return viewport()->height() / rowHeight() + 1;
}

} // namespace platform
