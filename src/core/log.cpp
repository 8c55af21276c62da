#include "core/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/app_paths.h"
#include "core/cp1251.h"
#include "core/datetime.h"
#include "core/fd.h"

TServicesData* ServicesData = nullptr;

// Numbers, dates and times are converted to and from text with fixed,
// locale-independent rules everywhere in the server ("." as the decimal
// separator, "dd.mm.yyyy", "hh:nn:ss"), so there are no process-wide format
// settings to set up here.
TServicesData::TServicesData() : clock_(&Now) {}
TServicesData::~TServicesData() = default;

std::string TServicesData::LogFileNameOf(const std::string& programName, double dateTime) {
    size_t dot = programName.rfind('.');
    std::string stem = dot == std::string::npos ? programName : programName.substr(0, dot);
    return stem + "_" + DateToYYMMDD(dateTime) + ".log";
}

std::string TServicesData::LogFileNameFor(double dateTime) {
    return ProgramFolder() + LogFileNameOf(ProgramName(), dateTime);
}

std::string TServicesData::LogFileName() const {
    std::lock_guard<std::mutex> g(lock_);
    return logFileName_;
}

void TServicesData::SetClock(std::function<TDateTime()> clock) {
    std::lock_guard<std::mutex> g(lock_);
    clock_ = clock ? std::move(clock) : std::function<TDateTime()>(&Now);
}

void TServicesData::Log(std::string_view sender, const std::string& msg) {
    std::lock_guard<std::mutex> g(lock_);
    try {
        const TDateTime now = clock_();
        logFileName_ = LogFileNameFor(now);
        std::string line = DateTimeToText(now);
        line += " [";
        line += sender;
        line += "] ";
        line += msg;
        line += "\r\n";
        auto report = [&](int err) {
            if (reportedFailure_) return;
            reportedFailure_ = true;
            std::string text = "Cannot write the log file " + logFileName_ + ": " + std::strerror(err) + "\n";
            text += Cp1251ToUtf8(line);
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        };
        TUniqueFd fd(::open(logFileName_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!fd.Valid()) {
            report(errno);
            return;
        }
        size_t off = 0;
        int err = 0;
        while (off < line.size()) {
            ssize_t n = ::write(fd.Get(), line.data() + off, line.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                err = n < 0 ? errno : EIO;
                break;
            }
            off += static_cast<size_t>(n);
        }
        fd.Close();
        if (err != 0) report(err);
        else reportedFailure_ = false;
    } catch (...) {
        // Logging must never fail its caller.
    }
}

void Log(std::string_view sender, const std::string& msg) {
    if (ServicesData) ServicesData->Log(sender, msg);
}

void EventLogError(const std::string& msg) {
    try {
        static std::mutex lock;
        std::string text = Cp1251ToUtf8(msg) + "\n";
        std::lock_guard<std::mutex> g(lock);
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
    }
}
