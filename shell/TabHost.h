#pragma once
// What the main window's two tabs ask of the window that holds them: its message box, the one
// reader session both device lists select into, the unblock key with its load marks, the group
// keys and the initialization run. The tabs know only this, never the window itself.

#include "card/TokenSession.h"
#include "init/Dialogs.h"
#include "init/InitSettings.h"

#include <QString>

#include <array>
#include <cstdint>

// Which button's load mark a key load sets.
enum class KeyMark { BtnLoad, BtnLoadKey };

class TabHost {
public:
    static inline const QString NoDevice = QStringLiteral("<None>");
    static inline const QString MsgNoDevice = QStringLiteral("Устройство не выбрано");
    static inline const QString MsgRandomFailed =
        QStringLiteral("Ошибка генератора случайных чисел. Ключ не создан");

    virtual ~TabHost() = default;

    // The window's message box: Yes/No, OK/Cancel or OK alone; answers the button pressed.
    virtual int ShowMessageBox(const QString& text, MsgType type, int buttons,
                               int helpContext = 0) = 0;
    // Refills both device lists; a list chose a reader for the shared session.
    virtual void FillReaderLists() = 0;
    virtual void SelectDevice(const QString& name) = 0;
    virtual TokenSession& CardReader() = 0;
    // The run the initialization button starts.
    virtual IInitRunner* InitRunner() const = 0;
    // The unblock key: loaded from a file (setting `mark`), generated, and the key in force.
    virtual void LoadUnblockKey(KeyMark mark) = 0;
    virtual void GenerateUnblockKey() = 0;
    virtual bool IsKeyLoaded(KeyMark mark) const = 0;
    virtual const std::array<std::uint8_t, 16>& UnblockKey() const = 0;
    // A group number changed: its group key is made anew; EnsureGroupKeys makes again those
    // whose random source failed (false when one still failed).
    virtual void RenewRsaGroupKey() = 0;
    virtual void RenewDstuGroupKey() = 0;
    virtual bool EnsureGroupKeys() = 0;
};
