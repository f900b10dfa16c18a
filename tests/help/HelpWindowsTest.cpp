#include "help/AboutDialog.h"
#include "help/ManualWindow.h"
#include "support/Controls.h"

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextList>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

const QString kTitle = QStringLiteral("Утилита Инициализации. Инструкция по эксплуатации.");
const QString kHeadings[] = {
    QStringLiteral("Инициализация"),
    QStringLiteral("Разблокировка устройства через процедуру Вызов-Отклик"),
    QStringLiteral("Разблокировка устройства с правами администратора"),
};
// Two blanks before "НКИ" and before "будут".
const QString kWarning = QStringLiteral("Внимание! При инициализации все данные на  НКИ: "
                                        "смарт-карте или USB-токене  будут уничтожены!");

QTextBlock FindBlock(const QTextDocument* doc, const QString& text) {
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        if (b.text() == text)
            return b;
    return {};
}

// What a reader of the manual should see, checked on the loaded document.
void ExpectFormattedManual(const ManualWindow& frm) {
    const QTextDocument* doc = Control<QTextBrowser>(frm, "redHelp")->document();
    const QString plain = doc->toPlainText();

    static const QRegularExpression markup(
        QStringLiteral(R"(<\s*/?\s*(html|head|body|meta|title|p|h\d|ol|ul|li|img|span|b|br)\b)"),
        QRegularExpression::CaseInsensitiveOption);
    EXPECT_FALSE(markup.match(plain).hasMatch()) << "markup shown as text";

    const QTextBlock title = FindBlock(doc, kTitle);
    ASSERT_TRUE(title.isValid()) << "title line";
    EXPECT_GE(title.charFormat().fontWeight(), QFont::Bold);

    QTextBlock previous = title;
    for (const QString& heading : kHeadings) {
        const QTextBlock block = FindBlock(doc, heading);
        ASSERT_TRUE(block.isValid()) << heading.toStdString();
        EXPECT_GT(block.blockFormat().headingLevel(), 0) << heading.toStdString();
        EXPECT_GT(block.position(), previous.position()) << "sections out of order";
        previous = block;
    }

    const QTextBlock warning = FindBlock(doc, kWarning);
    ASSERT_TRUE(warning.isValid()) << "warning with both double blanks";
    for (auto it = warning.begin(); !it.atEnd(); ++it) {
        const QTextCharFormat f = it.fragment().charFormat();
        EXPECT_GE(f.fontWeight(), QFont::Bold);
        ASSERT_EQ(f.foreground().style(), Qt::SolidPattern);
        EXPECT_NE(f.foreground().color(), QColor(Qt::black));
    }

    int numberedItems = 0;
    int bullets = 0;
    QString image;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        if (const QTextList* list = b.textList()) {
            const auto style = list->format().style();
            numberedItems += style == QTextListFormat::ListDecimal;
            bullets += style == QTextListFormat::ListDisc || style == QTextListFormat::ListCircle;
        }
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isImageFormat())
                image = it.fragment().charFormat().toImageFormat().name();
    }
    EXPECT_GE(numberedItems, 15);
    EXPECT_GE(bullets, 6);
    EXPECT_TRUE(plain.contains(QStringLiteral("~/.local/share/Velmar/Orvane/")));

    ASSERT_FALSE(image.isEmpty()) << "the picture";
    const QVariant picture = Control<QTextBrowser>(frm, "redHelp")
                                 ->loadResource(QTextDocument::ImageResource, QUrl(image));
    EXPECT_FALSE(picture.value<QImage>().isNull() && picture.value<QPixmap>().isNull() &&
                 QImage::fromData(picture.toByteArray()).isNull())
        << "picture " << image.toStdString() << " does not load";
}

TEST(ManualWindow, ManualLoadsFormattedEveryTime) {
    ManualWindow frm;
    frm.LoadManual();
    ExpectFormattedManual(frm);
    const QString first = Control<QTextBrowser>(frm, "redHelp")->document()->toPlainText();

    // Whatever the view showed is replaced by the whole manual again.
    Control<QTextBrowser>(frm, "redHelp")->setPlainText(QStringLiteral("stale text"));
    frm.LoadManual();
    ExpectFormattedManual(frm);
    EXPECT_EQ(Control<QTextBrowser>(frm, "redHelp")->document()->toPlainText(), first);
}

