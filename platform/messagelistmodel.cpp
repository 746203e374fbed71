#include "messagelistmodel.h"

#include <QDateTime>
#include <QHashFunctions>
#include <QIODevice>

#include <climits>
#include <cstring>

namespace platform {

namespace {

// Text lives in blocks of this size, so growth never copies what is already stored (a single
// large vector would move hundreds of megabytes on a long session's reallocation).
constexpr std::uint32_t BlockSize = 1u << 20;
// A record larger than half a block gets a block of its own rather than wasting a block's tail.
constexpr std::uint32_t OwnBlockThreshold = BlockSize / 2;
// QString's own practical limit; keeps a record's byte size within 32 bits.
constexpr qsizetype MaxLength = 0x3fffffff;
constexpr std::size_t HeaderSize = sizeof(std::uint32_t);

// Record header: length in UTF-16 code units shifted left by one, low bit set when the text is
// stored as UTF-16 rather than Latin-1.
constexpr std::uint32_t WideFlag = 1;

bool fitsLatin1(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return false;
    }
    return true;
}

std::uint32_t readHeader(const char *record)
{
    std::uint32_t header;
    std::memcpy(&header, record, sizeof header);
    return header;
}

// Local time of a log line as "YYYY-MM-DD HH:MM:SS.mmm". Converting to local time is the
// expensive part and lines come many to a second, so the last second's text is kept.
class TimeFormatter
{
public:
    QString format(qint64 ms)
    {
        const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
        if (second != second_ || secondText_.isEmpty()) {
            second_ = second;
            secondText_ = QDateTime::fromMSecsSinceEpoch(second * 1000)
                              .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        }
        const int millis = static_cast<int>(ms - second * 1000);
        return secondText_ + QLatin1Char('.') +
               QStringLiteral("%1").arg(millis, 3, 10, QLatin1Char('0'));
    }

private:
    qint64 second_ = 0;
    QString secondText_;
};

} // namespace

MessageListModel::MessageListModel(QObject *parent) : QAbstractListModel(parent) {}

MessageListModel::~MessageListModel() = default;

int MessageListModel::append(const QString &text)
{
    return append(text, QDateTime::currentMSecsSinceEpoch());
}

int MessageListModel::append(const QString &text, qint64 loggedAtMs)
{
    if (rows_.size() >= static_cast<std::size_t>(INT_MAX))
        return -1;
    const int row = static_cast<int>(rows_.size());
    if (row == 0)
        epochMs_ = loggedAtMs;
    const qint64 offset = loggedAtMs - epochMs_;
    if (offset >= 0 && offset < FarTime) {
        times_.push_back(static_cast<std::uint32_t>(offset));
    } else {
        // The clock went back, or the log has been open for weeks.
        times_.push_back(FarTime);
        farTimes_.emplace(row, loggedAtMs);
    }
    rows_.push_back(store(text));
    return row;
}

void MessageListModel::publish()
{
    if (!hasUnpublished())
        return;
    beginInsertRows(QModelIndex(), published_, lineCount() - 1);
    published_ = lineCount();
    endInsertRows();
}

void MessageListModel::clear()
{
    beginResetModel();
    // Swapping with empty containers returns the memory; clear() would keep the capacity.
    std::vector<std::uint64_t>().swap(rows_);
    std::vector<std::uint32_t>().swap(times_);
    farTimes_.clear();
    std::vector<Block>().swap(blocks_);
    used_ = 0;
    fillBlock_ = -1;
    published_ = 0;
    recent_.fill(RecentText{});
    clock_ = 0;
    endResetModel();
}

QString MessageListModel::line(int row) const
{
    if (row < 0 || row >= lineCount())
        return QString();
    const char *rec = record(rows_[static_cast<std::size_t>(row)]);
    const std::uint32_t header = readHeader(rec);
    const qsizetype length = header >> 1;
    const char *text = rec + HeaderSize;
    if (!(header & WideFlag))
        return QString::fromLatin1(text, length);
    // Records are byte-packed, so the UTF-16 units may be unaligned: copy, don't cast.
    QString result(length, Qt::Uninitialized);
    std::memcpy(result.data(), text, static_cast<std::size_t>(length) * sizeof(char16_t));
    return result;
}

qint64 MessageListModel::loggedAt(int row) const
{
    if (row < 0 || row >= lineCount())
        return 0;
    const std::uint32_t offset = times_[static_cast<std::size_t>(row)];
    if (offset == FarTime)
        return farTimes_.at(row);
    return epochMs_ + offset;
}

QString MessageListModel::timedLine(int row) const
{
    if (row < 0 || row >= lineCount())
        return QString();
    TimeFormatter formatter;
    return formatter.format(loggedAt(row)) + QLatin1Char('\t') + line(row);
}

