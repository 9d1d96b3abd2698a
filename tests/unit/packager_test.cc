// The package builder, both modes, with an in-process compressor, a recorded
// progress display and recorded warnings. The bytes of the tree and of the
// project file are recomputed from outside by the integration test.
#include "packager/packager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "host/console.h"
#include "platform/filesys.h"
#include "platform/messages.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/testsupport.h"
#include "rtl/dateutils.h"
#include "rtl/filectrl.h"
#include "rtl/inifiles.h"
#include "rtl/sysutils.h"
#include "tests/unit/scratch_dir.h"
#include "tests/unit/test_paths.h"

namespace fs = std::filesystem;

namespace {

const char kSep = plat::PathSeparator();

// What the stand-in compressor makes of a file: a mark and the bytes reversed.
std::string Squeezed(const std::string& bytes) {
  return "Z:" + std::string(bytes.rbegin(), bytes.rend());
}

class ProgressRecorder : public TProgressDisplay {
 public:
  std::vector<std::string> labels;
  std::vector<int> positions;
  int hides = 0;
  void Show(const std::string& label) override { labels.push_back(label); }
  void SetPosition(int percent) override { positions.push_back(percent); }
  void Hide() override { ++hides; }
};

// Runs a function when the copy loop lets the application process events.
class Hook : public plat::MessageTarget {
 public:
  Hook() : window(plat::CreateHiddenWindow("KestrunPackagerTestHook", this)) {}
  ~Hook() { plat::DestroyHiddenWindow(window); }
  void Post(std::function<void()> f) {
    action = std::move(f);
    plat::PostWindowMessage(window, plat::kWmUser + 7, 0, 0);
  }
  std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {
    if (action) action();
    return 0;
  }
  plat::WindowHandle window;
  std::function<void()> action;
};

class Builder : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"tmp", "win/sys", "prog/common", "prog/Firma", "pub"})
      fs::create_directories(dir / d);
    b.Folders = {S(dir / "tmp/"), S(dir / "win/"), S(dir / "win/sys/"), S(dir / "prog/"),
                 S(dir / "prog/common/")};
    exe = S(dir / "prog/Firma/app.exe");
    fs::copy_file(SiblingProgram("vr_two"), exe);  // "Pierwszy", file version 9.9.9.9
    b.ExePath = exe;
    root = S(dir / "pub/");
    b.ModeArgument = root;
    b.Warn = [this](const std::string& text) { warnings.push_back(text); };
    b.Compress = [this](const std::string& source, const std::string& target,
                        std::uint32_t* exitCode) {
      ++compressions;
      *exitCode = exitWith;
      if (!startable) return false;
      WriteAll(target, bigOutput.empty() ? Squeezed(ReadAll(source)) : bigOutput);
      if (afterCompress) afterCompress(target);
      return true;
    };
    b.Progress = &progress;
  }

  std::vector<std::string> TempLeftovers() {
    std::vector<std::string> left;
    for (auto& e : fs::recursive_directory_iterator(dir / "tmp")) {
      std::string name = e.path().filename().string();
      if (name.rfind("qz", 0) == 0) left.push_back(name);
    }
    return left;
  }

  std::string Content(const std::string& rest) { return ReadAll(root + S(rest) + ".zawartosc"); }

  ScratchDir dir;
  TPackageBuilder b;
  std::string exe, root;
  std::vector<std::string> warnings;
  ProgressRecorder progress;
  int compressions = 0;
  std::uint32_t exitWith = 0;
  bool startable = true;
  std::string bigOutput;
  std::function<void(const std::string&)> afterCompress;
};

