// The binding facade, the send blocks, the resolvers and the property rules.
#include <gtest/gtest.h>

#include "net/WSocket.h"

namespace {

TEST(SocketErrors, NotificationParameterPacksEventAndError) {
  std::intptr_t lParam = plat::PackNotification(plat::kFdRead | plat::kFdClose, 0xFFFF);
  plat::TNotification n = plat::UnpackNotification(lParam);
  EXPECT_EQ(n.low, plat::kFdRead | plat::kFdClose);
  EXPECT_EQ(n.error, 0xFFFF);
  n = plat::UnpackNotification(plat::PackNotification(0, plat::WSAECONNREFUSED));
  EXPECT_EQ(n.low, 0);
  EXPECT_EQ(n.error, 10061);
}

TEST(SocketErrorText, KnownAndUnknownNumbers) {
  EXPECT_EQ(SocketErrorText(0), "No Error");
  EXPECT_EQ(SocketErrorText(10035), "Operation would block");
  EXPECT_EQ(SocketErrorText(10061), "Connection refused");
  EXPECT_EQ(SocketErrorText(10071), "Too many levels of remote in path");
  EXPECT_EQ(SocketErrorText(11001), "Host not found");
  EXPECT_EQ(SocketErrorText(11004), "No Data");
  EXPECT_EQ(SocketErrorText(plat::WSAEWOULDBLOCK), "Operation would block");
  EXPECT_EQ(SocketErrorText(plat::WSANOTINITIALISED), "WinSock not initialized");
  // Every number from 10035 to 10071 has a text of its own.
  for (int n = 10035; n <= 10071; ++n) EXPECT_NE(SocketErrorText(n), "Not a WinSock error") << n;
  for (int n : {1, 10072, 10090, 11000, 11005, -1})
    EXPECT_EQ(SocketErrorText(n), "Not a WinSock error") << n;
}

// A library whose behaviour a test chooses.
int fakeStartupResult = 0;
bool fakeLoadFails = false;
const char* fakeMissing = "";
int PLAT_WINAPI FakeStartup(std::uint16_t, plat::TWSAData*) { return fakeStartupResult; }
int PLAT_WINAPI FakeCleanup() { return 0; }
std::uint16_t PLAT_WINAPI FakeHtons(std::uint16_t v) {
  return static_cast<std::uint16_t>(v << 8 | v >> 8);
}
char fakeLibrary;
const TSocketLibraryLoader kFake = {
    [](const char*) -> void* { return fakeLoadFails ? nullptr : &fakeLibrary; },
    [](void*, const char* name) -> void* {
      std::string n = name;
      if (n == fakeMissing) return nullptr;
      if (n == "WSAStartup") return reinterpret_cast<void*>(&FakeStartup);
      if (n == "WSACleanup") return reinterpret_cast<void*>(&FakeCleanup);
      if (n == "htons") return reinterpret_cast<void*>(&FakeHtons);
      return nullptr;
    },
    [](void*) {},
    [] { return 126; },
};

class BindingFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeStartupResult = 0;
    fakeLoadFails = false;
    fakeMissing = "";
    SetSocketLibraryLoader(&kFake);
  }
  void TearDown() override { SetSocketLibraryLoader(nullptr); }
  static std::string Failure(const std::function<void()>& call) {
    try {
      call();
    } catch (const ESocketException& e) {
      return e.Message();
    }
    return "(no exception)";
  }
};

TEST_F(BindingFailures, EachFailureHasItsMessage) {
  fakeLoadFails = true;
  EXPECT_EQ(Failure([] { wsock::htons(1); }), "Unable to load ws2_32.dll Error #126");
  EXPECT_FALSE(SocketLibraryLoaded());

  fakeLoadFails = false;
  fakeStartupResult = 10091;
  EXPECT_EQ(Failure([] { wsock::htons(1); }), "ws2_32.dll: WSAStartup error #10091");
  // The library stays loaded after a failed start; start-up is not retried.
  EXPECT_TRUE(SocketLibraryLoaded());
  EXPECT_EQ(wsock::htons(0x0102), 0x0201);
  UnloadSocketLibrary();

  fakeStartupResult = 0;
  fakeMissing = "getprotobyname";
  EXPECT_EQ(Failure([] { wsock::getprotobyname("tcp"); }),
            "Procedure getprotobyname not found in ws2_32.dll Error #126");
  EXPECT_EQ(wsock::htons(0x0304), 0x0403);  // other entry points still work
}