bool MessageListModel::writeTimedLines(QIODevice &device) const
{
    TimeFormatter formatter;
    QByteArray chunk;
    constexpr qsizetype ChunkBytes = 1 << 16;
    for (int row = 0; row < lineCount(); ++row) {
        chunk += formatter.format(loggedAt(row)).toLatin1();
        chunk += '\t';
        chunk += line(row).toUtf8();
        chunk += '\n';
        if (chunk.size() >= ChunkBytes) {
            if (device.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return chunk.isEmpty() || device.write(chunk) == chunk.size();
}

std::size_t MessageListModel::storageBytes() const
{
    std::size_t bytes = rows_.capacity() * sizeof(std::uint64_t);
    bytes += times_.capacity() * sizeof(std::uint32_t);
    bytes += blocks_.capacity() * sizeof(Block);
    for (const Block &block : blocks_)
        bytes += block.capacity;
    return bytes;
}

int MessageListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : published_;
}

QVariant MessageListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.column() != 0 || index.row() >= published_)
        return QVariant();
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return line(index.row());
    if (role == Qt::ToolTipRole)
        return TimeFormatter().format(loggedAt(index.row()));
    return QVariant();
}

Qt::ItemFlags MessageListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

std::uint64_t MessageListModel::store(QStringView text)
{
    if (text.size() > MaxLength)
        text = text.first(MaxLength);

    // The log repeats itself (separators, the same port value written again): a small table
    // of recently stored texts lets a repeat cost only its row entry. Each text may sit in one
    // of two slots and a new text replaces the less recently used, so frequent texts that
    // collide on one slot do not keep evicting each other.
    const std::size_t hash = qHash(text);
    if (++clock_ == 0)
        clock_ = 1; // 0 marks an empty slot
    RecentText &first = recent_[hash % recent_.size()];
    RecentText &second = recent_[(hash / recent_.size()) % recent_.size()];
    for (RecentText *slot : {&first, &second}) {
        if (slot->lastUse != 0 && slot->hash == hash && holds(slot->ref, text)) {
            slot->lastUse = clock_;
            return slot->ref;
        }
    }

    const bool wide = !fitsLatin1(text);
    const auto length = static_cast<std::uint32_t>(text.size());
    const std::uint32_t textBytes = wide ? length * 2 : length;
    std::uint64_t ref = 0;
    char *rec = reserve(static_cast<std::uint32_t>(HeaderSize) + textBytes, &ref);
    const std::uint32_t header = (length << 1) | (wide ? WideFlag : 0);
    std::memcpy(rec, &header, sizeof header);
    char *out = rec + HeaderSize;
    if (wide) {
        std::memcpy(out, text.utf16(), textBytes);
    } else {
        for (const QChar c : text)
            *out++ = static_cast<char>(c.unicode());
    }

    RecentText &victim = first.lastUse <= second.lastUse ? first : second;
    victim = RecentText{ref, hash, clock_};
    return ref;
}

char *MessageListModel::reserve(std::uint32_t size, std::uint64_t *ref)
{
    if (fillBlock_ >= 0) {
        Block &fill = blocks_[static_cast<std::size_t>(fillBlock_)];
        if (fill.capacity - used_ >= size) {
            *ref = (std::uint64_t(fillBlock_) << 32) | used_;
            char *at = fill.bytes.get() + used_;
            used_ += size;
            return at;
        }
    }

    const bool own = size > OwnBlockThreshold;
    const std::uint32_t capacity = own ? size : BlockSize;
    // new char[] leaves the bytes uninitialised: the pages are touched only as records land.
    blocks_.push_back(Block{std::unique_ptr<char[]>(new char[capacity]), capacity});
    const auto index = static_cast<std::uint64_t>(blocks_.size() - 1);
    *ref = index << 32;
    if (!own) {
        fillBlock_ = static_cast<int>(index);
        used_ = size;
    }
    return blocks_.back().bytes.get();
}

const char *MessageListModel::record(std::uint64_t ref) const
{
    return blocks_[static_cast<std::size_t>(ref >> 32)].bytes.get() + (ref & 0xffffffffu);
}

bool MessageListModel::holds(std::uint64_t ref, QStringView text) const
{
    const char *rec = record(ref);
    const std::uint32_t header = readHeader(rec);
    if (qsizetype(header >> 1) != text.size())
        return false;
    const char *stored = rec + HeaderSize;
    if (header & WideFlag)
        return std::memcmp(stored, text.utf16(), std::size_t(text.size()) * 2) == 0;
    for (const QChar c : text) {
        if (c.unicode() != static_cast<unsigned char>(*stored++))
            return false;
    }
    return true;
}

} // namespace platform
