// DefaultValue and Env: typed defaults, and the locale facts and scratch
// buffers of the process.
#include <ztbase/databuffer.h>
#include <ztbase/debuglog.h>

#include <clocale>
#include <langinfo.h>
#include <memory>

#include <unicode/ucnv.h>

DefaultValue::DefaultValue(valType type, int value) : type_(type) { store(value); }
DefaultValue::DefaultValue(valType type, long value) : type_(type) { store(value); }
DefaultValue::DefaultValue(valType type, unsigned value) : type_(type) { store(value); }
DefaultValue::DefaultValue(valType type, bool value) : type_(type) { store(value ? 1 : 0); }

void DefaultValue::store(long long value) {
    switch (type_) {
    case INT_VAL: i_ = static_cast<int>(value); break;
    case LONG_VAL: l_ = static_cast<long>(value); break;
    case UNSIGNED_VAL: u_ = static_cast<unsigned>(value); break;
    case BOOL_VAL: b_ = value != 0; break;
    }
}

int DefaultValue::getI() const { return type_ == INT_VAL ? i_ : -1; }
long DefaultValue::getL() const { return type_ == LONG_VAL ? l_ : -1; }
unsigned DefaultValue::getU() const { return type_ == UNSIGNED_VAL ? u_ : 0; }
bool DefaultValue::getB() const { return type_ == BOOL_VAL && b_; }

namespace {

constexpr size_t kScratchUnits = 4096;

struct Scratch {
    char16_t wide[kScratchUnits] = {};
    char narrow[kScratchUnits] = {};
};

Scratch &scratch() {
    thread_local std::unique_ptr<Scratch> s = std::make_unique<Scratch>();
    return *s;
}

std::string locale_name(int category) {
    const char *name = setlocale(category, nullptr);
    return name ? name : "C";
}

std::string convert(const char *to, const char *from, const char *text, size_t length) {
    if (!text)
        return {};
    if (length == static_cast<size_t>(-1))
        length = std::char_traits<char>::length(text);
    if (length == 0)
        return {};
    if (length > INT32_MAX / 4) {
        logmsgf(ZTLOG_ERROR, "Env::convert", "text of %zu bytes is too long to convert", length);
        return {};
    }
    std::string out(length * 4 + 4, '\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = ucnv_convert(to, from, out.data(), static_cast<int32_t>(out.size()), text,
                             static_cast<int32_t>(length), &status);
    if (U_FAILURE(status)) {
        logmsgf(ZTLOG_ERROR, "Env::convert", "conversion from %s to %s failed: %s", from, to,
                u_errorName(status));
        return {};
    }
    out.resize(static_cast<size_t>(n));
    return out;
}

} // namespace

Env::Env()
    : ctype_(locale_name(LC_CTYPE)), time_(locale_name(LC_TIME)), collate_(locale_name(LC_COLLATE)),
      numeric_(locale_name(LC_NUMERIC)) {
    const char *cs = nl_langinfo(CODESET);
    codeset_ = cs && *cs ? cs : "ANSI_X3.4-1968";
}

Env &Env::Instance() {
    static Env *env = new Env(); // never destroyed: callers may use it during exit
    return *env;
}

char16_t *Env::buf() { return scratch().wide; }
char *Env::bufc() { return scratch().narrow; }
size_t Env::buf_size() const { return kScratchUnits; }

std::string Env::convertLocaleToUTF8(const char *text, size_t length) const {
    return convert("UTF-8", codeset_.c_str(), text, length);
}

std::string Env::convertUTF8ToLocale(const char *text, size_t length) const {
    return convert(codeset_.c_str(), "UTF-8", text, length);
}
