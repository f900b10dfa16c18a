#include "StationWindow.h"

#include "engine/RunTexts.h"
#include "engine/StationTexts.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QString kCaption = QStringLiteral("Инициализация на нескольких устройствах");
const QString kReaderColumn = QStringLiteral("Устройство");
const QString kStateColumn = QStringLiteral("Состояние");
// The events are taken from the station this often.
constexpr int kDrainInterval = 50;

QString Text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// The card number before a row's text, as the command line writes it: "#0102...: ".
QString CardPrefix(const std::string& card) {
    return card.empty() ? QString() : QStringLiteral("#") + Text(card) + QStringLiteral(": ");
}

// A failure in the run's words: the step's message, and the token's status word where the
// message does not carry it already.
QString FailureText(const InitOutcome& outcome) {
    QString text = Text(outcome.message);
    const QString answer =
        QStringLiteral("%1").arg(outcome.statusWord, 4, 16, QLatin1Char('0')).toUpper();
    if (outcome.statusWord != 0 && !text.contains(answer))
        text +=
            QStringLiteral(" ") + Text(station_text::kTokenAnswer) + QStringLiteral(": ") + answer;
    return text;
}

} // namespace

StationWindow::StationWindow(const IInitSettings& settings, QStringList readers, QWidget* parent)
    : QDialog(parent), settings_(settings), readers_(std::move(readers)) {
    setWindowTitle(kCaption);
    rows_ = new QTableWidget(0, 2, this);
    rows_->setHorizontalHeaderLabels({kReaderColumn, kStateColumn});
    rows_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    rows_->horizontalHeader()->setStretchLastSection(true);
    rows_->verticalHeader()->setVisible(false);
    rows_->setSelectionBehavior(QAbstractItemView::SelectRows);
    rows_->setSelectionMode(QAbstractItemView::SingleSelection);
    rows_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    rows_->setWordWrap(true);
    QFont large = rows_->font();
    large.setPointSize(large.pointSize() + 3);
    rows_->setFont(large);
    notice_ = new QLabel(this);
    notice_->setWordWrap(true);
    notice_->hide();
    counts_ = new QLabel(this);
    counts_->setFont(large);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(rows_);
    layout->addWidget(notice_);
    layout->addWidget(counts_);
    resize(820, 360);
    ShowCounts();
    drain_.setInterval(kDrainInterval);
    connect(&drain_, &QTimer::timeout, this, &StationWindow::Drain);
}

StationWindow::~StationWindow() {
    drain_.stop();
    // A window destroyed with its run going ends it here (the attempts under way finish first).
    station_.reset();
}

void StationWindow::Start() {
    if (station_)
        return;
    StationOptions options;
    for (const QString& reader : readers_)
        options.readers.push_back(reader.toStdString());
    station_ = std::make_unique<Station>(settings_, options);
    // The named readers get their rows at once, in the order given.
    for (const std::string& reader : options.readers)
        Show(RowFor(reader), Look::Waiting, Text(run_text::kFirst));
    station_->Start();
    drain_.start();
    show();
}

void StationWindow::EndRun() {
    if (station_)
        station_->Esc();
}

int StationWindow::RowOf(const QString& reader) const {
    const auto found = byReader_.find(reader.toStdString());
    return found == byReader_.end() ? -1 : found->second.index;
}

StationWindow::Look StationWindow::LookOf(int row) const {
    for (const auto& [name, entry] : byReader_)
        if (entry.index == row)
            return entry.look;
    return Look::Waiting;
}

QColor StationWindow::ColourOf(Look look) {
    switch (look) {
    case Look::Done:
        return QColor(0x4C, 0xC2, 0x4C);
    case Look::Failed:
        return QColor(0xE0, 0x40, 0x40);
    case Look::Working:
        return QColor(0xF2, 0xD0, 0x38);
    case Look::Waiting:
        break;
    }
    return QColor(0xC8, 0xC8, 0xC8);
}

