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
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        long rc = syscall(SYS_futex, &word_, FUTEX_WAIT_BITSET_PRIVATE, seen, deadline, nullptr,
                          FUTEX_BITSET_MATCH_ANY);
        const bool in_time = rc == 0 || errno != ETIMEDOUT;
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        return in_time;
    }
    // Wakes the thread sleeping on this bell, if any (only one ever does). Most rings find
    // nobody asleep (an opener that drives its own transfer rings for nobody): they cost no
    // system call. Both sides' first steps are sequentially consistent, so either the ringer
    // sees the sleeper or the sleeper's futex call sees the new word and does not sleep.
    void ring() {
        word_.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0)
            syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

private:
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word");
    std::atomic<uint32_t> word_{0};
    std::atomic<uint32_t> sleepers_{0};
};
