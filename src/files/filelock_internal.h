// The lock-file layer shared by the plain lock functions and the lock objects:
// opening a lock file, locking and unlocking its range, the holder line.
#pragma once

namespace ztbase::filelock {

// Results of the lock calls (and the err values of the plain functions).
constexpr int kCannotLock = -1; // the file cannot be opened or locked at all
constexpr int kRefused = -2;    // another open of the file holds a conflicting lock
constexpr int kStale = -3;      // the path names another file by now (never returned outside)

enum class Wait { Yes, No };

// An open lock file.
struct OpenFile {
    int fd = -1;
    bool writable = false;
};

// Opens (creating) the lock file for lockType; a read lock falls back to a
// read-only open when the file may not be written. Failures are logged with
// `tag`; false with the errno value in *os_error.
bool open_lock_file(const char *path, int lockType, OpenFile &file, int *os_error, const char *tag);

// Locks the range of an open lock file. Once granted, the file must still
// have a name: a lock file removed, or replaced by a rename, in the meantime
// is locked in vain (others lock the new one), so the lock is dropped again
// and kStale returned. An exclusive lock
// then writes the holder line. Returns 0, kRefused, kStale or kCannotLock
// (errno value in *os_error).
int lock_open_file(const char *path, const OpenFile &file, int lockType, Wait wait, int *os_error,
                   const char *tag);

// Unlocks the range; 0 or the errno value.
int unlock_range(int fd);

// wait_lock / nowait_lock: open, lock, and open again when the lock file was
// replaced. Returns the descriptor or -1 with *err (kCannotLock or kRefused)
// and the errno value in *os_error.
int lock_file(const char *path, int lockType, Wait wait, int *err, int *os_error, const char *tag);

// Unlocks and closes; 0, or -1 with the errno value in *os_error.
int unlock_file(int fd, int *os_error);

} // namespace ztbase::filelock
