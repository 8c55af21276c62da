// Failures that repeat while their cause lasts (a full disk, a folder that
// cannot be written) are logged once: a pharmacy that sends the same
// request again and again meets the same failure, and one log line says it.
// The same failure is logged again after its key has succeeded.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

class TRepeatedFailures {
public:
    // Whether this failure of the key is to be logged: not when the key's
    // last failure had the same message and no success came in between.
    bool IsNew(const std::string& key, const std::string& message) {
        std::lock_guard<std::mutex> g(lock_);
        // Keys come from the peers' requests: the memory kept is bounded,
        // at the price of a line logged again.
        if (last_.size() >= kMaxKeys && last_.find(key) == last_.end()) last_.clear();
        auto [it, added] = last_.try_emplace(key, message);
        if (added) return true;
        if (it->second == message) return false;
        it->second = message;
        return true;
    }
    void Succeeded(const std::string& key) {
        std::lock_guard<std::mutex> g(lock_);
        last_.erase(key);
    }

private:
    static constexpr size_t kMaxKeys = 4096;

    std::mutex lock_;
    std::map<std::string, std::string> last_;
};
