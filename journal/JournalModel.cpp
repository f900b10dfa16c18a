#include "JournalModel.h"

#include <QBrush>
#include <QColor>
#include <QFont>

#include <algorithm>

namespace {

QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

JournalModel::JournalModel(QObject* parent) : QAbstractTableModel(parent) {}

bool JournalModel::Open(const QString& path) {
    beginResetModel();
    cache_.clear();
    const bool opened = reader_.Open(path.toStdString());
    rows_ = filter_.empty() || !opened ? std::vector<std::size_t>() : reader_.Find(filter_);
    endResetModel();
    return opened;
}

void JournalModel::Close() {
    beginResetModel();
    cache_.clear();
    reader_.Close();
    rows_.clear();
    endResetModel();
}

void JournalModel::SetFilter(const QString& text) {
    const std::string filter = text.trimmed().toStdString();
    if (filter == filter_)
        return;
    beginResetModel();
    filter_ = filter;
    rows_ = filter_.empty() ? std::vector<std::size_t>() : reader_.Find(filter_);
    endResetModel();
}

void JournalModel::Refresh() {
    if (!reader_.IsOpen())
        return;
    const std::size_t before = reader_.LineCount();
    const int rowsBefore = rowCount();
    // Until the rows are announced, the view must keep seeing the old count.
    shownLines_ = before;
    const std::size_t first = reader_.Refresh();
    const std::size_t after = reader_.LineCount();
    if (first == before && after == before) {
        shownLines_.reset();
        return;
    }
    if (first == 0 && before > 0) { // the file was read anew
        shownLines_.reset();
        beginResetModel();
        cache_.clear();
        rows_ = filter_.empty() ? std::vector<std::size_t>() : reader_.Find(filter_);
        endResetModel();
        return;
    }
    // The rows from the first changed line on go (the unfinished last line read again)...
    const int firstRow =
        filter_.empty()
            ? static_cast<int>(first)
            : static_cast<int>(std::lower_bound(rows_.begin(), rows_.end(), first) - rows_.begin());
    if (firstRow < rowsBefore) {
        beginRemoveRows(QModelIndex(), firstRow, rowsBefore - 1);
        cache_.clear();
        rows_.resize(filter_.empty() ? 0 : static_cast<std::size_t>(firstRow));
        shownLines_ = first;
        endRemoveRows();
    }
    // ...and the new lines come at the bottom.
    const std::vector<std::size_t> found =
        filter_.empty() ? std::vector<std::size_t>() : reader_.Find(filter_, first);
    const int added =
        filter_.empty() ? static_cast<int>(after - first) : static_cast<int>(found.size());
    if (added > 0) {
        beginInsertRows(QModelIndex(), firstRow, firstRow + added - 1);
        rows_.insert(rows_.end(), found.begin(), found.end());
        shownLines_.reset();
        endInsertRows();
    }
    shownLines_.reset();
}

void JournalModel::ForEachShownLine(const std::function<void(std::string_view)>& visit) {
    reader_.ForEachLine(filter_.empty() ? nullptr : &rows_, 0,
                        [&](std::size_t, std::string_view line) { visit(line); });
}

QString JournalModel::ResultText(LogOutcome outcome) {
    switch (outcome) {
    case LogOutcome::Success:
        return kTextSuccess;
    case LogOutcome::Error:
        return kTextError;
    case LogOutcome::Unrecognized:
        break;
    }
    return kTextUnrecognized;
}

int JournalModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    if (!filter_.empty())
        return static_cast<int>(rows_.size());
    return static_cast<int>(shownLines_ ? *shownLines_ : reader_.LineCount());
}

int JournalModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

std::size_t JournalModel::LineAt(int row) const {
    return filter_.empty() ? static_cast<std::size_t>(row) : rows_[static_cast<std::size_t>(row)];
}

const LogEntry& JournalModel::EntryAt(int row) const {
    const quint64 line = LineAt(row);
    if (LogEntry* cached = cache_.object(line))
        return *cached;
    auto* entry = new LogEntry(reader_.Line(line));
    cache_.insert(line, entry);
    return *entry;
}

QVariant JournalModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const LogEntry& entry = EntryAt(index.row());
    const bool recognized = entry.outcome != LogOutcome::Unrecognized;
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case TimeColumn:
            return Utf8(entry.time);
        case CardColumn:
            return Utf8(entry.cardId);
        case ResultColumn:
            // A mark before the word: a green tick, a red cross, a grey question mark.
            return (entry.outcome == LogOutcome::Success ? QStringLiteral("\u2714 ")
                    : recognized                         ? QStringLiteral("\u2716 ")
                                                         : QStringLiteral("? ")) +
                   ResultText(entry.outcome);
        case MessageColumn:
            return Utf8(recognized ? entry.message : entry.text);
        default:
            return {};
        }
    case Qt::ToolTipRole:
        if (column == MessageColumn)
            return Utf8(recognized ? entry.message : entry.text);
        return {};
    case Qt::ForegroundRole:
        if (!recognized)
            return QBrush(QColor(0x80, 0x80, 0x80));
        if (column == ResultColumn)
            return QBrush(entry.outcome == LogOutcome::Success ? QColor(0x1A, 0x7F, 0x37)
                                                               : QColor(0xC0, 0x00, 0x00));
        return {};
    case Qt::FontRole:
        if (!recognized) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return {};
    default:
        return {};
    }
}

QVariant JournalModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case TimeColumn:
        return QStringLiteral("Время");
    case CardColumn:
        return QStringLiteral("Номер карты");
    case ResultColumn:
        return QStringLiteral("Результат");
    case MessageColumn:
        return QStringLiteral("Сообщение");
    default:
        return {};
    }
}
