// Each tab of the main window on its own, with only the shared keys and a reader session: what
// one tab does to the keys shows in the other, each tab asks for its own device list, the
// initialization tab serves the run's settings, and a new key is never a weak one.

#include "engine/KeyCheck.h"
#include "engine/RandomSource.h"
#include "shell/InitTab.h"
#include "shell/ReaderComboBox.h"
#include "shell/SharedKeys.h"
#include "shell/UnblockKeyFiles.h"
#include "shell/UnblockTab.h"
#include "support/Controls.h"
#include "support/FakeDialogs.h"
#include "support/FakePcsc.h"
#include "support/RecordingAuditJournal.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <deque>

namespace {

// Gives the queued keys one after the other, then plain counting bytes.
class ScriptedRandom final : public IRandomSource {
public:
    ScriptedRandom() { SetRandomSource(this); }
    ~ScriptedRandom() override { SetRandomSource(nullptr); }
    std::deque<UnblockKeyBytes> keys;
    bool SystemRandom(std::uint8_t* buffer, std::size_t count) override {
        if (count == 16 && !keys.empty()) {
            std::copy(keys.front().begin(), keys.front().end(), buffer);
            keys.pop_front();
            return true;
        }
        for (std::size_t i = 0; i < count; ++i)
            buffer[i] = static_cast<std::uint8_t>(next_++);
        return true;
    }

private:
    unsigned next_ = 1;
};

UnblockKeyBytes Halves(std::uint8_t first) {
    UnblockKeyBytes key{};
    for (int i = 0; i < 8; ++i)
        key[i] = key[i + 8] = static_cast<std::uint8_t>(first + i);
    return key;
}

UnblockKeyBytes Sequence(std::uint8_t first) {
    UnblockKeyBytes key{};
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<std::uint8_t>(first + i);
    return key;
}

class TabsAlone : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        pcsc.AddReader("Reader A", FakePcsc::FamilyAtr(0x07));
    }
    QString KcvText(const UnblockKeyBytes& key) const {
        return QStringLiteral("KCV: ") + QString::fromStdString(KeyCheckValue(key));
    }

    RecordingAuditJournal journal;
    FakePcsc pcsc;
    FakeDialogs dialogs;
    ScriptedRandom random;
    QTemporaryDir dir;
    SharedKeys keys;
    TokenSession reader;
    QWidget holder;
    UnblockKeyFiles files{keys, holder};
    InitTab initTab{keys, files, reader, &holder};
    UnblockTab unblockTab{keys, files, reader, &holder};
};

} // namespace

TEST_F(TabsAlone, AKeyInForceShowsInBothTabsAndMarksOnlyTheButtonItCameThrough) {
    const struct {
        KeyMark mark;
        bool initMarked;
        bool responseMarked;
    } rows[] = {{KeyMark::Initialization, true, false}, {KeyMark::Response, false, true}};
    for (const auto& row : rows) {
        SharedKeys model;
        UnblockKeyFiles modelFiles(model, holder);
        InitTab init(model, modelFiles, reader, &holder);
        UnblockTab unblock(model, modelFiles, reader, &holder);
        const UnblockKeyBytes key = Sequence(0x30);
        model.PutInForce(key, row.mark);
        EXPECT_EQ(Control<QLabel>(init, "LblKcv")->text(), KcvText(key));
        EXPECT_EQ(Control<QLabel>(unblock, "LblKcvKey")->text(), KcvText(key));
        EXPECT_EQ(Control<QPushButton>(init, "BtnLoad")->text() == "Загружен", row.initMarked);
        EXPECT_EQ(Control<QPushButton>(unblock, "BtnLoadKey")->text() == "Загружен",
                  row.responseMarked);
        EXPECT_EQ(model.IsLoaded(KeyMark::Initialization), row.initMarked);
        EXPECT_EQ(model.IsLoaded(KeyMark::Response), row.responseMarked);
    }
}

TEST_F(TabsAlone, EachDeviceListAsksForItsReadersAndSelectsIntoTheSharedSession) {
    for (ReaderComboBox* list : {Control<ReaderComboBox>(initTab, "cbRdrList2"),
                                 Control<ReaderComboBox>(unblockTab, "cbRdrList")}) {
        QSignalSpy initAsks(&initTab, &InitTab::readerListOpening);
        QSignalSpy unblockAsks(&unblockTab, &UnblockTab::readerListOpening);
        emit list->DropDown();
        EXPECT_EQ(initAsks.size() + unblockAsks.size(), 1);
        EXPECT_EQ(initAsks.size() == 1, list->objectName() == "cbRdrList2");
    }
    initTab.SetReaders({"Reader A"});
    auto* list = Control<ReaderComboBox>(initTab, "cbRdrList2");
    ASSERT_EQ(list->count(), 1);
    emit list->textActivated("Reader A");
    EXPECT_EQ(reader.Reader, "Reader A");
}

