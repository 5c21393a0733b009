// Log threshold: a line above the level in force is dropped before any formatting. The level
// in force is the one of the handle whose call runs on this thread (set by the entry frame
// and by the per-call setup, which also covers a stream's worker thread), else the default
// handle's.
#include <atomic>

#include "handle.h"

namespace {

// Lines outside a handle's call follow the default handle; read on every line, so it is a
// published copy instead of a locked read of the record.
std::atomic<int32_t> g_default_level{DURL_LOG_DEBUG};

// -1: no call of a handle runs on this thread.
thread_local int t_level = -1;

}  // namespace

bool durl_log_wanted(int level) {
    const int threshold = t_level >= 0 ? t_level : g_default_level.load(std::memory_order_relaxed);
    return level <= threshold && durl_log_enabled();
}

void durl_log_publish_default(int32_t level) {
    g_default_level.store(level, std::memory_order_relaxed);
}

durl_log_scope::durl_log_scope(durl_handle *h) : previous_(t_level) {
    if (!h) h = &g_durl.default_handle;
    durl_lock_guard guard(&h->lock);
    t_level = h->cfg.log_level;
}

durl_log_scope::~durl_log_scope() { t_level = previous_; }
