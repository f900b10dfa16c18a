// The unblock key: loading a key file, generating one, and the two load marks.

#include "ShellFixture.h"

#include <QFile>
#include <QFileInfo>
#include <QPushButton>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// While it lives, the calling thread obeys file permissions even as root: the capabilities that
// let root read any file are dropped from its effective set (they stay permitted and come back).
class FilePermissionsApply {
public:
    FilePermissionsApply() {
        if (!Get(saved_))
            return;
        __user_cap_data_struct data[2] = {saved_[0], saved_[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
            data[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        active_ = Set(data);
    }
    ~FilePermissionsApply() {
        if (active_)
            Set(saved_);
    }
    bool Active() const { return active_; }

private:
    static bool Get(__user_cap_data_struct* data) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(SYS_capget, &header, data) == 0;
    }
    static bool Set(__user_cap_data_struct* data) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(SYS_capset, &header, data) == 0;
    }
    __user_cap_data_struct saved_[2] = {};
    bool active_ = false;
};

const QString CannotOpen = QStringLiteral("Не могу загрузить файл. Закройте приложения, которые "
                                          "могут его использовать и повторите попытку");
const QString WrongSize = QString::fromUtf8("Файл имеет неправильный размер. Удо") +
                          QLatin1Char('c') +
                          QString::fromUtf8("товерьтесь в целосности файла ключа");

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

std::array<std::uint8_t, 16> AsKey(const QByteArray& bytes) {
    std::array<std::uint8_t, 16> key{};
    for (int i = 0; i < 16 && i < bytes.size(); ++i)
        key[i] = static_cast<std::uint8_t>(bytes[i]);
    return key;
}

} // namespace

TEST_F(ShellTest, WrongSizeTextHasTheOneLatinLetter) {
    const QByteArray utf8 = WrongSize.toUtf8();
    EXPECT_TRUE(utf8.contains("\xD0\xA3\xD0\xB4\xD0\xBE"
                              "c"
                              "\xD1\x82")); // "Удо" c "т"
}

TEST_F(ShellTest, LoadingKeyFiles) {
    // A good key first: a failed load must leave it in force.
    Load(KeyFile("good.key", 16, 0x40), KeyMark::Initialization);
    const auto good = Sequence16(0x40);
    ASSERT_EQ(window->Keys().UnblockKey(), good);

    ASSERT_EQ(mkfifo(Path("fifo.key").toLocal8Bit().constData(), 0600), 0);
    QDir(dir.path()).mkdir("folder.key");
    struct Row {
        const char* name;
        QString path;
        QString message; // empty: loads
        MsgType type;
    };
    const Row rows[] = {
        {"empty", KeyFile("0.key", 0), WrongSize, MsgType::Error},
        {"15 bytes", KeyFile("15.key", 15), WrongSize, MsgType::Error},
        {"17 bytes", KeyFile("17.key", 17), WrongSize, MsgType::Error},
        {"missing", Path("missing.key"), CannotOpen, MsgType::Warning},
        {"below a regular file", Path("0.key/x.key"), CannotOpen, MsgType::Warning},
        {"folder", Path("folder.key"), CannotOpen, MsgType::Warning},
        {"fifo", Path("fifo.key"), CannotOpen, MsgType::Warning},
        {"device", "/dev/zero", CannotOpen, MsgType::Warning},
        {"16 bytes, no .key", KeyFile("plain", 16, 0x80), "", MsgType::Information},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        dialogs.messages.clear();
        Load(row.path, KeyMark::Response);
        ASSERT_EQ(dialogs.messages.size(), 1u);
        const MessageRequest& m = dialogs.messages[0];
        EXPECT_EQ(m.buttons, mbOK);
        EXPECT_EQ(m.title, "Orvane");
        if (row.message.isEmpty()) {
            EXPECT_EQ(m.text, "Ключ загружен");
            EXPECT_EQ(m.type, MsgType::Information);
            EXPECT_EQ(window->Keys().UnblockKey(), Sequence16(0x80));
            EXPECT_TRUE(window->Keys().IsLoaded(KeyMark::Response));
        } else {
            EXPECT_EQ(m.text, row.message);
            EXPECT_EQ(m.type, row.type);
            EXPECT_EQ(window->Keys().UnblockKey(), good);
            EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Response));
            EXPECT_EQ(Control<QPushButton>(window, "BtnLoadKey")->text(), "Загрузить");
        }
    }
    EXPECT_EQ(dialogs.filters.front(), "Key (*.key)");
}

TEST_F(ShellTest, UnreadableKeyFileGivesTheOpenMessage) {
    const QString path = KeyFile("locked.key", 16);
    ASSERT_EQ(chmod(path.toLocal8Bit().constData(), 0), 0);
    FilePermissionsApply permissions;
    ASSERT_TRUE(geteuid() != 0 || permissions.Active()) << "could not drop root's file access";
    Load(path, KeyMark::Initialization);
    EXPECT_EQ(dialogs.LastText(), CannotOpen);
    EXPECT_EQ(window->Keys().UnblockKey(), kDefaultUnblockKey);
}

TEST_F(ShellTest, CancellingEitherDialogChangesNothing) {
    window->KeyFiles().Load(KeyMark::Initialization);
    window->KeyFiles().Generate();
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(window->Keys().UnblockKey(), kDefaultUnblockKey);
    EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Initialization));
    EXPECT_EQ(dialogs.filters, (std::vector<QString>{"Key (*.key)", "Key (*.key)"}));
}

