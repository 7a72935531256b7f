// Key=value files and their trimmed values.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <ztbase/debuglog.h>
#include <ztbase/keyvalue.h>

#include "base/zt_status.h"
#include "platform/posix_io.h"
#include "text/trim.h"

namespace st = zt::status;

namespace Halvane::Zentor::Common {
namespace {

std::string trimmed(const std::string &text) {
    return std::string(ztbase::text::trim(text, ztbase::text::kLineBlanks));
}

} // namespace

value::value(const char *text) {
    set(text);
}

value::value(const std::string &text) : text_(trimmed(text)) {}

void value::swap(value &other) noexcept {
    text_.swap(other.text_);
}

void value::set(const char *text) {
    text_ = text != nullptr ? trimmed(text) : std::string();
}

int value::to_int(int &out) const {
    errno = 0;
    char *end = nullptr;
    long number = strtol(text_.c_str(), &end, 10);
    if (errno != 0 || end == text_.c_str() || *end != '\0' || end != text_.c_str() + text_.size() ||
        number < INT_MIN || number > INT_MAX) {
        logmsgf(ZTLOG_ERROR, "to_int", "failed to parse value (\"%s\") as an integer, status: %d",
                text_.c_str(), st::kInvalidParameter);
        return st::kInvalidParameter;
    }
    out = int(number);
    return 0;
}

int read_keyvalue_file(const std::string &path, keyvalue_map &out) {
    if (path.empty())
        return st::kInvalidParameter;
    // Only a plain file is read: a FIFO would hang the reader and a device
    // such as /dev/zero would never end.
    ztbase::pio::Fd fd = ztbase::pio::open_regular_file(path.c_str());
    std::unique_ptr<FILE, int (*)(FILE *)> file(
        fd ? ztbase::pio::stream(std::move(fd), "r") : nullptr, fclose);
    if (!file) {
        logmsgf(ZTLOG_DEBUG, "read_keyvalue_file", "failed to open file: \"%s\", status: %d",
                path.c_str(), st::kFileOpenFailed);
        return st::kFileOpenFailed;
    }
    keyvalue_map entries;
    struct LineBuffer {
        char *text = nullptr;
        size_t capacity = 0;
        ~LineBuffer() { free(text); }
    } buffer;
    ssize_t length;
    while ((length = getline(&buffer.text, &buffer.capacity, file.get())) >= 0) {
        std::string line(buffer.text, size_t(length));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        std::string text = trimmed(line);
        if (text.empty() || text[0] == '#')
            continue;
        size_t eq = text.find('=');
        std::string key = eq == std::string::npos ? std::string() : trimmed(text.substr(0, eq));
        size_t rest = eq == std::string::npos ? std::string::npos : text.find_first_not_of('=', eq);
        std::string data = rest == std::string::npos ? std::string() : trimmed(text.substr(rest));
        if (key.empty() || data.empty()) {
            logmsgf(ZTLOG_DEBUG, "read_keyvalue_file", "failed to parse buffer: \"%s\", status: %d",
                    text.c_str(), st::kInvalidParameter);
            continue;
        }
        entries[key] = value(data);
    }
    if (entries.empty()) {
        logmsgf(ZTLOG_ERROR, "read_keyvalue_file",
                "no valid entries read from the file: \"%s\", status: %d", path.c_str(),
                st::kFileReadFailed);
        return st::kFileReadFailed;
    }
    out.swap(entries);
    return 0;
}

} // namespace Halvane::Zentor::Common
