// Where the OpenSSL engine finds the system's trust anchors when no CA file
// is given: in the hashed directory, one certificate at a time, with the
// default bundle file read only when the directory cannot complete the
// chain, and exactly as strict either way.
//
// Each case runs in a child process (the engine builds its stores once per
// process) with a mount namespace of its own, in which a scratch file takes
// the place of the system's default bundle: the test decides what the
// bundle holds, and sees (inotify) whether it was opened at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "tests/unit/net_test_util.h"
#include "tests/unit/scratch_dir.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

enum Port { kGood = 4440, kChained, kWrongName, kExpired };

struct Trust {
  std::string dir;       // SSL_CERT_DIR
  std::string bundle;    // stands in for the default bundle file; watched
  std::string certFile;  // SSL_CERT_FILE; empty: unset
};

struct Attempt {
  int port;
  std::string name;  // empty: the address
};

bool WriteFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// A mount namespace of this process's own: as root directly, otherwise
// inside a user namespace where this user is root.
std::string PrivateMounts() {
  if (unshare(CLONE_NEWNS) != 0) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
      return std::string("no mount namespace: ") + std::strerror(errno);
    if (!WriteFile("/proc/self/setgroups", "deny") ||
        !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return "no user namespace mapping";
    }
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("mounts not private: ") + std::strerror(errno);
  return "";
}

// The connections' outcomes and how often the bundle was opened:
// "E1 E2 ... opened N", or "skip: why" when this system cannot isolate
// the child.
std::string RunIsolated(const Trust& trust, const std::vector<Attempt>& attempts) {
  if (std::string why = PrivateMounts(); !why.empty()) return "skip: " + why;
  const std::string bundle = X509_get_default_cert_file();
  if (mount(trust.bundle.c_str(), bundle.c_str(), nullptr, MS_BIND, nullptr) != 0)
    return "skip: cannot stand in for " + bundle + ": " + std::strerror(errno);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, trust.bundle.c_str(), IN_OPEN) < 0)
    return std::string("no inotify: ") + std::strerror(errno);
  setenv("SSL_CERT_DIR", trust.dir.c_str(), 1);
  if (trust.certFile.empty()) {
    unsetenv("SSL_CERT_FILE");
  } else {
    setenv("SSL_CERT_FILE", trust.certFile.c_str(), 1);
  }
  std::string result;
  for (const Attempt& a : attempts) {
    TWSocket s(nullptr);
    int connected = -1;
    bool closed = false;
    s.OnSessionConnected = [&](TObject*, std::uint16_t e) { connected = e; };
    s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
    s.SetTlsEnabled(true);
    s.SetTlsServerName(a.name);
    s.AssignAddr(Env("KESTRUN_TEST_ENGINE_PEER"));
    s.AssignPort(std::to_string(a.port));
    s.Connect();
    if (!RunUntil([&] { return connected >= 0 || closed; })) return result + "timeout";
    result += std::to_string(connected) + " ";
    s.Close();
  }
  int opened = 0;
  alignas(inotify_event) char events[4096];
  for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;) {
    for (char* p = events; p < events + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      opened += (e->mask & IN_OPEN) != 0;
      p += sizeof(inotify_event) + e->len;
    }
  }
  return result + "opened " + std::to_string(opened);
}

class TlsTrustTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string ca = Env("KESTRUN_TEST_ENGINE_CA");
    if (ca.empty() || Env("KESTRUN_TEST_ENGINE_PEER").empty()) return;
    scratch_ = std::make_unique<ScratchDir>();
    const std::string system = X509_get_default_cert_dir();
    // Copies of the system's hashed directory, one with the test CA added
    // and hashed in, as a user who trusts it would have it.
    for (const char* dir : {"with-ca", "without-ca"}) {
      std::string copy = *scratch_ / dir;
      std::filesystem::create_directories(copy);
      std::string command = "[ ! -d '" + system + "' ] || cp -a '" + system + "/.' '" + copy + "'";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    std::filesystem::copy_file(ca, *scratch_ / "with-ca/kestrun-test-ca.pem");
    for (const char* dir : {"with-ca", "without-ca"}) {
      // It warns of files that are no single certificate (the bundle).
      std::string command = "openssl rehash '" + *scratch_ / dir + "' 2>/dev/null";
      std::system(command.c_str());
    }
    const std::string hash = "with-ca/" + HashOf(ca) + ".0";
    ASSERT_TRUE(std::filesystem::exists(*scratch_ / hash)) << hash;
    ASSERT_FALSE(std::filesystem::exists(*scratch_ / ("without-ca/" + HashOf(ca) + ".0")));
    const std::string systemBundle = ReadAll(X509_get_default_cert_file());
    WriteAll(*scratch_ / "bundle.pem", systemBundle);
    WriteAll(*scratch_ / "bundle-with-ca.pem", systemBundle + "\n" + ReadAll(ca));
  }
  static void TearDownTestSuite() { scratch_.reset(); }

  void SetUp() override {
    if (!scratch_) FAIL() << "no TLS peer: run through ctest (KESTRUN_TEST_ENGINE_PEER/_CA)";
  }

  static std::string HashOf(const std::string& pem) {
    std::string command = "openssl x509 -hash -noout -in '" + pem + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> in(popen(command.c_str(), "r"), pclose);
    char line[64] = {};
    if (!in || fgets(line, sizeof line, in.get()) == nullptr) return "none";
    std::string hash(line);
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    return hash;
  }

  static std::string Path(const std::string& name) { return *scratch_ / name; }

  // Runs the attempts in a child process; the result as RunIsolated gives
  // it, or a skip of the test.
  static std::string InChild(const Trust& trust, const std::vector<Attempt>& attempts) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "no pipe";
    pid_t pid = fork();
    if (pid == 0) {
      close(pipeFds[0]);
      std::string result = RunIsolated(trust, attempts);
      ssize_t written = write(pipeFds[1], result.data(), result.size());
      _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    std::string result;
    char buffer[256];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return result;
  }

  static std::unique_ptr<ScratchDir> scratch_;
};

