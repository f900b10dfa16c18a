#include "KeyLoader.h"

#include "crypto/Wipe.h"
#include "engine/KeyFile.h"
#include "engine/ProtectedKeyFile.h"

#include <cstring>

namespace {

// The window's messages for a 16-byte key file it cannot use.
const std::string kCannotOpen = "Не могу загрузить файл. Закройте приложения, которые могут его "
                                "использовать и повторите попытку";
const std::string kWrongSize = std::string("Файл имеет неправильный размер. Удо") + 'c' +
                               "товерьтесь в целосности файла ключа";

const char* kOtherVersion = "файл записан в формате, которого эта версия программы не знает. "
                            "Откройте его более новой версией Orvane";
const char* kDamaged = "файл ключа повреждён: он обрезан или изменён (контрольная сумма не "
                       "сходится). Возьмите резервную копию";
const char* kWrongPassphrase = "Неверная парольная фраза. Ключ не загружен";
const char* kNoMemory = "не хватает памяти для проверки парольной фразы";
const char* kLocked = "файл защищён парольной фразой, а она не введена";
const char* kNoFiles = "Не указан файл ключа";
const char* kWholeKey = "это целый ключ, а не доля: его нельзя указывать вместе с другими файлами";

std::string Named(const std::string& path, const std::string& text) {
    return path + ": " + text;
}

std::string Number(unsigned value) {
    return std::to_string(value);
}

} // namespace

KeyLoader::~KeyLoader() {
    for (std::vector<std::uint8_t>& bytes : sealed_)
        SecretBytes::WipeVector(bytes);
    for (Opened& opened : opened_)
        WipeAll(opened.key);
}

KeyProblem KeyLoader::Fail(KeyProblem problem, const std::string& path, const std::string& detail) {
    switch (problem) {
    case KeyProblem::None:
        problemText_.clear();
        break;
    case KeyProblem::CannotOpen:
        problemText_ = Named(path, kCannotOpen);
        break;
    case KeyProblem::WrongSize:
        problemText_ = Named(path, kWrongSize);
        break;
    case KeyProblem::OtherVersion:
        problemText_ = Named(path, kOtherVersion);
        break;
    case KeyProblem::Damaged:
        problemText_ = Named(path, kDamaged);
        break;
    case KeyProblem::WrongPassphrase:
        problemText_ = Named(path, kWrongPassphrase);
        break;
    case KeyProblem::NoMemory:
        problemText_ = Named(path, kNoMemory);
        break;
    case KeyProblem::Locked:
        problemText_ = Named(path, kLocked);
        break;
    case KeyProblem::NoFiles:
        problemText_ = kNoFiles;
        break;
    case KeyProblem::WholeKeyAmongOthers:
        problemText_ = Named(path, kWholeKey);
        break;
    case KeyProblem::TooFewShares:
        problemText_ = "Недостаточно долей ключа: указано " + detail;
        break;
    case KeyProblem::DuplicateShare:
        problemText_ = Named(path, "та же доля, что и в файле " + detail);
        break;
    case KeyProblem::ForeignShare:
        problemText_ =
            Named(path, "доля другого ключа (другого разделения), чем доля в файле " + detail);
        break;
    case KeyProblem::SharesDisagree:
        problemText_ =
            "Доли не сходятся: " + detail + ". Одна из долей подменена или записана с ошибкой";
        break;
    }
    return problem;
}

KeyProblem KeyLoader::Take(std::size_t index, const std::vector<std::uint8_t>& content,
                           bool share) {
    Opened& opened = opened_[index];
    if (!share) {
        if (content.size() != opened.key.size())
            return Fail(KeyProblem::Damaged, files_[index].path);
        std::memcpy(opened.key.data(), content.data(), opened.key.size());
        opened.whole = true;
        return KeyProblem::None;
    }
    switch (key_shares::ParseShare(content, opened.share)) {
    case key_shares::Parse::OtherVersion:
        return Fail(KeyProblem::OtherVersion, files_[index].path);
    case key_shares::Parse::Damaged:
        return Fail(KeyProblem::Damaged, files_[index].path);
    case key_shares::Parse::Ok:
        break;
    }
    return KeyProblem::None;
}