TEST_F(BindingFailures, SocketsLoadNothingUntilUsedAndTheLastUnloads) {
  fakeLoadFails = true;  // any load would throw
  {
    TWSocket a(nullptr), b(nullptr);
    EXPECT_EQ(InstanceCount, 2);
  }
  EXPECT_EQ(InstanceCount, 0);
  fakeLoadFails = false;
  {
    TWSocket a(nullptr);
    wsock::htons(1);
    EXPECT_TRUE(SocketLibraryLoaded());
  }
  EXPECT_FALSE(SocketLibraryLoaded());
  EXPECT_EQ(wsock::htons(0x0102), 0x0201);  // loads and binds afresh
}

std::vector<int> Filled(const TSendQueue& q) {
  std::vector<int> filled;
  for (const auto& b : q.Blocks()) filled.push_back(b->FilledCount());
  return filled;
}

TEST(SendBuffer, PacksIntoBlocksOfBlockSize) {
  TSendQueue q;
  EXPECT_TRUE(q.Empty());
  std::string data(200000, 'x');
  q.Append(data.data(), 1000);
  q.Append(data.data(), 1000);  // into the free space of the last block
  EXPECT_EQ(Filled(q), (std::vector<int>{1514, 486}));
  q.Append(data.data(), 0);
  EXPECT_EQ(q.Blocks().size(), 2u);
  // A piece larger than a block fills the free space, then goes into
  // blocks as large as itself, up to the large block's size: one send call
  // each, not one per Ethernet frame.
  q.Append(data.data(), 4000);
  EXPECT_EQ(Filled(q), (std::vector<int>{1514, 1514, 2972}));
  q.Append(data.data(), 200000);
  EXPECT_EQ(Filled(q), (std::vector<int>{1514, 1514, 4000, 65536, 65536, 65536, 2364}));
}

TEST(SendBuffer, SentBlocksGoFromTheHeadAndTheLastStays) {
  TSendQueue q(10);
  q.Append("0123456789", 10);
  q.Append("abcdefghij", 10);
  std::int32_t n;
  const char* p = q.PeekUnsent(&n);
  EXPECT_EQ(std::string(p, static_cast<std::size_t>(n)), "0123456789");
  q.Consume(4);
  p = q.PeekUnsent(&n);
  EXPECT_EQ(std::string(p, static_cast<std::size_t>(n)), "456789");
  q.Consume(6);
  p = q.PeekUnsent(&n);  // the sent head block is dropped on the way
  EXPECT_EQ(std::string(p, static_cast<std::size_t>(n)), "abcdefghij");
  EXPECT_EQ(q.Blocks().size(), 1u);
  q.Consume(10);
  EXPECT_EQ(q.PeekUnsent(&n), nullptr);
  EXPECT_EQ(n, 0);
  ASSERT_EQ(q.Blocks().size(), 1u);  // kept, empty, for the next data
  EXPECT_FALSE(q.Empty());
  q.Append("xyz", 3);
  EXPECT_EQ(Filled(q), std::vector<int>{3});
  std::uint32_t generation = q.Generation();
  q.Clear();
  EXPECT_TRUE(q.Empty());
  EXPECT_NE(q.Generation(), generation);
  EXPECT_EQ(q.PeekUnsent(&n), nullptr);
}

TEST(SendBuffer, BlockConsumesAndRewinds) {
  TBuffer b(0);
  EXPECT_EQ(b.Capacity(), 1514);
  EXPECT_EQ(b.AppendBytes("abcdef", 6), 6);
  std::int32_t n;
  EXPECT_EQ(std::string(b.PeekUnsent(&n), 6), "abcdef");
  EXPECT_EQ(b.ConsumeBytes(4), 4);
  const char* p = b.PeekUnsent(&n);
  EXPECT_EQ(std::string(p, n), "ef");
  b.SetCapacity(10);  // unsent data survives a new area
  p = b.PeekUnsent(&n);
  EXPECT_EQ(std::string(p, n), "ef");
  EXPECT_EQ(b.AppendBytes("0123456789", 10), 4);
  EXPECT_EQ(b.ConsumeBytes(100), 6);
  EXPECT_EQ(b.PeekUnsent(&n), nullptr);
  EXPECT_EQ(b.FilledCount(), 0);  // rewound for new data
}

std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const ESocketException& e) {
    return e.Message();
  }
  return "(no exception)";
}

