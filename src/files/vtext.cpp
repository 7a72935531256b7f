// Text record files: reading logical lines as items, and rewriting through a
// working file beside the target.
//
// Invariants: a writable handle's stream is its working file and the target
// is never written in place; the working file is removed by vtext_close
// whatever happens; vtext_put_item builds a complete new working file before
// it drops the old one, so a failed put leaves the handle as it was. The
// commit makes the data durable before the rename and the rename durable
// after it.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/vtext_internal.h"
#include "platform/posix_io.h"
#include "platform/working_files.h"
#include "ztbase/debuglog.h"
#include "ztbase/vtext.h"

struct vtext_handle {
    std::string target;
    std::string work; // the working file, empty in read and memory modes
    FILE *fp = nullptr;
    bool read_only = true;
    int mode = VTEXT_MODE_READ;
    int position = 0; // records returned since the last rewind
    vtext_parse_fn parse = nullptr;
    vtext_format_fn format = nullptr;
    vtext_free_fn free_fn = nullptr;
    std::string text; // memory mode
    size_t text_pos = 0;
    char *line_buf = nullptr; // getline's buffer, reused
    size_t line_cap = 0;

    ~vtext_handle() { free(line_buf); }
};

namespace pio = ztbase::pio;

namespace {

constexpr int kAppendIndex = 2147483647;

void free_item(const vtext_handle *h, void *item) {
    if (item == nullptr)
        return;
    if (h->free_fn != nullptr)
        h->free_fn(&item);
    else
        free(item);
}

// One physical line with its terminator; in memory mode a carriage return
// also ends a line and is handed on as a newline, and text after the last
// terminator is not a line. -1 at the end, 1 on a read error, else 0.
int read_physical(vtext_handle *h, std::string &out) {
    if (h->mode == VTEXT_MODE_MEMORY) {
        size_t end = h->text.find_first_of("\r\n", h->text_pos);
        if (end == std::string::npos)
            return -1;
        out.append(h->text, h->text_pos, end - h->text_pos);
        out += '\n';
        h->text_pos = end + 1;
        return 0;
    }
    errno = 0;
    ssize_t n = getline(&h->line_buf, &h->line_cap, h->fp);
    if (n < 0)
        return ferror(h->fp) ? 1 : -1;
    out.append(h->line_buf, static_cast<size_t>(n));
    return 0;
}

// One logical line (backslash-newline joins the next physical line), without
// its final newline. -1 at the end, 1 on a read error, else 0.
int read_logical(vtext_handle *h, std::string &line) {
    line.clear();
    int rc = read_physical(h, line);
    if (rc != 0)
        return rc;
    while (line.size() >= 2 && line.back() == '\n' && line[line.size() - 2] == '\\') {
        line.resize(line.size() - 2);
        rc = read_physical(h, line);
        if (rc > 0)
            return rc;
        if (rc < 0)
            break;
    }
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return 0;
}

bool blank(const std::string &line) {
    return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

int next_item(vtext_handle *h, void **item, const char *tag) {
    *item = nullptr;
    std::string line;
    for (;;) {
        int rc = read_logical(h, line);
        if (rc < 0)
            return VTEXT_OK;
        if (rc > 0)
            return VTEXT_FAILED(tag, "getline", VTEXT_OPEN_FAILED);
        if (h->parse == nullptr) {
            if (line[0] == '#' || blank(line))
                continue;
            char *copy = strdup(line.c_str());
            if (copy == nullptr)
                return VTEXT_FAILED(tag, "strdup", VTEXT_NO_MEMORY);
            *item = copy;
            ++h->position;
            return VTEXT_OK;
        }
        char *buf = strdup(line.c_str());
        if (buf == nullptr)
            return VTEXT_FAILED(tag, "strdup", VTEXT_NO_MEMORY);
        void *parsed = nullptr;
        rc = h->parse(buf, &parsed, buf);
        free(buf);
        if (rc != 0) {
            free_item(h, parsed);
            return VTEXT_FAILED(tag, "parse", rc);
        }
        if (parsed != nullptr) {
            *item = parsed;
            ++h->position;
            return VTEXT_OK;
        }
    }
}

int write_item(const vtext_handle *h, FILE *fp, void *item, const char *tag) {
    char *text = nullptr;
    if (h->format != nullptr) {
        int rc = h->format(item, &text, item);
        if (rc != 0) {
            free(text);
            return VTEXT_FAILED(tag, "format", rc);
        }
        if (text == nullptr)
            return VTEXT_OK;
    } else {
        if (item == nullptr)
            return VTEXT_OK;
        text = strdup(static_cast<const char *>(item));
        if (text == nullptr)
            return VTEXT_FAILED(tag, "strdup", VTEXT_NO_MEMORY);
    }
    size_t n = strlen(text);
    bool ok =
        fwrite(text, 1, n, fp) == n && ((n > 0 && text[n - 1] == '\n') || fputc('\n', fp) != EOF);
    free(text);
    return ok ? VTEXT_OK : VTEXT_FAILED(tag, "fwrite", VTEXT_WRITE_FAILED);
}

// The target opened for reading. A FIFO planted at its name would block the
// open or the reads for ever and a directory has no records: neither is
// opened (errno EINVAL or EISDIR).
FILE *open_target(const char *path) {
    constexpr pio::ReadPolicy kTarget{.refuse_devices = false};
    pio::Fd fd = pio::open_for_reading(path, kTarget);
    return fd ? pio::stream(std::move(fd), "r") : nullptr;
}

// A new empty working file beside target, opened for reading and writing.
int create_working(const std::string &target, std::string &path, FILE **fp, const char *tag) {
    char *dir = vtext_dirname(target.c_str());
    if (dir == nullptr)
        return VTEXT_FAILED(tag, "vtext_dirname", VTEXT_NO_MEMORY);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char *name = V_tempnam(dir, "vtext");
        if (name == nullptr)
            break;
        // Only a working file beside the target can replace it atomically.
        const size_t n = strlen(dir);
        if (strncmp(name, dir, n) != 0 ||
            strchr(name + n + 1, ztbase::vtext::separator()) != nullptr) {
            logmsgf(ZTLOG_ERROR, tag, "cannot create a working file in %s", dir);
            free(name);
            break;
        }
        pio::Fd fd = pio::open_fd(name, O_RDWR | O_CREAT | O_EXCL, 0600);
        // Locked as this writer's until the rename: one nobody holds was left
        // by a writer that is gone.
        if (fd && flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            fd.close();
            unlink(name);
            errno = error;
        }
        if (!fd) {
            int error = errno;
            free(name);
            if (error == EEXIST)
                continue;
            logmsgf(ZTLOG_ERROR, tag, "cannot create a working file in %s: errno %d", dir, error);
            break;
        }
        FILE *f = pio::stream(std::move(fd), "w+");
        if (f == nullptr) {
            unlink(name);
            free(name);
            break;
        }
        path = name;
        free(name);
        free(dir);
        *fp = f;
        return VTEXT_OK;
    }
    free(dir);
    return VTEXT_FAILED(tag, "V_tempnam", VTEXT_OPEN_FAILED);
}

// Working files are named by V_tempnam(dir, "vtext"): "vtext-", 29 digits,
// "-" and six letters or digits.
bool is_working_name(std::string_view name) {
    constexpr std::string_view kStem = "vtext-";
    if (name.size() != kStem.size() + 29 + 1 + 6 || name.substr(0, kStem.size()) != kStem ||
        name[kStem.size() + 29] != '-')
        return false;
    for (size_t i = kStem.size(); i < name.size(); ++i)
        if (i != kStem.size() + 29 &&
            !(i < kStem.size() + 29 ? isdigit(static_cast<unsigned char>(name[i]))
                                    : isalnum(static_cast<unsigned char>(name[i]))))
            return false;
    return true;
}

// Removes the working files beside target that writers killed mid-update left.
void remove_abandoned_work(const std::string &target) {
    char *dir = vtext_dirname(target.c_str());
    if (dir == nullptr)
        return;
    ztbase::working::remove_abandoned(dir, is_working_name);
    free(dir);
}

void discard_working(FILE *fp, const std::string &path) {
    if (fp != nullptr)
        fclose(fp);
    if (!path.empty())
        unlink(path.c_str());
}

void rewind_handle(vtext_handle *h) {
    h->position = 0;
    h->text_pos = 0;
    if (h->fp != nullptr) {
        rewind(h->fp);
        clearerr(h->fp);
    }
}

// Every record of the current stream through parse and format into out.
int copy_records(vtext_handle *h, FILE *out, const char *tag) {
    for (;;) {
        void *item = nullptr;
        int rc = next_item(h, &item, tag);
        if (rc != 0)
            return rc;
        if (item == nullptr)
            return VTEXT_OK;
        rc = write_item(h, out, item, tag);
        free_item(h, item);
        if (rc != 0)
            return rc;
    }
}

int open_update(vtext_handle *h, const char *tag) {
    FILE *old = open_target(h->target.c_str());
    if (old == nullptr && errno != ENOENT) {
        logmsgf(ZTLOG_ERROR, tag, "cannot open %s: errno %d", h->target.c_str(), errno);
        return VTEXT_FAILED(tag, "fopen", VTEXT_OPEN_FAILED);
    }
    FILE *work = nullptr;
    int rc = create_working(h->target, h->work, &work, tag);
    if (rc == 0 && old != nullptr) {
        h->fp = old;
        rc = copy_records(h, work, tag);
        h->fp = nullptr;
    }
    if (old != nullptr)
        fclose(old);
    if (rc == 0 && fflush(work) != 0)
        rc = VTEXT_FAILED(tag, "fflush", VTEXT_WRITE_FAILED);
    if (rc != 0) {
        discard_working(work, h->work);
        h->work.clear();
        return rc;
    }
    h->fp = work;
    rewind_handle(h);
    return VTEXT_OK;
}

void sync_directory_of(const std::string &path, const char *tag) {
    char *dir = vtext_dirname(path.c_str());
    if (dir == nullptr)
        return;
    pio::Fd fd = pio::open_fd(dir, O_RDONLY | O_DIRECTORY);
    if (!fd || fsync(fd.get()) != 0)
        logmsgf(ZTLOG_WARNING, tag, "cannot sync directory %s: errno %d", dir, errno);
    free(dir);
}

// Makes the working file's data durable and gives it the target's permission
// bits, before the rename exposes it.
int prepare_commit(vtext_handle *h, const char *tag) {
    if (fflush(h->fp) != 0)
        return VTEXT_FAILED(tag, "fflush", VTEXT_WRITE_FAILED);
    if (fsync(fileno(h->fp)) != 0)
        return VTEXT_FAILED(tag, "fsync", VTEXT_WRITE_FAILED);
    mode_t mode = 0644;
    struct stat st;
    if (stat(h->target.c_str(), &st) == 0)
        mode = st.st_mode & 0777;
    else if (errno != ENOENT)
        return VTEXT_FAILED(tag, "stat", VTEXT_STAT_FAILED);
    if (fchmod(fileno(h->fp), mode) != 0)
        return VTEXT_FAILED(tag, "chmod", VTEXT_CHMOD_FAILED);
    return VTEXT_OK;
}

} // namespace

