#pragma once
// The keys both tabs of the main window work with: the unblock key in force (with its key check
// value and which tab's "Загрузить" button shows it loaded) and the two duplication-group keys.
// A plain model: it asks nothing and shows nothing; the tabs follow its signals.

#include "engine/KeyCheck.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

// Which "Загрузить" button shows "Загружен" after a key came into force through it: the one of
// the initialization tab (its key also serves the PIN reset) or the one of the challenge-response.
enum class KeyMark { Initialization, Response };

using GroupKeyBytes = std::array<std::uint8_t, 32>;

class SharedKeys : public QObject {
    Q_OBJECT
public:
    // Both group keys are drawn at once; the unblock key is the built-in one until another comes.
    explicit SharedKeys(QObject* parent = nullptr);
    ~SharedKeys() override;

    const UnblockKeyBytes& UnblockKey() const { return unblockKey_; }
    // A key loaded or generated through the button `mark` comes into force.
    void PutInForce(const UnblockKeyBytes& key, KeyMark mark);
    bool IsLoaded(KeyMark mark) const;
    // "KCV: 8BAF47" for the key in force, "KCV: … (по умолчанию)" for the built-in one.
    QString KeyCheckText() const;

    const GroupKeyBytes& GroupKeyRsa() const { return groupKeyRsa_; }
    const GroupKeyBytes& GroupKeyDstu() const { return groupKeyDstu_; }
    // A group number changed: its group key is made anew.
    void RenewRsaGroupKey();
    void RenewDstuGroupKey();
    // Makes again the group keys whose random source failed; false when one still failed.
    bool EnsureGroupKeys();

signals:
    // Another unblock key is in force; `mark`'s button now shows it loaded.
    void unblockKeyChanged(KeyMark mark);

private:
    UnblockKeyBytes unblockKey_ = kDefaultUnblockKey;
    GroupKeyBytes groupKeyRsa_{};
    GroupKeyBytes groupKeyDstu_{};
    // False while a group key holds no bytes from the random source.
    bool groupKeyRsaMade_ = false;
    bool groupKeyDstuMade_ = false;
    bool loadedForInitialization_ = false;
    bool loadedForResponse_ = false;
};
