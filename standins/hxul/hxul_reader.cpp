// Reading records: each product, originator and file name makes one stream
// of records through its numbered files; streams are merged by time.
//
// What a reader does with bytes that are not records: a line that does not
// parse is skipped (and counted), unless a whole record follows the piece a
// killed writer left on it; a line longer than HLVN_MAX_LINE is skipped
// without being held in memory; a last line without its line feed is left
// for a later call when following, and skipped otherwise. Only regular files
// are read: a FIFO, device or link at a record file's name is passed over.
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "hxul_internal.h"
#include "platform/posix_io.h"

namespace pio = ztbase::pio;

namespace {

constexpr size_t kChunk = 1 << 20;

struct Stream {
    unsigned long product = 0, originator = 0;
    std::string dir, prefix;
    long seq = 0; // the file being read; 0 before the first
    pio::Fd fd;
    std::string buf; // bytes read and not yet consumed start at pos, end at len;
    size_t len = 0;  // the string's own size is only its room, so that a read
                     // that finds nothing never clears a megabyte
    size_t pos = 0;
    bool skipping = false; // inside a line too long to keep
    bool have_head = false;
    bool dry = false; // nothing more for now
    hlvnLogRecord head;
};

} // namespace

struct hlvnLogReader {
    long product = -1, originator = -1;
    int64_t since_ms = 0;
    bool follow = false;
    long skipped = 0;
    std::vector<std::unique_ptr<Stream>> streams;
    Stream *last = nullptr; // the stream whose head was handed out
};

