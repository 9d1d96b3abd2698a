// Synchronous waits: done, timed out, quit, nested, and no busy waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/files.h"
#include "tests/unit/layer_test_util.h"

namespace {

// A client connected to a loopback peer that says nothing unless told.
struct SyncPair {
  LoopbackServer server;
  TWSocket client{nullptr};
  SyncPair() {
    client.AssignAddr("127.0.0.1");
    client.AssignPort(server.Port());
    client.Connect();
    EXPECT_TRUE(RunUntil([&] { return client.State() == wsConnected && !server.peers.empty(); }));
  }
  TWSocket& Peer() { return *server.peers.back(); }
};

std::int64_t CpuMs() { return static_cast<std::int64_t>(plat::ProcessCpuSeconds() * 1000); }

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TEST(SyncWait, StartAndWaitClearsTheFlagAndEndsWhenTheHandlerSetsIt) {
  // The longest limit is a limit like any other, not an overflow.
  for (std::int32_t limit : {10000, INT32_MAX}) {
    SyncPair t;
    bool done = true;
    bool clearedBeforeStart = false;
    t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
      if (t.client.ReceiveString() == "ok") done = true;
    };
    t.client.SetTimeout(limit);
    int r = t.client.StartAndWait(
        [&] {
          clearedBeforeStart = !done;
          t.Peer().SendString("ok");
        },
        done);
    EXPECT_EQ(r, 0) << limit;
    EXPECT_TRUE(clearedBeforeStart);
    EXPECT_TRUE(done);
    // A flag that is already set returns at once; no starter is fine.
    EXPECT_EQ(t.client.WaitForDone(done), 0);
    t.client.SetTimeout(50);
    EXPECT_EQ(t.client.StartAndWait(nullptr, done), kWaitTimedOut);
    EXPECT_FALSE(done);
  }
}

TEST(SyncWait, ASecondOnASilentServerTakesAlmostNoProcessorTime) {
  SyncPair t;
  bool done = false;
  t.client.SetTimeout(1000);
  std::int64_t cpu0 = CpuMs(), t0 = NowMs();
  EXPECT_EQ(t.client.WaitForDone(done), kWaitTimedOut);
  std::int64_t cpu = CpuMs() - cpu0, elapsed = NowMs() - t0;
  EXPECT_GE(elapsed, 1000);
  // A wait that spins uses a good part of the second, even on a busy
  // machine; a wait that sleeps, about a millisecond.
  EXPECT_LT(cpu, 50) << "processor time of the wait, ms";
  RecordProperty("wait_cpu_ms", static_cast<int>(cpu));
}

TEST(SyncWait, ANestedWaitDoesNotMoveTheOuterDeadline) {
  SyncPair t;
  bool outer = false, inner = false;
  int innerResult = -1;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (t.client.ReceiveString() != "first") return;
    // Waits for something that never comes, with a shorter limit of its own.
    t.client.SetTimeout(50);
    innerResult = t.client.WaitForDone(inner);
  };
  t.client.SetTimeout(400);
  std::int64_t t0 = NowMs();
  int r = t.client.StartAndWait([&] { t.Peer().SendString("first"); }, outer);
  EXPECT_EQ(innerResult, kWaitTimedOut);
  EXPECT_EQ(r, kWaitTimedOut);
  // The outer wait kept its own limit: it did not end with the inner one.
  EXPECT_GE(NowMs() - t0, 400);
}

TEST(SyncWait, TheQuitMessageEndsAWaitWithoutALimit) {
  SyncPair t;
  t.client.SetMultiThreaded(true);  // the socket's own pump sees the quit
  t.client.SetTimeout(0);
  bool done = false;
  plat::PostQuit();
  EXPECT_EQ(t.client.WaitForDone(done), kWaitTimedOut);
  EXPECT_TRUE(t.client.QuitReceived());
}

// A socket that says how often it was destroyed, and that closes itself
// on the way, as a class above the socket may.
class Watched : public TWSocket {
 public:
  explicit Watched(int& gone) : TWSocket(nullptr), gone_(gone) {}
  ~Watched() override {
    ++gone_;
    Close();
  }

 private:
  int& gone_;
};

// A handler frees the socket (FreeLater) while a wait of the socket's own
// runs: the wait gives up at once, and the socket goes only after it has
// returned, not under it, and once (its class closes it on the way).
TEST(SyncWait, ASocketFreedByAHandlerEndsTheWaitAndGoesAfterIt) {
  LoopbackServer server;
  int gone = 0;
  auto* client = new Watched(gone);
  client->OnDataAvailable = [&](TObject*, std::uint16_t) {
    client->ReceiveString();
    client->FreeLater();
  };
  client->AssignAddr("127.0.0.1");
  client->AssignPort(server.Port());
  client->Connect();
  ASSERT_TRUE(RunUntil([&] { return client->State() == wsConnected && !server.peers.empty(); }));
  server.peers.back()->SendString("bye");
  client->SetTimeout(10000);
  bool done = false;
  const std::int64_t start = NowMs();
  EXPECT_EQ(client->WaitForDone(done), kWaitTimedOut);
  EXPECT_EQ(gone, 1);
  EXPECT_LT(NowMs() - start, 10000);
}

}  // namespace