TEST_F(Builder, ClassifiesPathsAndMakesSafeNames) {
  TClassifiedPath p = ClassifyPath(S(dir / "win/sys/x.dll"), b.Folders);
  EXPECT_EQ(p.Kind, "S");  // the system folder lies inside the Windows folder
  EXPECT_EQ(p.Rest, "x.dll");
  EXPECT_EQ(ClassifyPath(S(dir / "win/x.dll"), b.Folders).Kind, "W");
  // The common-files folder inside the program-files folder is never reached.
  EXPECT_EQ(ClassifyPath(S(dir / "prog/common/a/x.dll"), b.Folders).Kind, "P");
  EXPECT_EQ(ClassifyPath(S(dir / "prog/common/a/x.dll"), b.Folders).Rest, S("common/a/x.dll"));
  TKnownFolders apart = b.Folders;
  apart.CommonFiles = S(dir / "common/");
  EXPECT_EQ(ClassifyPath(S(dir / "common/a/x.dll"), apart).Kind, "C");
  EXPECT_EQ(ClassifyPath(S(dir / "common/a/x.dll"), apart).Rest, S("a/x.dll"));
  EXPECT_EQ(ClassifyPath(S(dir / "prog/x.dll"), b.Folders).Kind, "P");
  std::string upper = AnsiUpperCase(S(dir / "prog/")) + "X.EXE";
  EXPECT_EQ(ClassifyPath(upper, b.Folders).Kind, "P");
  EXPECT_EQ(ClassifyPath(S("/elsewhere/x"), b.Folders).Kind, "~");
  EXPECT_EQ(ClassifyPath(S("/elsewhere/x"), b.Folders).Rest, S("/elsewhere/x"));
  EXPECT_EQ(SafeDirName(S("X:/pub/P/Dir/")), S("X~/pub/P/Dir/"));
  EXPECT_EQ(SafeDirName(S("//server/share//x/")), S("~~server/share~~x/"));
}

