#pragma once
// The words of a run over several readers that the one-reader run does not have (its own words
// are engine/RunTexts.h): the station window and orvane-cli show the same ones. UTF-8.

namespace station_text {

// A reader whose run has ended because it was unplugged.
inline constexpr const char* kUnplugged = "Устройство отключено";
// A reader held by another run or a PIN reset: left alone.
inline constexpr const char* kBusy = "Занято другой инициализацией или сменой ПИН-кода";
// The smart-card service serves a limited number of readers.
inline constexpr const char* kTooManyReaders =
    "Служба смарт-карт обслуживает не более 16 устройств: подключённые сверх них не видны и не "
    "используются";
// Before the status word of a failed step whose message does not show it ("Ответ смарт-карты:
// 6A82").
inline constexpr const char* kTokenAnswer = "Ответ смарт-карты";
// The counts of a station.
inline constexpr const char* kInitialized = "Инициализировано";
inline constexpr const char* kFailed = "Неудачных попыток";
// The entry of the device list for a station over every reader ("Все устройства (4)").
inline constexpr const char* kAllReaders = "Все устройства";

} // namespace station_text
