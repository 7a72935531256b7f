// zt ul: the unified log's records (read like a journal), their removal by
// query, and the settings in force for an originator.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <ztbase/dates.h>
#include <ztbase/ztlogger.h>

#include "commands.h"
#include "logging/ul_internal.h"

namespace zt {
namespace {

bool parse_number(const char *s, long max, long &out) {
    if (s == nullptr || *s == '\0')
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > max)
        return false;
    out = v;
    return true;
}

// Seconds since 1970, or a date as zt date takes it (the start of its day).
bool parse_since(const char *s, int64_t &out) {
    long secs = 0;
    if (parse_number(s, LONG_MAX, secs)) {
        out = secs;
        return true;
    }
    std::string copy(s);
    time_t t = 0;
    if (convert2unixdate(copy.data(), &t, 1) != 1)
        return false;
    out = t;
    return true;
}

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

int show(int argc, char **argv) {
    long product = -1, originator = -1;
    int64_t since = 0;
    bool follow = false;
    const char *locale = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(arg, "--follow") == 0 || strcmp(arg, "-f") == 0) {
            follow = true;
            continue;
        }
        bool ok = false;
        if (strcmp(arg, "--product") == 0)
            ok = parse_number(value, LONG_MAX, product);
        else if (strcmp(arg, "--originator") == 0)
            ok = parse_number(value, LONG_MAX, originator);
        else if (strcmp(arg, "--since") == 0)
            ok = value != nullptr && parse_since(value, since);
        else if (strcmp(arg, "--locale") == 0)
            ok = value != nullptr && *value != '\0' && (locale = value) != nullptr;
        else
            return bad_args("ul", "show", ("'" + std::string(arg) + "': unknown option").c_str());
        if (!ok)
            return bad_args("ul", "show",
                            ("'" + std::string(arg) + "' needs " +
                             (strcmp(arg, "--since") == 0
                                  ? "a time: seconds since 1970 or MM/DD/YYYY [HH:MM[:SS]]"
                              : strcmp(arg, "--locale") == 0 ? "a LOCALE"
                                                             : "a number"))
                                .c_str());
        ++i;
    }
    ztbase::ul::sync_paths();
    hlvnLogReader *reader = nullptr;
    if (hlvnLogReaderOpen(product, originator, since * 1000, &reader) != HLVN_OK) {
        fprintf(stderr, "zt ul show: out of memory\n");
        return 1;
    }
    hlvnLogReaderSetFollow(reader, follow ? 1 : 0);
    static char buffer[1 << 16];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    if (follow) {
        signal(SIGINT, on_signal);
        signal(SIGTERM, on_signal);
    }
    int rc = 0;
    while (!g_stop) {
        const hlvnLogRecord *record = nullptr;
        const int got = hlvnLogReaderNext(reader, &record);
        if (got == HLVN_E_NOMORE) {
            if (!follow)
                break;
            if (fflush(stdout) != 0)
                break;
            usleep(200 * 1000);
            continue;
        }
        if (got != HLVN_OK) {
            fprintf(stderr, "zt ul show: cannot read the records (%d)\n", got);
            rc = 1;
            break;
        }
        char *line = nullptr;
        if (formatULmsg(record, &line, locale) != 0)
            continue;
        fputs(line, stdout);
        putc('\n', stdout);
        free(line);
        if (ferror(stdout))
            break;
    }
    const long skipped = hlvnLogReaderSkipped(reader);
    hlvnLogReaderClose(reader);
    if (skipped > 0)
        fprintf(stderr, "zt ul show: %ld line%s that %s not records skipped\n", skipped,
                skipped == 1 ? "" : "s", skipped == 1 ? "was" : "were");
    return rc;
}

