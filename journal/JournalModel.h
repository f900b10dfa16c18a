#pragma once
// The rows of the journal's table over a LogReader: one row per log line in file order, or only
// the lines the filter finds. A row's text is read from the file when the view asks for it (a
// few hundred rows are kept at hand), so the table costs no more than what it shows.

#include "engine/LogReader.h"

#include <QAbstractTableModel>
#include <QCache>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class JournalModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { TimeColumn, CardColumn, ResultColumn, MessageColumn, ColumnCount };

    static inline const QString kTextSuccess = QStringLiteral("Успешно");
    static inline const QString kTextError = QStringLiteral("Ошибка");
    static inline const QString kTextUnrecognized = QStringLiteral("Не распознано");

    explicit JournalModel(QObject* parent = nullptr);

    // Shows the log at `path`; false (and no rows) when there is none.
    bool Open(const QString& path);
    void Close();
    bool IsOpen() const { return reader_.IsOpen(); }
    // Takes in what was written since the last look: new rows are inserted at the bottom.
    void Refresh();
    // Shows only the lines whose card number or message holds `text` (all when empty).
    void SetFilter(const QString& text);

    LogReader& Reader() { return reader_; }
    // The lines shown, in order, as written in the log.
    void ForEachShownLine(const std::function<void(std::string_view)>& visit);
    // The result column's text of a line.
    static QString ResultText(LogOutcome outcome);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    std::size_t LineAt(int row) const;
    const LogEntry& EntryAt(int row) const;

    mutable LogReader reader_;
    std::string filter_;            // UTF-8; empty: every line is shown
    std::vector<std::size_t> rows_; // the lines shown while filtering
    // While new lines are being announced: the count of lines the view knows of.
    std::optional<std::size_t> shownLines_;
    mutable QCache<quint64, LogEntry> cache_{512};
};
