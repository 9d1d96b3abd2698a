// connect_echo: about the least a program does with the socket component:
// it connects to address:port and sends back every byte it gets until the
// peer closes. Built against the installed package to weigh what the
// components cost a program (scripts/bench-size.sh), beside the same program
// on libuv (connect_echo_uv.c).
//
//   connect_echo address port    exit 0 when the peer closed in order
#include <cstdio>

#include "net/WSocket.h"
#include "rtl/forms.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: connect_echo address port\n", stderr);
    return 2;
  }
  int status = 1;
  TWSocket socket(nullptr);
  socket.OnSessionConnected = [&](TObject*, std::uint16_t error) {
    if (error == 0) return;
    std::fprintf(stderr, "connect_echo: %s\n", SocketErrorText(error).c_str());
    Application->Terminate();
  };
  socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buffer[4096];
    int n = socket.Receive(buffer, sizeof buffer);
    if (n > 0) socket.Send(buffer, n);
  };
  socket.OnSessionClosed = [&](TObject*, std::uint16_t error) {
    if (error == 0) status = 0;
    Application->Terminate();
  };
  socket.AssignAddr(argv[1]);
  socket.AssignPort(argv[2]);
  socket.Connect();
  while (!Application->Terminated()) Application->HandleMessage();
  return status;
}
