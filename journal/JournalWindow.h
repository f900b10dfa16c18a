#pragma once
// The window "Журнал инициализации": a day's initialization log as a table_ (time, card number,
// result, message; newest at the bottom), the day's counts, the tokens still to redo, a filter,
// a date choice, "Открыть папку" and "Сохранить как CSV...". Not modal; while it is shown it
// watches the day's file, so the lines a run appends appear at once.
//
// A thin view: reading and counting are LogReader's (engine/), the rows JournalModel's. The log
// is where the writer puts it (engine/InitLog.h): the same data folder, file name and clock. The
// window is made once and hidden when closed, so its size and column widths stay for the run of
// the program.

#include "engine/LogReader.h"

#include <QDate>
#include <QWidget>

class JournalModel;
class QDateEdit;
class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QTableView;
class QTimer;

class JournalWindow : public QWidget {
    Q_OBJECT
public:
    static inline const QString kTitle = QStringLiteral("Журнал инициализации");
    static inline const QString kCsvFilter = QStringLiteral("CSV (*.csv)");
    // How often the window looks at the file and the clock besides the file watcher: a file the
    // watcher cannot follow, a new day at midnight.
    static constexpr int kPollMs = 2000;

    explicit JournalWindow(QWidget* parent = nullptr);
    ~JournalWindow() override;

    // Shows today's log with no filter, or brings the open window to the front.
    void ShowJournal();
    // Shows the log of `day` ("За <дата> журнала нет." when there is none).
    void ShowDay(const QDate& day);
    QDate Day() const { return day_; }
    // The log folder and a day's file, as the writer names them; empty when the data folder is
    // unknown.
    static QString LogFolder();
    static QString LogPath(const QDate& day);

    // Takes in what was written to the shown day's file (the watcher and the timer call it).
    void Refresh();
    // "Открыть папку" and "Сохранить как CSV...".
    void OpenFolder();
    void SaveCsv();

    // The rows shown (the whole day's log, filtered).
    JournalModel& Model() const { return *model_; }

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void CreateControls();
    void Watch();
    static QString WatchedFolder();
    void ShowCounts();
    void Poll();

    QDate day_;
    // The shown day was today when chosen: at midnight the window moves on to the new day,
    // where a run goes on writing.
    bool followsToday_ = false;
    QFileSystemWatcher* watcher_ = nullptr;
    QString watchedFolder_;
    QTimer* filterTimer_ = nullptr;
    QTimer* pollTimer_ = nullptr;
    QDateEdit* dateEdit_ = nullptr;
    QLineEdit* filterEdit_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QTableView* table_ = nullptr;
    QLabel* noLogLabel_ = nullptr;
    QLabel* countsLabel_ = nullptr;
    QLabel* readProblemLabel_ = nullptr; // shown while the log cannot be read to its end
    QLabel* redoLabel_ = nullptr;
    QListWidget* redoList_ = nullptr;
    QPushButton* openFolderButton_ = nullptr;
    QPushButton* saveCsvButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    JournalModel* model_ = nullptr;
};
