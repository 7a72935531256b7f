// The vnet per-thread record: a JSON object in the calling thread's block in
// which the layer leaves messages for its caller. Only its own thread touches
// it, so nothing here locks.
#include <ctime>
#include <jansson.h>

#include "base/tss.h"
#include "ztbase/debuglog.h"
#include "ztbase/vnet.h"

namespace {

const char kLargeStatus[] = "allow_large_status";
const char kLogs[] = "logs";
const char kConnectRecs[] = "connect_recs";

ztbase_tss_data *block(const char *tag) {
    ztbase_tss_data *b = nullptr;
    int rc = ztbase_get_tss_data(&b);
    if (rc != 0 || b == nullptr) {
        logmsgf(ZTLOG_ERROR, tag, "ztbase_get_tss_data() failed: %d", rc);
        return nullptr;
    }
    return b;
}

json_t *text_or_null(const char *text) {
    json_t *s = text != nullptr ? json_string(text) : nullptr;
    return s != nullptr ? s : json_null();
}

// Stores an entry under key in the block's record (made when missing); takes
// data. False when memory runs out.
bool set_entry(ztbase_tss_data *b, const char *key, const char *who, int line, const char *comment,
               json_t *data) {
    if (b->vnet_record == nullptr)
        b->vnet_record = json_object();
    json_t *entry = json_object();
    if (b->vnet_record == nullptr || entry == nullptr) {
        json_decref(entry);
        json_decref(data);
        return false;
    }
    json_object_set_new(entry, "timestamp", json_integer(static_cast<json_int_t>(time(nullptr))));
    json_object_set_new(entry, "who", text_or_null(who));
    json_object_set_new(entry, "line_number", json_integer(line));
    json_object_set_new(entry, "comment", text_or_null(comment));
    json_object_set_new(entry, "data", data != nullptr ? data : json_null());
    return json_object_set_new(b->vnet_record, key, entry) == 0;
}

json_t *entry_data(const ztbase_tss_data *b, const char *key) {
    if (b->vnet_record == nullptr)
        return nullptr;
    return json_object_get(json_object_get(b->vnet_record, key), "data");
}

bool large_allowed(const ztbase_tss_data *b) {
    return json_is_true(entry_data(b, kLargeStatus));
}

} // namespace

extern "C" ZTBASE_API int vnet_tss_init(void) {
    ztbase_tss_data *b = block("vnet_tss_init");
    if (b == nullptr)
        return VNET_MALLOC_FAILED;
    const bool had = entry_data(b, kLargeStatus) != nullptr;
    const bool allow = large_allowed(b);
    json_decref(b->vnet_record);
    b->vnet_record = json_object();
    if (b->vnet_record == nullptr)
        return VNET_MALLOC_FAILED;
    if (had && !set_entry(b, kLargeStatus, "vnet_tss_init", 32, "allow vnet status > 255",
                          json_boolean(allow)))
        return VNET_MALLOC_FAILED;
    return VNET_SUCCESS;
}

extern "C" ZTBASE_API int vnet_tss_set_new(const char *key, const char *who, int line,
                                           const char *comment, json_t *data) {
    ztbase_tss_data *b = block("vnet_tss_set_new");
    if (b == nullptr || key == nullptr) {
        json_decref(data);
        return b == nullptr ? VNET_MALLOC_FAILED : VNET_BAD_PARAM;
    }
    return set_entry(b, key, who, line, comment, data) ? VNET_SUCCESS : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API json_t *vnet_tss_get(int take) {
    ztbase_tss_data *b = block("vnet_tss_get");
    if (b == nullptr)
        return nullptr;
    if (b->connect_recs != nullptr)
        set_entry(b, kConnectRecs, "vnet_tss_get", 97, "connect rec status messages",
                  text_or_null(b->connect_recs));
    if (b->vnet_record == nullptr)
        return nullptr;
    if (take == 0)
        return json_deep_copy(b->vnet_record);
    json_t *record = b->vnet_record;
    b->vnet_record = nullptr;
    return record;
}

extern "C" ZTBASE_API json_t *vnet_tss_get_logs(void) {
    ztbase_tss_data *b = block("vnet_tss_get_logs");
    if (b == nullptr)
        return nullptr;
    json_t *logs = entry_data(b, kLogs);
    return json_is_array(logs) ? json_deep_copy(logs) : nullptr;
}

extern "C" ZTBASE_API int vnet_tss_append_log_new(const char *who, int line, json_t *entry) {
    ztbase_tss_data *b = block("vnet_tss_append_log_new");
    if (b == nullptr || entry == nullptr) {
        json_decref(entry);
        return b == nullptr ? VNET_MALLOC_FAILED : VNET_BAD_PARAM;
    }
    if (!json_is_array(entry_data(b, kLogs)) &&
        !set_entry(b, kLogs, who, line, "proxy log messages", json_array())) {
        json_decref(entry);
        return VNET_MALLOC_FAILED;
    }
    return json_array_append_new(entry_data(b, kLogs), entry) == 0 ? VNET_SUCCESS
                                                                   : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API int vnet_tss_get_large_status(void) {
    ztbase_tss_data *b = block("vnet_tss_get_large_status");
    return b != nullptr && large_allowed(b) ? 1 : 0;
}

extern "C" ZTBASE_API int vnet_tss_set_large_status(const char *who, int line, int allow) {
    ztbase_tss_data *b = block("vnet_tss_set_large_status");
    if (b == nullptr)
        return VNET_MALLOC_FAILED;
    return set_entry(b, kLargeStatus, who, line, "allow vnet status > 255",
                     json_boolean(allow != 0))
               ? VNET_SUCCESS
               : VNET_MALLOC_FAILED;
}

extern "C" ZTBASE_API void vnet_tss_free(void) {
    ztbase_tss_data *b = block("vnet_tss_free");
    if (b == nullptr)
        return;
    json_decref(b->vnet_record);
    b->vnet_record = nullptr;
}
