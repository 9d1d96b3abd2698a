// echoserver: a TCP echo server on the socket component, the way a program
// of someone else's would write one: every byte a client sends comes back
// to it, until it closes.
//
//   echoserver [address] port       (address 127.0.0.1; port 0: any free one)
//
// It prints the port it listens on as one line on standard output, then
// serves until Ctrl-C or SIGTERM. A client that sends without reading what
// comes back is not read either while more than kHighMark bytes of its echo
// wait to go out, so that no client can make the server grow.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "platform/messages.h"
#include "rtl/forms.h"

namespace {

// How much echo may wait for a client before the server stops reading it.
constexpr std::int64_t kHighMark = 64 * 1024;

class TEchoServer {
 public:
  TEchoServer(const std::string& address, const std::string& port) {
    FListener.AssignAddr(address);
    FListener.AssignPort(port);
    // With OnError assigned a failure is a callback, never an exception: a
    // failed Accept (the process is out of descriptors, the client gave up
    // already) costs that client only, not the listening socket.
    FListener.OnError = [](TObject*) {};
    FListener.OnSessionAvailable = [this](TObject*, std::uint16_t) { AcceptOne(); };
    FListener.Listen();
  }

  std::string Port() { return FListener.ReadBoundPort(); }
  bool Listening() const { return FListener.State() == wsListening; }
  int Error() const { return FListener.LastError(); }

 private:
  void AcceptOne() {
    TSocketHandle handle = FListener.Accept();
    if (handle == INVALID_SOCKET) return;
    // Owned by FClients, so whatever is still connected at the end is freed
    // with the server; FreeLater frees a client once its handler returned.
    auto* client = new TWSocket(&FClients);
    // A close sends what was echoed, then the end: the default (linger on,
    // no timeout) would reset the connection and could drop the last echo.
    client->SetLingerOnOff(wsLingerNoSet);
    client->OnDataAvailable = [client](TObject*, std::uint16_t) {
      char buffer[4096];
      int n = client->Receive(buffer, sizeof buffer);
      // A Send to a connection that is gone closes it, and OnSessionClosed
      // follows: nothing to check here.
      if (n > 0) client->Send(buffer, n);
      // The client is not taking its echo: stop reading it until it has.
      if (client->SendQueueSize() > kHighMark) client->PauseReceiving();
    };
    // Everything queued has gone out (never told for a Send that went out at
    // once, so a client that keeps up costs nothing more).
    client->OnSendQueueLow = [client](TObject*) { client->ResumeReceiving(); };
    client->OnSessionClosed = [client](TObject*, std::uint16_t) { client->FreeLater(); };
    client->Dup(handle);
  }

  TComponent FClients{nullptr};
  TWSocket FListener{nullptr};
};

// A port number: decimal digits only, 0 to 65535.
bool ValidPort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  return std::stol(text) <= 65535;
}

int Serve(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) {
    std::fputs("usage: echoserver [address] port\n", stderr);
    return 1;
  }
  const std::string address = args.size() == 2 ? args[0] : "127.0.0.1";
  if (!ValidPort(args.back())) {
    std::fprintf(stderr, "echoserver: not a port number (0 to 65535): %s\n", args.back().c_str());
    return 1;
  }
  if (address.empty() || address.find_first_of(" \t\r\n") != std::string::npos) {
    std::fprintf(stderr, "echoserver: not an address: '%s'\n", address.c_str());
    return 1;
  }
  TEchoServer server(address, args.back());
  if (!server.Listening()) {
    // The handler that keeps a failed Accept quiet keeps a failed Listen
    // quiet too: said here, with the system's reason.
    std::fprintf(stderr, "echoserver: cannot listen on %s port %s: %s\n", address.c_str(),
                 args.back().c_str(), SocketErrorText(server.Error()).c_str());
    return 1;
  }
  std::printf("%s\n", server.Port().c_str());
  std::fflush(stdout);
  while (!Application->Terminated()) Application->HandleMessage();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  plat::InstallQuitOnInterrupt();
  std::vector<std::string> args(argv + 1, argv + argc);
  return Application->Run([&] { return Serve(args); });
}
