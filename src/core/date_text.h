// Every text form of a date-time the process reads or writes: its own
// display texts, the database's, the data packets' and the notations of the
// in-memory tables' files and fields.
#pragma once

#include <cstddef>
#include <string>

#include "core/datetime.h"

// ---- the process's texts
// "yyyy-MM-dd hh:mm:ss" (24-hour clock): the form of date-times in SQL text.
std::string DateTimeToSqlText(TDateTime dt);
// "yyyy-MM-dd" and "hh:mm:ss": the SQL texts of a date and of a time.
std::string DateToSqlText(TDateTime dt);
std::string TimeToSqlText(TDateTime dt);
// "dd.mm.yyyy" and, unless the time is midnight, " hh:nn:ss": the default
// date-time text of the process.
std::string DateTimeToText(TDateTime dt);
// "dd.mm.yyyy hh:nn:ss", the time always given.
std::string DateTimeToFullText(TDateTime dt);
// "dd.mm.yyyy".
std::string DateToText(TDateTime dt);
// "yymmdd", the day part of the log file's name.
std::string DateToYYMMDD(TDateTime dt);
// Parses "yyyy-MM-dd[ hh:mm:ss[.fff]]" (the database's text) or
// "dd.mm.yyyy[ hh:nn[:ss]]"; raises EConvertError.
TDateTime TextToDateTime(const std::string& s);

// ---- the database's column texts; false when the text is no valid value
// (a zero date among them).
// "yyyy-mm-dd[ hh:mm:ss[.ffffff]]".
bool ParseSqlDateTimeText(const std::string& s, TDateTime& out);
// "[-]h:mm:ss[.ffffff]", a time of any length, as a fraction of days.
bool ParseSqlTimeText(const std::string& s, TDateTime& out);

// ---- the data packets' texts
// "yyyymmdd", "hh:nn:ssmmm" and "yyyymmddThh:nn:ssmmm".
std::string PacketDateText(TDateTime dt);
std::string PacketTimeText(TDateTime dt);
std::string PacketDateTimeText(TDateTime dt);
// Reads a packet's date, time or date-time text (surrounding blanks
// ignored): the date "yyyymmdd" or "yyyy-mm-dd", the time
// "hh:nn[:ss[mmm|.mmm|,mmm]]", the two joined by 'T' or a blank. A time
// alone may carry a date before a 'T'; a date alone loses its time.
enum class TPacketDateKind { Date, Time, DateTime };
bool ParsePacketDateText(TPacketDateKind kind, const std::string& s, TDateTime& out);

// ---- notations with a format and separators (the in-memory tables)
// Writes dt by a format of runs of d, m, y, h, n, s, z ("dd.mm.yyyy",
// "hh:nn:ss"); '/' and ':' stand for the date and time separators, anything
// else is copied.
std::string FormatDateTimePattern(TDateTime dt, const std::string& fmt, char dateSep, char timeSep);
// Reads a date at s[i..] in the order of day, month and year of the format
// (two parts: day and month of the current year; a two-digit year is
// 1950-2049); blanks before it skipped. False when there is no date.
bool ScanDateText(const std::string& s, size_t& i, const std::string& shortDateFormat, char dateSep,
                  TDateTime& out);
// Reads "h:n[:s[.zzz]]" at s[i..], blanks before and after skipped; false
// when there is no time.
bool ScanTimeText(const std::string& s, size_t& i, char timeSep, TDateTime& out);
