// Status texts: catalogue selection, the localised per-thread form, the
// thread-safe ECMsgL, and the code-suffix formatters.
#include "ztbase/status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/status_table.h"
#include "base/tss.h"
#include "base/message_lookup.h"

namespace ztbase {

const char *catalogue_text(int code) {
    // Unsigned differences: a code below a range wraps round and matches none.
    const unsigned c = static_cast<unsigned>(code);
#define ZT_SELECT(name, first, last)                                                               \
    if (c - static_cast<unsigned>(first) <= static_cast<unsigned>((last) - (first)))               \
        return name[c - static_cast<unsigned>(first)];
    ZTBASE_STATUS_CATALOGUES(ZT_SELECT)
#undef ZT_SELECT
    return nullptr;
}

} // namespace ztbase

namespace {

constexpr const char kInvalid[] = "invalid error number";
constexpr int kLastCode = 9309;

char g_zt_msg[1024];
char g_sys_msg[1024];

} // namespace

extern "C" ZTBASE_API const char *getECmsg(int code) {
    const char *text = ztbase::catalogue_text(code);
    return text != nullptr ? text : kInvalid;
}

extern "C" ZTBASE_API const char *getECmsgl(int code, const char *locale) {
    ztbase_tss_data *block = nullptr;
    if (ztbase_get_tss_data(&block) != 0 || block == nullptr)
        return "ztbase_get_tss_data() failed";
    if (block->status_msg != nullptr) {
        block->status_msg[0] = '\0';
    } else {
        block->status_msg = static_cast<char *>(calloc(1, ztbase::kStatusMsgSize));
        if (block->status_msg == nullptr)
            return "calloc() failed";
    }
    char *buf = block->status_msg;

    char invalid[1024];
    if (ztbase::msg::lookup("CerCom2055N", locale, sizeof invalid, invalid, "%s", kInvalid) != 0)
        snprintf(invalid, sizeof invalid, "%s", kInvalid);

    if (code < 0 || code > kLastCode) {
        snprintf(buf, ztbase::kStatusMsgSize, "%s", invalid);
        return buf;
    }
    if (locale == nullptr)
        return getECmsg(code);

    const char *english = ztbase::catalogue_text(code);
    if (code == 1700 || code == 1701)
        return english != nullptr ? english : kInvalid; // resolver texts are never localised
    if (english == nullptr) {
        snprintf(buf, ztbase::kStatusMsgSize, "%s", invalid);
        return buf;
    }
    char id[16];
    snprintf(id, sizeof id, "NecErr%.4dN", code);
    ztbase::msg::lookup(id, locale, ztbase::kStatusMsgSize, buf, "%s", english);
    return buf;
}

extern "C" ZTBASE_API char *ERR_ZTmsgstr(int code, const char *text) {
    snprintf(g_zt_msg, sizeof g_zt_msg, "%s (ZT:%i)", text, code);
    return g_zt_msg;
}

extern "C" ZTBASE_API char *ERR_SYSmsgstr(int errnum) {
    const char *text = strerror(errnum);
    snprintf(g_sys_msg, sizeof g_sys_msg, "%s (SYS:%i)",
             text != nullptr ? text : "Unknown error: ", errnum);
    return g_sys_msg;
}

// ECMsgL ---------------------------------------------------------------------

ECMsgL::ECMsgL() : ECMsgL(666, nullptr) {}

ECMsgL::ECMsgL(int code, const char *locale) : text_(nullptr) {
    set(code, locale);
}

ECMsgL::ECMsgL(const ECMsgL &other)
    : text_(other.text_ != nullptr ? strdup(other.text_) : nullptr) {}

ECMsgL &ECMsgL::operator=(const ECMsgL &other) {
    if (this != &other) {
        char *copy = other.text_ != nullptr ? strdup(other.text_) : nullptr;
        free(text_);
        text_ = copy;
    }
    return *this;
}

ECMsgL::~ECMsgL() {
    free(text_);
}

void ECMsgL::set(int code, const char *locale) {
    std::string translated;
    if (!ztbase::msg::translate_status(code, locale, translated))
        return;
    char *copy = strdup(translated.c_str());
    if (copy == nullptr)
        return;
    free(text_);
    text_ = copy;
}

const char *ECMsgL::c_str() const {
    return text_ != nullptr ? text_ : "";
}

ZTBASE_API std::ostream &operator<<(std::ostream &os, const ECMsgL &message) {
    return os << message.c_str();
}

ZTBASE_API ECMsgL getECmsgl_ts(int code, const char *locale) {
    return ECMsgL(code, locale);
}
