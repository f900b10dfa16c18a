#pragma once
// Qt's date and time as the day's log writer's clock gives them (engine/InitLog.h), for the
// doubles of the log environment that keep their clock as a QDateTime.

#include "engine/RegionalFormats.h"

#include <QDateTime>

inline DateTimeFields LogClockOf(const QDateTime& time) {
    DateTimeFields fields;
    fields.year = time.date().year();
    fields.month = time.date().month();
    fields.day = time.date().day();
    fields.hour = time.time().hour();
    fields.minute = time.time().minute();
    fields.second = time.time().second();
    return fields;
}
