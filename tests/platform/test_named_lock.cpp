// The named cross-process lock: recursion, other threads and processes kept
// out, a forked child's lock of its own, and the refused directory.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "vorn/named_lock.h"

namespace {

std::string private_dir() {
  char tmpl[] = "/tmp/vorn-lock-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d == nullptr ? std::string() : std::string(d);
}

vorn_rv try_from_other_thread(vorn::NamedLock& l) {
  vorn_rv rv = 0;
  std::thread t([&] {
    rv = l.try_lock();
    if (rv == VORN_OK) l.unlock();
  });
  t.join();
  return rv;
}

TEST(NamedLock, RecursiveForItsThreadExclusiveForOthers) {
  std::string dir = private_dir();
  ASSERT_FALSE(dir.empty());
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  vorn::NamedLock l;
  EXPECT_EQ(l.lock(), PLATERR_LOCK_NOT_OPEN);
  ASSERT_EQ(l.open("t.lock", vorn::LockScope::user_only), VORN_OK);
  EXPECT_EQ(l.unlock(), PLATERR_LOCK_NOT_HELD);
  ASSERT_EQ(l.lock(), VORN_OK);
  ASSERT_EQ(l.try_lock(), VORN_OK);  // second level
  EXPECT_EQ(try_from_other_thread(l), PLATERR_LOCK_BUSY);
  // A second object on the same file (another open file) stands for another process.
  vorn::NamedLock other;
  ASSERT_EQ(other.open("t.lock", vorn::LockScope::user_only), VORN_OK);
  EXPECT_EQ(other.try_lock(), PLATERR_LOCK_BUSY);
  EXPECT_EQ(l.unlock(), VORN_OK);
  EXPECT_EQ(other.try_lock(), PLATERR_LOCK_BUSY) << "one level is still held";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child's copy is the parent's open file: it must drop it, and then
    // finds the lock taken until the parent lets go.
    l.forget_after_fork();
    if (l.is_open() || l.held()) _exit(1);
    if (l.open("t.lock", vorn::LockScope::user_only) != VORN_OK) _exit(2);
    _exit(l.try_lock() == PLATERR_LOCK_BUSY ? 0 : 3);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_EQ(l.unlock(), VORN_OK);
  EXPECT_FALSE(l.held());
  EXPECT_EQ(other.try_lock(), VORN_OK);
  EXPECT_EQ(other.unlock(), VORN_OK);
  EXPECT_EQ(try_from_other_thread(l), VORN_OK);
  l.close();
  // A directory open to the group is refused, and nothing is made in it.
  ASSERT_EQ(chmod(dir.c_str(), 0750), 0);
  vorn::NamedLock refused;
  EXPECT_EQ(refused.open("u.lock", vorn::LockScope::user_only), PLATERR_LOCK);
  EXPECT_FALSE(refused.is_open());
  struct stat sb {};
  EXPECT_NE(stat((dir + "/u.lock").c_str(), &sb), 0);
}

}  // namespace
