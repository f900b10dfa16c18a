#pragma once
// The meeting point of the main window and the initialization run.
//
// The run reads every setting and key from the main window at the moment it needs it (nothing is
// copied when the run starts); the main window starts the run with the selected reader's name.
// orvane-cli gives its options through the same interface, so that both put the same bytes on a
// token for the same settings.

#include "engine/TokenInit.h"

#include <QString>

#include <array>
#include <cstdint>
#include <string>

class IInitSettings {
public:
    virtual ~IInitSettings() = default;
    virtual QString PinText() const = 0;        // EdPIN
    virtual QString PukText() const = 0;        // EdPUK
    virtual bool AllowPuk() const = 0;          // cbAllowPUK ticked
    virtual bool UseUnblockKey() const = 0;     // cbCRKey ticked
    virtual bool DublGroupRSA() const = 0;      // cbDublGroupRSA ticked
    virtual QString GroupRSAText() const = 0;   // edGroupRSA
    virtual bool DublGroupDSTU() const = 0;     // cbDublGroupDSTU ticked
    virtual QString GroupDSTUText() const = 0;  // edGroupDSTU
    virtual QString DeviceNameText() const = 0; // EdDeviceName
    virtual const std::array<std::uint8_t, 16>& UnblockKey() const = 0;
    virtual const std::array<std::uint8_t, 32>& GroupKeyRSA() const = 0;
    virtual const std::array<std::uint8_t, 32>& GroupKeyDSTU() const = 0;
};

// The settings of one attempt in the token's encodings, read from `source` (PIN and PUK in CP1251,
// the group numbers as the window's fields read, the device name field).
void ReadInitSettings(const IInitSettings& source, InitSettings& settings);

class IInitRunner {
public:
    virtual ~IInitRunner() = default;
    // Opens the run for the reader and returns when its dialog has closed; false when the reader
    // is held by another run or PIN reset (the user has been told, nothing was done).
    virtual bool RunInitialization(const std::string& readerName) = 0;
};
