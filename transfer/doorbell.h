// Internal: a word that one thread sleeps on until another rings it (a Linux futex).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

// A word that one thread sleeps on until another rings it: the two waits on the way of an
// open (the parked worker for its stream, the opener for its answer). A condition variable
// would cost the woken thread one more system call: it takes its mutex back marked as
// contended, so its next unlock calls the kernel although nobody waits. The state waited
// for stays under the waiters' locks; the word only says that it may have changed.
class durl_doorbell {
public:
    // The value to pass to wait(), read while the state waited for is seen unchanged.
    uint32_t now() const { return word_.load(std::memory_order_relaxed); }
    // Sleeps unless the bell rang since seen was read, at most until deadline
    // (CLOCK_MONOTONIC; null: none). False once the deadline has passed.
    bool wait(uint32_t seen, const timespec *deadline) {
        long rc = syscall(SYS_futex, &word_, FUTEX_WAIT_BITSET_PRIVATE, seen, deadline, nullptr,
                          FUTEX_BITSET_MATCH_ANY);
        return rc == 0 || errno != ETIMEDOUT;
    }
    // Wakes the thread sleeping on this bell, if any (only one ever does).
    void ring() {
        word_.fetch_add(1, std::memory_order_release);
        syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

private:
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");
    std::atomic<uint32_t> word_{0};
};
