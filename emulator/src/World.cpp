#include "World.h"

#include <ctime>

namespace gce::emu {

World::World() : rng(std::random_device{}()) {}

World::~World() {
    shutdown();
}

void World::schedule(int delayMs, std::function<void()> fn) {
    queue_.emplace(Clock::now() + std::chrono::milliseconds(std::max(0, delayMs)), std::move(fn));
    wake_.notify_one();
}

void World::startScheduler() {
    thread_ = std::thread([this] { run(); });
}

void World::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mu);
        stopping = true;
    }
    wake_.notify_all();
    changed.notify_all();
    if (thread_.joinable()) thread_.join();
}

uint64_t World::newId() {
    return nextId_ += 7919;
}

void World::run() {
    std::unique_lock<std::mutex> lock(mu);
    while (!stopping) {
        if (queue_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto due = queue_.begin()->first;
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        auto fn = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        fn();
        changed.notify_all();
    }
}

std::string rfc3339(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&tt, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return buf;
}

int64_t retentionPeriod(const Bucket& b) {
    if (!b.res.contains("retentionPolicy") || !b.res["retentionPolicy"].is_object()) return 0;
    const json& p = b.res["retentionPolicy"];
    if (!p.contains("retentionPeriod")) return 0;
    return p["retentionPeriod"].is_string() ? std::stoll(p["retentionPeriod"].get<std::string>())
                                            : p["retentionPeriod"].get<int64_t>();
}

std::string nowTimestamp() {
    auto now = std::chrono::system_clock::now();
    auto secs = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[80];
    std::snprintf(out, sizeof out, "%s.%03d-00:00", buf, static_cast<int>(ms));
    return out;
}

}  // namespace gce::emu
