// A readers-writer lock under which a writer that has begun to wait holds
// new readers back. std::shared_mutex (on glibc) lets readers in while a
// writer waits, so reads from several threads that overlap without a break
// could keep a close or a rescan waiting indefinitely.
//
// Meets the SharedMutex requirements, for std::unique_lock and
// std::shared_lock. Not recursive: a thread holding it shared must not take
// it again, or it would wait behind a waiting writer that waits for it.
#pragma once

#include <mutex>
#include <shared_mutex>

namespace lma {

class RwLock {
public:
    // A writer holds the gate while it waits, so no new reader gets past.
    void lock() {
        std::lock_guard<std::mutex> gate(gate_);
        rw_.lock();
    }
    bool try_lock() {
        std::unique_lock<std::mutex> gate(gate_, std::try_to_lock);
        return gate.owns_lock() && rw_.try_lock();
    }
    void unlock() { rw_.unlock(); }

    void lock_shared() {
        std::lock_guard<std::mutex> gate(gate_);
        rw_.lock_shared();
    }
    bool try_lock_shared() {
        std::unique_lock<std::mutex> gate(gate_, std::try_to_lock);
        return gate.owns_lock() && rw_.try_lock_shared();
    }
    void unlock_shared() { rw_.unlock_shared(); }

private:
    std::mutex gate_;
    std::shared_mutex rw_;
};

}  // namespace lma
