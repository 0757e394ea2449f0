#pragma once
// A log of what the core's registry reports while it lives (its observer),
// for the module and services tests.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "core_contract/SornDataSys.h"
#include "threading/Mutex.h"

namespace sorn::test {

// What the core's registry reports: reports, installations, codecs.
class RegistryLog {
public:
    struct Entry {
        SornDataSys::Event event;
        std::string text;
        const void* service;
    };
    RegistryLog() {
        SornDataSys::SetObserver([this](const SornDataSys::Report& report) {
            sorn::MutexLock hold(lock_);
            entries_.push_back({report.event, report.text ? report.text : "", report.service});
        });
    }
    ~RegistryLog() { SornDataSys::SetObserver({}); }
    std::vector<Entry> Entries() {
        sorn::MutexLock hold(lock_);
        return entries_;
    }
    // The entries of the given kinds only, in order.
    std::vector<Entry> Entries(std::initializer_list<SornDataSys::Event> kinds) {
        std::vector<Entry> chosen;
        for (const Entry& entry : Entries())
            if (std::find(kinds.begin(), kinds.end(), entry.event) != kinds.end()) chosen.push_back(entry);
        return chosen;
    }

private:
    sorn::Mutex lock_;
    std::vector<Entry> entries_ SORN_GUARDED_BY(lock_);
};

}  // namespace sorn::test
