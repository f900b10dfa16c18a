#pragma once
// Where the settings of an initialization attempt come from: the main window's fields, or
// orvane-cli's options given as the window's fields would hold them. Both read through
// ReadInitSettings, so both put the same bytes on a token for the same settings. Texts are UTF-8.

#include "engine/TokenInit.h"

#include <array>
#include <cstdint>
#include <string>

class IInitSettings {
public:
    virtual ~IInitSettings() = default;
    virtual std::string PinText() const = 0;        // EdPIN
    virtual std::string PukText() const = 0;        // EdPUK
    virtual bool AllowPuk() const = 0;              // cbAllowPUK ticked
    virtual bool UseUnblockKey() const = 0;         // cbCRKey ticked
    virtual bool DublGroupRSA() const = 0;          // cbDublGroupRSA ticked
    virtual std::string GroupRSAText() const = 0;   // edGroupRSA
    virtual bool DublGroupDSTU() const = 0;         // cbDublGroupDSTU ticked
    virtual std::string GroupDSTUText() const = 0;  // edGroupDSTU
    virtual std::string DeviceNameText() const = 0; // EdDeviceName
    virtual const std::array<std::uint8_t, 16>& UnblockKey() const = 0;
    virtual const std::array<std::uint8_t, 32>& GroupKeyRSA() const = 0;
    virtual const std::array<std::uint8_t, 32>& GroupKeyDSTU() const = 0;
    // cbReadCardNumber ticked: every token of the family is asked for its card number, for the
    // log (off unless a front end offers the choice).
    virtual bool ReadCardNumber() const { return false; }
};

// The settings of one attempt in the token's encodings, read from `source` (PIN and PUK in CP1251,
// the group numbers as the window's fields read, the device name field). The copies of the PIN
// and PUK texts are wiped.
void ReadInitSettings(const IInitSettings& source, InitSettings& settings);
