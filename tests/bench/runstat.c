/* Runs a program and prints its wall time, CPU time (user + system) and peak
 * resident memory, measured for that program alone:
 *
 *   runstat PROGRAM ARGS...   ->  "wall_ms cpu_ms peak_kb" on standard error
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double wall = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
  double cpu = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
  fprintf(stderr, "%.3f %.3f %ld\n", wall, cpu, ru.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
