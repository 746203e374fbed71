// Compact, append-only line store behind the message log.
#pragma once

#include <QAbstractListModel>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class QIODevice;

namespace platform {

// A list model holding log lines in a few bytes each. Appending is cheap and silent: new lines
// are visible to views only after publish(), which announces all of them in one insertion, so
// a caller can add thousands of lines and notify once. Every line is readable through line()
// at once, whether published or not.
class MessageListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit MessageListModel(QObject *parent = nullptr);
    ~MessageListModel() override;

    // Stores text as the new last line, logged now, and returns its row, or -1 when the model
    // is full (INT_MAX lines). The line stays unpublished until publish().
    int append(const QString &text);
    // The same with the time it was logged given, in milliseconds since the Unix epoch.
    int append(const QString &text, qint64 loggedAtMs);

    // Announces every unpublished line to views with one rowsInserted().
    void publish();

    // Removes every line, published or not, and gives the memory back.
    void clear();

    // Lines stored, published or not.
    int lineCount() const { return static_cast<int>(rows_.size()); }
    // Lines views have been told about; rowCount() reports this.
    int publishedCount() const { return published_; }
    bool hasUnpublished() const { return published_ < lineCount(); }

    // Text of any stored line; an empty string when row is out of range.
    QString line(int row) const;

    // When the line at row was logged, in milliseconds since the Unix epoch; 0 when row is out
    // of range.
    qint64 loggedAt(int row) const;

    // The line with the local time it was logged: "YYYY-MM-DD HH:MM:SS.mmm", a tab, the text.
    QString timedLine(int row) const;

    // Writes every stored line as timedLine() does, in UTF-8, one per text line. Returns false
    // when the device refused a write.
    bool writeTimedLines(QIODevice &device) const;

    // Heap bytes held by the store (text blocks and row table, including spare capacity).
    std::size_t storageBytes() const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Block
    {
        std::unique_ptr<char[]> bytes;
        std::uint32_t capacity = 0;
    };
    struct RecentText
    {
        std::uint64_t ref = 0;
        std::size_t hash = 0;
        std::uint32_t lastUse = 0; // value of clock_ when last stored or matched; 0 = empty
    };

    std::uint64_t store(QStringView text);
    char *reserve(std::uint32_t size, std::uint64_t *ref);
    const char *record(std::uint64_t ref) const;
    bool holds(std::uint64_t ref, QStringView text) const;

    // One entry per line: the block number in the high 32 bits and the byte offset of the
    // line's record in the low 32. Lines with the same text share one record.
    std::vector<std::uint64_t> rows_;
    // When each line was logged, in milliseconds after epochMs_ (the first line's time). A line
    // that does not fit (a log kept open for more than 49 days) holds FarTime and its time is
    // kept in farTimes_, so the common case costs four bytes a row.
    static constexpr std::uint32_t FarTime = 0xffffffffu;
    std::vector<std::uint32_t> times_;
    std::map<int, qint64> farTimes_;
    qint64 epochMs_ = 0;
    std::vector<Block> blocks_;
    std::uint32_t used_ = 0; // bytes taken in the block being filled
    int fillBlock_ = -1;     // block being filled, -1 before the first
    int published_ = 0;
    std::array<RecentText, 1024> recent_{};
    std::uint32_t clock_ = 0;
};

} // namespace platform
