#include "JournalWindow.h"

#include "FolderOpener.h"
#include "JournalCsv.h"
#include "JournalModel.h"

#include "engine/InitLog.h"
#include "init/Dialogs.h"

#include <QDateEdit>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QLocale Russian(QLocale::Russian, QLocale::Russia);

QDate Today() {
    const DateTimeFields now = InitLogEnvironment().Now();
    return QDate(now.year, now.month, now.day);
}

QString Utf8(const std::string& text) {
    return QString::fromStdString(text);
}

void Tell(QWidget* owner, const QString& text, MsgType type, int buttons = mbOK) {
    Dialogs().Message({owner, QStringLiteral("Orvane"), text, type, buttons, false});
}

} // namespace

JournalWindow::JournalWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    CreateControls();
    watcher_ = new QFileSystemWatcher(this);
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, [this] { Refresh(); });
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { Refresh(); });
    // The filter reads the whole file: it waits until typing pauses.
    filterTimer_ = new QTimer(this);
    filterTimer_->setSingleShot(true);
    filterTimer_->setInterval(200);
    connect(filterTimer_, &QTimer::timeout, this, [this] {
        model->SetFilter(filterEdit->text());
        table->scrollToBottom();
    });
    connect(filterEdit, &QLineEdit::textChanged, filterTimer_, qOverload<>(&QTimer::start));
    pollTimer_ = new QTimer(this);
    pollTimer_->setInterval(PollMs);
    connect(pollTimer_, &QTimer::timeout, this, [this] { Poll(); });
}

JournalWindow::~JournalWindow() = default;

