#include "InitSettingsSource.h"

#include "crypto/Wipe.h"
#include "engine/Cp1251.h"

void ReadInitSettings(const IInitSettings& source, InitSettings& settings) {
    std::string pin = source.PinText();
    std::string puk = source.PukText();
    settings.pin = Utf8ToCp1251(pin);
    settings.puk = Utf8ToCp1251(puk);
    settings.pukUsable = !puk.empty() && source.AllowPuk();
    WipeAll(pin);
    WipeAll(puk);
    settings.unblockKeyUsable = source.UseUnblockKey();
    settings.unblockKey = source.UnblockKey();
    settings.groupRsa = source.DublGroupRSA() ? HexToInt(Utf8ToUtf16(source.GroupRSAText()), 2) : 0;
    settings.groupDstu =
        source.DublGroupDSTU() ? HexToInt(Utf8ToUtf16(source.GroupDSTUText()), 2) : 0;
    settings.groupKeyRsa = source.GroupKeyRSA();
    settings.groupKeyDstu = source.GroupKeyDSTU();
    settings.nameField = DeviceNameField(source.DeviceNameText());
    settings.readCardNumber = source.ReadCardNumber();
}
