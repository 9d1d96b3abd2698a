/* The echo benchmark's load: N connections to an echo server on loopback,
 * each a ping-pong of M-byte messages (send one, wait for all of it back,
 * send the next), driven by one epoll loop.
 *
 *   echo_load address port connections seconds [message_bytes]
 *
 * With ECHO_FLOOD=1 one more connection sends all the while without reading
 * (a client that does not take its echo), beside the measured ones.
 *
 * Connects all at once, then measures. Prints one line of key=value:
 *   connect_ms   from the first connect until every connection had its first
 *                echo back (served)
 *   served       connections that had their first echo back
 *   msgs_per_s   echoes completed per second in the measured interval
 *   failed       connections that failed (refused, reset, timed out)
 *   p50_us, p99_us  round trip of a message (its first byte sent until all
 *                of it back), over the messages of the measured interval
 * and, when given the server's pid (ECHO_SERVER_PID), its CPU time in the
 * measured interval (server_cpu_ms), its resident memory there (rss_kb) and
 * its peak (hwm_kb), and the bytes the flooding connection got taken
 * (flood_mb).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

typedef struct {
  int fd;
  int got;    /* bytes of the current echo received */
  int sent;   /* bytes of the current message sent */
  int served; /* had its first echo back */
  int dead;
  double sent_at; /* when the current message's first byte went */
} conn;

/* Round trips of the measured interval, in microseconds. */
static float* rtts;
static size_t rtt_count, rtt_room;
static void note_rtt(double us) {
  if (rtt_count == rtt_room) {
    rtt_room = rtt_room ? 2 * rtt_room : 1 << 16;
    rtts = realloc(rtts, rtt_room * sizeof *rtts);
  }
  rtts[rtt_count++] = (float)us;
}
static int by_value(const void* a, const void* b) {
  float x = *(const float*)a, y = *(const float*)b;
  return (x > y) - (x < y);
}
static double percentile(double p) {
  if (rtt_count == 0) return -1;
  size_t i = (size_t)(p * (double)(rtt_count - 1) + 0.5);
  return rtts[i];
}

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static long long server_cpu_ticks(int pid) {
  char path[64], buf[1024];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  char* p = strrchr(buf, ')');
  if (!p) return -1;
  unsigned long long ut = 0, st = 0;
  /* After ")": state, then fields 4..; utime and stime are fields 14, 15. */
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
    return -1;
  return (long long)(ut + st);
}

static long server_status_kb(int pid, const char* field) {
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE* f = fopen(path, "r");
  if (!f) return -1;
  long kb = -1;
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, field, strlen(field)) == 0) kb = atol(line + strlen(field));
  }
  fclose(f);
  return kb;
}

static char message[65536];
static int msg_len = 64;