// The real compressor call, with the stand-in tool as "compress" on the
// program search path.
TEST(Compressor, RunsTheToolFromThePathAndReportsItsStatus) {
  ScratchDir dir;
  const std::string self = plat::ModuleFileName();
  const bool exe = self.size() > 4 && self.substr(self.size() - 4) == ".exe";
  fs::create_directories(dir / "bin");
  fs::create_directories(dir / "with blanks");
  fs::copy_file(SiblingProgram("fake_compress"), dir / (exe ? "bin/compress.exe" : "bin/compress"));
  SavedVariable path("PATH"), log("KESTRUN_FAKE_COMPRESS_LOG"), fail("KESTRUN_FAKE_COMPRESS_FAIL");
  const std::string source = S(dir / "with blanks/source a.txt"),
                    target = S(dir / "with blanks/out b");
  WriteAll(source, "abc");
  std::uint32_t code = 99;

  plat::testing::SetEnvironment("PATH", dir / "nothing");
  EXPECT_FALSE(plat::RunCompressor(source, target, &code));

  plat::testing::SetEnvironment("PATH", dir / "bin");
  plat::testing::SetEnvironment("KESTRUN_FAKE_COMPRESS_LOG", dir / "log");
  EXPECT_TRUE(plat::RunCompressor(source, target, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(ReadAll(target), "Z:cba");
  EXPECT_EQ(ReadAll(source), "abc");  // the source stays as it was
  // Windows gets both paths quoted, so blanks cannot split them; POSIX gets
  // the tool's standard-output form, never the one that replaces the source.
  EXPECT_EQ(ReadAll(dir / "log"), (exe ? source + "|" + target : "-c|" + source) + "\n");

  plat::testing::SetEnvironment("KESTRUN_FAKE_COMPRESS_FAIL", "1");
  EXPECT_TRUE(plat::RunCompressor(source, target, &code));
  EXPECT_EQ(code, 3u);

  // A tool that never ends is ended once a stop is asked for.
  SavedVariable hang("KESTRUN_FAKE_COMPRESS_HANG");
  plat::testing::SetEnvironment("KESTRUN_FAKE_COMPRESS_HANG", "1");
  int asked = 0;
  EXPECT_TRUE(plat::RunCompressor(source, target, &code, [&] { return ++asked >= 2; }));
  EXPECT_NE(code, 0u);
  EXPECT_EQ(asked, 2);
}

TEST(Versions, CompareAsUnsignedHalves) {
  EXPECT_EQ(CompareVersions(1, 5, 1, 6), -1);
  EXPECT_EQ(CompareVersions(2, 0, 1, 0xFFFFFFFF), 1);
  EXPECT_EQ(CompareVersions(0x80000000u, 0, 1, 0), 1);  // version 32768.x is the newer
  EXPECT_EQ(CompareVersions(7, 7, 7, 7), 0);
}

// The tree's bytes are recomputed from outside by the integration test; here
// the rule that decides whether a file with a version is copied again.
TEST_F(Builder, FileWithVersionIsJudgedByTheRecordedVersion) {
  ASSERT_TRUE(b.PublishFile(exe)) << (warnings.empty() ? "" : warnings[0]);
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(Content("P/Firma/app.exe"), Squeezed(ReadAll(exe)));
  EXPECT_TRUE(TempLeftovers().empty());

  // Same version: nothing is copied, even with a newer date.
  fs::last_write_time(exe, fs::last_write_time(exe) + std::chrono::hours(2));
  ASSERT_TRUE(b.PublishFile(exe));
  EXPECT_EQ(compressions, 1);
  // A lower version than recorded is still up to date.
  fs::copy_file(SiblingProgram("vr_nourl"), exe, fs::copy_options::overwrite_existing);  // 1.0.0.0
  ASSERT_TRUE(b.PublishFile(exe));
  EXPECT_EQ(compressions, 1);
  // Without a record (another temporary folder) it is published.
  fs::create_directories(dir / "tmp2");
  b.Folders.Temp = S(dir / "tmp2/");
  ASSERT_TRUE(b.PublishFile(exe));
  EXPECT_EQ(compressions, 2);
  // A higher version than recorded is published again.
  fs::copy_file(SiblingProgram("vr_two"), exe, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(b.PublishFile(exe));
  EXPECT_EQ(compressions, 3);
}

TEST_F(Builder, FileWithoutVersionIsJudgedByDateUnsigned) {
  std::string data = S(dir / "prog/Firma/dane.txt");
  WriteAll(data, "dane");
  // 1 June of the year, near enough.
  auto at = [&](int year) {
    long long days = (year - 1970) * 365LL + (year - 1969) / 4 + 151;
    ASSERT_TRUE(plat::testing::SetLastWriteTime(data, days * 86400 + 12 * 3600));
  };
  at(2043);
  ASSERT_TRUE(b.PublishFile(data)) << (warnings.empty() ? "" : warnings[0]);
  ASSERT_TRUE(b.PublishFile(data));
  EXPECT_EQ(compressions, 1);
  // 2045 has the top bit set; it is still later than 2043.
  at(2045);
  ASSERT_LT(FileAge(data), 0);
  ASSERT_TRUE(b.PublishFile(data));
  EXPECT_EQ(compressions, 2);
  ASSERT_TRUE(b.PublishFile(data));
  EXPECT_EQ(compressions, 2);
  EXPECT_EQ(ReadAll(root + S("P/Firma/app.exe.install")), "P" + S("Firma/dane.txt") + "\r\n");
}

// The progress label is the program's text: a POSIX file name in the
// locale's encoding (UTF-8 here) is converted like the messages are.
TEST_F(Builder, ProgressLabelIsTheProgramsText) {
  if (plat::testing::HasWindows()) GTEST_SKIP() << "file names there are the program's text";
  std::string file = S(dir / "prog/Firma/łódź.txt");
  WriteAll(file, "x");
  ASSERT_TRUE(b.PublishFile(file));
  EXPECT_EQ(progress.labels, std::vector<std::string>{AnsiText("łódź.txt.zawartosc")});
}

TEST_F(Builder, StartListKeepsOneLineWhateverTheCase) {
  WriteAll(root + "start.start", "P" + S("FIRMA/APP.EXE") + ",PIERWSZY\r\n");
  ASSERT_TRUE(b.PublishFile(exe));
  EXPECT_EQ(ReadAll(root + "start.start"), "P" + S("FIRMA/APP.EXE") + ",PIERWSZY\r\n");
}

TEST_F(Builder, FailingOrMissingCompressorFailsTheFile) {
  const std::string general = AnsiText("Nie można skopiować pliku ") + exe + " (app.exe)";
  const std::string compress = AnsiText("Nie można skompresować pliku źródłowego \"") + exe + "\"";
  exitWith = 1;
  EXPECT_FALSE(b.PublishFile(exe));
  EXPECT_EQ(warnings, (std::vector<std::string>{compress, general}));
  EXPECT_FALSE(fs::exists(root + S("P/Firma/app.exe.zawartosc.dlugosc")));
  EXPECT_FALSE(fs::exists(root + "start.start"));
  EXPECT_TRUE(TempLeftovers().empty());

  warnings.clear();
  exitWith = 0;
  startable = false;
  EXPECT_FALSE(b.PublishFile(exe));
  EXPECT_EQ(warnings, (std::vector<std::string>{compress, general}));
  EXPECT_TRUE(TempLeftovers().empty());
  // Nothing was recorded, so a working compressor publishes next time.
  startable = true;
  warnings.clear();
  EXPECT_TRUE(b.PublishFile(exe));
  EXPECT_TRUE(warnings.empty());
}

TEST_F(Builder, FoldersThatCannotBeMadeAreNamed) {
  WriteAll(dir / "plain", "x");
  b.ModeArgument = S(dir / "plain/pub/");
  EXPECT_FALSE(b.PublishFile(exe));
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0],
            AnsiText("Nie można utworzyć katalogu \"") + S(dir / "plain/pub/P/Firma/") + "\"");
  EXPECT_EQ(compressions, 0);

  warnings.clear();
  b.ModeArgument = root;
  b.Folders.Temp = S(dir / "plain/tmp/");
  EXPECT_FALSE(b.PublishFile(exe));
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].rfind(
                AnsiText("Nie można utworzyć katalogu pomocniczego \"") + S(dir / "plain/tmp/"), 0),
            0u)
      << warnings[0];
}

