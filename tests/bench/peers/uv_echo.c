/* The benchmark's peer: a TCP echo server on libuv, written the plain way
 * (read into a buffer of libuv's choosing, write it back, free on close).
 *
 *   uv_echo address port [naive]
 *
 * prints the port it listens on and serves until killed. It is careful by
 * default, as the component's example is: a client whose echo waits above
 * 64 KB (uv_stream_get_write_queue_size) is not read (uv_read_stop) until
 * its writes have gone (uv_read_start). "naive" reads on regardless, so
 * that a client that does not read makes it queue without limit.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <uv.h>

typedef struct {
  uv_write_t req;
  uv_buf_t buf;
} echo_write;

static void on_alloc(uv_handle_t* h, size_t suggested, uv_buf_t* buf) {
  (void)h;
  (void)suggested;
  /* The same 4 KB read as the component's example. */
  buf->base = malloc(4096);
  buf->len = 4096;
}

static int careful = 1;
enum { kHighMark = 64 * 1024 };

static void on_read(uv_stream_t* s, ssize_t n, const uv_buf_t* buf);

static void on_closed(uv_handle_t* h) { free(h); }

static void on_written(uv_write_t* req, int status) {
  uv_stream_t* s = req->handle;
  free(req);
  /* Everything queued has gone: read that client again. */
  if (careful && status == 0 && s->data != NULL && !uv_is_closing((uv_handle_t*)s) &&
      uv_stream_get_write_queue_size(s) == 0) {
    s->data = NULL;
    uv_read_start(s, on_alloc, on_read);
  }
}

static void on_read(uv_stream_t* s, ssize_t n, const uv_buf_t* buf) {
  if (n > 0) {
    /* The write holds a copy of what was read, so that the read buffer goes
     * back at once and an idle connection holds nothing. */
    echo_write* w = malloc(sizeof *w + (size_t)n);
    memcpy(w + 1, buf->base, (size_t)n);
    w->buf = uv_buf_init((char*)(w + 1), (unsigned)n);
    if (uv_write(&w->req, s, &w->buf, 1, on_written) != 0) free(w);
    if (careful && uv_stream_get_write_queue_size(s) > kHighMark) {
      s->data = s; /* stopped */
      uv_read_stop(s);
    }
  }
  free(buf->base);
  if (n < 0) uv_close((uv_handle_t*)s, on_closed);
}

static void on_connection(uv_stream_t* server, int status) {
  if (status < 0) return;
  uv_tcp_t* client = malloc(sizeof *client);
  uv_tcp_init(server->loop, client);
  client->data = NULL;
  if (uv_accept(server, (uv_stream_t*)client) == 0) {
    uv_read_start((uv_stream_t*)client, on_alloc, on_read);
  } else {
    uv_close((uv_handle_t*)client, on_closed);
  }
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fputs("usage: uv_echo address port [naive]\n", stderr);
    return 1;
  }
  if (argc == 4) careful = strcmp(argv[3], "naive") != 0;
  uv_loop_t* loop = uv_default_loop();
  uv_tcp_t server;
  struct sockaddr_in addr;
  uv_tcp_init(loop, &server);
  uv_ip4_addr(argv[1], atoi(argv[2]), &addr);
  if (uv_tcp_bind(&server, (const struct sockaddr*)&addr, 0) != 0 ||
      uv_listen((uv_stream_t*)&server, SOMAXCONN, on_connection) != 0) {
    fputs("uv_echo: cannot listen\n", stderr);
    return 1;
  }
  int len = sizeof addr;
  uv_tcp_getsockname(&server, (struct sockaddr*)&addr, &len);
  printf("%d\n", ntohs(addr.sin_port));
  fflush(stdout);
  return uv_run(loop, UV_RUN_DEFAULT);
}