extern "C" ZTBASE_API int vtext_open(const char *path, int mode, vtext_parse_fn parse,
                                     vtext_format_fn format, vtext_free_fn free_fn,
                                     vtext_handle **handle) {
    static const char *const tag = "vtext_open";
    if (handle == nullptr)
        return VTEXT_FAILED(tag, tag, VTEXT_BAD_HANDLE);
    *handle = nullptr;
    if (path == nullptr || mode < VTEXT_MODE_READ || mode > VTEXT_MODE_MEMORY)
        return VTEXT_FAILED(tag, tag, VTEXT_OPEN_FAILED);
    auto *h = new (std::nothrow) vtext_handle;
    if (h == nullptr)
        return VTEXT_FAILED(tag, "new", VTEXT_NO_MEMORY);
    int rc = VTEXT_OK;
    try {
        h->mode = mode;
        h->parse = parse;
        h->format = format;
        h->free_fn = free_fn;
        if (mode == VTEXT_MODE_MEMORY) {
            h->text = path;
        } else {
            h->target = path;
        }
        switch (mode) {
        case VTEXT_MODE_READ:
            h->fp = open_target(path);
            if (h->fp == nullptr) {
                logmsgf(ZTLOG_ERROR, tag, "cannot open %s: errno %d", path, errno);
                rc = VTEXT_FAILED(tag, "fopen", VTEXT_OPEN_FAILED);
            }
            break;
        case VTEXT_MODE_UPDATE:
            h->read_only = false;
            rc = open_update(h, tag);
            break;
        case VTEXT_MODE_CREATE:
            h->read_only = false;
            rc = create_working(h->target, h->work, &h->fp, tag);
            break;
        default:
            break;
        }
    } catch (const std::bad_alloc &) {
        rc = VTEXT_FAILED(tag, "new", VTEXT_NO_MEMORY);
    }
    if (rc != 0) {
        discard_working(h->fp, h->work);
        delete h;
        return rc;
    }
    *handle = h;
    return VTEXT_OK;
}