TEST(ManualWindow, WindowAndModalShow) {
    QWidget main;
    ManualWindow frm(&main);
    EXPECT_EQ(frm.windowTitle(), QStringLiteral("Инструкция"));
    ASSERT_TRUE(frm.findChild<QTextBrowser*>(QStringLiteral("redHelp")));
    EXPECT_TRUE(Control<QTextBrowser>(frm, "redHelp")->isReadOnly());
    EXPECT_EQ(Control<QTextBrowser>(frm, "redHelp")->horizontalScrollBarPolicy(),
              Qt::ScrollBarAlwaysOff);
    EXPECT_NE(Control<QTextBrowser>(frm, "redHelp")->verticalScrollBarPolicy(),
              Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(frm.size(), QSize(500, 600));
    EXPECT_TRUE(frm.windowFlags() & Qt::WindowMaximizeButtonHint) << "sizeable window";

    bool sawModal = false;
    QString shown;
    QTimer::singleShot(0, &frm, [&] {
        sawModal = QApplication::activeModalWidget() == &frm && frm.isModal();
        shown = Control<QTextBrowser>(frm, "redHelp")->document()->toPlainText();
        frm.close();
    });
    frm.ShowInstruction();
    EXPECT_TRUE(sawModal);
    EXPECT_TRUE(shown.contains(kTitle));
    EXPECT_FALSE(frm.isVisible());
}

TEST(AboutDialog, ShowsCompiledFileVersionOnActivation) {
    QWidget main;
    main.setGeometry(150, 120, 300, 412);
    main.show();
    AboutDialog dlg(&main);

    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("О программе"));
    EXPECT_EQ(dlg.size(), QSize(301, 161));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize()) << "fixed size";
    EXPECT_FALSE(dlg.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(Control<QLabel>(dlg, "ProductName")->text(), QStringLiteral("Orvane"));
    // The dialog's typeface throughout: the product name large and bold, the version line
    // regular and a size smaller.
    const struct {
        const QLabel* label;
        int points;
        bool bold;
    } fonts[] = {{Control<QLabel>(dlg, "ProductName"), 12, true},
                 {Control<QLabel>(dlg, "Version"), 10, false},
                 {Control<QLabel>(dlg, "Label1"), 10, false}};
    for (const auto& row : fonts) {
        SCOPED_TRACE(row.label->objectName().toStdString());
        EXPECT_EQ(row.label->font().pointSize(), row.points);
        EXPECT_EQ(row.label->font().bold(), row.bold);
        EXPECT_EQ(row.label->font().family(), dlg.font().family());
    }
    EXPECT_EQ(Control<QLabel>(dlg, "Version")->text(), QStringLiteral("Version"));
    EXPECT_FALSE(Control<QLabel>(dlg, "ProgramIcon")->pixmap().isNull())
        << "program icon from the resources";
    EXPECT_EQ(Control<QLabel>(dlg, "Label1")->text(), QStringLiteral("1.0.0.2"));
    EXPECT_TRUE(Control<QPushButton>(dlg, "OKBtn")->isDefault());

    dlg.show();
    EXPECT_EQ(Control<QLabel>(dlg, "Label1")->text(), QStringLiteral("1.0.3.0"));
    EXPECT_LE((dlg.frameGeometry().center() - main.frameGeometry().center()).manhattanLength(), 2)
        << "centred on the main window";

    // Read anew at every activation.
    Control<QLabel>(dlg, "Label1")->setText(QStringLiteral("1.0.0.2"));
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(&dlg, &activate);
    EXPECT_EQ(Control<QLabel>(dlg, "Label1")->text(), QStringLiteral("1.0.3.0"));
    dlg.hide();

    // Modal use: OK closes the box.
    QTimer::singleShot(0, &dlg, [&] { Control<QPushButton>(dlg, "OKBtn")->click(); });
    EXPECT_EQ(dlg.exec(), QDialog::Accepted);
}

} // namespace
