// The control form's message log: a plain list box that every action writes a line to.
#pragma once

#include <QBasicTimer>
#include <QCache>
#include <QListView>
#include <QPointer>
#include <QStaticText>

class QMenu;

namespace platform {

class MessageListModel;

// An unsorted, single-selection list box with a border and a vertical scroll bar, built to hold
// millions of lines. Rows are one line of text each, all the same height, scrolled a whole row
// at a time; the bottom row may be partly visible.
//
// Appending is O(1): the new lines, the selection and the scroll position reach the view in one
// coalesced update when the event loop next runs (or on syncView()). count(), line() and
// selectedRow() answer from the log's own state, so they are exact straight after each call.
// The view never keeps per-row data; row geometry is computed from the row height. Rows are
// painted by the list itself (style's item panel, then the text), not by an item delegate.
class MessageList : public QListView
{
    Q_OBJECT

public:
    explicit MessageList(QWidget *parent = nullptr);
    ~MessageList() override;

    // Appends text as the new last line. Neither the selection nor the scroll position change.
    void appendLine(const QString &text);
    // Appends text as the new last line, selects it and makes it the first visible line, which
    // the list limits to its last full page: the new line ends up at the bottom of the view.
    void appendAndSelect(const QString &text);
    // Removes every line and releases their memory.
    void clear();

    int count() const;
    // Text of the line at row; an empty string when row is out of range.
    QString line(int row) const;
    // The selected row, or -1 when nothing is selected.
    int selectedRow() const;

    // The selected line with the time it was logged, as the context menu's Copy puts it on the
    // clipboard; an empty string when nothing is selected.
    QString selectedTimedLine() const;

    // Writes every line with its local time to `path` in UTF-8 (see MessageListModel). The file
    // is written beside the target and renamed over it only once every byte is on the disk, so
    // a failed save leaves any earlier file as it was; anything at `path` that is not a regular
    // file (a link is followed) is left alone and refused. On failure returns false and says
    // why in `error`.
    bool saveTo(const QString &path, QString &error) const;

    // Opens the context menu (Copy, Save Log As..., Clear) at `globalPos`; returns the menu,
    // which deletes itself once closed.
    QMenu *showContextMenu(const QPoint &globalPos);

    // Applies the pending coalesced update now instead of waiting for the event loop.
    void syncView();

    // First row at the top of the viewport as the view shows it now, -1 when empty.
    int firstVisibleRow() const;
    // Last row whose whole height is inside the viewport, -1 when there is none.
    int lastFullyVisibleRow() const;
    // Height of every row in pixels: at least the font's full height as drawn at the device
    // pixel ratio.
    int rowHeight() const;

    // The store behind the view, for diagnostics.
    const MessageListModel *messageModel() const { return model_; }

    QRect visualRect(const QModelIndex &index) const override;
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint &point) const override;
    void doItemsLayout() override;
    void reset() override;

Q_SIGNALS:
    // A double-click anywhere in the viewport, on a line or in the empty space below them.
    void listDoubleClicked();
    // The context menu's Clear: the owner empties the list as it does for a double-click.
    void clearRequested();

protected:
    void scrollContentsBy(int dx, int dy) override;
    void rowsInserted(const QModelIndex &parent, int start, int end) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection &selection) const override;
    bool isIndexHidden(const QModelIndex &index) const override;
    void updateGeometries() override;
    void selectionChanged(const QItemSelection &selected,
                          const QItemSelection &deselected) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;

private:
    void scheduleSync();
    void scrollToAnchor();
    int topRow() const;
    int fullRowsPerPage() const;
    int pageRows() const;
    int textMargin() const;
    // The room one line of `font` takes when drawn with `ratio` device pixels to a pixel, in
    // pixels: from its top to the baseline, and in all.
    struct TextBox
    {
        qreal ascent = 0;
        qreal height = 0;
    };
    TextBox textBox(const QFont &font, qreal ratio) const;
    const QStaticText &laidOut(const QString &text);
    void saveWithChooser();

    MessageListModel *model_ = nullptr;
    // The open context menu; the menu key also reaches the window system as a context-menu
    // request, which must not open a second one.
    QPointer<QMenu> menu_;
    QBasicTimer syncTimer_;
    mutable int rowHeight_ = 0;          // 0 until measured for the current font and style
    mutable qreal rowHeightRatio_ = 0.0; // the device pixel ratio it was measured for
    mutable qreal textTop_ = 0.0;        // where a line's laid-out text starts in its row
    // Lines laid out for painting; the log repeats itself, so a small cache saves most shaping.
    QCache<QString, QStaticText> laidOut_{512};
    // The line appendAndSelect() chose and the line count at that moment; -1 when the view's
    // own selection is current.
    int pendingSelect_ = -1;
    int pendingSelectCount_ = 0;
    // The same pair kept while the list is hidden: its viewport has no real size until it is
    // shown, so the first visible line is worked out again then.
    int topAnchor_ = -1;
    int topAnchorCount_ = 0;
};

} // namespace platform