/* Sends what is left of the current message; 0, or -1 when the connection failed. */
static int pump_send(conn* c) {
  if (c->sent == 0) c->sent_at = now_ms();
  while (c->sent < msg_len) {
    ssize_t n = send(c->fd, message + c->sent, (size_t)(msg_len - c->sent), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN ? 0 : -1;
    c->sent += (int)n;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fputs("usage: echo_load address port connections seconds [message_bytes]\n", stderr);
    return 2;
  }
  const char* address = argv[1];
  int port = atoi(argv[2]), count = atoi(argv[3]);
  double seconds = atof(argv[4]);
  if (argc > 5) msg_len = atoi(argv[5]);
  const char* floodText = getenv("ECHO_FLOOD");
  int flood = floodText && atoi(floodText) != 0;
  long long flooded = 0;
  const char* pidText = getenv("ECHO_SERVER_PID");
  int pid = pidText ? atoi(pidText) : 0;
  memset(message, 'm', sizeof message);

  int ep = epoll_create1(0);
  conn* conns = calloc((size_t)count + 1, sizeof *conns);
  struct sockaddr_in sa = {0};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((unsigned short)port);
  inet_pton(AF_INET, address, &sa.sin_addr);
  double t0 = now_ms();
  for (int i = 0; i < count; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      perror("echo_load: socket");
      return 1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conns[i].fd = fd;
    if (connect(fd, (struct sockaddr*)&sa, sizeof sa) != 0 && errno != EINPROGRESS) {
      conns[i].dead = 1;
      continue;
    }
    struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT, .data.u32 = (unsigned)i};
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  }
  if (flood) {
    /* The flooder is the last one, outside the count: only writes. */
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    conns[count].fd = fd;
    connect(fd, (struct sockaddr*)&sa, sizeof sa);
    struct epoll_event ev = {.events = EPOLLOUT, .data.u32 = (unsigned)count};
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  }
  /* A connect counts once it is writable; its first message goes then. */
  int served = 0, failed = 0;
  double connected_at = 0, measure_from = 0, end = 0;
  long long msgs = 0, cpu_from = -1;
  long rss = -1;
  struct epoll_event events[1024];
  for (;;) {
    double now = now_ms();
    if (measure_from == 0 && served + failed == count) {
      connected_at = now - t0;
      measure_from = now;
      end = now + seconds * 1e3;
      msgs = 0;
      rtt_count = 0;
      if (pid) cpu_from = server_cpu_ticks(pid);
    }
    if (measure_from != 0 && now >= end) break;
    /* A connection never served within a minute counts as lost. */
    if (measure_from == 0 && now - t0 > 60e3) break;
    int n = epoll_wait(ep, events, 1024, 100);
    for (int k = 0; k < n; ++k) {
      conn* c = &conns[events[k].data.u32];
      if (c->dead) continue;
      if (flood && events[k].data.u32 == (unsigned)count) {
        static char junk[65536];
        for (;;) {
          ssize_t w = send(c->fd, junk, sizeof junk, MSG_NOSIGNAL);
          if (w <= 0) {
            if (w < 0 && errno != EAGAIN) {
              c->dead = 1;
              close(c->fd);
            }
            break;
          }
          flooded += w;
        }
        continue;
      }
      if (events[k].events & (EPOLLERR | EPOLLHUP)) {
        c->dead = 1;
        ++failed;
        close(c->fd);
        continue;
      }
      if (events[k].events & EPOLLOUT) {
        if (pump_send(c) < 0) {
          c->dead = 1;
          ++failed;
          close(c->fd);
          continue;
        }
        if (c->sent == msg_len) {
          struct epoll_event ev = {.events = EPOLLIN, .data.u32 = events[k].data.u32};
          epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
        }
      }
      if (events[k].events & EPOLLIN) {
        char buf[65536];
        ssize_t r = recv(c->fd, buf, sizeof buf, 0);
        if (r <= 0) {
          if (r < 0 && errno == EAGAIN) continue;
          c->dead = 1;
          ++failed;
          close(c->fd);
          continue;
        }
        c->got += (int)r;
        if (c->got >= msg_len && c->sent == msg_len) {
          c->got = 0;
          c->sent = 0;
          ++msgs;
          if (measure_from != 0) note_rtt((now_ms() - c->sent_at) * 1e3);
          if (!c->served) {
            c->served = 1;
            ++served;
          }
          if (pump_send(c) < 0) {
            c->dead = 1;
            ++failed;
            close(c->fd);
          } else if (c->sent < msg_len) {
            struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT, .data.u32 = events[k].data.u32};
            epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
          }
        }
      }
    }
  }
  double measured = now_ms() - measure_from;
  long long cpu_ticks = pid && cpu_from >= 0 ? server_cpu_ticks(pid) - cpu_from : -1;
  long hwm = -1;
  if (pid) {
    rss = server_status_kb(pid, "VmRSS:");
    hwm = server_status_kb(pid, "VmHWM:");
  }
  qsort(rtts, rtt_count, sizeof *rtts, by_value);
  double tick_ms = 1000.0 / (double)sysconf(_SC_CLK_TCK);
  printf(
      "connections=%d served=%d failed=%d connect_ms=%.1f msgs_per_s=%.0f server_cpu_ms=%.0f "
      "rss_kb=%ld\n",
      count, served, failed, measure_from ? connected_at : -1.0,
      measure_from && measured > 0 ? msgs * 1000.0 / measured : 0.0,
      cpu_ticks >= 0 ? cpu_ticks * tick_ms : -1.0, rss);
  printf("msgs=%lld measured_ms=%.0f p50_us=%.0f p99_us=%.0f hwm_kb=%ld flood_mb=%.1f\n", msgs,
         measured, percentile(0.5), percentile(0.99), hwm, (double)flooded / (1 << 20));
  return served == count ? 0 : 1;
}
