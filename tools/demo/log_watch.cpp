#include "tools/demo/log_watch.h"

#include <cstdio>

#include "sim/korpro_sim.h"
#include "sim/world.h"

namespace demo {

void LogWatch::Start() {
    thread_ = std::thread([this] {
        sim::Participant self;
        while (!stop_.load()) {
            Collect();
            sim::SleepMs(1);
        }
        Collect();
        done_.store(true);
    });
}

std::vector<Entry> LogWatch::Stop() {
    stop_.store(true);
    while (!done_.load()) sim::SleepMs(10);
    thread_.join();
    std::lock_guard lock(mutex_);
    return entries_;
}

void LogWatch::Collect() {
    std::lock_guard lock(mutex_);
    const std::vector<korpro_sim::LogLine> log = korpro_sim::Log();
    const int64_t now = sim::NowMs();
    for (; seen_ < log.size(); ++seen_) {
        char level[16];
        std::snprintf(level, sizeof level, "[%2d] ", log[seen_].level);
        entries_.push_back({now, 1, std::string("driver log   ") + level + log[seen_].text});
    }
}

}  // namespace demo