KeyProblem KeyLoader::Add(const std::string& path) {
    KeyFileEntry entry;
    entry.path = path;
    std::vector<std::uint8_t> bytes;
    switch (ReadKeyFileBytes(path, bytes, &entry.permissions)) {
    case KeyFileRead::CannotOpen:
        return Fail(KeyProblem::CannotOpen, path);
    case KeyFileRead::WrongSize:
        return Fail(KeyProblem::WrongSize, path);
    case KeyFileRead::Loaded:
        break;
    }
    // A 16-byte file is a plain key whatever its bytes, as it always was.
    const bool plain = bytes.size() == UnblockKeyBytes{}.size();
    if (!plain && protected_file::LooksProtected(bytes)) {
        protected_file::Content content{};
        switch (protected_file::Inspect(bytes, content)) {
        case protected_file::Check::OtherVersion:
            return Fail(KeyProblem::OtherVersion, path);
        case protected_file::Check::Damaged:
            return Fail(KeyProblem::Damaged, path);
        case protected_file::Check::Ok:
            break;
        }
        entry.kind = KeyFileKind::Protected;
        entry.holdsShare = content == protected_file::Content::Share;
        entry.locked = true;
    } else if (!plain && key_shares::LooksLikeShare(bytes)) {
        entry.kind = KeyFileKind::Share;
    } else if (!plain) {
        SecretBytes::WipeVector(bytes);
        return Fail(KeyProblem::WrongSize, path);
    }
    files_.push_back(entry);
    opened_.emplace_back();
    sealed_.emplace_back();
    const std::size_t index = files_.size() - 1;
    KeyProblem problem = KeyProblem::None;
    if (entry.locked)
        sealed_[index] = std::move(bytes);
    else
        problem = Take(index, bytes, entry.kind == KeyFileKind::Share);
    SecretBytes::WipeVector(bytes);
    if (problem != KeyProblem::None) {
        files_.pop_back();
        WipeAll(opened_.back().key);
        opened_.pop_back();
        sealed_.pop_back();
        return problem;
    }
    return Fail(KeyProblem::None, path);
}

std::optional<std::size_t> KeyLoader::NextLocked() const {
    for (std::size_t i = 0; i < files_.size(); ++i)
        if (files_[i].locked)
            return i;
    return std::nullopt;
}

KeyProblem KeyLoader::Unlock(std::size_t index, const std::string& passphrase) {
    if (index >= files_.size() || !files_[index].locked)
        return Fail(KeyProblem::None, {});
    const std::string& path = files_[index].path;
    protected_file::Content content{};
    std::vector<std::uint8_t> secret;
    KeyProblem problem = KeyProblem::None;
    switch (protected_file::Open(sealed_[index], passphrase, content, secret)) {
    case protected_file::Unlock::OtherVersion:
        problem = KeyProblem::OtherVersion;
        break;
    case protected_file::Unlock::Damaged:
        problem = KeyProblem::Damaged;
        break;
    case protected_file::Unlock::WrongPassphrase:
        problem = KeyProblem::WrongPassphrase;
        break;
    case protected_file::Unlock::NoMemory:
        problem = KeyProblem::NoMemory;
        break;
    case protected_file::Unlock::Opened:
        problem = Take(index, secret, content == protected_file::Content::Share);
        SecretBytes::WipeVector(secret);
        if (problem == KeyProblem::None) {
            files_[index].locked = false;
            SecretBytes::WipeVector(sealed_[index]);
        }
        return problem == KeyProblem::None ? Fail(problem, path) : problem;
    }
    return Fail(problem, path);
}

KeyProblem KeyLoader::Assemble(UnblockKeyBytes& key) {
    threshold_ = count_ = 0;
    if (files_.empty())
        return Fail(KeyProblem::NoFiles, {});
    if (const std::optional<std::size_t> locked = NextLocked())
        return Fail(KeyProblem::Locked, files_[*locked].path);
    for (std::size_t i = 0; i < files_.size(); ++i) {
        if (opened_[i].whole && files_.size() > 1)
            return Fail(KeyProblem::WholeKeyAmongOthers, files_[i].path);
    }
    if (opened_[0].whole) {
        key = opened_[0].key;
        return Fail(KeyProblem::None, files_[0].path);
    }
    std::vector<key_shares::Share> shares;
    shares.reserve(opened_.size());
    for (const Opened& opened : opened_)
        shares.push_back(opened.share);
    const key_shares::CombineOutcome outcome = key_shares::CombineShares(shares, key);
    const key_shares::Share& first = shares.front();
    const std::string culprit = files_[outcome.culprit].path;
    const std::string other = files_[outcome.other].path;
    switch (outcome.result) {
    case key_shares::Combine::Rebuilt:
        threshold_ = first.threshold;
        count_ = first.count;
        return Fail(KeyProblem::None, {});
    case key_shares::Combine::TooFew:
        return Fail(KeyProblem::TooFewShares, {},
                    Number(static_cast<unsigned>(shares.size())) + ", а для восстановления нужно " +
                        Number(first.threshold) + " из " + Number(first.count));
    case key_shares::Combine::Duplicate:
        return Fail(KeyProblem::DuplicateShare, culprit, other);
    case key_shares::Combine::Foreign:
        return Fail(KeyProblem::ForeignShare, culprit, other);
    case key_shares::Combine::Disagree:
        return Fail(KeyProblem::SharesDisagree, {},
                    "восстановленный ключ имеет KCV " + outcome.rebuiltKcv +
                        ", а в долях записано " + first.kcv);
    }
    return KeyProblem::None;
}

std::string PassphrasePrompt(const KeyFileEntry& entry) {
    return (entry.holdsShare ? "Парольная фраза хранителя доли " : "Парольная фраза файла ключа ") +
           entry.path + ": ";
}
