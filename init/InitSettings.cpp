#include "InitSettings.h"

#include "AnsiText.h"

void ReadInitSettings(const IInitSettings& source, InitSettings& settings) {
    const QString pin = source.PinText();
    const QString puk = source.PukText();
    settings.pin = ToCp1251(pin);
    settings.puk = ToCp1251(puk);
    settings.pukUsable = !puk.isEmpty() && source.AllowPuk();
    settings.unblockKeyUsable = source.UseUnblockKey();
    settings.unblockKey = source.UnblockKey();
    settings.groupRsa =
        source.DublGroupRSA() ? HexToInt(source.GroupRSAText().toStdU16String(), 2) : 0;
    settings.groupDstu =
        source.DublGroupDSTU() ? HexToInt(source.GroupDSTUText().toStdU16String(), 2) : 0;
    settings.groupKeyRsa = source.GroupKeyRSA();
    settings.groupKeyDstu = source.GroupKeyDSTU();
    settings.nameField = DeviceNameField(source.DeviceNameText().toStdString());
}
