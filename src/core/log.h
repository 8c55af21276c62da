// The daily log: one file per day beside the program, named
// "<program>_yymmdd.log", one line per call:
// "dd.mm.yyyy hh:nn:ss [TClassName] message" + CR LF. Lines of different
// threads never interleave. Logging never fails the operation that logs.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "core/datetime.h"

class TServicesData {
public:
    TServicesData();
    ~TServicesData();
    // Appends one line for Sender (a class name such as "TDMBase"): the file
    // is opened, appended to and closed under the log lock, so lines of
    // different threads never interleave. The time is read once, so a line
    // goes to the file of the day it is stamped with. Never throws: when the
    // file cannot be written, the first failed line and the cause go to
    // standard error (the journal), and later failures stay quiet until a
    // line is written again.
    void Log(std::string_view sender, const std::string& msg);
    // The clock the log reads (local date-time); tests set a fixed one.
    void SetClock(std::function<TDateTime()> clock);
    // Path of the file the last line went to.
    std::string LogFileName() const;
    // Path of the day's file for a given date-time.
    static std::string LogFileNameFor(double dateTime);
    // The file name of that day's log for a program file name: its
    // extension (from its last ".") replaced by "_yymmdd.log", or that text
    // appended when it has none ("ZorvelCentralServer" gives
    // "ZorvelCentralServer_240305.log", "server.bin" gives "server_240305.log").
    static std::string LogFileNameOf(const std::string& programName, double dateTime);

private:
    mutable std::mutex lock_;
    std::function<TDateTime()> clock_;
    std::string logFileName_;
    bool reportedFailure_ = false;
};

// The process's one services data module; null before start-up and after
// shutdown.
extern TServicesData* ServicesData;
// Log through ServicesData when it exists; otherwise nothing.
void Log(std::string_view sender, const std::string& msg);

// Writes an error entry of the process itself (what a service framework
// reports, such as "Service failed on start: ..." or an error escaping a
// timer handler) to standard error, which the service manager keeps in the
// system journal. The cp1251 message is written as UTF-8. Never throws.
void EventLogError(const std::string& msg);
