// The unblock key kept protected from the window: a new key saved under a passphrase or split
// into shares, loaded back to the same key check value; a wrong passphrase or too few shares
// leave the key in force as it was; a key in force saved again protected.

#include "ShellFixture.h"

#include "engine/KeyCheck.h"

#include <QDir>
#include <QFile>

namespace {

const QString kPassphrase = QStringLiteral("длинная фраза 1");

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class KeyProtectionTest : public ShellTest {
protected:
    // Generates a key kept as chosen (0 plain, 1 passphrase, 2 shares) into "<name>...".
    UnblockKeyBytes Generate(const QString& name, int keeping) {
        dialogs.choices.push_back(keeping);
        if (keeping == 1) {
            dialogs.passphrases.push_back(kPassphrase);
            dialogs.passphrases.push_back(kPassphrase);
        } else if (keeping == 2) {
            dialogs.numbers.push_back(3);
            dialogs.numbers.push_back(2);
        }
        dialogs.saveNames.push_back(Path(name));
        window->KeyFiles().Generate();
        return window->Keys().UnblockKey();
    }
    // Puts the built-in key back in force, as a fresh start of the program has it.
    void Forget() { window->Keys().PutInForce(kDefaultUnblockKey, KeyMark::Response); }
};

TEST_F(KeyProtectionTest, EachWayOfKeepingANewKeyLoadsBackToTheSameKey) {
    const struct {
        const char* what;
        int keeping;
        QStringList files; // written, relative to the folder
        QStringList load;  // given to "Загрузить"
        int passphrases;   // asked while loading
    } rows[] = {
        {"plain", 0, {"plain.key"}, {"plain.key"}, 0},
        {"passphrase", 1, {"prot.key"}, {"prot.key"}, 1},
        {"shares 2 of 3",
         2,
         {"split-1-of-3.key", "split-2-of-3.key", "split-3-of-3.key"},
         {"split-3-of-3.key", "split-1-of-3.key"},
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const QString name = QString(row.files.front())
                                 .section(QLatin1Char('.'), 0, 0)
                                 .section(QLatin1Char('-'), 0, 0);
        const UnblockKeyBytes key = Generate(name, row.keeping);
        ASSERT_NE(key, kDefaultUnblockKey) << dialogs.LastText().toStdString();
        const QByteArray clear(reinterpret_cast<const char*>(key.data()), 16);
        for (const QString& file : row.files) {
            const QByteArray bytes = FileBytes(Path(file));
            ASSERT_FALSE(bytes.isEmpty()) << file.toStdString();
            EXPECT_EQ(bytes == clear, row.keeping == 0) << "the key in clear only in a plain file";
            EXPECT_EQ(QFile(Path(file)).permissions() &
                          (QFileDevice::ReadGroup | QFileDevice::ReadOther),
                      QFileDevice::Permissions());
        }
        EXPECT_TRUE(dialogs.LastText().contains(QString::fromStdString(KeyCheckValue(key))));
        Forget();
        QStringList paths;
        for (const QString& file : row.load)
            paths << Path(file);
        dialogs.openLists.push_back(paths);
        for (int i = 0; i < row.passphrases; ++i)
            dialogs.passphrases.push_back(kPassphrase);
        window->KeyFiles().Load(KeyMark::Response);
        EXPECT_EQ(window->Keys().UnblockKey(), key);
        EXPECT_EQ(dialogs.LastText(), QStringLiteral("Ключ загружен"));
    }
}

TEST_F(KeyProtectionTest, AWrongPassphraseOrTooFewSharesKeepTheKeyInForce) {
    Generate("prot", 1);
    Generate("split", 2);
    const UnblockKeyBytes inForce = window->Keys().UnblockKey();
    const struct {
        const char* what;
        QStringList load;
        std::optional<QString> passphrase;
    } rows[] = {
        {"wrong passphrase", {"prot.key"}, QStringLiteral("не та фраза")},
        {"passphrase cancelled", {"prot.key"}, std::nullopt},
        {"one share of two", {"split-2-of-3.key"}, std::nullopt},
        {"the same share twice", {"split-2-of-3.key", "split-2-of-3.key"}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        dialogs.messages.clear();
        QStringList paths;
        for (const QString& file : row.load)
            paths << Path(file);
        dialogs.openLists.push_back(paths);
        if (row.load.front().startsWith("prot"))
            dialogs.passphrases.push_back(row.passphrase);
        window->KeyFiles().Load(KeyMark::Response);
        EXPECT_EQ(window->Keys().UnblockKey(), inForce);
        EXPECT_NE(dialogs.LastText(), QStringLiteral("Ключ загружен"));
        EXPECT_EQ(dialogs.messages.empty(), !row.passphrase && row.load.front().startsWith("prot"))
            << "a cancelled passphrase ends the load quietly; every refusal says why";
    }
}

TEST_F(KeyProtectionTest, AKeyInForceIsSavedAgainUnderAPassphrase) {
    const UnblockKeyBytes key = Generate("clear", 0);
    dialogs.choices.push_back(0); // under a passphrase (no plain file offered)
    dialogs.passphrases.push_back(kPassphrase);
    dialogs.passphrases.push_back(kPassphrase);
    dialogs.saveNames.push_back(Path("moved"));
    window->KeyFiles().SaveProtected();
    ASSERT_TRUE(QFile::exists(Path("moved.key"))) << dialogs.LastText().toStdString();
    Forget();
    dialogs.openLists.push_back({Path("moved.key")});
    dialogs.passphrases.push_back(kPassphrase);
    window->KeyFiles().Load(KeyMark::Initialization);
    EXPECT_EQ(window->Keys().UnblockKey(), key);
}
