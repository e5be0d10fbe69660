// The user's private directory: where the PKCS#11 module's lock file and the
// card state tables live on POSIX systems.
#pragma once
#if !defined(_WIN32)
#include <string>

#include "vorn/result.h"

// The directory: $XDG_RUNTIME_DIR when set, else "vorn-<euid>" below $TMPDIR
// (when set), /dev/shm (when it exists) or /tmp. Empty when XDG_RUNTIME_DIR
// is set but not an absolute path.
std::string plat_user_dir_path();

// Opens `name` (one path component) read-write in the user's directory,
// creating the fallback directory (0700) and the file (0600) when missing.
// Returns the descriptor (close-on-exec) or -1 with errno set. Refused, with
// nothing created: a directory or file that is a symbolic link (ELOOP), not
// owned by the effective user or open to group or others (EPERM), not a
// directory or not a regular file (ENOTDIR, EPERM).
int plat_user_file_open(const char* name);

// Removes `name` from the user's directory; a missing file is no error.
vorn_rv plat_user_file_unlink(const char* name);
#endif
