#include "core/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/app_paths.h"
#include "core/datetime.h"

TServicesData* ServicesData = nullptr;

TServicesData::TServicesData() = default;
TServicesData::~TServicesData() = default;

std::string TServicesData::LogFileNameFor(double dateTime) {
    return ProgramFolder() + ProgramName() + "_" + DateToYYMMDD(dateTime) + ".log";
}

std::string TServicesData::LogFileName() const {
    std::lock_guard<std::mutex> g(lock_);
    return logFileName_;
}

void TServicesData::Log(std::string_view sender, const std::string& msg) {
    std::lock_guard<std::mutex> g(lock_);
    try {
        logFileName_ = LogFileNameFor(Now());
        std::string line = DateTimeToText(Now());
        line += " [";
        line += sender;
        line += "] ";
        line += msg;
        line += "\r\n";
        int fd = ::open(logFileName_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (!reportedFailure_) {
                std::fprintf(stderr, "Cannot write the log file %s: %s\n", logFileName_.c_str(),
                             std::strerror(errno));
                reportedFailure_ = true;
            }
            return;
        }
        size_t off = 0;
        while (off < line.size()) {
            ssize_t n = ::write(fd, line.data() + off, line.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        ::close(fd);
        reportedFailure_ = false;
    } catch (...) {
        // Logging must never fail its caller.
    }
}

void Log(std::string_view sender, const std::string& msg) {
    if (ServicesData) ServicesData->Log(sender, msg);
}