TEST_F(Builder, UnreadableDateIsReported) {
  std::string old = S(dir / "prog/Firma/old.txt");
  WriteAll(old, "x");
  ASSERT_TRUE(plat::testing::SetLastWriteTime(old, 5 * 365 * 86400LL));  // 1975
  EXPECT_FALSE(b.PublishFile(old));
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          AnsiText("Nie można pobrać daty z pliku źródłowego \"") + old + "\"",
                          AnsiText("Nie można skopiować pliku ") + old + " (old.txt)"}));
  warnings.clear();
  EXPECT_FALSE(b.PublishFile(S(dir / "prog/Firma/missing.txt")));
  EXPECT_EQ(warnings.size(), 2u);
  EXPECT_EQ(compressions, 0);
}

TEST_F(Builder, TemporaryFileCutShortEndsTheCopy) {
  Hook hook;
  bigOutput.assign(5000, 'x');
  afterCompress = [&](const std::string& temp) {
    // Runs when the copy lets events through after its first block.
    hook.Post([temp] { fs::resize_file(temp, 0); });
  };
  EXPECT_FALSE(b.PublishFile(exe));
  EXPECT_EQ(warnings, (std::vector<std::string>{AnsiText("Nie można skopiować pliku ") + exe +
                                                " (app.exe)"}));
  // Nothing of it reaches the tree, not even under a name of its own.
  EXPECT_TRUE(fs::is_empty(root + S("P/Firma")));
  EXPECT_EQ(progress.hides, 1);
  EXPECT_TRUE(TempLeftovers().empty());
}

// The record speaks for the tree only while its content file is there.
TEST_F(Builder, DeletedTreeIsPublishedAgain) {
  ASSERT_TRUE(b.PublishFile(exe));
  fs::remove_all(root);
  ASSERT_TRUE(b.PublishFile(exe)) << (warnings.empty() ? "" : warnings[0]);
  EXPECT_EQ(compressions, 2);
  EXPECT_EQ(Content("P/Firma/app.exe"), Squeezed(ReadAll(exe)));
  EXPECT_EQ(ReadAll(root + "start.start"), "P" + S("Firma/app.exe") + ",Pierwszy\r\n");
  EXPECT_EQ(ReadAll(root + S("P/Firma/app.exe.install")), "P" + S("Firma/app.exe") + "\r\n");
}

TEST_F(Builder, ProgressStaysInRangeAboveTwentyOneMegabytes) {
  bigOutput.assign(25 * 1024 * 1024 + 17, 'y');
  ASSERT_TRUE(b.PublishFile(exe));
  ASSERT_EQ(progress.positions.size(), 25u * 1024 + 1);
  EXPECT_TRUE(std::is_sorted(progress.positions.begin(), progress.positions.end()));
  EXPECT_EQ(progress.positions.front(), 0);
  EXPECT_EQ(progress.positions.back(), 100);
  EXPECT_EQ(progress.labels, std::vector<std::string>{"app.exe.zawartosc"});
  EXPECT_EQ(progress.hides, 1);
  EXPECT_EQ(fs::file_size(root + S("P/Firma/app.exe.zawartosc")), bigOutput.size());
}

