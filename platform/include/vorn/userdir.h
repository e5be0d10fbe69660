// The user's private directory: where the PKCS#11 module's lock file and the
// card state tables live on POSIX systems. On Windows: security attributes
// for named objects that only the current user may open.
#pragma once
#if defined(_WIN32)
#include <windows.h>

#include <cstdint>
#include <vector>

// Security attributes granting the current user alone: the user's SID as
// owner and as the one ACE (GENERIC_ALL) of the DACL. Pass `sa` to
// CreateMutexW / CreateFileMappingW. Not copyable: `sa` points into it.
struct PlatUserSecurity {
  std::vector<std::uint8_t> sid;
  std::vector<std::uint8_t> acl;
  SECURITY_DESCRIPTOR sd{};
  SECURITY_ATTRIBUTES sa{};
  PlatUserSecurity() = default;
  PlatUserSecurity(const PlatUserSecurity&) = delete;
  PlatUserSecurity& operator=(const PlatUserSecurity&) = delete;
};
// Fills `out` for the process token's user; false when the system refused.
bool plat_user_security(PlatUserSecurity& out);
// True when the kernel object's owner and every ACE of its DACL are the
// user's of `sec` (an object of the same name made by someone else is not).
bool plat_object_is_users(HANDLE h, const PlatUserSecurity& sec);
#else
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