void JournalWindow::CreateControls() {
    setWindowTitle(Title);
    setObjectName(QStringLiteral("JournalWindow"));

    // The table first: it has the keyboard when the window opens.
    model = new JournalModel(this);
    table = new QTableView(this);
    table->setModel(model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    QHeaderView* columns = table->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(true);
    columns->resizeSection(JournalModel::TimeColumn, 80);
    columns->resizeSection(JournalModel::CardColumn, 150);
    columns->resizeSection(JournalModel::ResultColumn, 110);
    dateEdit = new QDateEdit(this);
    dateEdit->setCalendarPopup(true);
    dateEdit->setLocale(Russian);
    dateEdit->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    connect(dateEdit, &QDateEdit::dateChanged, this, [this](const QDate& day) { ShowDay(day); });
    filterEdit = new QLineEdit(this);
    filterEdit->setPlaceholderText(QStringLiteral("Номер карты или текст сообщения"));
    filterEdit->setClearButtonEnabled(true);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Дата:"), this));
    top->addWidget(dateEdit);
    top->addSpacing(16);
    top->addWidget(new QLabel(QStringLiteral("Фильтр:"), this));
    top->addWidget(filterEdit, 1);

    noLogLabel = new QLabel(this);
    noLogLabel->setAlignment(Qt::AlignCenter);
    pages = new QStackedWidget(this);
    pages->addWidget(table);
    pages->addWidget(noLogLabel);

    countsLabel = new QLabel(this);
    redoLabel = new QLabel(this);
    redoList = new QListWidget(this);
    redoList->setUniformItemSizes(true); // a bad day's list is laid out at once
    redoList->setMaximumHeight(redoList->fontMetrics().height() * 4 + 8);

    btnOpenFolder = new QPushButton(QStringLiteral("Открыть папку"), this);
    btnSaveCsv = new QPushButton(QStringLiteral("Сохранить как CSV..."), this);
    btnClose = new QPushButton(QStringLiteral("Закрыть"), this);
    connect(btnOpenFolder, &QPushButton::clicked, this, [this] { OpenFolder(); });
    connect(btnSaveCsv, &QPushButton::clicked, this, [this] { SaveCsv(); });
    connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(btnOpenFolder);
    bottom->addWidget(btnSaveCsv);
    bottom->addStretch(1);
    bottom->addWidget(btnClose);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(pages, 1);
    layout->addWidget(countsLabel);
    layout->addWidget(redoLabel);
    layout->addWidget(redoList);
    layout->addLayout(bottom);
    resize(920, 560);
}

QString JournalWindow::LogFolder() {
    return Utf8(InitLogFolder());
}

QString JournalWindow::LogPath(const QDate& day) {
    const QString folder = LogFolder();
    if (folder.isEmpty())
        return {};
    const std::string fileName =
        InitLogFileName(day.year(), day.month(), day.day(), InitLogEnvironment().TimeLocale());
    return folder + QLatin1Char('/') + Utf8(fileName);
}

void JournalWindow::ShowJournal() {
    if (!isVisible()) {
        filterTimer_->stop();
        filterEdit->clear();
        model->SetFilter(QString());
        ShowDay(Today());
        pollTimer_->start();
    }
    show();
    raise();
    activateWindow();
    table->setFocus();
}

void JournalWindow::ShowDay(const QDate& day) {
    day_ = day;
    followsToday_ = day == Today();
    if (dateEdit->date() != day) {
        const QSignalBlocker quiet(dateEdit);
        dateEdit->setDate(day);
    }
    const QString path = LogPath(day);
    const bool opened = !path.isEmpty() && model->Open(path);
    if (!opened)
        model->Close();
    noLogLabel->setText(QStringLiteral("За %1 журнала нет.")
                            .arg(Russian.toString(day, QStringLiteral("dd.MM.yyyy"))));
    pages->setCurrentWidget(opened ? static_cast<QWidget*>(table) : noLogLabel);
    btnSaveCsv->setEnabled(opened);
    Watch();
    ShowCounts();
    table->scrollToBottom();
}

void JournalWindow::Watch() {
    if (!watcher_->files().isEmpty())
        watcher_->removePaths(watcher_->files());
    if (!watcher_->directories().isEmpty())
        watcher_->removePaths(watcher_->directories());
    watchedFolder_ = WatchedFolder();
    if (!watchedFolder_.isEmpty())
        watcher_->addPath(watchedFolder_);
    if (model->IsOpen())
        watcher_->addPath(QString::fromStdString(model->Reader().Path()));
}

QString JournalWindow::WatchedFolder() {
    // The log folder, or while the first line of the log is still to come, the nearest folder
    // above it that exists: the writer makes Velmar/Orvane in the data folder.
    const QString base = Utf8(InitLogEnvironment().DataFolder());
    if (base.isEmpty())
        return {};
    const QString folder = LogFolder();
    for (const QString& candidate : {folder, QFileInfo(folder).path(), base})
        if (QFileInfo(candidate).isDir())
            return candidate;
    return {};
}

void JournalWindow::Refresh() {
    if (!isVisible())
        return;
    const QString path = LogPath(day_);
    // The day's file came (the first attempt of the day) or went.
    if (model->IsOpen() != QFileInfo::exists(path)) {
        ShowDay(day_);
        return;
    }
    if (WatchedFolder() != watchedFolder_)
        Watch();
    if (!model->IsOpen())
        return;
    const QScrollBar* bar = table->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    const int rows = model->rowCount();
    model->Refresh();
    if (watcher_->files().isEmpty())
        Watch();
    ShowCounts();
    if (atBottom && model->rowCount() != rows)
        table->scrollToBottom();
}

void JournalWindow::Poll() {
    if (followsToday_ && Today() != day_)
        ShowDay(Today());
    else
        Refresh();
}

void JournalWindow::ShowCounts() {
    LogReader& reader = model->Reader();
    const LogTally tally = reader.Tally();
    QString counts = QStringLiteral("Инициализировано: %1    Ошибок: %2    Разных карт: %3")
                         .arg(tally.succeeded)
                         .arg(tally.failed)
                         .arg(tally.tokens);
    if (tally.withoutNumber > 0)
        counts += QStringLiteral("    Без номера: %1").arg(tally.withoutNumber);
    if (tally.unrecognized > 0)
        counts += QStringLiteral("    Нераспознанных строк: %1").arg(tally.unrecognized);
    countsLabel->setText(counts);

    const std::vector<TokenToRedo> redo = reader.TokensToRedo();
    redoLabel->setText(
        QStringLiteral("Карты с ошибкой и без успеха за день (инициализировать заново): %1")
            .arg(redo.size()));
    // Each token with the message of its last failure, read front to back in one pass.
    std::vector<std::size_t> lines;
    lines.reserve(redo.size());
    for (const TokenToRedo& token : redo)
        lines.push_back(token.lastErrorLine);
    std::sort(lines.begin(), lines.end());
    QHash<std::size_t, QString> messages;
    reader.ForEachLine(&lines, 0, [&](std::size_t index, std::string_view line) {
        const std::string_view message = ParseLogLine(line).message;
        messages.insert(index,
                        QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
    });
    QStringList items;
    items.reserve(static_cast<qsizetype>(redo.size()));
    for (const TokenToRedo& token : redo)
        items << Utf8(token.cardId) + QStringLiteral(" — ") + messages.value(token.lastErrorLine);
    redoList->clear();
    redoList->addItems(items);
}

void JournalWindow::OpenFolder() {
    const QString folder = LogFolder();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        Tell(this,
             QStringLiteral("Папки журнала ещё нет: в ней появится первая строка журнала.\n") +
                 folder,
             MsgType::Information);
        return;
    }
    if (!FolderOpener().OpenFolder(folder))
        Tell(this, QStringLiteral("Не удалось открыть папку журнала:\n") + folder, MsgType::Error);
}

void JournalWindow::SaveCsv() {
    QString path = Dialogs().SaveFileName(this, CsvFilter);
    if (path.isEmpty())
        return;
    if (!path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
        path += QStringLiteral(".csv");
    if (QFileInfo::exists(path) &&
        Dialogs().Message({this, QStringLiteral("Orvane"),
                           QStringLiteral("Файл %1 уже существует. Заменить его?").arg(path),
                           MsgType::Warning, mbYes | mbNo, false}) != mbYes)
        return;
    QString error;
    if (!WriteJournalCsv(path, *model, &error))
        Tell(this, QStringLiteral("Не удалось сохранить файл %1.\n%2").arg(path, error),
             MsgType::Error);
}

void JournalWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (event->spontaneous()) // minimized: still the user's window, still live
        return;
    // A closed window lets go of the file and stops looking.
    pollTimer_->stop();
    filterTimer_->stop();
    if (!watcher_->files().isEmpty())
        watcher_->removePaths(watcher_->files());
    if (!watcher_->directories().isEmpty())
        watcher_->removePaths(watcher_->directories());
    model->Close();
}