TEST_F(Builder, EmptyRootIsRefused) {
  fs::path cwd = fs::current_path();
  fs::current_path(dir.Path());
  b.ModeArgument = "";
  EXPECT_FALSE(b.PublishFile(exe));
  fs::current_path(cwd);
  EXPECT_EQ(warnings, (std::vector<std::string>{AnsiText("Nie można skopiować pliku ") + exe +
                                                " (app.exe)"}));
  EXPECT_FALSE(fs::exists(dir / "P"));
  EXPECT_FALSE(fs::exists(dir / "start.start"));
  EXPECT_EQ(compressions, 0);
}

TEST_F(Builder, FileOutsideTheKnownFoldersGetsASafePlace) {
  std::string outside = S(dir / "elsewhere/tool.dat");
  fs::create_directories(dir / "elsewhere");
  WriteAll(outside, "tool");
  ASSERT_TRUE(b.PublishFile(outside)) << (warnings.empty() ? "" : warnings[0]);
  std::string place = outside;
  std::replace(place.begin(), place.end(), ':', '~');
  place.erase(0, place.find_first_not_of(kSep));
  EXPECT_EQ(ReadAll(root + "~" + kSep + place + ".zawartosc"), Squeezed("tool"));
  EXPECT_EQ(ReadAll(root + S("P/Firma/app.exe.install")), "~" + place + "\r\n");
}

// A module source fed by the test: "a" requires "b", which requires "a".
class FedModules : public TModuleSource {
 public:
  std::vector<std::string> modules;
  std::map<std::string, std::pair<std::string, std::vector<std::string>>> packages;
  std::vector<std::string> loaded;
  int unloads = 0;
  std::vector<std::string> LoadedModules() override { return modules; }
  bool LoadPackage(const std::string& path, std::string* fileName,
                   std::vector<std::string>* required) override {
    loaded.push_back(path);
    auto it = packages.find(path);
    if (it == packages.end()) return false;
    *fileName = it->second.first;
    *required = it->second.second;
    return true;
  }
  void UnloadPackage(const std::string&) override { ++unloads; }
};

TEST_F(Builder, ModuleWalkPublishesRequiredPackagesOnceAndStopsAtAFailure) {
  // The program as it is built: statically linked, nothing to publish.
  b.Modules = std::make_unique<TStaticModules>(exe);
  EXPECT_TRUE(b.PublishModules());
  EXPECT_EQ(compressions, 0);

  auto fed = std::make_unique<FedModules>();
  FedModules* m = fed.get();
  std::string a = S(dir / "prog/Firma/a.bpl"), bb = S(dir / "prog/Firma/b.bpl");
  WriteAll(a, "A");
  WriteAll(bb, "B");
  m->modules = {exe, "a.bpl", "kernel32.dll", "c.bpl"};
  m->packages["a.bpl"] = {a, {"b"}};
  m->packages["b" + std::string(kPackageExtension)] = {bb, {"a"}};
  m->packages["c.bpl"] = {S(dir / "prog/Firma/c.bpl"), {}};  // no such file: fails
  b.Modules = std::move(fed);
  EXPECT_FALSE(b.PublishModules());
  EXPECT_EQ(Content("P/Firma/a.bpl"), Squeezed("A"));
  EXPECT_EQ(Content("P/Firma/b.bpl"), Squeezed("B"));
  EXPECT_EQ(compressions, 2);
  EXPECT_EQ(m->unloads, 4);  // a, b, a again (already published), c
  EXPECT_EQ(ReadAll(root + S("P/Firma/app.exe.install")),
            "P" + S("Firma/a.bpl") + "\r\nP" + S("Firma/b.bpl") + "\r\n");

  // The walk ends at the first failed module.
  m->modules = {exe, "c.bpl", "a.bpl"};
  m->loaded.clear();
  EXPECT_FALSE(b.PublishModules());
  EXPECT_EQ(m->loaded, std::vector<std::string>{"c.bpl"});
}

