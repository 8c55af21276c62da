// Date-time values: a double of days since 30 December 1899, the fraction
// being the time of day (local time, as the database and the log use it).
#pragma once

#include <cstdint>
#include <string>

using TDateTime = double;

struct DateParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, msec = 0;
};

TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0, int msec = 0);  // raises EConvertError on bad parts
DateParts DecodeDateTime(TDateTime dt);
TDateTime Now();  // local time
TDateTime Date(); // today, midnight

// Converts a Unix time (seconds, UTC) to local TDateTime and back.
TDateTime UnixToDateTime(int64_t secs);
int64_t DateTimeToUnix(TDateTime dt);

// The texts of date-times; every caller of the values uses them too.
#include "core/date_text.h"  // IWYU pragma: export
