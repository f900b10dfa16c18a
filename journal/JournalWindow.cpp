#include "JournalWindow.h"

#include "FolderOpener.h"
#include "JournalCsv.h"
#include "JournalModel.h"

#include "engine/InitLog.h"
#include "init/Dialogs.h"

#include <QColor>
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
#include <QPalette>
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
        model_->SetFilter(filterEdit_->text());
        table_->scrollToBottom();
    });
    connect(filterEdit_, &QLineEdit::textChanged, filterTimer_, qOverload<>(&QTimer::start));
    pollTimer_ = new QTimer(this);
    pollTimer_->setInterval(kPollMs);
    connect(pollTimer_, &QTimer::timeout, this, [this] { Poll(); });
}

JournalWindow::~JournalWindow() = default;

void JournalWindow::CreateControls() {
    setWindowTitle(kTitle);
    setObjectName(QStringLiteral("JournalWindow"));

    // The table_ first: it has the keyboard when the window opens.
    model_ = new JournalModel(this);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("table"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    QHeaderView* columns = table_->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(true);
    columns->resizeSection(JournalModel::TimeColumn, 80);
    columns->resizeSection(JournalModel::CardColumn, 150);
    columns->resizeSection(JournalModel::ResultColumn, 110);
    dateEdit_ = new QDateEdit(this);
    dateEdit_->setObjectName(QStringLiteral("dateEdit"));
    dateEdit_->setCalendarPopup(true);
    dateEdit_->setLocale(Russian);
    dateEdit_->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    connect(dateEdit_, &QDateEdit::dateChanged, this, [this](const QDate& day) { ShowDay(day); });
    filterEdit_ = new QLineEdit(this);
    filterEdit_->setObjectName(QStringLiteral("filterEdit"));
    filterEdit_->setPlaceholderText(QStringLiteral("Номер карты или текст сообщения"));
    filterEdit_->setClearButtonEnabled(true);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Дата:"), this));
    top->addWidget(dateEdit_);
    top->addSpacing(16);
    top->addWidget(new QLabel(QStringLiteral("Фильтр:"), this));
    top->addWidget(filterEdit_, 1);

    noLogLabel_ = new QLabel(this);

    noLogLabel_->setObjectName(QStringLiteral("noLogLabel"));
    noLogLabel_->setAlignment(Qt::AlignCenter);
    pages_ = new QStackedWidget(this);
    pages_->setObjectName(QStringLiteral("pages"));
    pages_->addWidget(table_);
    pages_->addWidget(noLogLabel_);

    countsLabel_ = new QLabel(this);

    countsLabel_->setObjectName(QStringLiteral("countsLabel"));
    readProblemLabel_ = new QLabel(this);
    readProblemLabel_->setObjectName(QStringLiteral("readProblemLabel"));
    readProblemLabel_->setWordWrap(true);
    QPalette problemColors = readProblemLabel_->palette();
    problemColors.setColor(QPalette::WindowText, QColor(0xC0, 0, 0));
    readProblemLabel_->setPalette(problemColors);
    readProblemLabel_->hide();
    redoLabel_ = new QLabel(this);
    redoLabel_->setObjectName(QStringLiteral("redoLabel"));
    redoList_ = new QListWidget(this);
    redoList_->setObjectName(QStringLiteral("redoList"));
    redoList_->setUniformItemSizes(true); // a bad day's list is laid out at once
    redoList_->setMaximumHeight(redoList_->fontMetrics().height() * 4 + 8);

    openFolderButton_ = new QPushButton(QStringLiteral("Открыть папку"), this);

    openFolderButton_->setObjectName(QStringLiteral("btnOpenFolder"));
    saveCsvButton_ = new QPushButton(QStringLiteral("Сохранить как CSV..."), this);
    saveCsvButton_->setObjectName(QStringLiteral("btnSaveCsv"));
    closeButton_ = new QPushButton(QStringLiteral("Закрыть"), this);
    closeButton_->setObjectName(QStringLiteral("btnClose"));
    connect(openFolderButton_, &QPushButton::clicked, this, [this] { OpenFolder(); });
    connect(saveCsvButton_, &QPushButton::clicked, this, [this] { SaveCsv(); });
    connect(closeButton_, &QPushButton::clicked, this, &QWidget::close);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(openFolderButton_);
    bottom->addWidget(saveCsvButton_);
    bottom->addStretch(1);
    bottom->addWidget(closeButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(pages_, 1);
    layout->addWidget(countsLabel_);
    layout->addWidget(readProblemLabel_);
    layout->addWidget(redoLabel_);
    layout->addWidget(redoList_);
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
        filterEdit_->clear();
        model_->SetFilter(QString());
        ShowDay(Today());
        pollTimer_->start();
    }
    show();
    raise();
    activateWindow();
    table_->setFocus();
}

void JournalWindow::ShowDay(const QDate& day) {
    day_ = day;
    followsToday_ = day == Today();
    if (dateEdit_->date() != day) {
        const QSignalBlocker quiet(dateEdit_);
        dateEdit_->setDate(day);
    }
    const QString path = LogPath(day);
    const bool opened = !path.isEmpty() && model_->Open(path);
    if (!opened)
        model_->Close();
    noLogLabel_->setText(QStringLiteral("За %1 журнала нет.")
                             .arg(Russian.toString(day, QStringLiteral("dd.MM.yyyy"))));
    pages_->setCurrentWidget(opened ? static_cast<QWidget*>(table_) : noLogLabel_);
    saveCsvButton_->setEnabled(opened);
    Watch();
    ShowCounts();
    table_->scrollToBottom();
}

void JournalWindow::Watch() {
    if (!watcher_->files().isEmpty())
        watcher_->removePaths(watcher_->files());
    if (!watcher_->directories().isEmpty())
        watcher_->removePaths(watcher_->directories());
    watchedFolder_ = WatchedFolder();
    if (!watchedFolder_.isEmpty())
        watcher_->addPath(watchedFolder_);
    if (model_->IsOpen())
        watcher_->addPath(QString::fromStdString(model_->Reader().Path()));
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
    if (model_->IsOpen() != QFileInfo::exists(path)) {
        ShowDay(day_);
        return;
    }
    if (WatchedFolder() != watchedFolder_)
        Watch();
    if (!model_->IsOpen())
        return;
    const QScrollBar* bar = table_->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    const int rows = model_->rowCount();
    model_->Refresh();
    if (watcher_->files().isEmpty())
        Watch();
    ShowCounts();
    if (atBottom && model_->rowCount() != rows)
        table_->scrollToBottom();
}

void JournalWindow::Poll() {
    if (followsToday_ && Today() != day_)
        ShowDay(Today());
    else
        Refresh();
}

void JournalWindow::ShowCounts() {
    LogReader& reader = model_->Reader();
    const LogTally tally = reader.Tally();
    countsLabel_->setText(QString::fromStdString(DayCountsText(tally)));

    const std::vector<TokenToRedo> redo = reader.TokensToRedo();
    redoLabel_->setText(
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
    redoList_->clear();
    redoList_->addItems(items);
    // Said after the last read: the messages of the cards to redo are read again above.
    const int readError = reader.ReadError();
    readProblemLabel_->setText(
        readError != 0 ? QString::fromStdString(LogReadProblemText(reader.Path(), readError))
                       : QString());
    readProblemLabel_->setVisible(readError != 0);
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
    QString path = Dialogs().SaveFileName(this, kCsvFilter);
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
    if (!WriteJournalCsv(path, *model_, &error))
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
    model_->Close();
}
