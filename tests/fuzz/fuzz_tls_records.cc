// Fuzz target: the TLS engine on whatever a server sends back.
//
// The client starts a handshake for 127.0.0.1 against the system's trust
// store and gets the input as the server's bytes, cut into reads by sizes
// the first byte seeds. No input can carry a certificate the store trusts,
// so whatever arrives: the session is never established, no plain text
// comes out, and once the engine has reported an error it keeps reporting
// that same error and produces nothing more. And nothing reads or writes
// outside its buffers (the sanitizers' part).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "platform/tls.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  ChunkSizes sizes(data[0], 4096);
  const char* p = reinterpret_cast<const char*>(data + 1);
  std::size_t left = size - 1;

  auto engine = plat::NewTlsClient({"127.0.0.1", "", {}});
  std::string out, plain;
  int error = engine->Start(out);
  Require(error == 0, "error == 0 at the start");
  Require(!out.empty(), "a ClientHello to send");
  int failed = 0;
  while (left > 0) {
    std::size_t n = std::min(left, sizes.Next());
    std::size_t before = out.size();
    error = engine->Receive(p, n, out, plain);
    p += n;
    left -= n;
    if (failed != 0) {
      Require(error == failed, "error == failed: the session stays failed");
      Require(out.size() == before, "out.size() == before: nothing more after the failure");
    } else if (error != 0) {
      Require(plat::TlsErrorText(error) != nullptr, "a TLS error number");
      failed = error;
    }
    Require(!engine->Established(), "!Established(): no input is trusted");
    Require(plain.empty(), "plain.empty(): no data before the handshake");
  }
  // Closing a session that never began sends nothing.
  std::size_t before = out.size();
  engine->Shutdown(out);
  Require(out.size() == before, "no close_notify without a session");
  return 0;
}
