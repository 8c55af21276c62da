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

// "yyyy-MM-dd hh:mm:ss" (24-hour clock): the form of date-times in SQL text.
std::string DateTimeToSqlText(TDateTime dt);
// "dd.mm.yyyy" and, unless the time is midnight, " hh:nn:ss": the default
// date-time text of the process.
std::string DateTimeToText(TDateTime dt);
// "dd.mm.yyyy".
std::string DateToText(TDateTime dt);
// "yymmdd", the day part of the log file's name.
std::string DateToYYMMDD(TDateTime dt);
// Parses "yyyy-MM-dd[ hh:mm:ss[.fff]]" (the database's text) or
// "dd.mm.yyyy[ hh:nn[:ss]]"; raises EConvertError.
TDateTime TextToDateTime(const std::string& s);
// Converts a Unix time (seconds, UTC) to local TDateTime and back.
TDateTime UnixToDateTime(int64_t secs);
int64_t DateTimeToUnix(TDateTime dt);
