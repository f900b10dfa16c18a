// PIN reset with the unblock key, against the scripted PC/SC stack.

#include "ShellFixture.h"

#include <QPushButton>

#include "engine/KeyCheck.h"
#include "support/ReferenceTripleDes.h"

namespace {

const QString CardError =
    QStringLiteral("Ошибка смарт-карты. Возможно загружен неверный ключ разблокировки");
const QString Mismatch =
    QStringLiteral("Новый ПИН-код не совпадает с повторным вводом\r\nПовторите, пожалуйста");
const QString NeedKey =
    QStringLiteral("Для продолжения необходим ключ разблокировки. Загрузить ключ?");

const Bytes SelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes GetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
const Bytes Challenge = {0xC0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xF7};

Bytes Authenticate(const std::array<std::uint8_t, 16>& key) {
    const auto c = ReferenceTripleDes(key, Challenge.data());
    Bytes command = {0x00, 0x82, 0x00, 0x11, 0x08, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]};
    return command;
}

Bytes StorePin(const Bytes& pin) {
    // The header, then the PIN padded with FF to 8 bytes.
    Bytes command(15, 0xFF);
    const Bytes header = {0x80, 0xF4, 0x01, 0x05, 0x0A, 0x05, 0x77};
    std::copy(header.begin(), header.end(), command.begin());
    std::copy_n(pin.begin(), std::min<std::size_t>(pin.size(), 8), command.begin() + 7);
    return command;
}

struct Box {
    QString text;
    MsgType type;
    int buttons;
};

class PinResetTest : public ShellTest {
public:
    void SetUp() override {
        ShellTest::SetUp();
        pcsc.AnswerChallenge(Challenge);
        Load(KeyFile("admin.key", 16, 0x31), KeyMark::Initialization);
        dialogs.messages.clear();
        SelectReader("Reader A");
        pcsc.ClearRecord();
    }
    // A new window with the unblock key loaded and no device chosen.
    void NoDeviceSelected() {
        window = std::make_unique<MainWindow>();
        Load(KeyFile("admin.key", 16, 0x31), KeyMark::Initialization);
        dialogs.messages.clear();
    }
    void Entries(const QString& first, const QString& second) {
        Control<QLineEdit>(window, "EdNewPin_1")->setText(first);
        Control<QLineEdit>(window, "edNewPin_2")->setText(second);
    }
    // The card session let the token go with a reset and holds no connection.
    void ExpectReleased() {
        EXPECT_EQ(pcsc.OpenConnections(), 0u);
        ASSERT_FALSE(pcsc.Dispositions().empty());
        EXPECT_EQ(pcsc.Dispositions().back(), pcsc::kResetCard);
        EXPECT_EQ(window->CardReader().CardHandle, 0);
    }
    const std::array<std::uint8_t, 16> key = Sequence16(0x31);
};

} // namespace

TEST_F(PinResetTest, SuccessSendsTheExactCommandsAndResetsTheToken) {
    Entries("1234", "1234");
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    EXPECT_EQ(pcsc.Commands(), (std::vector<Bytes>{SelectMf, GetChallenge, Authenticate(key),
                                                   StorePin({'1', '2', '3', '4'})}));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "ПИН-код успешно изменен");
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Information);
    EXPECT_EQ(dialogs.messages[0].buttons, mbOK);
    EXPECT_EQ(dialogs.messages[0].title, "Orvane");
    EXPECT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text(), "");
    EXPECT_EQ(Control<QLineEdit>(window, "edNewPin_2")->text(), "");
    ExpectReleased();
    // The exclusive connection was asked for.
    for (const FakePcsc::Call& call : pcsc.Calls()) {
        if (call.entry == FakePcsc::Entry::Connect) {
            EXPECT_EQ(call.shareMode, pcsc::kShareExclusive);
        }
    }
}

TEST_F(PinResetTest, NewPinBytes) {
    struct Row {
        QString pin;
        Bytes bytes;
    };
    const Row rows[] = {
        {"", {}},
        {"Пин1", {0xCF, 0xE8, 0xED, 0x31}},
        {"12345678", {'1', '2', '3', '4', '5', '6', '7', '8'}},
        {"a€", {'a', 0x88}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pin.toStdString());
        pcsc.ClearRecord();
        dialogs.messages.clear();
        Entries(row.pin, row.pin);
        Control<UnblockTab>(window, "TabSheet2")->ChangePin();
        const std::vector<Bytes> sent = pcsc.Commands();
        ASSERT_EQ(sent.size(), 4u);
        EXPECT_EQ(sent[3], StorePin(row.bytes));
        EXPECT_EQ(dialogs.LastText(), "ПИН-код успешно изменен");
    }
}

