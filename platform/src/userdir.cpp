// The user's private directory. Every check is made on an open descriptor
// (O_NOFOLLOW, fstat, openat), so a link or directory swapped in between the
// check and the use is never followed.
#if !defined(_WIN32)
#include "vorn/userdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool owned_private(const struct stat& st) { return st.st_uid == geteuid() && (st.st_mode & 077) == 0; }

bool fallback_dir() {
  const char* run = std::getenv("XDG_RUNTIME_DIR");
  return run == nullptr || *run == '\0';
}

// Opens the directory (creating the fallback one); -1 with errno when it is
// missing or not the user's alone.
int dir_open() {
  std::string path = plat_user_dir_path();
  if (path.empty()) {
    errno = EINVAL;
    return -1;
  }
  if (fallback_dir() && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !owned_private(st)) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

bool name_ok(const char* name) {
  return name != nullptr && *name != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

}  // namespace

std::string plat_user_dir_path() {
  if (!fallback_dir()) {
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    return run[0] == '/' ? std::string(run) : std::string();
  }
  std::string base;
  const char* tmp = std::getenv("TMPDIR");
  struct stat st {};
  if (tmp != nullptr && tmp[0] == '/') {
    base = tmp;
  } else if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) {
    base = "/dev/shm";  // memory only: the tables carry session keys
  } else {
    base = "/tmp";
  }
  return base + "/vorn-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

int plat_user_file_open(const char* name) {
  if (!name_ok(name)) {
    errno = EINVAL;
    return -1;
  }
  int dir = dir_open();
  if (dir < 0) return -1;
  int fd = openat(dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  int err = errno;
  close(dir);
  if (fd < 0) {
    errno = err;
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !owned_private(st)) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

vorn_rv plat_user_file_unlink(const char* name) {
  if (!name_ok(name)) return CARDERR_BAD_ARG;
  int dir = dir_open();
  if (dir < 0) return CARDERR_UNKNOWN;
  int rv = unlinkat(dir, name, 0);
  int err = errno;
  close(dir);
  return (rv == 0 || err == ENOENT) ? VORN_OK : CARDERR_UNKNOWN;
}
#endif
