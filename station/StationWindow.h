#pragma once
// The window of an initialization run over several readers at once: one row per reader with its
// name, what its run is doing in the run's own words and a colour seen from a distance (green:
// done, take the token out; red: failed, until the token is taken out; yellow: initializing;
// grey: waiting for a token, busy, unplugged, ended), and below the counts of the run.
//
// The run is the engine's station (engine/Station.h): every reader works on a thread of its own,
// and the window drains the station's events with a timer on the user-interface thread, which
// never waits on a card. Enter on a selected failed row tries its token again at once; Esc and
// the window's close end the run, the attempts under way finishing first; the window closes
// itself once every reader's run has ended.

#include "engine/InitSettingsSource.h"
#include "engine/Station.h"

#include <QColor>
#include <QDialog>
#include <QStringList>
#include <QTimer>

#include <map>
#include <memory>

class QLabel;
class QTableWidget;

class StationWindow : public QDialog {
    Q_OBJECT
public:
    // The look of a row.
    enum class Look { Waiting, Working, Done, Failed };

    // `readers`: the readers of the run; empty: every reader attached, and those plugged in while
    // it runs. The settings are read when the run starts.
    StationWindow(const IInitSettings& settings, QStringList readers, QWidget* parent = nullptr);
    ~StationWindow() override;

    // Starts the run and shows the window.
    void Start();
    // Ends the run once the attempts under way have finished (as Esc does).
    void EndRun();
    bool Finished() const { return finished_; }

    QTableWidget* Rows() const { return rows_; }
    QLabel* Counts() const { return counts_; }
    // The row of a reader; -1 when it has none.
    int RowOf(const QString& reader) const;
    Look LookOf(int row) const;
    static QColor ColourOf(Look look);

signals:
    // Every reader's run has ended.
    void RunFinished();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Row {
        int index = 0;
        Look look = Look::Waiting;
        bool attempted = false; // the next token, not the first
        std::string card;       // the card of the last attempt
    };

    void Drain();
    void Apply(const StationEvent& event);
    Row& RowFor(const std::string& reader);
    void Show(Row& row, Look look, const QString& text);
    void ShowCounts();

    const IInitSettings& settings_;
    QStringList readers_;
    std::unique_ptr<Station> station_;
    QTableWidget* rows_ = nullptr;
    QLabel* notice_ = nullptr;
    QLabel* counts_ = nullptr;
    QTimer drain_;
    std::map<std::string, Row> byReader_;
    int initialized_ = 0;
    int failed_ = 0;
    bool finished_ = false;
    bool closeWhenFinished_ = false;
};
