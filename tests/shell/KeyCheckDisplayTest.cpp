// Which unblock key is in force: its key check value beside both key buttons and as their
// tooltip, and the questions asked before a weak key or a key file open to others comes into
// force.

#include "ShellFixture.h"

#include "engine/KeyCheck.h"

#include <QFile>

namespace {

QString KcvText(const std::array<std::uint8_t, 16>& key) {
    return QStringLiteral("KCV: ") + QString::fromStdString(KeyCheckValue(key));
}

const QString kDefaultText = QStringLiteral("KCV: 4FFF1F (по умолчанию)");
const QString kLoaded = QStringLiteral("Ключ загружен");

} // namespace

class KeyCheckTest : public ShellTest {
protected:
    // What both tabs show: the two labels and the two buttons' tooltips.
    void ExpectShown(const QString& text) {
        EXPECT_EQ(Control<QLabel>(window, "LblKcv")->text(), text);
        EXPECT_EQ(Control<QLabel>(window, "LblKcvKey")->text(), text);
        EXPECT_EQ(Control<QPushButton>(window, "BtnLoad")->toolTip(), text);
        EXPECT_EQ(Control<QPushButton>(window, "BtnLoadKey")->toolTip(), text);
    }
    QString WriteKey(const QString& name, const std::array<std::uint8_t, 16>& key,
                     QFileDevice::Permissions permissions = QFileDevice::ReadOwner |
                                                            QFileDevice::WriteOwner) {
        QFile file(Path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(key.data()), 16);
        file.close();
        EXPECT_TRUE(file.setPermissions(permissions));
        return file.fileName();
    }
};

TEST_F(KeyCheckTest, FollowsTheKeyInForceOnBothTabs) {
    // The built-in key, marked as such, until another comes into force.
    ExpectShown(kDefaultText);

    Load(KeyFile("a.key", 16, 0x10), KeyMark::Initialization);
    ExpectShown(KcvText(Sequence16(0x10)));
    Load(KeyFile("b.key", 16, 0x50), KeyMark::Response);
    ExpectShown(KcvText(Sequence16(0x50)));

    // A failed load leaves the key and its check value.
    Load(KeyFile("short.key", 15, 0x70), KeyMark::Initialization);
    ExpectShown(KcvText(Sequence16(0x50)));

    // A generated key shows its own; a failed save leaves the previous one.
    dialogs.saveNames.push_back(Path("new"));
    window->KeyFiles().Generate();
    const auto generated = window->Keys().UnblockKey();
    EXPECT_NE(generated, Sequence16(0x50));
    ExpectShown(KcvText(generated));
    EXPECT_EQ(WeaknessOf(generated), KeyWeakness::None);
    dialogs.saveNames.push_back(Path("no-such-folder/new"));
    window->KeyFiles().Generate();
    EXPECT_EQ(window->Keys().UnblockKey(), generated);
    ExpectShown(KcvText(generated));
}

TEST_F(KeyCheckTest, AsksBeforeAWeakKeyOrAFileOpenToOthers) {
    std::array<std::uint8_t, 16> halves = Sequence16(0x20);
    for (int i = 0; i < 8; ++i)
        halves[i + 8] = halves[i];
    const QString openToOthers =
        QStringLiteral("Файл ключа доступен не только владельцу (права 0644): его могут "
                       "прочитать другие пользователи. Загрузить ключ?");
    const QString singleDes = QStringLiteral(
        "Обе половины ключа одинаковы: такой ключ не сильнее одинарного DES. Загрузить ключ?");
    const QString defaultKey = QStringLiteral(
        "Ключ совпадает со встроенным ключом по умолчанию, который известен всем. Загрузить "
        "ключ?");
    const auto shared = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                        QFileDevice::ReadOther;
    struct Row {
        const char* name;
        std::array<std::uint8_t, 16> key;
        QFileDevice::Permissions permissions;
        std::deque<int> answers;
        QStringList boxes; // in order
        bool loaded;
    };
    const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const Row rows[] = {
        {"equal halves, yes", halves, owner, {mbYes}, {singleDes, kLoaded}, true},
        {"equal halves, no", halves, owner, {mbNo}, {singleDes}, false},
        {"default key, yes", kDefaultUnblockKey, owner, {mbYes}, {defaultKey, kLoaded}, true},
        {"default key, no", kDefaultUnblockKey, owner, {mbNo}, {defaultKey}, false},
        {"open to others, yes", Sequence16(0x30), shared, {mbYes}, {openToOthers, kLoaded}, true},
        {"open to others, no", Sequence16(0x30), shared, {mbNo}, {openToOthers}, false},
        {"both, yes then no", halves, shared, {mbYes, mbNo}, {openToOthers, singleDes}, false},
        {"both, yes twice",
         halves,
         shared,
         {mbYes, mbYes},
         {openToOthers, singleDes, kLoaded},
         true},
        {"a strong key in an owner-only file", Sequence16(0x40), owner, {}, {kLoaded}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A known key in force before, without any mark.
        window = std::make_unique<MainWindow>();
        const auto before = window->Keys().UnblockKey();
        dialogs.messages.clear();
        dialogs.answers = row.answers;
        Load(WriteKey("k.key", row.key, row.permissions), KeyMark::Initialization);
        QStringList boxes;
        for (const MessageRequest& m : dialogs.messages)
            boxes << m.text;
        EXPECT_EQ(boxes, row.boxes);
        for (std::size_t i = 0; i + 1 < dialogs.messages.size(); ++i) {
            EXPECT_EQ(dialogs.messages[i].type, MsgType::Warning);
            EXPECT_EQ(dialogs.messages[i].buttons, mbYes | mbNo);
        }
        EXPECT_EQ(window->Keys().UnblockKey(), row.loaded ? row.key : before);
        EXPECT_EQ(window->Keys().IsLoaded(KeyMark::Initialization), row.loaded);
        ExpectShown(row.loaded ? window->Keys().KeyCheckText() : kDefaultText);
        if (row.loaded && row.key != kDefaultUnblockKey) {
            EXPECT_EQ(Control<QLabel>(window, "LblKcv")->text(), KcvText(row.key));
        }
    }
}
