// Host names of this machine and the per-thread values the identity
// questions consult: the thread context and the peer name for authorization.
#include "base/tss.h"
#include "ztbase/debuglog.h"
#include "ztbase/frame.h"
#include "ztbase/vnet.h"
#include "ztbase/vnet_host.h"

namespace {

ztbase_tss_data *block(const char *tag) {
    ztbase_tss_data *b = nullptr;
    if (ztbase_get_tss_data(&b) != 0 || b == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "ztbase_get_tss_data() failed");
        return nullptr;
    }
    return b;
}

} // namespace

extern "C" ZTBASE_API void vnet_set_thread_context(int context) {
    const char *tag = "vnet_set_thread_context";
    logmsgvf(ZTLOG_DEBUG, 10, tag, "setting context as:%d", context);
    if (ztbase_tss_data *b = block(tag))
        b->vnet_thread_context = context;
}

extern "C" ZTBASE_API int vnet_get_thread_context(void) {
    const char *tag = "vnet_get_thread_context";
    ztbase_tss_data *b = block(tag);
    int context = b != nullptr ? b->vnet_thread_context : VNET_THREAD_CONTEXT_ORDINARY;
    logmsgvf(ZTLOG_DEBUG, 10, tag, "returning context :%d", context);
    return context;
}

extern "C" ZTBASE_API const char *vnet_set_peername_for_authorization(const char *name) {
    const char *tag = "vnet_set_peername_for_authorization";
    ztbase_tss_data *b = block(tag);
    if (b == nullptr)
        return nullptr;
    const char *previous = b->peername_for_authorization;
    b->peername_for_authorization = name;
    logmsgvf(ZTLOG_DEBUG, 6, tag, "prev_peername:[%s], current peername:[%s]",
             previous != nullptr ? previous : "", name != nullptr ? name : "");
    return previous;
}

extern "C" ZTBASE_API const char *vnet_get_peername_for_authorization(void) {
    ztbase_tss_data *b = block("vnet_get_peername_for_authorization");
    return b != nullptr ? b->peername_for_authorization : nullptr;
}
