#include "RunTexts.h"

std::string BlockedOptions(bool pukUsable, bool unblockKeyUsable, bool groupRsa, bool groupDstu) {
    std::string blocked;
    if (!pukUsable)
        blocked += "ПАК-код; ";
    if (!unblockKeyUsable)
        blocked += "Разблокировка C/R; ";
    if (!groupRsa)
        blocked += "Дублирование RSA; ";
    if (!groupDstu)
        blocked += "Дублирование ДСТУ; ";
    if (!blocked.empty())
        blocked[blocked.size() - 2] = '.';
    return blocked;
}

const char* InitStepName(InitStep step) {
    switch (step) {
    case InitStep::Connect:
        return "connect";
    case InitStep::CheckGlobalPin:
        return "check-global-pin";
    case InitStep::MfCode:
        return "mf-code";
    case InitStep::StorePin:
        return "store-pin";
    case InitStep::StorePuk:
        return "store-puk";
    case InitStep::StoreUnblockKey:
        return "store-unblock-key";
    case InitStep::SelectRsa:
        return "select-rsa";
    case InitStep::StoreRsaGroupKey:
        return "store-rsa-group-key";
    case InitStep::SetRsaGroup:
        return "set-rsa-group";
    case InitStep::VerifyPin:
        return "verify-pin";
    case InitStep::ClearRsaCache:
        return "clear-rsa-cache";
    case InitStep::SelectDstu:
        return "select-dstu";
    case InitStep::StoreDstuGroupKey:
        return "store-dstu-group-key";
    case InitStep::SetDstuGroup:
        return "set-dstu-group";
    case InitStep::SelectData:
        return "select-data";
    case InitStep::ActivateData:
        return "activate-data";
    }
    return "unknown";
}