namespace hxul {
namespace {

bool is_number(const char *s, unsigned long &out) {
    if (*s == '\0' || strlen(s) > 19)
        return false;
    unsigned long v = 0;
    for (const char *p = s; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + unsigned(*p - '0');
    }
    out = v;
    return true;
}

std::vector<std::pair<unsigned long, std::string>> numbered_dirs(const std::string &dir) {
    std::vector<std::pair<unsigned long, std::string>> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (const dirent *e = readdir(d)) {
        unsigned long n = 0;
        if (is_number(e->d_name, n))
            out.emplace_back(n, dir + "/" + e->d_name);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// Adds streams that appeared since the last look.
void discover(hlvnLogReader &r) {
    const std::string root = logs_dir();
    for (const auto &[pnum, pdir] : numbered_dirs(root)) {
        const unsigned long product = pnum; // (clang: no lambda capture of a binding)
        if (r.product >= 0 && product != static_cast<unsigned long>(r.product))
            continue;
        for (const auto &[onum, odir] : numbered_dirs(pdir)) {
            const unsigned long originator = onum;
            if (r.originator >= 0 && originator != static_cast<unsigned long>(r.originator))
                continue;
            std::vector<LogFile> files = list_log_files(odir, nullptr);
            for (const LogFile &f : files) {
                const bool known =
                    std::any_of(r.streams.begin(), r.streams.end(), [&](const auto &s) {
                        return s->product == product && s->originator == originator &&
                               s->prefix == f.prefix;
                    });
                if (known)
                    continue;
                auto s = std::make_unique<Stream>();
                s->product = product;
                s->originator = originator;
                s->dir = odir;
                s->prefix = f.prefix;
                r.streams.push_back(std::move(s));
            }
        }
    }
}

// Moves a stream to its next file; false when there is none yet.
bool next_file(hlvnLogReader &r, Stream &s) {
    for (const LogFile &f : list_log_files(s.dir, s.prefix.c_str())) {
        if (f.seq <= s.seq)
            continue;
        const std::string path = s.dir + "/" + f.name;
        pio::Fd fd = pio::open_for_reading(path.c_str(), pio::ReadPolicy{true});
        s.seq = f.seq;
        if (!fd)
            continue;
        struct stat sb;
        // A whole file written before the start time is passed over unread.
        if (r.since_ms > 0 && fstat(fd.get(), &sb) == 0 &&
            int64_t(sb.st_mtim.tv_sec) * 1000 + sb.st_mtim.tv_nsec / 1000000 < r.since_ms)
            continue;
        s.fd = std::move(fd);
        s.len = 0;
        s.pos = 0;
        s.skipping = false;
        return true;
    }
    return false;
}

// Reads more of the current file into the buffer: false at its end.
bool fill(Stream &s) {
    if (!s.fd)
        return false;
    if (s.pos > 0) {
        memmove(s.buf.data(), s.buf.data() + s.pos, s.len - s.pos);
        s.len -= s.pos;
        s.pos = 0;
    }
    if (s.buf.size() < s.len + kChunk)
        s.buf.resize(s.len + kChunk);
    const ssize_t n = pio::read_some(s.fd.get(), s.buf.data() + s.len, kChunk);
    if (n > 0)
        s.len += size_t(n);
    return n > 0;
}

// Loads the stream's next record into head; false when none is there for now.
bool load_head(hlvnLogReader &r, Stream &s) {
    for (;;) {
        const char *base = s.buf.data() + s.pos;
        const size_t avail = s.len - s.pos;
        const char *nl = static_cast<const char *>(memchr(base, '\n', avail));
        if (nl != nullptr) {
            const std::string_view line(base, size_t(nl - base));
            s.pos += line.size() + 1;
            if (s.skipping) {
                s.skipping = false;
                continue;
            }
            if (line.empty() || line[0] == '#')
                continue;
            if (!parse_or_resync(line, s.head)) {
                ++r.skipped;
                continue;
            }
            if (s.head.time_ms < r.since_ms)
                continue;
            return true;
        }
        if (avail > HLVN_MAX_LINE) { // too long to be a record: drop it as it comes
            if (!s.skipping)
                ++r.skipped;
            s.skipping = true;
            s.pos = s.len;
        }
        if (fill(s))
            continue;
        // End of this file: a newer one means this one is finished.
        const long before = s.seq;
        const bool rest = s.len > s.pos;
        if (next_file(r, s)) {
            if (rest && !s.skipping && before != 0)
                ++r.skipped;
            continue;
        }
        if (!r.follow && rest) {
            if (!s.skipping)
                ++r.skipped; // a piece without its line feed
            s.len = 0;
            s.pos = 0;
        }
        return false;
    }
}

} // namespace
} // namespace hxul

extern "C" {

HXUL_API int hlvnLogReaderOpen(long product, long originator, int64_t since_ms,
                               hlvnLogReader **reader) {
    if (reader == nullptr)
        return HLVN_E_PARAM;
    *reader = nullptr;
    try {
        auto *r = new hlvnLogReader;
        r->product = product;
        r->originator = originator;
        r->since_ms = since_ms;
        *reader = r;
        return HLVN_OK;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API void hlvnLogReaderSetFollow(hlvnLogReader *reader, int follow) {
    if (reader != nullptr)
        reader->follow = follow != 0;
}

HXUL_API long hlvnLogReaderSkipped(const hlvnLogReader *reader) {
    return reader != nullptr ? reader->skipped : 0;
}

HXUL_API int hlvnLogReaderNext(hlvnLogReader *r, const hlvnLogRecord **record) {
    if (r == nullptr || record == nullptr)
        return HLVN_E_PARAM;
    *record = nullptr;
    try {
        if (r->last != nullptr) {
            r->last->have_head = false;
            r->last = nullptr;
        }
        bool all_dry = true;
        for (const auto &s : r->streams)
            all_dry = all_dry && !s->have_head && s->dry;
        if (all_dry) { // a new round: look for new streams and new data
            hxul::discover(*r);
            for (const auto &s : r->streams)
                s->dry = false;
        }
        Stream *best = nullptr;
        for (const auto &sp : r->streams) {
            Stream &s = *sp;
            if (!s.have_head && !s.dry) {
                s.have_head = hxul::load_head(*r, s);
                s.dry = !s.have_head;
            }
            if (s.have_head && (best == nullptr || s.head.time_ms < best->head.time_ms))
                best = &s;
        }
        if (best == nullptr)
            return HLVN_E_NOMORE;
        r->last = best;
        *record = &best->head;
        return HLVN_OK;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogReaderClose(hlvnLogReader *reader) {
    delete reader;
    return HLVN_OK;
}

} // extern "C"
