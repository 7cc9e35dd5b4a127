// Interface marks: one holder at a time, across ports of one process and
// across processes, and gone when the holder closes or dies however it dies.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/ifmark.h"

namespace {

std::string unique(const char* base) { return std::string(base) + "-" + std::to_string(getpid()); }

// A child that takes the mark, reports through the pipe, then waits to be
// told to go (or to be killed).
pid_t spawn_holder(const std::string& name, int* ready_fd, int* go_fd) {
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(go[1]);
    PLAT_MARK m = nullptr;
    char status = plat_mark_create(name.c_str(), &m) == PLAT_MARK_CREATED ? 'y' : 'n';
    if (write(ready[1], &status, 1) != 1) _exit(2);
    char c;
    (void)!read(go[0], &c, 1);
    plat_mark_close(m);
    _exit(0);
  }
  close(ready[1]);
  close(go[0]);
  *ready_fd = ready[0];
  *go_fd = go[1];
  return pid;
}

}  // namespace

TEST(InterfaceMark, SecondHolderInThisProcessIsRefusedUntilTheFirstCloses) {
  std::string name = unique("COM3");
  PLAT_MARK first = nullptr, second = nullptr;
  ASSERT_EQ(plat_mark_create(name.c_str(), &first), PLAT_MARK_CREATED);
  EXPECT_EQ(plat_mark_create(name.c_str(), &second), PLAT_MARK_EXISTS);
  EXPECT_EQ(second, nullptr);
  PLAT_MARK other = nullptr;
  EXPECT_EQ(plat_mark_create((name + "x").c_str(), &other), PLAT_MARK_CREATED) << "names are independent";
  plat_mark_close(other);
  plat_mark_close(first);
  EXPECT_EQ(plat_mark_create(name.c_str(), &second), PLAT_MARK_CREATED);
  plat_mark_close(second);
  plat_mark_close(nullptr);
}

TEST(InterfaceMark, NamesWithPathCharactersStayDistinct) {
  const std::string names[] = {unique("a/b"), unique("a%2Fb"), unique("..") + "/x", unique("192.168.1.20:1234")};
  PLAT_MARK marks[4] = {};
  for (int i = 0; i < 4; i++) ASSERT_EQ(plat_mark_create(names[i].c_str(), &marks[i]), PLAT_MARK_CREATED) << names[i];
  for (auto m : marks) plat_mark_close(m);
}

TEST(InterfaceMark, HeldByAnotherProcessUntilItClosesOrIsKilled) {
  for (bool kill_it : {false, true}) {
    std::string name = unique(kill_it ? "GPIB0" : "GPIB1");
    int ready = -1, go = -1;
    pid_t child = spawn_holder(name, &ready, &go);
    ASSERT_GT(child, 0);
    char status = 0;
    ASSERT_EQ(read(ready, &status, 1), 1);
    ASSERT_EQ(status, 'y');
    PLAT_MARK m = nullptr;
    EXPECT_EQ(plat_mark_create(name.c_str(), &m), PLAT_MARK_EXISTS);
    if (kill_it) {
      kill(child, SIGKILL);
    } else {
      ASSERT_EQ(write(go, "g", 1), 1);
    }
    int wstatus;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    EXPECT_EQ(plat_mark_create(name.c_str(), &m), PLAT_MARK_CREATED) << (kill_it ? "killed" : "closed");
    plat_mark_close(m);
    close(ready);
    close(go);
  }
}