TEST_F(Builder, SetupProjectTwiceDoesNotGrow) {
  b.ModeArgument = "is";
  const std::string project = S(dir / "prog/Firma/app.iwz");
  ASSERT_TRUE(b.PublishFile(exe));
  const std::string first = ReadAll(project);
  EXPECT_TRUE(fs::is_directory(dir / "prog/Firma/app"));
  ASSERT_TRUE(b.PublishFile(exe));
  EXPECT_EQ(ReadAll(project), first);
  EXPECT_EQ(compressions, 0);

  // A file outside the known folders makes a group of its own every time.
  std::string outside = S(dir / "elsewhere.dat");
  WriteAll(outside, "12345");
  ASSERT_TRUE(b.PublishFile(outside));
  ASSERT_TRUE(b.PublishFile(outside));
  TIniFile ini(project);
  EXPECT_EQ(ini.ReadInteger("Groups", "Groups", 0), 3);
  EXPECT_EQ(ini.ReadString("Groups", "Group3Name", ""), "Pliki programu3");
  EXPECT_EQ(ini.ReadString("Groups", "Group3File1", ""), outside);
  // Its folder as the publication tree has it: no drive colon, no leading
  // separator after the program-files marker.
  std::string place = ExtractFilePath(outside);
  std::replace(place.begin(), place.end(), ':', '~');
  place.erase(0, place.find_first_not_of(kSep));
  EXPECT_EQ(ini.ReadString("Groups", "Group3Dir", ""), "<ProgramFilesDir>\\" + place);
  EXPECT_EQ(ini.ReadInteger("Groups", "Group3Size", 0), 5);
  EXPECT_EQ(ini.ReadString("Components", "Component1GroupList", ""), "1 2 3");
  EXPECT_EQ(ini.ReadString("VisualDesign", "AppExe", ""), "[Pliki programu1]\\app.exe");
}

// A program in the common-files folder, which lies in the program-files
// folder: a program-files group that the next run finds again.
TEST_F(Builder, SetupProjectOfAProgramInTheCommonFilesFolder) {
  b.ModeArgument = "is";
  fs::create_directories(dir / "prog/common/Firma");
  b.ExePath = exe = S(dir / "prog/common/Firma/app.exe");
  fs::copy_file(SiblingProgram("vr_two"), exe);
  ASSERT_TRUE(b.PublishFile(exe));
  ASSERT_TRUE(b.PublishFile(exe));
  TIniFile ini(S(dir / "prog/common/Firma/app.iwz"));
  EXPECT_EQ(ini.ReadInteger("Groups", "Groups", 0), 1);
  EXPECT_EQ(ini.ReadString("Groups", "Group1Dir", ""), "<ProgramFilesDir>\\" + S("common/Firma/"));
  EXPECT_EQ(ini.ReadString("Sequence", "DestinationLocationDir", ""),
            "<ProgramFilesDir>\\" + S("common/Firma/"));
}

TEST_F(Builder, SharedFileJoinsItsGroupAndUnwritableProjectFails) {
  b.ModeArgument = "is";
  std::string one = S(dir / "win/sys/one.dll"), two = S(dir / "win/sys/two.dll");
  WriteAll(one, "1");
  WriteAll(two, "22");
  ASSERT_TRUE(b.PublishFile(one));
  ASSERT_TRUE(b.PublishFile(two));
  TIniFile ini(S(dir / "prog/Firma/app.iwz"));
  EXPECT_EQ(ini.ReadInteger("Groups", "Groups", 0), 1);
  EXPECT_EQ(ini.ReadString("Groups", "Group1Name", ""), AnsiText("Pliki współdzielone1"));
  EXPECT_EQ(ini.ReadString("Groups", "Group1Dir", ""), "<WINSYSDIR>\\");
  EXPECT_EQ(ini.ReadInteger("Groups", "Group1Files", 0), 2);
  EXPECT_EQ(ini.ReadInteger("Groups", "Group1Size", 0), 3);
  EXPECT_FALSE(ini.ValueExists("VisualDesign", "AppExe"));

  fs::remove(S(dir / "prog/Firma/app.iwz"));
  fs::create_directories(S(dir / "prog/Firma/app.iwz"));  // a folder where the file should be
  EXPECT_FALSE(b.PublishFile(exe));
}