extern "C" ZTBASE_API int vtext_close(vtext_handle **handle, int commit) {
    static const char *const tag = "vtext_close";
    if (handle == nullptr || *handle == nullptr)
        return VTEXT_FAILED(tag, tag, VTEXT_BAD_HANDLE);
    vtext_handle *h = *handle;
    *handle = nullptr;
    const bool committing = commit != 0 && !h->read_only && h->fp != nullptr;
    int rc = committing ? prepare_commit(h, tag) : VTEXT_OK;
    // The working file stays locked until it is renamed.
    const int keep_lock = committing ? fcntl(fileno(h->fp), F_DUPFD_CLOEXEC, 0) : -1;
    if (h->fp != nullptr && fclose(h->fp) != 0 && committing && rc == 0)
        rc = VTEXT_FAILED(tag, "fclose", VTEXT_WRITE_FAILED);
    h->fp = nullptr;
    if (committing && rc == 0) {
        rc = vtext_rename_file(h->work.c_str(), h->target.c_str());
        if (rc == 0)
            sync_directory_of(h->target, tag);
    }
    if (keep_lock >= 0)
        close(keep_lock);
    if (committing && rc == 0)
        remove_abandoned_work(h->target);
    if (!h->work.empty() && unlink(h->work.c_str()) != 0 && errno != ENOENT)
        logmsgf(ZTLOG_WARNING, tag, "cannot remove %s: errno %d", h->work.c_str(), errno);
    delete h;
    return rc;
}

