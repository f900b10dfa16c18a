#pragma once
// The initialization run's words, for every front end that shows a run (the progress dialog,
// orvane-cli init): the status texts of its states, the question about the options a token will
// get blocked, the end of a run and the names of the attempt's steps. UTF-8.

#include "engine/TokenInit.h"

#include <string>

namespace run_text {

// Ready: the two lines of the status text before the first token.
inline constexpr const char* kReady1 = "Нажмите Enter, чтобы начать инициализацию.";
inline constexpr const char* kReady2 = "По завершению нажмите Esc";
// An attempt under way: two lines.
inline constexpr const char* kAttempt1 = "Инициализация...";
inline constexpr const char* kAttempt2 = "Не извлекайте смарт-карту";
inline constexpr const char* kFailed =
    "Ошибка! Нажмите Enter, чтобы начать инициализацию заново или Esc для завершения";
inline constexpr const char* kDone = "Инициализация закончена. Извлеките смарт-карту";
inline constexpr const char* kNext = "Вставьте следующую смарт-карту";
// The command line's wait for its first token (the window starts with Enter instead).
inline constexpr const char* kFirst = "Вставьте смарт-карту";
inline constexpr const char* kEscHint = "Для завершения инициализации нажмите Esc";
inline constexpr const char* kServiceAway =
    "Служба смарт-карт не отвечает. Ожидание её восстановления...";
// An attempt's line of the day's log could not be written (the reason follows in a box or on
// standard error).
inline constexpr const char* kLogLineLost = "Строка журнала не записана!";
// The run has ended (the main window's box, the command line's last line).
inline constexpr const char* kRunEnded = "Инициализация закончена";
// Before a run: some options will be stored blocked on every token.
inline constexpr const char* kBlockedIntro =
    "Некоторые поля не были заполнены. Следующие параметры будут заблокированы:";
inline constexpr const char* kBlockedShort = "Следующие параметры будут заблокированы: ";
inline constexpr const char* kContinue = "Продолжить?";

} // namespace run_text

// What a run's tokens will get blocked, as the list reads: "ПАК-код; Разблокировка C/R;
// Дублирование RSA; Дублирование ДСТУ. " (the last semicolon becomes a full stop, its blank
// stays); empty when nothing is blocked.
std::string BlockedOptions(bool pukUsable, bool unblockKeyUsable, bool groupRsa, bool groupDstu);

// The name of a step for scripts (orvane-cli's JSON field "step"): "connect", "store-pin", ...
const char* InitStepName(InitStep step);