// The builder's file calls on their way to the system's; fails the first
// call `failOp` on a path ending in `failOn` with error 5 (EIO on POSIX,
// access denied on Windows).
class RecordingFiles : public TFileSystem {
 public:
  struct Call {
    std::string op, path, from;
  };
  std::vector<Call> calls;
  std::string failOp, failOn;

  plat::FileHandle Create(const std::string& path) override {
    Log("create", names[FLast = TFileSystem::Create(path)] = path);
    return FLast;
  }
  bool Flush(plat::FileHandle f) override {
    return Log("flush", names[f]) && TFileSystem::Flush(f);
  }
  bool Close(plat::FileHandle f) override {
    return TFileSystem::Close(f) && Log("close", names[f]);
  }
  bool Rename(const std::string& from, const std::string& to) override {
    return Log("rename", to, from) && TFileSystem::Rename(from, to);
  }
  bool FlushFolder(const std::string& d) override {
    return Log("folder", d) && TFileSystem::FlushFolder(d);
  }
  int LastError() override { return FInjected ? 5 : TFileSystem::LastError(); }

 private:
  bool Log(const char* op, const std::string& path, const std::string& from = "") {
    calls.push_back({op, path, from});
    FInjected = op == failOp && path.ends_with(failOn);
    if (FInjected) failOp.clear();
    return !FInjected;
  }
  std::map<plat::FileHandle, std::string> names;
  plat::FileHandle FLast = plat::kNoFile;
  bool FInjected = false;
};

class Durable : public Builder {
 protected:
  void SetUp() override {
    Builder::SetUp();
    b.Files = &files;
  }
  // Every file of the tree and the temporary folder, by the builder's names.
  std::map<std::string, std::string> Disk() {
    std::map<std::string, std::string> disk;
    for (const std::string& top : {root, b.Folders.Temp})
      for (auto& e : fs::recursive_directory_iterator(top))
        if (e.is_regular_file())
          disk[top + S(fs::relative(e.path(), top).generic_string())] = ReadAll(e.path().string());
    return disk;
  }
  std::string Record(const std::string& rest) {
    const std::string safe = SafeDirName(root);
    return b.Folders.Temp + safe.substr(safe.find_first_not_of(kSep)) + S(rest);
  }
  // Replays the first `steps` calls on a disk that keeps what was written
  // to a new file only once it is flushed, and a folder's names only as its
  // last flush saw them. Says what a crash there could leave wrong: a file
  // cut short under its own name; a record (of a list, of a content's
  // version and date) that may survive a tree file it vouches for; or,
  // after the last step, anything not on the disk.
  std::string CrashAfter(std::size_t steps, const std::vector<std::string>& before) {
    std::map<std::string, int> name, kept;
    std::set<int> dirty;
    std::set<std::string> renamed, renamedInRun;
    int next = 0;
    for (const std::string& p : before) name[p] = kept[p] = next++;
    for (const auto& c : files.calls)
      if (c.op == "rename") renamedInRun.insert(c.path);
    for (std::size_t i = 0; i < steps; ++i) {
      const auto& [op, path, from] = files.calls[i];
      if (op == "create") dirty.insert(name[path] = next++);
      if (op == "flush") dirty.erase(name[path]);
      if (op == "rename") renamed.insert(path), name[path] = name[from], name.erase(from);
      for (auto& [p, id] : name)
        if (op == "folder" && ExtractFilePath(p) == path) kept[p] = id;
    }
    const std::string records = Record("");
    for (const auto& [p, id] : name) {
      if (p.ends_with(".nowy")) continue;
      const bool sure = kept.count(p) && kept[p] == id;
      if (dirty.count(id) || (kept.count(p) && dirty.count(kept[p]))) return "cut short: " + p;
      if (steps == files.calls.size() && !sure) return "not on the disk at the end: " + p;
      if (!renamed.count(p) || !p.starts_with(records)) continue;
      std::string stem = root + p.substr(records.size());
      for (const char* marker : {".wersja", ".data"})
        if (stem.ends_with(marker)) stem.resize(stem.size() - std::strlen(marker));
      for (const std::string& t : renamedInRun)
        if (t.starts_with(stem) && !(renamed.count(t) && kept.count(t) && kept[t] == name[t]))
          return p + " may outlive " + t;
    }
    return "";
  }
  RecordingFiles files;
};

