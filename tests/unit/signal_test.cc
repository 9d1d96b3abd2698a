// What the interrupt handler may and may not do. A program of its own: the
// message queue must not exist before the handler is installed, as at the
// start of the poster.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "platform/messages.h"
#include "rtl/forms.h"
#include "tests/unit/net_test_util.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Everything the handler touches exists before it is installed: a signal
// that arrives at once must not make the handler allocate (malloc is not
// safe inside a signal handler), and it still ends the program's waits.
TEST(InterruptHandler, AllocatesNothingAndStillQuits) {
  plat::InstallQuitOnInterrupt();
  long before = allocations.load();
  raise(SIGINT);
  EXPECT_EQ(allocations.load(), before);
  ASSERT_TRUE(RunUntil([&] {
    Application->HandleMessage();
    return Application->Terminated();
  }));
}

// A closed standard output (or any pipe) makes a write fail; it must not
// end the program, whose exit code tells the outcome.
TEST(InterruptHandler, AWriteToAClosedPipeFailsInsteadOfEndingTheProgram) {
  plat::InstallQuitOnInterrupt();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  errno = 0;
  EXPECT_EQ(write(fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(fds[1]);
}

// Started with standard input, output and error closed, the program finds
// them open on /dev/null before its own code runs, so that nothing it opens
// later takes their numbers.
TEST(StandardStreams, ClosedOnesAreOpenOnNullAtStart) {
  if (std::getenv("KESTRUN_CLOSED_STDIO_CHILD") != nullptr) {
    struct stat null {
    }, s{};
    if (stat("/dev/null", &null) != 0) _exit(10);
    for (int fd = 0; fd <= 2; ++fd) {
      if (fstat(fd, &s) != 0) _exit(20 + fd);
      if (s.st_rdev != null.st_rdev) _exit(30 + fd);
    }
    _exit(0);
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("KESTRUN_CLOSED_STDIO_CHILD", "1", 1);
    close(0);
    close(1);
    close(2);
    execl("/proc/self/exe", "signal_test", "--gtest_filter=StandardStreams.*",
          static_cast<char*>(nullptr));
    _exit(99);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
