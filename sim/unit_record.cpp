#include "unit_record.h"

#include <chrono>

namespace vx7r {

void UnitRecord::Add(const Outcome& out, bool closesPrevious) {
    {
        std::lock_guard lock(mutex_);
        if (closesPrevious) {
            ++ended_;
        }
        if (out.exchange.phase == Phase::WakeUp) {
            attempts_.push_back(Attempt{});
            attempts_.back().line = out.line;
            attempts_.back().fault = out.fault;
        }
        Attempt& attempt = attempts_.back();
        attempt.exchanges.push_back(out.exchange);
        attempt.image.insert(attempt.image.end(), out.accepted.begin(), out.accepted.end());
        attempt.confirmed = attempt.confirmed || out.confirmed;
        attempt.faultHit = attempt.faultHit || out.faultHit;
        attempt.hungUp = attempt.hungUp || out.hangUp != HangUp::None;
        violations_.insert(violations_.end(), out.problems.begin(), out.problems.end());
        if (out.ends && out.hangUp == HangUp::None) {
            ++ended_;
        }
    }
    changed_.notify_all();
}

void UnitRecord::CutShort(const Exchange& exchange, const std::string& problem) {
    {
        std::lock_guard lock(mutex_);
        attempts_.back().exchanges.push_back(exchange);
        violations_.push_back(problem);
        ++ended_;
    }
    changed_.notify_all();
}

void UnitRecord::AddViolation(const std::string& problem) {
    std::lock_guard lock(mutex_);
    violations_.push_back(problem);
}

void UnitRecord::EndAttempt() {
    {
        std::lock_guard lock(mutex_);
        ++ended_;
    }
    changed_.notify_all();
}

Attempt UnitRecord::Snapshot(size_t number) const {
    std::lock_guard lock(mutex_);
    return attempts_[number - 1];
}

std::vector<Attempt> UnitRecord::Attempts() const {
    std::lock_guard lock(mutex_);
    return attempts_;
}

std::vector<std::string> UnitRecord::Violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

bool UnitRecord::WaitForEnded(size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    auto done = [&] { return ended_ >= count; };
    if (timeoutMs < 0) {
        changed_.wait(lock, done);
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

void UnitRecord::SetPath(const std::string& path) {
    std::lock_guard lock(mutex_);
    path_ = path;
}

std::string UnitRecord::Path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

}  // namespace vx7r