TEST_F(TabsAlone, SeveralReadersGiveTheInitializationListAnEntryForAllOfThem) {
    const struct {
        QStringList readers;
        QStringList entries;
    } rows[] = {
        {{}, {}},
        {{"Reader A"}, {"Reader A"}},
        {{"Reader A", "Reader B"}, {"Reader A", "Reader B", "Все устройства (2)"}},
    };
    auto* list = Control<ReaderComboBox>(initTab, "cbRdrList2");
    for (const auto& row : rows) {
        initTab.SetReaders(row.readers);
        unblockTab.SetReaders(row.readers);
        QStringList entries;
        for (int i = 0; i < list->count(); ++i)
            entries << list->itemText(i);
        EXPECT_EQ(entries, row.entries);
        EXPECT_EQ(list->currentIndex(), -1);
        EXPECT_EQ(Control<ReaderComboBox>(unblockTab, "cbRdrList")->count(), row.readers.size())
            << "the PIN reset works on one token: no such entry there";
    }
    // Choosing it leaves the shared session with the reader it had.
    reader.SelectReader("Reader A");
    list->setCurrentIndex(2);
    emit list->textActivated(list->currentText());
    EXPECT_EQ(reader.Reader, "Reader A");
}

TEST_F(TabsAlone, TheInitializationTabServesTheRunsSettingsFromItsFieldsAndTheSharedKeys) {
    Control<QLineEdit>(initTab, "EdPIN")->setText("1234");
    Control<QCheckBox>(initTab, "cbDublGroupRSA")->setChecked(true);
    Control<QLineEdit>(initTab, "edGroupRSA")->setText("7");
    const IInitSettings& settings = initTab;
    EXPECT_EQ(settings.PinText(), "1234");
    EXPECT_TRUE(settings.DublGroupRSA());
    EXPECT_EQ(settings.GroupRSAText(), "7");
    EXPECT_FALSE(settings.DublGroupDSTU());
    EXPECT_EQ(&settings.UnblockKey(), &keys.UnblockKey());
    EXPECT_EQ(&settings.GroupKeyRSA(), &keys.GroupKeyRsa());
    // A new group number makes a new group key; the other group's key stays.
    const GroupKeyBytes rsaBefore = keys.GroupKeyRsa();
    const GroupKeyBytes dstuBefore = keys.GroupKeyDstu();
    Control<QLineEdit>(initTab, "edGroupRSA")->setText("8");
    EXPECT_NE(keys.GroupKeyRsa(), rsaBefore);
    EXPECT_EQ(keys.GroupKeyDstu(), dstuBefore);
}

TEST_F(TabsAlone, AGeneratedKeyIsNeverWeakTheDrawIsRepeated) {
    const struct {
        const char* what;
        std::deque<UnblockKeyBytes> draws;
    } rows[] = {
        {"equal halves first", {Halves(0x11), Sequence(0x40)}},
        {"the built-in key first", {kDefaultUnblockKey, Sequence(0x40)}},
        {"both weak kinds first", {kDefaultUnblockKey, Halves(0x21), Sequence(0x40)}},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        random.keys = row.draws;
        const QString name = dir.filePath(QStringLiteral("fleet%1").arg(++n));
        dialogs.saveNames.push_back(name);
        files.Generate();
        EXPECT_EQ(keys.UnblockKey(), Sequence(0x40));
        QFile file(name + ".key");
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        EXPECT_EQ(bytes, QByteArray(reinterpret_cast<const char*>(Sequence(0x40).data()), 16));
        EXPECT_TRUE(random.keys.empty()) << "every weak draw was drawn again";
    }
}

// The program's start makes the unblocking tab's controls after the first paint: once made, by
// whichever comes first, they show what came meanwhile (the readers, the key in force and the
// mark of the button it came through), and the tab never shows without them.
TEST_F(TabsAlone, AnUnblockTabMadeLaterShowsWhatCameMeanwhile) {
    enum class MadeBy { Call, Showing, Response };
    for (const MadeBy madeBy : {MadeBy::Call, MadeBy::Showing, MadeBy::Response}) {
        SCOPED_TRACE(static_cast<int>(madeBy));
        SharedKeys model;
        UnblockKeyFiles modelFiles(model, holder);
        UnblockTab later(model, modelFiles, reader, &holder, UnblockTab::Controls::Later);
        EXPECT_EQ(later.findChild<QLineEdit*>("EdCallenge"), nullptr);
        later.SetReaders({"Reader A", "Reader B"});
        const UnblockKeyBytes key = Sequence(0x40);
        model.PutInForce(key, KeyMark::Response);
        switch (madeBy) {
        case MadeBy::Call:
            later.MakeControls();
            break;
        case MadeBy::Showing:
            later.show();
            EXPECT_TRUE(Control<QLineEdit>(later, "EdCallenge")->isVisibleTo(&later));
            break;
        case MadeBy::Response: // an empty challenge: the warning, as with the controls made
            later.ShowResponse();
            EXPECT_EQ(dialogs.messages.size(), 1u);
            dialogs.messages.clear();
            break;
        }
        EXPECT_EQ(Control<QLabel>(later, "LblKcvKey")->text(), KcvText(key));
        EXPECT_EQ(Control<QPushButton>(later, "BtnLoadKey")->text(), QStringLiteral("Загружен"));
        EXPECT_EQ(Control<ReaderComboBox>(later, "cbRdrList")->count(), 2);
        later.MakeControls(); // once only
        EXPECT_EQ(later.findChildren<QLineEdit*>("EdCallenge").size(), 1);
    }
}