extern "C" ZTBASE_API int vtext_rewind(vtext_handle *h) {
    if (h == nullptr || (h->fp == nullptr && h->mode != VTEXT_MODE_MEMORY))
        return VTEXT_FAILED("vtext_rewind", "vtext_rewind", VTEXT_BAD_HANDLE);
    rewind_handle(h);
    return VTEXT_OK;
}

extern "C" ZTBASE_API int vtext_get_next_item(vtext_handle *h, void **item) {
    static const char *const tag = "vtext_get_next_item";
    if (item != nullptr)
        *item = nullptr;
    if (h == nullptr || item == nullptr || (h->fp == nullptr && h->mode != VTEXT_MODE_MEMORY))
        return VTEXT_FAILED(tag, tag, VTEXT_BAD_HANDLE);
    try {
        return next_item(h, item, tag);
    } catch (const std::bad_alloc &) {
        return VTEXT_FAILED(tag, "new", VTEXT_NO_MEMORY);
    }
}

extern "C" ZTBASE_API int vtext_get_item(vtext_handle *h, int index, void **item) {
    static const char *const tag = "vtext_get_item";
    if (item != nullptr)
        *item = nullptr;
    if (h == nullptr || item == nullptr || (h->fp == nullptr && h->mode != VTEXT_MODE_MEMORY))
        return VTEXT_FAILED(tag, tag, VTEXT_BAD_HANDLE);
    if (index < 0)
        return VTEXT_OK; // no such record
    if (index < h->position)
        rewind_handle(h);
    try {
        while (h->position < index) {
            void *skipped = nullptr;
            int rc = next_item(h, &skipped, tag);
            if (rc != 0 || skipped == nullptr)
                return rc;
            free_item(h, skipped);
        }
        return next_item(h, item, tag);
    } catch (const std::bad_alloc &) {
        return VTEXT_FAILED(tag, "new", VTEXT_NO_MEMORY);
    }
}