std::unique_ptr<ScratchDir> TlsTrustTest::scratch_;

#define SKIP_WHEN_NOT_ISOLATED(result) \
  if ((result).rfind("skip: ", 0) == 0) GTEST_SKIP() << (result)

const std::string kOk = std::to_string(0);
const std::string kUntrusted = std::to_string(kTlsErrorUntrusted);
const std::string kMismatch = std::to_string(kTlsErrorNameMismatch);
const std::string kExpiredError = std::to_string(kTlsErrorExpired);

TEST_F(TlsTrustTest, TheDirectoryAloneVerifiesAndTheBundleIsNeverOpened) {
  std::string r = InChild({Path("with-ca"), Path("bundle.pem"), ""}, {{kGood, ""}});
  SKIP_WHEN_NOT_ISOLATED(r);
  EXPECT_EQ(r, kOk + " opened 0");
}

TEST_F(TlsTrustTest, AnIntermediateTheServerSendsNeedsNoBundle) {
  std::string r =
      InChild({Path("with-ca"), Path("bundle.pem"), ""}, {{kChained, ""}, {kChained, "localhost"}});
  SKIP_WHEN_NOT_ISOLATED(r);
  EXPECT_EQ(r, kOk + " " + kOk + " opened 0");
}

TEST_F(TlsTrustTest, TheBundleCompletesWhatTheDirectoryCannotReadOncePerProcess) {
  std::string r = InChild({Path("without-ca"), Path("bundle-with-ca.pem"), ""},
                          {{kGood, ""}, {kChained, "localhost"}, {kGood, "localhost"}});
  SKIP_WHEN_NOT_ISOLATED(r);
  EXPECT_EQ(r, kOk + " " + kOk + " " + kOk + " opened 1");
}

TEST_F(TlsTrustTest, ACaInNeitherIsUntrusted) {
  std::string r =
      InChild({Path("without-ca"), Path("bundle.pem"), ""}, {{kGood, ""}, {kChained, ""}});
  SKIP_WHEN_NOT_ISOLATED(r);
  EXPECT_EQ(r, kUntrusted + " " + kUntrusted + " opened 1");
}

// The bundle's second look checks everything the first would have: the
// name or address, the dates. So does the directory's.
TEST_F(TlsTrustTest, EitherWayTheNameAndTheDatesAreChecked) {
  const std::vector<Attempt> attempts = {
      {kWrongName, ""}, {kGood, "news.kestrun.invalid"}, {kExpired, ""}, {kGood, "localhost"}};
  const std::string expected =
      kMismatch + " " + kMismatch + " " + kExpiredError + " " + kOk + " opened ";
  std::string r = InChild({Path("without-ca"), Path("bundle-with-ca.pem"), ""}, attempts);
  SKIP_WHEN_NOT_ISOLATED(r);
  EXPECT_EQ(r, expected + "1");
  r = InChild({Path("with-ca"), Path("bundle.pem"), ""}, attempts);
  EXPECT_EQ(r, expected + "0");
}

// A bundle the user names in SSL_CERT_FILE is read as every OpenSSL
// program reads it: whole, with the directory beside it.
TEST_F(TlsTrustTest, ABundleNamedInSslCertFileIsRead) {
  std::string r = InChild({Path("with-ca"), Path("bundle.pem"), Path("bundle.pem")},
                          {{kGood, ""}, {kGood, "localhost"}});
  SKIP_WHEN_NOT_ISOLATED(r);
  EXPECT_EQ(r, kOk + " " + kOk + " opened 1");
  r = InChild({Path("without-ca"), Path("bundle-with-ca.pem"), Path("bundle-with-ca.pem")},
              {{kGood, ""}});
  EXPECT_EQ(r, kOk + " opened 1");
  r = InChild({Path("without-ca"), Path("bundle.pem"), Path("bundle.pem")}, {{kGood, ""}});
  EXPECT_EQ(r, kUntrusted + " opened 1");
}

}  // namespace
