/* connect_echo on libuv: connects to address:port (a numeric IPv4 or IPv6
 * address) and sends back every byte it gets until the peer closes; the
 * yardstick for connect_echo.cc's size (scripts/bench-size.sh).
 *
 *   connect_echo_uv address port    exit 0 when the peer closed in order
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uv.h>

static uv_tcp_t connection;
static uv_connect_t connecting;
static int status = 1;

static void on_alloc(uv_handle_t* h, size_t suggested, uv_buf_t* buf) {
  (void)h;
  (void)suggested;
  buf->base = malloc(4096);
  buf->len = 4096;
}

static void on_written(uv_write_t* req, int result) {
  (void)result;
  free(req);
}

static void on_read(uv_stream_t* s, ssize_t n, const uv_buf_t* buf) {
  if (n > 0) {
    uv_write_t* req = malloc(sizeof *req + (size_t)n);
    uv_buf_t out = uv_buf_init((char*)(req + 1), (unsigned)n);
    memcpy(out.base, buf->base, (size_t)n);
    if (uv_write(req, s, &out, 1, on_written) != 0) free(req);
  }
  free(buf->base);
  if (n < 0) {
    if (n == UV_EOF) status = 0;
    uv_close((uv_handle_t*)s, NULL);
  }
}

static void on_connect(uv_connect_t* req, int result) {
  if (result < 0) {
    fprintf(stderr, "connect_echo_uv: %s\n", uv_strerror(result));
    uv_close((uv_handle_t*)req->handle, NULL);
    return;
  }
  uv_read_start(req->handle, on_alloc, on_read);
}

int main(int argc, char** argv) {
  struct sockaddr_storage address;
  if (argc != 3) {
    fputs("usage: connect_echo_uv address port\n", stderr);
    return 2;
  }
  if (uv_ip4_addr(argv[1], atoi(argv[2]), (struct sockaddr_in*)&address) != 0 &&
      uv_ip6_addr(argv[1], atoi(argv[2]), (struct sockaddr_in6*)&address) != 0) {
    fprintf(stderr, "connect_echo_uv: not an address: %s\n", argv[1]);
    return 2;
  }
  uv_tcp_init(uv_default_loop(), &connection);
  uv_tcp_connect(&connecting, &connection, (const struct sockaddr*)&address, on_connect);
  uv_run(uv_default_loop(), UV_RUN_DEFAULT);
  return status;
}