TEST_F(Durable, ACrashAfterAnyStepLeavesTheOldFileOrTheNewOneAndNoRecordAhead) {
  for (const char* run : {"first publication, lists made", "new content over an old tree"}) {
    if (!files.calls.empty()) {
      WriteAll(Record("P/Firma/app.exe.zawartosc.wersja"), std::string(8, '\0'));
      bigOutput = "nowa zawartosc";
    }
    std::vector<std::string> before;
    for (const auto& [path, bytes] : Disk()) before.push_back(path);
    files.calls.clear();
    ASSERT_TRUE(b.PublishFile(exe)) << run;
    for (std::size_t k = 0; k <= files.calls.size(); ++k)
      ASSERT_EQ(CrashAfter(k, before), "") << run << ", after step " << k;
  }
  files.calls.clear();
  ASSERT_TRUE(b.PublishFile(exe));
  EXPECT_TRUE(files.calls.empty()) << "up to date: nothing written, nothing flushed";
}

TEST_F(Durable, AFailedFlushCloseOrRenameFailsTheFileWithTheSystemsReason) {
  ASSERT_TRUE(b.PublishFile(exe));
  const std::string record = Record("P/Firma/app.exe.zawartosc.wersja");
  const struct {
    std::string op, on, named;
  } cases[] = {{"close", "app.exe.zawartosc.nowy", "app.exe.zawartosc"},
               {"flush", ".dlugosc.nowy", ".dlugosc"},
               {"rename", "app.exe.zawartosc", "app.exe.zawartosc"},
               {"folder", S("P/Firma/"), "app.exe.zawartosc.data"}};
  for (const auto& c : cases) {
    WriteAll(record, std::string(8, '\0'));  // asks for a new publication
    bigOutput = "nowa " + c.op;
    const auto before = Disk();
    files.failOp = c.op;
    files.failOn = c.on;
    warnings.clear();
    EXPECT_FALSE(b.PublishFile(exe)) << c.op;
    ASSERT_EQ(warnings.size(), 2u) << c.op;
    EXPECT_TRUE(warnings[0].ends_with(c.named + "\": " + plat::OsErrorText(5))) << warnings[0];
    // The record stays; a folder that was not flushed keeps what was renamed.
    auto after = Disk();
    EXPECT_EQ(after[record], before.at(record)) << c.op;
    if (c.op != "folder") {
      EXPECT_EQ(after, before) << c.op;
    }
  }
}

// A project or list that is there but cannot be read stops the run, named,
// and keeps every byte: saving what it read as would lose what it holds.
TEST_F(Builder, AnUnreadableProjectOrListStaysAsItWas) {
  const std::string mine = "[Moje]\r\nUstawienie=1\r\n";
  for (const auto& [mode, file] : {std::pair{std::string("is"), S(dir / "prog/Firma/app.iwz")},
                                   std::pair{root, root + "start.start"}}) {
    WriteAll(file, mine);
    b.ModeArgument = mode;
    warnings.clear();
    {
      plat::testing::UnreadableFile unreadable(file);
      EXPECT_FALSE(b.PublishFile(exe)) << file;
    }
    EXPECT_EQ(ReadAll(file), mine);
    EXPECT_EQ(warnings.at(0), AnsiText("Nie można odczytać pliku \"") + file + "\"");
  }
}

// A stop during the copy of a large file ends it after the block in hand;
// nothing reaches the tree or the record, so the next run publishes.
TEST_F(Builder, AStopEndsTheCopyOfALargeFileAtOnce) {
  afterCompress = [](const std::string& temp) { fs::resize_file(temp, 500 << 20); };
  int asked = 0;
  b.StopRequested = [&] { return ++asked == 3; };
  EXPECT_FALSE(b.PublishFile(exe));
  EXPECT_EQ(asked, 3);
  EXPECT_TRUE(fs::is_empty(root + S("P/Firma")));
  EXPECT_TRUE(TempLeftovers().empty());
  afterCompress = nullptr;
  EXPECT_TRUE(b.PublishFile(exe));
}

}  // namespace
