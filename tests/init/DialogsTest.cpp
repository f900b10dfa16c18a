// The real message box behind Dialogs(), offscreen: its look for each kind of box and the answer
// for the button pressed. Every window test replaces it with a double; this one does not.

#include "init/Dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

struct BoxCase {
    const char* name;
    MsgType type;
    int buttons;
    QMessageBox::StandardButton press;
    // What the box shows and answers.
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons shown;
    QMessageBox::StandardButton byDefault; // the one Enter presses
    int answer;
};
void PrintTo(const BoxCase& c, std::ostream* os) {
    *os << c.name;
}

// What the box looked like while it was up.
struct Seen {
    bool up = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton byDefault = QMessageBox::NoButton;
    QString title;
    QString text;
    QWidget* parent = nullptr;
    Qt::WindowModality modality = Qt::NonModal;
    bool onTop = false;
};

class RealMessageBox : public ::testing::TestWithParam<BoxCase> {};

TEST_P(RealMessageBox, LooksAsAskedAndAnswersTheButtonPressed) {
    const BoxCase& c = GetParam();
    QWidget owner;
    owner.show();
    MessageRequest request;
    request.owner = &owner;
    request.title = QStringLiteral("Orvane");
    request.text = QStringLiteral("Ключ загружен");
    request.type = c.type;
    request.buttons = c.buttons;
    request.systemModal = true;

    Seen seen;
    // Read the box once it runs its own loop, then press the button of the case.
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return; // the box never came up: the answer below fails the test
        seen.up = true;
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        for (QAbstractButton* button : box->buttons())
            if (auto* push = qobject_cast<QPushButton*>(button); push && push->isDefault())
                seen.byDefault = box->standardButton(push);
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.parent = box->parentWidget();
        seen.modality = box->windowModality();
        seen.onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        if (QAbstractButton* button = box->button(c.press))
            button->click();
        else
            box->reject();
    });
    const int answer = Dialogs().Message(request);

    ASSERT_TRUE(seen.up) << "no modal message box was shown";
    EXPECT_EQ(seen.icon, c.icon);
    EXPECT_EQ(seen.buttons, c.shown);
    EXPECT_EQ(seen.byDefault, c.byDefault);
    EXPECT_EQ(seen.title.toStdString(), "Orvane");
    EXPECT_EQ(seen.text.toStdString(), "Ключ загружен");
    EXPECT_EQ(seen.parent, &owner);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
    EXPECT_TRUE(seen.onTop);
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the box is gone";
}

using SB = QMessageBox::StandardButton;

INSTANTIATE_TEST_SUITE_P(
    Kinds, RealMessageBox,
    ::testing::Values(BoxCase{"WarningYesNoAnsweredYes", MsgType::Warning, mbYes | mbNo, SB::Yes,
                              QMessageBox::Warning, SB::Yes | SB::No, SB::Yes, mbYes},
                      BoxCase{"WarningYesNoAnsweredNo", MsgType::Warning, mbYes | mbNo, SB::No,
                              QMessageBox::Warning, SB::Yes | SB::No, SB::Yes, mbNo},
                      BoxCase{"ErrorOkCancelAnsweredOk", MsgType::Error, mbOK | mbCancel, SB::Ok,
                              QMessageBox::Critical, SB::Ok | SB::Cancel, SB::Ok, mbOK},
                      BoxCase{"ErrorOkCancelAnsweredCancel", MsgType::Error, mbOK | mbCancel,
                              SB::Cancel, QMessageBox::Critical, SB::Ok | SB::Cancel, SB::Ok,
                              mbCancel},
                      BoxCase{"InformationOk", MsgType::Information, mbOK, SB::Ok,
                              QMessageBox::Information, SB::Ok, SB::Ok, mbOK}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
