// Queries over record files: a small expression language (hxul.h) parsed
// into a tree, evaluated against each file's attributes.
#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "hxul_internal.h"
#include "platform/posix_io.h"

namespace {

constexpr size_t kMaxQuery = 4096;
constexpr int kMaxDepth = 64;

enum class Attr { EndDate, StartDate, ProdId, OrigId, Size };
enum class Op { Lt, Le, Gt, Ge, Eq, Ne, And, Or, Not, Value, Attr };

struct Node {
    Op op = Op::Value;
    int64_t value = 0;
    Attr attr = Attr::EndDate;
    std::unique_ptr<Node> a, b;
};

struct FileAttrs {
    int64_t end = 0, start = 0, size = 0;
    unsigned long product = 0, originator = 0;
};

class Parser {
  public:
    explicit Parser(std::string_view text) : s_(text) {}

    std::unique_ptr<Node> parse() {
        auto n = disjunction(0);
        skip();
        if (n == nullptr || pos_ != s_.size())
            return nullptr;
        return n;
    }
    bool uses_start() const { return uses_start_; }

  private:
    void skip() {
        while (pos_ < s_.size() && isspace(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
    }
    bool take(const char *tok) {
        skip();
        const size_t n = strlen(tok);
        if (s_.compare(pos_, n, tok) != 0)
            return false;
        pos_ += n;
        return true;
    }
    std::unique_ptr<Node> binary(Op op, std::unique_ptr<Node> a, std::unique_ptr<Node> b) {
        if (a == nullptr || b == nullptr)
            return nullptr;
        auto n = std::make_unique<Node>();
        n->op = op;
        n->a = std::move(a);
        n->b = std::move(b);
        return n;
    }
    std::unique_ptr<Node> disjunction(int depth) {
        if (depth > kMaxDepth)
            return nullptr;
        auto n = conjunction(depth);
        while (n != nullptr && take("||"))
            n = binary(Op::Or, std::move(n), conjunction(depth));
        return n;
    }
    std::unique_ptr<Node> conjunction(int depth) {
        auto n = unary(depth);
        while (n != nullptr && take("&&"))
            n = binary(Op::And, std::move(n), unary(depth));
        return n;
    }
    std::unique_ptr<Node> unary(int depth) {
        if (depth > kMaxDepth)
            return nullptr;
        skip();
        if (pos_ < s_.size() && s_[pos_] == '!' && s_.compare(pos_, 2, "!=") != 0) {
            ++pos_;
            auto inner = unary(depth + 1);
            if (inner == nullptr)
                return nullptr;
            auto n = std::make_unique<Node>();
            n->op = Op::Not;
            n->a = std::move(inner);
            return n;
        }
        if (take("(")) {
            auto n = disjunction(depth + 1);
            if (n == nullptr || !take(")"))
                return nullptr;
            return n;
        }
        return comparison();
    }
    std::unique_ptr<Node> comparison() {
        auto a = operand();
        if (a == nullptr)
            return nullptr;
        Op op;
        if (take("<="))
            op = Op::Le;
        else if (take(">="))
            op = Op::Ge;
        else if (take("=="))
            op = Op::Eq;
        else if (take("!="))
            op = Op::Ne;
        else if (take("<"))
            op = Op::Lt;
        else if (take(">"))
            op = Op::Gt;
        else if (take("="))
            op = Op::Eq;
        else
            return nullptr;
        return binary(op, std::move(a), operand());
    }
    std::unique_ptr<Node> operand() {
        skip();
        auto n = std::make_unique<Node>();
        size_t start = pos_;
        if (pos_ < s_.size() && (s_[pos_] == '-' || isdigit(static_cast<unsigned char>(s_[pos_])))) {
            const bool neg = s_[pos_] == '-';
            if (neg)
                ++pos_;
            int digits = 0;
            uint64_t v = 0;
            while (pos_ < s_.size() && isdigit(static_cast<unsigned char>(s_[pos_]))) {
                if (++digits > 18)
                    return nullptr;
                v = v * 10 + uint64_t(s_[pos_++] - '0');
            }
            if (digits == 0)
                return nullptr;
            n->op = Op::Value;
            n->value = neg ? -int64_t(v) : int64_t(v);
            return n;
        }
        while (pos_ < s_.size() && isalpha(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
        const std::string_view word = s_.substr(start, pos_ - start);
        n->op = Op::Attr;
        if (word == "ENDATE")
            n->attr = Attr::EndDate;
        else if (word == "STARTDATE")
            n->attr = Attr::StartDate, uses_start_ = true;
        else if (word == "PRODID")
            n->attr = Attr::ProdId;
        else if (word == "ORIGID")
            n->attr = Attr::OrigId;
        else if (word == "SIZE")
            n->attr = Attr::Size;
        else
            return nullptr;
        return n;
    }

    std::string_view s_;
    size_t pos_ = 0;
    bool uses_start_ = false;
};

int64_t value_of(const Node &n, const FileAttrs &f) {
    if (n.op == Op::Value)
        return n.value;
    switch (n.attr) {
    case Attr::EndDate: return f.end;
    case Attr::StartDate: return f.start;
    case Attr::ProdId: return int64_t(f.product);
    case Attr::OrigId: return int64_t(f.originator);
    case Attr::Size: return f.size;
    }
    return 0;
}

bool eval(const Node &n, const FileAttrs &f) {
    switch (n.op) {
    case Op::And: return eval(*n.a, f) && eval(*n.b, f);
    case Op::Or: return eval(*n.a, f) || eval(*n.b, f);
    case Op::Not: return !eval(*n.a, f);
    case Op::Lt: return value_of(*n.a, f) < value_of(*n.b, f);
    case Op::Le: return value_of(*n.a, f) <= value_of(*n.b, f);
    case Op::Gt: return value_of(*n.a, f) > value_of(*n.b, f);
    case Op::Ge: return value_of(*n.a, f) >= value_of(*n.b, f);
    case Op::Eq: return value_of(*n.a, f) == value_of(*n.b, f);
    case Op::Ne: return value_of(*n.a, f) != value_of(*n.b, f);
    default: return false;
    }
}

// Time of the first record of a file, in seconds; -1 when none is found in
// its first 512 KiB.
int64_t first_record_time(const std::string &path) {
    ztbase::pio::Fd fd = ztbase::pio::open_for_reading(path.c_str(), ztbase::pio::ReadPolicy{true});
    if (!fd)
        return -1;
    std::string buf(512 * 1024, '\0');
    size_t got = 0;
    ztbase::pio::read_all(fd.get(), buf.data(), buf.size(), &got);
    std::string_view all(buf.data(), got);
    hlvnLogRecord rec;
    while (!all.empty()) {
        const size_t nl = all.find('\n');
        if (nl == std::string_view::npos)
            break;
        const std::string_view line = all.substr(0, nl);
        all.remove_prefix(nl + 1);
        if (!line.empty() && line[0] != '#' && hxul::parse_or_resync(line, rec))
            return rec.time_ms / 1000;
    }
    return -1;
}

} // namespace

struct hlvnLogQuery {
    std::unique_ptr<Node> root;
    bool uses_start = false;
    bool listed = false;
    std::vector<std::pair<std::string, FileAttrs>> files;
    size_t next = 0;
    std::string fetched;
};

namespace hxul {
// Parses a query text; nullptr when it does not parse. For the fuzz target.
bool query_parses(std::string_view text) {
    if (text.size() > kMaxQuery)
        return false;
    return Parser(text).parse() != nullptr;
}
} // namespace hxul

namespace {
bool is_real_dir(const std::string &path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}
} // namespace

extern "C" {

HXUL_API int hlvnLogMgrCreateQuery(const char *text, hlvnLogQuery **query) {
    if (query == nullptr)
        return HLVN_E_PARAM;
    *query = nullptr;
    if (text == nullptr)
        return HLVN_E_PARAM;
    try {
        const std::string_view t(text);
        if (t.size() > kMaxQuery)
            return HLVN_E_BADQUERY;
        Parser p(t);
        auto root = p.parse();
        if (root == nullptr)
            return HLVN_E_BADQUERY;
        auto *q = new hlvnLogQuery;
        q->root = std::move(root);
        q->uses_start = p.uses_start();
        *query = q;
        return HLVN_OK;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogMgrFetch(hlvnLogQuery *q, char *buf, size_t size) {
    if (q == nullptr || buf == nullptr || size == 0)
        return HLVN_E_PARAM;
    try {
        if (!q->listed) {
            q->listed = true;
            const std::string root = hxul::logs_dir();
            // The layout: ROOT/PRODUCT/ORIGINATOR/NAME-SEQ.log.
            DIR *pd = opendir(root.c_str());
            while (pd != nullptr) {
                const dirent *pe = readdir(pd);
                if (pe == nullptr)
                    break;
                char *end = nullptr;
                const unsigned long product = strtoul(pe->d_name, &end, 10);
                if (!isdigit(static_cast<unsigned char>(pe->d_name[0])) || *end != '\0')
                    continue;
                const std::string pdir = root + "/" + pe->d_name;
                // Only real directories: a planted link must not lead a delete
                // query out of the log tree.
                if (!is_real_dir(pdir))
                    continue;
                DIR *od = opendir(pdir.c_str());
                while (od != nullptr) {
                    const dirent *oe = readdir(od);
                    if (oe == nullptr)
                        break;
                    const unsigned long originator = strtoul(oe->d_name, &end, 10);
                    if (!isdigit(static_cast<unsigned char>(oe->d_name[0])) || *end != '\0')
                        continue;
                    const std::string odir = pdir + "/" + oe->d_name;
                    if (!is_real_dir(odir))
                        continue;
                    for (const hxul::LogFile &f : hxul::list_log_files(odir, nullptr)) {
                        const std::string path = odir + "/" + f.name;
                        struct stat sb;
                        if (lstat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
                            continue;
                        FileAttrs a;
                        a.end = sb.st_mtim.tv_sec;
                        a.size = sb.st_size;
                        a.product = product;
                        a.originator = originator;
                        a.start = a.end;
                        if (q->uses_start) {
                            const int64_t t = first_record_time(path);
                            if (t >= 0)
                                a.start = t;
                        }
                        q->files.emplace_back(path, a);
                    }
                }
                if (od != nullptr)
                    closedir(od);
            }
            if (pd != nullptr)
                closedir(pd);
        }
        while (q->next < q->files.size()) {
            const auto &[path, attrs] = q->files[q->next++];
            if (!eval(*q->root, attrs))
                continue;
            if (path.size() + 1 > size)
                return HLVN_E_PARAM;
            memcpy(buf, path.c_str(), path.size() + 1);
            q->fetched = path;
            return HLVN_OK;
        }
        q->fetched.clear();
        return HLVN_E_NOMORE;
    } catch (...) {
        return HLVN_E_NOMEM;
    }
}

HXUL_API int hlvnLogMgrDelete(hlvnLogQuery *q) {
    if (q == nullptr || q->fetched.empty())
        return HLVN_E_PARAM;
    if (unlink(q->fetched.c_str()) != 0 && errno != ENOENT)
        return HLVN_E_IO;
    q->fetched.clear();
    return HLVN_OK;
}

HXUL_API int hlvnLogMgrDestroyQuery(hlvnLogQuery *q) {
    delete q;
    return HLVN_OK;
}

} // extern "C"
