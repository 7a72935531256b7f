// zt demo sections of the message catalogues and of the file locks.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <ztbase/dates.h>
#include <ztbase/filelock.h>
#include <ztbase/messages.h>
#include <ztbase/paths.h>
#include <ztbase/status.h>

#include "commands.h"
#include "platform/registry/registry.h"

namespace zt {
namespace {

void heading(const char *title) {
    printf("\n== %s ==\n", title);
}

// The sample catalogues: beside the sources in a build tree, else installed.
std::string sample_dir() {
    for (const char *dir : {ZT_SAMPLE_MSG_DIR, ZT_INSTALLED_MSG_DIR})
        if (std::filesystem::is_directory(dir))
            return dir;
    return std::string();
}

void show_message(const char *id, const char *locale) {
    char out[256];
    qlgetmsg(id, locale, sizeof out, out, nullptr, 0, nullptr, "Backup of %s finished: %d files",
             "Projects", 1234);
    printf("  qlgetmsg(\"%s\", \"%s\", ..., \"Backup of %%s finished: %%d files\", \"Projects\", "
           "1234)\n    = \"%s\"\n",
           id, locale, out);
}

} // namespace

void demo_messages() {
    heading("Localised messages");
    const std::string samples = sample_dir();
    const std::string msg_dir = getFennicString("MSG_DIR");
    std::error_code ec;
    std::filesystem::create_directories(msg_dir, ec);
    std::filesystem::copy(samples, msg_dir, std::filesystem::copy_options::recursive, ec);
    if (samples.empty() || ec) {
        printf("  the sample catalogues cannot be copied to %s\n", msg_dir.c_str());
        return;
    }
    printf("  sample catalogues copied to MSG_DIR = %s; the locale file %s:\n", msg_dir.c_str(),
           getFennicString("LOCALE_FILE"));
    std::ifstream in(getFennicString("LOCALE_FILE"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("#", 0) != 0)
            printf("    %s\n", line.c_str());
    for (const char *locale : {"C", "de", "ja", "fr"})
        show_message("CerDem0001N", locale);
    char out[256];
    qlgetmsg_errno("CerDem0002N", "de", sizeof out, out, nullptr, 0, nullptr, ENOENT,
                   "cannot read %s: %%s", "notes.txt");
    printf("  qlgetmsg_errno(\"CerDem0002N\", \"de\", ..., ENOENT, \"cannot read %%s: %%%%s\") = "
           "\"%s\"\n",
           out);
    printf("  getLocalMsgFmtUMI(\"de\", \"V-79-57344-33967\") = \"%s\"  (TrbErr%lluN)\n",
           getLocalMsgFmtUMI("de", "V-79-57344-33967"), 0xE00084AFULL);
    printf("  getECmsgl(36, \"de\") = \"%s\"\n", getECmsgl(36, "de"));
    printf("  getdstring(\"de\") = \"%s\", gettstring(\"ja\") = \"%s\"\n", getdstring("de"),
           gettstring("ja"));

    // A catalogue may not ask for arguments its caller never passed.
    std::filesystem::create_directories(msg_dir + "/xx/zentor", ec);
    std::ofstream(msg_dir + "/xx/zentor/CerMsgs") << "CerDem0001N \"%s %s %s %n\"\n";
    show_message("CerDem0001N", "xx");
    printf("    (the text in locale xx wants four arguments and writes through one: refused)\n");

    char common[64], note[256];
    real2commonlocale("de_DE.utf8", common, sizeof common, note, sizeof note);
    printf("  common2reallocale(\"japanese\") = \"%s\", real2commonlocale(\"de_DE.utf8\") = "
           "\"%s\", real2oraclelocale(\"de\") = \"%s\"\n",
           common2reallocale("japanese"), common, real2oraclelocale("de"));
    if (real2commonlocale("fr_FR.UTF-8", common, sizeof common, note, sizeof note) != 0)
        printf("  real2commonlocale(\"fr_FR.UTF-8\") = -1: %s\n", note);
    using namespace ztbase::registry;
    Key key;
    if (Key::create(Root::LocalMachine, "SOFTWARE\\Halvane\\Zentor\\CurrentVersion", key) ==
            Status::Ok &&
        key.set(Value::dword("Locale", 0x0407)) == Status::Ok) {
        char abbreviation[8] = "", lc_messages[64] = "";
        getregistrylocale(abbreviation, sizeof abbreviation);
        qlgetlocaleEx(sizeof lc_messages, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                      lc_messages);
        printf("  registry Locale = 0x0407: getregistrylocale = \"%s\", qlgetlocaleEx LC_MESSAGES "
               "= \"%s\"\n",
               abbreviation, lc_messages);
        key.remove_value("Locale");
    }
}

void demo_file_locks(const std::string &root) {
    heading("File locks");
    const std::string path = root + "/demo.lock";
    int ready[2];
    if (pipe(ready) != 0)
        return;
    const pid_t child = fork();
    if (child == 0) {
        const char rc = static_cast<char>(acquireFileLock(path.c_str(), FILELOCK_WRITE, -1, 10));
        if (write(ready[1], &rc, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    char rc = -1;
    close(ready[1]);
    if (read(ready[0], &rc, 1) != 1 || rc != 0) {
        printf("  the child could not take the lock\n");
        close(ready[0]);
        return;
    }
    close(ready[0]);
    std::ifstream holder(path);
    std::string line;
    std::getline(holder, line);
    printf("  process %d holds a write lock on %s; the file starts \"%s\"\n",
           static_cast<int>(child), path.c_str(), line.c_str());
    const int refused = acquireFileLock(path.c_str(), FILELOCK_READ, 3, 20);
    printf("  acquireFileLock(read, 3 attempts, 20 ms) = %d (%s)\n", refused, getECmsg(refused));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    printf("  the holder is killed with SIGKILL; its lock went with it:\n");
    int granted[2] = {-1, -1};
    std::thread a([&] { granted[0] = acquireFileLock(path.c_str(), FILELOCK_READ, 3, 20); });
    std::thread b([&] { granted[1] = acquireFileLock(path.c_str(), FILELOCK_READ, 3, 20); });
    a.join();
    b.join();
    printf("  two threads take read locks: %d and %d; a write lock meanwhile: %d\n", granted[0],
           granted[1], acquireFileLock(path.c_str(), FILELOCK_WRITE, 1, 10));
    releaseFileLock(path.c_str(), FILELOCK_READ);
    releaseFileLock(path.c_str(), FILELOCK_READ);
    printf("  both released; releasing once more: %d (%s)\n",
           releaseFileLock(path.c_str(), FILELOCK_READ), getECmsg(9102));
    printf("  zt lock %s write -- echo ...:\n", path.c_str());
    fflush(stdout);
    const pid_t tool = fork();
    if (tool == 0) {
        execl("/proc/self/exe", "zt", "lock", path.c_str(), "write", "--", "sh", "-c",
              "echo \"    running under the lock: $(head -c 17 \"$0\")\"", path.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    waitpid(tool, nullptr, 0);
}

} // namespace zt