namespace {

int put_into(vtext_handle *h, FILE *out, int index, int replace, void *item, const char *tag) {
    bool ran_out = false;
    for (int copied = 0; copied < index; ++copied) {
        void *old = nullptr;
        int rc = next_item(h, &old, tag);
        if (rc != 0)
            return rc;
        if (old == nullptr) {
            ran_out = true;
            break;
        }
        rc = write_item(h, out, old, tag);
        free_item(h, old);
        if (rc != 0)
            return rc;
    }
    // The record at `index` is skipped when deleting or replacing: a replace
    // needs it to exist (the records may end exactly at `index`), a delete of
    // none removes nothing.
    if (!ran_out && (item == nullptr || replace)) {
        void *old = nullptr;
        int rc = next_item(h, &old, tag);
        ran_out = old == nullptr;
        free_item(h, old);
        if (rc != 0)
            return rc;
    }
    if (ran_out && replace)
        return VTEXT_FAILED(tag, tag, VTEXT_NO_RECORD);
    if (item != nullptr) {
        int rc = write_item(h, out, item, tag);
        if (rc != 0)
            return rc;
    }
    int rc = copy_records(h, out, tag);
    if (rc == 0 && fflush(out) != 0)
        rc = VTEXT_FAILED(tag, "fflush", VTEXT_WRITE_FAILED);
    return rc;
}

} // namespace

extern "C" ZTBASE_API int vtext_put_item(vtext_handle *h, int index, int replace, void *item) {
    static const char *const tag = "vtext_put_item";
    if (h == nullptr || h->fp == nullptr)
        return VTEXT_FAILED(tag, tag, VTEXT_BAD_HANDLE);
    if (h->read_only)
        return VTEXT_FAILED(tag, tag, VTEXT_WRITE_FAILED);
    if (index < 0) // names no record; never the first one
        return VTEXT_FAILED(tag, tag, VTEXT_NO_RECORD);
    std::string path;
    FILE *out = nullptr;
    int rc = create_working(h->target, path, &out, tag);
    if (rc != 0)
        return rc;
    rewind_handle(h);
    try {
        rc = put_into(h, out, index, replace, item, tag);
    } catch (const std::bad_alloc &) {
        rc = VTEXT_FAILED(tag, "new", VTEXT_NO_MEMORY);
    }
    if (rc != 0) {
        discard_working(out, path);
        return rc;
    }
    discard_working(h->fp, h->work);
    h->fp = out;
    h->work.swap(path);
    rewind_handle(h);
    return VTEXT_OK;
}

extern "C" ZTBASE_API int vtext_insert_item(vtext_handle *h, int index, void *item) {
    return vtext_put_item(h, index, 0, item);
}

extern "C" ZTBASE_API int vtext_replace_item(vtext_handle *h, int index, void *item) {
    return vtext_put_item(h, index, 1, item);
}

extern "C" ZTBASE_API int vtext_delete_item(vtext_handle *h, int index) {
    return vtext_put_item(h, index, 0, nullptr);
}

extern "C" ZTBASE_API int vtext_append_item(vtext_handle *h, void *item) {
    return vtext_put_item(h, kAppendIndex, 0, item);
}
