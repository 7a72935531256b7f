// Working files: the new text of a file is written beside it under a name of
// its own and renamed into place. A writer holds an exclusive flock on its
// working file from the moment the name exists until the rename, so that
// the next writer can tell a file whose writer is gone (killed mid-write)
// from one that a live process is writing, and remove the former.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace ztbase::working {

// Creates a new file from `tmpl`, whose last six characters before the last
// `suffix_length` are "XXXXXX" (as mkstemps takes them), with `mode`, opened
// O_RDWR | O_CLOEXEC and locked. Returns the descriptor (or -1 with errno)
// and the name in `tmpl`.
int create_locked(std::string &tmpl, int suffix_length, mode_t mode);

// Removes the files of `dir` whose names `is_working` accepts and whose
// writer is gone: a regular file nobody holds locked, unless it is empty and
// younger than two seconds (a writer between creating it and locking it).
// Returns how many it removed.
int remove_abandoned(const std::string &dir,
                     const std::function<bool(std::string_view name)> &is_working);

} // namespace ztbase::working
