// zt demo: the unified log. Records of three kinds, read back as lines in two
// languages, and a legacy log line arriving after the redirection.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include <ztbase/debuglog.h>
#include <ztbase/paths.h>
#include <ztbase/ztlogger.h>

#include "commands.h"
#include "logging/ul_internal.h"

namespace zt {
namespace {

constexpr unsigned long kDemoOriginator = 140;

// The localisation library and catalogues: in the build tree, else installed.
std::string first_existing(std::initializer_list<const char *> paths) {
    for (const char *p : paths)
        if (std::filesystem::exists(p))
            return p;
    return std::string();
}

void show_records(const char *locale) {
    hlvnLogReader *reader = nullptr;
    hlvnLogReaderOpen(long(ZT_UL_PRODUCT), long(kDemoOriginator), 0, &reader);
    const hlvnLogRecord *record = nullptr;
    while (hlvnLogReaderNext(reader, &record) == HLVN_OK) {
        char *line = nullptr;
        if (formatULmsg(record, &line, locale) == 0)
            printf("    %s\n", line);
        free(line);
    }
    hlvnLogReaderClose(reader);
}

} // namespace

void demo_ul() {
    printf("\n== The unified log ==\n");
    const std::string conf = getFennicString("HXUL_CONF_FILE");
    std::filesystem::create_directories(std::filesystem::path(conf).parent_path());
    const std::string lib = first_existing({ZT_HXLIS_LIBRARY, ZT_INSTALLED_HXLIS_LIBRARY});
    const std::string cat = first_existing({ZT_CATALOG_DIR, ZT_INSTALLED_CATALOG_DIR});
    std::ofstream(conf) << "[*]\nDebugLevel = 6\nDiagLevel = 6\n[51216.140]\nL10NLibrary = " << lib
                        << "\nL10NResource = ztmsg\nL10NResourceDir = " << cat << "\n";
    printf("  settings in %s (the catalogue's library and directory shown by name):\n",
           conf.c_str());
    std::ifstream in(conf);
    for (std::string line; std::getline(in, line);) {
        const size_t slash = line.rfind('/');
        const size_t eq = line.find(" = /");
        if (eq != std::string::npos && slash != std::string::npos)
            line = line.substr(0, eq + 3) + ".../" + line.substr(slash + 1);
        printf("    %s\n", line.c_str());
    }

    {
        ZTLogger logger(kDemoOriginator);
        logger.setVerbosity(2);
        logger.logDebug("demo_ul", 1, "a debug record: plain text, kept up to the debug level");
        logger.logDiag("demo_ul", 1, Halvane::L10N::Lis(1003, "sda").add("2 GB"));
        logger.logApp("demo_ul", HLVN_SEV_WARNING, Halvane::L10N::Lis(1002, "client1").add("0"));

        const std::string dir = std::string(getFennicString("HXUL_LOGS")) + "/51216/140";
        printf("  one line per record in %s/hxul-1.log (tab-separated: time, kind, level,\n"
               "  product, originator, pid, tid, who, message id, count, text or arguments):\n",
               dir.c_str());
        std::ifstream file(dir + "/hxul-1.log");
        for (std::string line; std::getline(file, line);)
            printf("    %s\n", line.c_str());
        printf("  read back through formatULmsg in English (zt ul show):\n");
        show_records("en");
        printf("  and in German (zt ul show --locale de):\n");
        show_records("de");

        // The legacy log, redirected into this logger: no debug log file needed.
        const bool had_fd = debugFD != -1;
        ZTLogger::RedirectLegacyLogToZTLogger();
        logmsg(ZTLOG_INFO, "a legacy logmsg line, redirected", "demo_legacy");
        log_set_callback_no_logging(nullptr, nullptr, nullptr);
        ztbase::ul::set_legacy_redirected(false);
        if (!had_fd && debugFD != -1) {
            close(debugFD);
            debugFD = -1;
        }
        printf("  after RedirectLegacyLogToZTLogger, logmsg(4, ...) lands in the unified log:\n");
        hlvnLogReader *reader = nullptr;
        hlvnLogReaderOpen(long(ZT_UL_PRODUCT), long(kDemoOriginator), 0, &reader);
        const hlvnLogRecord *record = nullptr;
        std::string last;
        while (hlvnLogReaderNext(reader, &record) == HLVN_OK) {
            char *line = nullptr;
            if (formatULmsg(record, &line, "en") == 0)
                last = line;
            free(line);
        }
        hlvnLogReaderClose(reader);
        printf("    %s\n", last.c_str());
    }
}

} // namespace zt
