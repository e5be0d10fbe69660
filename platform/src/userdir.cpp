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
#else
#include "vorn/userdir.h"
// after windows.h
#include <aclapi.h>

bool plat_user_security(PlatUserSecurity& out) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD len = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &len);
  std::vector<std::uint8_t> info(len);
  bool ok = len != 0 && GetTokenInformation(token, TokenUser, info.data(), len, &len);
  CloseHandle(token);
  if (!ok) return false;
  PSID user = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
  out.sid.assign(GetLengthSid(user), 0);
  PSID sid = out.sid.data();
  if (!CopySid(static_cast<DWORD>(out.sid.size()), sid, user)) return false;
  DWORD acl_len = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
  out.acl.assign(acl_len, 0);
  auto* acl = reinterpret_cast<PACL>(out.acl.data());
  if (!InitializeAcl(acl, acl_len, ACL_REVISION) || !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) ||
      !InitializeSecurityDescriptor(&out.sd, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&out.sd, TRUE, acl, FALSE) || !SetSecurityDescriptorOwner(&out.sd, sid, FALSE)) {
    return false;
  }
  out.sa = SECURITY_ATTRIBUTES{sizeof out.sa, &out.sd, FALSE};
  return true;
}

bool plat_object_is_users(HANDLE h, const PlatUserSecurity& sec) {
  PSID sid = const_cast<std::uint8_t*>(sec.sid.data());
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = owner != nullptr && EqualSid(owner, sid) && dacl != nullptr && dacl->AceCount > 0;
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ok = GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
         EqualSid(reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart), sid);
  }
  LocalFree(sd);
  return ok;
}
#endif
