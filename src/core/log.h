// The daily log: one file per day beside the program, named
// "<program>_yymmdd.log", one line per call:
// "dd.mm.yyyy hh:nn:ss [TClassName] message" + CR LF. Lines of different
// threads never interleave. Logging never fails the operation that logs.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

class TServicesData {
public:
    TServicesData();
    ~TServicesData();
    // Appends one line for Sender (a class name such as "TDMBase"). Never
    // throws: a failure is reported once on standard error.
    void Log(std::string_view sender, const std::string& msg);
    // Path of the file the last line went to.
    std::string LogFileName() const;
    // Path of the day's file for a given date-time.
    static std::string LogFileNameFor(double dateTime);

private:
    mutable std::mutex lock_;
    std::string logFileName_;
    bool reportedFailure_ = false;
};

// The process's one services data module; null before start-up and after
// shutdown.
extern TServicesData* ServicesData;
// Log through ServicesData when it exists; otherwise nothing.
void Log(std::string_view sender, const std::string& msg);
