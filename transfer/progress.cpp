// The progress notification of a handle's transfers. durl_call reads it when a transfer
// starts and drives it from libcurl's progress callback.
#include "frame.h"

extern "C" int durl_set_progress(durl_handle *handle, durl_progress_fn callback, void *context) {
    static const durl_entry_lines lines = {"set progress...\n",
                                           "set progress use global, handle is empty.\n",
                                           "set progress fails, You must call the init function.\n",
                                           "set progress fails, handle is no init.\n",
                                           durl_live_check::logged,
                                           false};
    return durl_entry(lines, handle, [&](durl_handle *h) -> int {
        durl_lock_guard guard(&h->lock);
        h->cfg.progress_fn = callback;
        h->cfg.progress_context = context;
        h->cfg.progress_owner = callback ? h : nullptr;
        return 0;
    });
}