TEST_F(PinResetTest, CardFailuresStopAndReleaseTheToken) {
    struct Row {
        const char* name;
        std::function<void(FakePcsc&)> script;
        QString message;
        MsgType type;
        std::size_t commands; // how many reached the token
    };
    const Row rows[] = {
        {"SELECT MF refused", [](FakePcsc& p) { p.AnswerSw(SelectMf, 0x6A82); },
         "Тип смарт-карты не опознан", MsgType::Warning, 1},
        {"GET CHALLENGE refused", [](FakePcsc& p) { p.AnswerSw(GetChallenge, 0x6D00); }, CardError,
         MsgType::Warning, 2},
        {"GET CHALLENGE short",
         [](FakePcsc& p) {
             p.Answer(GetChallenge, {1, 2, 3, 0x90, 0x00});
         },
         CardError, MsgType::Warning, 2},
        {"wrong unblock key",
         [](FakePcsc& p) {
             p.AnswerSw({0x00, 0x82}, 0x6982);
         },
         CardError, MsgType::Warning, 3},
        {"STORE SECRET refused",
         [](FakePcsc& p) {
             p.AnswerSw({0x80, 0xF4}, 0x6A80);
         },
         "Ошибка смены ПИН-кода", MsgType::Error, 4},
        {"token pulled during the exchange",
         [](FakePcsc& p) {
             p.OnTransmit([&p](const Bytes& command) {
                 if (command.size() > 1 && command[1] == 0x82)
                     p.RemoveCard("Reader A");
             });
         },
         CardError, MsgType::Warning, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        pcsc.ClearAnswers();
        pcsc.AnswerChallenge(Challenge);
        pcsc.OnTransmit(nullptr);
        pcsc.InsertCard("Reader A", FakePcsc::FamilyAtr(0x07));
        pcsc.ClearRecord();
        dialogs.messages.clear();
        row.script(pcsc);
        Entries("4321", "4321");
        Control<UnblockTab>(window, "TabSheet2")->ChangePin();
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0].text, row.message);
        EXPECT_EQ(dialogs.messages[0].type, row.type);
        EXPECT_EQ(dialogs.messages[0].buttons, mbOK);
        EXPECT_EQ(pcsc.Commands().size(), row.commands);
        // The entries keep their text; the token is let go with a reset.
        EXPECT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text(), "4321");
        EXPECT_EQ(Control<QLineEdit>(window, "edNewPin_2")->text(), "4321");
        ExpectReleased();
    }
}

TEST_F(PinResetTest, StopsBeforeTheTokenSendNothing) {
    struct Row {
        const char* name;
        std::function<void(PinResetTest&)> setup;
        Box box;
        bool entriesCleared;
    };
    const Row rows[] = {
        {"entries differ in case",
         [](PinResetTest& t) { t.Entries("abcd", "ABCD"); },
         {Mismatch, MsgType::Error, mbOK},
         true},
        {"entries differ in length",
         [](PinResetTest& t) { t.Entries("1234", "12345"); },
         {Mismatch, MsgType::Error, mbOK},
         true},
        {"no device selected",
         [](PinResetTest& t) {
             t.NoDeviceSelected();
             t.Entries("1", "1");
         },
         {"Устройство не выбрано", MsgType::Warning, mbOK},
         false},
        {"entries differ and no device selected: the entries come first",
         [](PinResetTest& t) {
             t.NoDeviceSelected();
             t.Entries("1234", "4321");
         },
         {Mismatch, MsgType::Error, mbOK},
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        dialogs.messages.clear();
        row.setup(*this);
        pcsc.ClearRecord();
        Control<UnblockTab>(window, "TabSheet2")->ChangePin();
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0].text, row.box.text);
        EXPECT_EQ(dialogs.messages[0].type, row.box.type);
        EXPECT_EQ(dialogs.messages[0].buttons, row.box.buttons);
        EXPECT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text().isEmpty(), row.entriesCleared);
        EXPECT_EQ(pcsc.Count(FakePcsc::Entry::Connect), 0u);
        EXPECT_TRUE(pcsc.Apdus().empty());
    }
}