StationWindow::Row& StationWindow::RowFor(const std::string& reader) {
    const auto found = byReader_.find(reader);
    if (found != byReader_.end())
        return found->second;
    Row& row = byReader_[reader];
    row.index = rows_->rowCount();
    rows_->insertRow(row.index);
    rows_->setItem(row.index, 0, new QTableWidgetItem(Text(reader)));
    rows_->setItem(row.index, 1, new QTableWidgetItem());
    return row;
}

void StationWindow::Show(Row& row, Look look, const QString& text) {
    row.look = look;
    rows_->item(row.index, 1)->setText(text);
    for (int column = 0; column < 2; ++column) {
        QTableWidgetItem* item = rows_->item(row.index, column);
        item->setBackground(ColourOf(look));
        item->setForeground(QColor(Qt::black));
    }
    rows_->resizeRowToContents(row.index);
}

void StationWindow::ShowCounts() {
    counts_->setText(Text(station_text::kInitialized) + QStringLiteral(": ") +
                     QString::number(initialized_) + QStringLiteral("      ") +
                     Text(station_text::kFailed) + QStringLiteral(": ") + QString::number(failed_));
}

void StationWindow::Drain() {
    if (!station_)
        return;
    for (const StationEvent& event : station_->Events().Drain())
        Apply(event);
}

void StationWindow::Apply(const StationEvent& e) {
    switch (e.kind) {
    case StationEventKind::Attached:
    case StationEventKind::Progress:
        break;
    case StationEventKind::TooManyReaders:
        notice_->setText(Text(e.text));
        notice_->show();
        return;
    case StationEventKind::Finished:
        finished_ = true;
        drain_.stop();
        emit RunFinished();
        if (closeWhenFinished_)
            close();
        return;
    default:
        break;
    }
    Row& row = RowFor(e.reader);
    switch (e.kind) {
    case StationEventKind::Attached:
        Show(row, Look::Waiting, Text(run_text::kFirst));
        break;
    case StationEventKind::State:
        if (e.state == RunState::Attempt)
            Show(row, Look::Working, Text(run_text::kAttempt1));
        else if (e.state == RunState::Waiting)
            Show(row, Look::Waiting, Text(row.attempted ? run_text::kNext : run_text::kFirst));
        else if (e.state == RunState::Ended && row.look != Look::Failed)
            Show(row, Look::Waiting, Text(run_text::kRunEnded));
        // RemovalWait and Failed are shown with the attempt's end, which follows.
        break;
    case StationEventKind::Progress:
        Show(row, Look::Working,
             Text(run_text::kAttempt1) + QStringLiteral(" ") + QString::number(e.progress) +
                 QStringLiteral("%"));
        break;
    case StationEventKind::ServiceAway:
        if (e.away)
            Show(row, Look::Waiting, Text(run_text::kServiceAway));
        break;
    case StationEventKind::AttemptEnded:
        row.attempted = true;
        row.card = e.outcome.cardId;
        if (e.outcome.ok) {
            ++initialized_;
            Show(row, Look::Done, CardPrefix(row.card) + Text(run_text::kDone));
        } else {
            ++failed_;
            Show(row, Look::Failed, CardPrefix(row.card) + FailureText(e.outcome));
        }
        ShowCounts();
        break;
    case StationEventKind::LogLineLost:
        Show(row, row.look,
             rows_->item(row.index, 1)->text() + QStringLiteral("\n") +
                 Text(run_text::kLogLineLost) + QStringLiteral(" ") + Text(e.text));
        break;
    case StationEventKind::Busy:
        Show(row, Look::Waiting, Text(station_text::kBusy));
        break;
    case StationEventKind::Unplugged:
        Show(row, Look::Waiting, Text(station_text::kUnplugged));
        break;
    default:
        break;
    }
}

void StationWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        EndRun();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        const int row = rows_->currentRow();
        if (station_ && row >= 0 && LookOf(row) == Look::Failed)
            station_->Enter(rows_->item(row, 0)->text().toStdString());
        return;
    }
    QDialog::keyPressEvent(event);
}

void StationWindow::closeEvent(QCloseEvent* event) {
    if (!station_ || finished_) {
        QDialog::closeEvent(event);
        return;
    }
    // The window goes once the attempts under way have finished.
    closeWhenFinished_ = true;
    EndRun();
    event->ignore();
}