int delete_files(int argc, char **argv) {
    if (argc != 2)
        return bad_args("ul", "delete", argc < 2 ? "no QUERY given" : "one QUERY only");
    ztbase::ul::sync_paths();
    hlvnLogQuery *query = nullptr;
    if (hlvnLogMgrCreateQuery(argv[1], &query) != HLVN_OK)
        return bad_args("ul", "delete",
                        ("'" + std::string(argv[1]) +
                         "': not a query (e.g. \"(ENDATE <= 1796860800) && (ORIGID = 137)\")")
                            .c_str());
    // The files it selects, named before they go.
    char path[PATH_MAX];
    int count = 0;
    while (hlvnLogMgrFetch(query, path, sizeof path) == HLVN_OK) {
        printf("%s\n", path);
        ++count;
    }
    hlvnLogMgrDestroyQuery(query);
    const int rc = hxlogmgr_delete(argv[1]);
    if (rc != HLVN_E_NOMORE) {
        fprintf(stderr, "zt ul delete: stopped with status %d\n", rc);
        return 1;
    }
    fprintf(stderr, "zt ul delete: %d file%s deleted\n", count, count == 1 ? "" : "s");
    return 0;
}

void report_bad_line(void *context, int line, const char *text) {
    fprintf(stderr, "%s:%d: not taken: %s\n", static_cast<const char *>(context), line, text);
}

int config(int argc, char **argv) {
    long product = long(ZT_UL_PRODUCT), originator = 0;
    bool have_originator = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--product") == 0 && i + 1 < argc &&
            parse_number(argv[i + 1], LONG_MAX, product)) {
            ++i;
        } else if (!have_originator && parse_number(argv[i], LONG_MAX, originator)) {
            have_originator = true;
        } else {
            return bad_args("ul", "config",
                            ("'" + std::string(argv[i]) + "': " +
                             (argv[i][0] == '-' ? "unknown option or missing number"
                                                : "not an originator number"))
                                .c_str());
        }
    }
    ztbase::ul::sync_paths();
    const std::string file = hlvnLogGetConfigFile();
    hlvnLogCfg *cfg = nullptr;
    const int rc = hlvnLogReadCfg(static_cast<unsigned long>(product),
                                  static_cast<unsigned long>(originator), &cfg);
    if (rc != HLVN_OK) {
        fprintf(stderr, "zt ul config: %s: cannot be read (status %d)\n", file.c_str(), rc);
        return 1;
    }
    hlvnLogCheckCfg(report_bad_line, const_cast<char *>(file.c_str()));
    printf("# configuration file %s%s\n", file.c_str(),
           access(file.c_str(), F_OK) == 0 ? "" : " (missing: defaults)");
    printf("# logs directory %s\n", hlvnLogGetLogsDir());
    if (have_originator)
        printf("# product %ld, originator %ld\n", product, originator);
    else
        printf("# product %ld (no originator given)\n", product);
    int debug = 0, recycling = 0;
    hlvnLogDiagLevel_t diag = 0;
    long size = 0, files = 0;
    hlvnLogCfgGetDebugLevel(cfg, &debug);
    hlvnLogCfgGetDiagLevel(cfg, &diag);
    hlvnLogCfgGetMaxFileSize(cfg, &size);
    hlvnLogCfgGetNumberOfLogFiles(cfg, &files);
    hlvnLogCfgGetRecycling(cfg, &recycling);
    printf("DebugLevel = %d\nDiagLevel = %d\nMaxFileSize = %ld\nNumberOfLogFiles = %ld\n"
           "Recycling = %d\n",
           debug, diag, size, files, recycling);
    const struct {
        const char *name;
        int (*get)(const hlvnLogCfg *, const char **);
    } texts[] = {{"L10NResourceDir", hlvnLogCfgGetL10NResourceDir},
                 {"L10NResource", hlvnLogCfgGetL10NResource},
                 {"L10NLibrary", hlvnLogCfgGetL10NLibrary}};
    for (const auto &t : texts) {
        const char *value = nullptr;
        if (t.get(cfg, &value) == HLVN_OK)
            printf("%s = %s\n", t.name, value);
        else
            printf("# %s not set\n", t.name);
    }
    hlvnLogFreeCfg(cfg);
    return 0;
}

} // namespace

int cmd_ul(int argc, char **argv) {
    if (argc < 1)
        return bad_args("ul", nullptr, "no subcommand given");
    if (strcmp(argv[0], "show") == 0)
        return show(argc, argv);
    if (strcmp(argv[0], "delete") == 0)
        return delete_files(argc, argv);
    if (strcmp(argv[0], "config") == 0)
        return config(argc, argv);
    return bad_args("ul", nullptr, ("unknown subcommand " + std::string(argv[0])).c_str());
}

} // namespace zt
