#include "SharedKeys.h"

#include "crypto/Wipe.h"
#include "engine/RandomSource.h"

namespace {

bool Refill(GroupKeyBytes& key) {
    return FillRandom(key.data(), key.size());
}

} // namespace

SharedKeys::SharedKeys(QObject* parent) : QObject(parent) {
    groupKeyRsaMade_ = Refill(groupKeyRsa_);
    groupKeyDstuMade_ = Refill(groupKeyDstu_);
}

SharedKeys::~SharedKeys() {
    WipeAll(unblockKey_);
    WipeAll(groupKeyRsa_);
    WipeAll(groupKeyDstu_);
}

void SharedKeys::PutInForce(const UnblockKeyBytes& key, KeyMark mark) {
    unblockKey_ = key;
    (mark == KeyMark::Initialization ? loadedForInitialization_ : loadedForResponse_) = true;
    emit unblockKeyChanged(mark);
}

bool SharedKeys::IsLoaded(KeyMark mark) const {
    return mark == KeyMark::Initialization ? loadedForInitialization_ : loadedForResponse_;
}

QString SharedKeys::KeyCheckText() const {
    QString text = QStringLiteral("KCV: ") + QString::fromStdString(KeyCheckValue(unblockKey_));
    if (unblockKey_ == kDefaultUnblockKey)
        text += QStringLiteral(" (по умолчанию)");
    return text;
}

void SharedKeys::RenewRsaGroupKey() {
    groupKeyRsaMade_ = Refill(groupKeyRsa_);
}

void SharedKeys::RenewDstuGroupKey() {
    groupKeyDstuMade_ = Refill(groupKeyDstu_);
}

bool SharedKeys::EnsureGroupKeys() {
    // A group key is made again here when the random source failed when it was due; a key that
    // holds no random bytes is never put on a token.
    if (!groupKeyRsaMade_)
        groupKeyRsaMade_ = Refill(groupKeyRsa_);
    if (!groupKeyDstuMade_)
        groupKeyDstuMade_ = Refill(groupKeyDstu_);
    return groupKeyRsaMade_ && groupKeyDstuMade_;
}