TEST(Resolvers, HostTexts) {
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocketResolveHost("  1.2.3.4  "), wsock::inet_addr("1.2.3.4"));
  EXPECT_EQ(WSocketResolveHost("localhost"), wsock::inet_addr("127.0.0.1"));
  EXPECT_EQ(Raised([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
  EXPECT_EQ(Raised([] { WSocketResolveHost(std::string(257, 'a')); }),
            "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
  // A group above 255 fails the dotted test, so the text is looked up as a name.
  EXPECT_EQ(Raised([] {
              WSocketResolveHost("1.2.3.256");
            }).rfind("WSocketResolveHost: Cannot convert host address '1.2.3.256', Error #", 0),
            0u);
  EXPECT_EQ(
      Raised([] { WSocketResolveHost("no-such-host.invalid"); })
          .rfind(
              "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #110",
              0),
      0u);
}

TEST(Resolvers, PortAndProtocolTexts) {
  EXPECT_EQ(WSocketResolvePort("119", "whatever"), 119);
  EXPECT_EQ(WSocketResolvePort("80abc", "tcp"), 80);
  EXPECT_EQ(WSocketResolvePort("nntp", "tcp"), 119);
  EXPECT_EQ(WSocketResolvePort(" nntp ", " tcp "), 119);
  EXPECT_EQ(Raised([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
            "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(Raised([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(Raised([] { WSocketResolvePort("119", ""); }), "WSocketResolvePort: Invalid Proto.");
  EXPECT_EQ(Raised([] {
              WSocketResolvePort("no-such-service", "tcp");
            }).rfind("WSocketResolvePort: Cannot convert port 'no-such-service', Error #", 0),
            0u);
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto(" udp "), 17);
  EXPECT_EQ(WSocketResolveProto("17x"), 17);
  EXPECT_EQ(Raised([] { WSocketResolveProto("   "); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(Raised([] {
              WSocketResolveProto("no-such-proto");
            }).rfind("WSocketResolveProto: Cannot convert protocol 'no-such-proto', Error #", 0),
            0u);
}

TEST(Properties, WritersTrimAndGuardTheirTexts) {
  TWSocket s(nullptr);
  s.AssignAddr("  127.0.0.1 \t");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  s.SetLocalAddr("");
  EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
  // An IPv6 address is kept in its short form, a name as its address.
  s.SetLocalAddr(" 0:0::0:1 ");
  EXPECT_EQ(s.LocalAddr(), "::1");
  s.SetSocketFamily(sfIPv4);
  s.SetLocalAddr("localhost");
  EXPECT_EQ(s.LocalAddr(), "127.0.0.1");
  EXPECT_EQ(Raised([&] { s.SetLocalAddr("::zz"); }), "SetLocalAddr(): Invalid IP address");
  int errors = 0;
  s.OnError = [&](TObject*) { ++errors; };
  // A text that is no address leaves the one before, rather than binding
  // to whatever a failed conversion gives (255.255.255.255).
  s.SetLocalAddr("1::2::3");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.LocalAddr(), "127.0.0.1");
  EXPECT_EQ(s.ReadPeerAddr(), "error");  // not connected: nothing reported
  EXPECT_EQ(errors, 1);
}

TEST(Properties, SendOnAClosedSocketReportsNotConnected) {
  TWSocket s(nullptr);
  EXPECT_EQ(Raised([&] { s.Send("x", 1); }),
            "Error 10057 in function Send\r\nSocket is not connected");
  EXPECT_EQ(s.LastError(), 10057);
  int errors = 0;
  s.OnError = [&](TObject*) { ++errors; };
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.SendString(""), 0);  // an empty string does not even try
  EXPECT_EQ(errors, 1);
}

TEST(Properties, ConnectChecksComeInOrder) {
  TWSocket s(nullptr);
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No Port Specified");
  s.AssignPort("119");
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No IP Address Specified");
  s.AssignAddr("127.0.0.1");
  s.AssignProto("");
  EXPECT_EQ(Raised([&] { s.Connect(); }), "Connect: No Protocol Specified");
  s.AssignProto("tcp");
  s.AssignPort("no-such-service");
  EXPECT_EQ(
      Raised([&] { s.Connect(); }).rfind("connect: WSocketResolvePort: Cannot convert port", 0),
      0u);
  EXPECT_EQ(s.State(), wsClosed);
  TWSocket fresh(nullptr);
  EXPECT_EQ(Raised([&] { fresh.Listen(); }),
            "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

}  // namespace