TEST_F(PinResetTest, TwoEmptyEntriesGiveEightFF) {
    Entries("", "");
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    ASSERT_EQ(pcsc.Commands().size(), 4u);
    EXPECT_EQ(pcsc.Commands()[3], (Bytes{0x80, 0xF4, 0x01, 0x05, 0x0A, 0x05, 0x77, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(PinResetTest, PulledTokenDoesNotAnswerAfterTwoConnects) {
    pcsc.RemoveCard("Reader A");
    pcsc.ClearRecord();
    Entries("1234", "1234");
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Смарт-карта не отвечает");
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Warning);
    EXPECT_EQ(pcsc.Count(FakePcsc::Entry::Connect), 2u);
    EXPECT_TRUE(pcsc.Commands().empty());
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
    EXPECT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text(), "1234");
}

TEST_F(PinResetTest, KeyPromptLoadsAndSendsNothing) {
    // A key loaded only for the challenge-response does not count here.
    window = std::make_unique<MainWindow>();
    SelectReader("Reader A");
    Load(KeyFile("cr.key", 16, 0x50), KeyMark::Response);
    dialogs.messages.clear();
    pcsc.ClearRecord();
    Entries("1111", "1111");

    dialogs.answers = {mbNo};
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, NeedKey);
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Warning);
    EXPECT_EQ(dialogs.messages[0].buttons, mbYes | mbNo);
    EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Initialization));
    EXPECT_TRUE(dialogs.openNames.empty());

    dialogs.messages.clear();
    dialogs.answers = {mbYes};
    dialogs.openNames.push_back(KeyFile("admin2.key", 16, 0x60));
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[1].text, "Ключ загружен");
    EXPECT_TRUE(window->Keys().IsLoaded(KeyMark::Initialization));
    EXPECT_EQ(Control<QPushButton>(window, "BtnLoad")->text(), "Загружен");
    EXPECT_EQ(Control<QPushButton>(window, "BtnUnblOk")->text(), "Изменить ПИН-код");
    EXPECT_EQ(pcsc.Count(FakePcsc::Entry::Connect), 0u);
    EXPECT_EQ(Control<QLineEdit>(window, "EdNewPin_1")->text(), "1111");

    // The second click performs the reset with the key just loaded.
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    ASSERT_EQ(pcsc.Commands().size(), 4u);
    EXPECT_EQ(pcsc.Commands()[2], Authenticate(Sequence16(0x60)));
    EXPECT_EQ(dialogs.LastText(), "ПИН-код успешно изменен");
}

TEST_F(PinResetTest, AnEarlierConnectionIsClosedFirstAndSelectionDisconnects) {
    // A failed reset leaves nothing connected, so an initialization run can reach the token.
    pcsc.AnswerSw({0x00, 0x82}, 0x6982);
    Entries("1", "1");
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
    // A shared connection, as the initialization run makes, now succeeds.
    TokenSession run;
    run.Exclusive = false;
    run.SelectReader("Reader A");
    EXPECT_TRUE(run.ConnectCard());
    run.Disconnect();
}

// The window's key, PIN-reset and response actions each leave their entry in the system journal,
// naming the key by its check value only.
TEST_F(PinResetTest, ActionsLeaveTheirAuditEntries) {
    Entries("1234", "1234");
    Control<UnblockTab>(window, "TabSheet2")->ChangePin();
    Load(KeyFile("admin.key", 16, 0x31), KeyMark::Response); // the C/R tab's own mark
    Control<ChallengeEdit>(window, "EdCallenge")->setText("01 02 03 04 05 06 07 08");
    Control<UnblockTab>(window, "TabSheet2")->ShowResponse();
    const std::string response = Control<QLineEdit>(window, "EdResponse")->text().toStdString();
    dialogs.saveNames.push_back(Path("new"));
    window->KeyFiles().Generate();

    EXPECT_EQ(journal.Events(), (std::vector<std::string>{"key-loaded", "pin-reset", "key-loaded",
                                                          "response", "key-generated"}));
    ASSERT_EQ(journal.entries.size(), 5u);
    const std::string kcv = KeyCheckValue(key);
    EXPECT_EQ(journal.entries[0]["MESSAGE"], "Загружен ключ разблокировки KCV " + kcv + ", файл " +
                                                 Path("admin.key").toStdString());
    EXPECT_EQ(journal.entries[1]["ORVANE_RESULT"], "success");
    EXPECT_EQ(journal.entries[1]["ORVANE_READER"], "Reader A");
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(journal.entries[i]["ORVANE_UNBLOCK_KCV"], kcv) << i;
    EXPECT_EQ(journal.entries[4]["ORVANE_UNBLOCK_KCV"], KeyCheckValue(window->Keys().UnblockKey()));
    EXPECT_NE(KeyCheckValue(window->Keys().UnblockKey()), kcv) << "a new key is in force";
    std::string keyHex;
    for (const std::uint8_t byte : key)
        keyHex += QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper().toStdString();
    for (const auto& entry : journal.entries)
        for (const auto& [name, value] : entry) {
            EXPECT_EQ(value.find(keyHex.substr(0, 16)), std::string::npos) << name;
            EXPECT_EQ(value.find(response), std::string::npos) << name;
        }
}