TEST_F(ShellTest, LoadMarksAreIndependent) {
    const QFont regular = Control<QPushButton>(window, "BtnLoad")->font();
    EXPECT_FALSE(regular.bold());
    Load(KeyFile("a.key", 16), KeyMark::Initialization);
    EXPECT_EQ(Control<QPushButton>(window, "BtnLoad")->text(), "Загружен");
    EXPECT_TRUE(Control<QPushButton>(window, "BtnLoad")->font().bold());
    EXPECT_EQ(Control<QPushButton>(window, "BtnLoadKey")->text(), "Загрузить");
    EXPECT_FALSE(Control<QPushButton>(window, "BtnLoadKey")->font().bold());
    EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Response));

    Load(KeyFile("b.key", 16, 9), KeyMark::Response);
    EXPECT_TRUE(window->Keys().IsLoaded(KeyMark::Initialization));
    EXPECT_TRUE(window->Keys().IsLoaded(KeyMark::Response));
    EXPECT_TRUE(Control<QPushButton>(window, "BtnLoadKey")->font().bold());
    EXPECT_EQ(window->Keys().UnblockKey(), Sequence16(9));
    // A load works while BtnLoad is disabled (cbCRKey unticked).
    EXPECT_FALSE(Control<QPushButton>(window, "BtnLoad")->isEnabledTo(window.get()));
}

TEST_F(ShellTest, GeneratingKeyFiles) {
    struct Row {
        const char* name;
        QString chosen;
        QString written;
    };
    QFile old(Path("old.key"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("an older file, longer than a key");
    old.close();
    ASSERT_TRUE(old.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ReadOther));
    const Row rows[] = {
        {"without extension", Path("admin"), Path("admin.key")},
        {"with .key", Path("admin2.key"), Path("admin2.key.key")},
        {"overwrite", Path("old"), Path("old.key")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        dialogs.messages.clear();
        dialogs.saveNames.push_back(row.chosen);
        const auto before = window->Keys().UnblockKey();
        window->KeyFiles().Generate();
        // One box confirms the file and gives the key check value to write down with it.
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0].type, MsgType::Information);
        EXPECT_EQ(dialogs.messages[0].text,
                  QStringLiteral("Ключ сохранён в файл %1. Контрольное значение (KCV): %2. "
                                 "Запишите его вместе с файлом.")
                      .arg(row.written,
                           QString::fromStdString(KeyCheckValue(window->Keys().UnblockKey()))));
        const QByteArray file = ReadAll(row.written);
        ASSERT_EQ(file.size(), 16);
        EXPECT_EQ(AsKey(file), window->Keys().UnblockKey());
        EXPECT_NE(window->Keys().UnblockKey(), before);
        struct stat st {};
        ASSERT_EQ(stat(row.written.toLocal8Bit().constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_TRUE(window->Keys().IsLoaded(KeyMark::Initialization));
        EXPECT_TRUE(Control<QPushButton>(window, "BtnLoad")->font().bold());
        EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Response));
    }
    // No temporary file stays behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

TEST_F(ShellTest, GeneratedKeyLoadsBackThroughTheOtherButton) {
    dialogs.saveNames.push_back(Path("round"));
    window->KeyFiles().Generate();
    const auto generated = window->Keys().UnblockKey();
    Load(KeyFile("other.key", 16, 0x33), KeyMark::Initialization);
    ASSERT_NE(window->Keys().UnblockKey(), generated);
    Load(Path("round.key"), KeyMark::Response);
    EXPECT_EQ(window->Keys().UnblockKey(), generated);
    EXPECT_TRUE(window->Keys().IsLoaded(KeyMark::Response));
}

TEST_F(ShellTest, FailedSaveKeepsThePreviousKeyAndMarks) {
    Load(KeyFile("good.key", 16, 0x10), KeyMark::Response);
    dialogs.messages.clear();
    KeyFile("plainfile", 3);
    const QString chosen[] = {Path("no/such/folder/admin"), Path("plainfile/admin")};
    for (const QString& name : chosen) {
        SCOPED_TRACE(name.toStdString());
        dialogs.messages.clear();
        dialogs.saveNames.push_back(name);
        window->KeyFiles().Generate();
        ASSERT_EQ(dialogs.messages.size(), 1u);
        EXPECT_EQ(dialogs.messages[0].text, "Can't create file " + name + ".key");
        EXPECT_EQ(dialogs.messages[0].type, MsgType::Error);
        EXPECT_EQ(dialogs.messages[0].buttons, mbOK);
        EXPECT_EQ(window->Keys().UnblockKey(), Sequence16(0x10));
        EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Initialization));
        EXPECT_EQ(Control<QPushButton>(window, "BtnLoad")->text(), "Загрузить");
    }
}

TEST_F(ShellTest, FailedRandomSourceMakesNoKey) {
    random.fail = true;
    dialogs.saveNames.push_back(Path("weak"));
    window->KeyFiles().Generate();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, "Ошибка генератора случайных чисел. Ключ не создан");
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Error);
    EXPECT_EQ(window->Keys().UnblockKey(), kDefaultUnblockKey);
    EXPECT_FALSE(window->Keys().IsLoaded(KeyMark::Initialization));
    EXPECT_FALSE(QFile::exists(Path("weak.key")));
}
