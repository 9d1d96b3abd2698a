// Well-known folders and shortcuts to the program.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/folders.h"
#include "host/shortcut.h"
#include "platform/shell.h"
#include "platform/testsupport.h"
#include "rtl/sysutils.h"
#include "tests/unit/scratch_dir.h"
#include "tests/unit/test_paths.h"

namespace {

const char kSep = plat::PathSeparator();

TEST(Folders, TrailingSeparator) {
  EXPECT_EQ(WithTrailingBackslash(""), "");
  EXPECT_EQ(WithTrailingBackslash(S("/x/Dir/")), S("/x/Dir/"));
  EXPECT_EQ(WithTrailingBackslash(S("/x/Dir")), S("/x/Dir/"));
}

TEST(Folders, TemporaryFolderFollowsTheEnvironment) {
  SavedVariable tmpdir("TMPDIR"), tmp("TMP");
  ScratchDir dir;
  std::string folder = dir.Folder();  // already ends with the separator
  plat::testing::SetEnvironment("TMPDIR", folder);
  plat::testing::SetEnvironment("TMP", folder);
  EXPECT_EQ(GetTempFolder(), folder);
  std::string bare = folder.substr(0, folder.size() - 1);
  plat::testing::SetEnvironment("TMPDIR", bare);
  plat::testing::SetEnvironment("TMP", bare);
  EXPECT_EQ(GetTempFolder(), folder);
}

TEST(Folders, KeepTheNestingTheBuilderRelies) {
  std::string system = GetSystemFolder(), windows = GetWindowsFolder();
  std::string programs = GetProgramFilesFolder(), common = GetCommonFilesFolder();
  for (const std::string& f : {system, windows, programs, common}) {
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f.back(), kSep) << f;
  }
  EXPECT_EQ(system.compare(0, windows.size(), windows), 0) << system << " in " << windows;
  EXPECT_EQ(common.compare(0, programs.size(), programs), 0) << common << " in " << programs;
  EXPECT_NE(programs.compare(0, windows.size(), windows), 0);
}

// The desktop entry's part: only where shortcuts are desktop entries. That a
// second run replaces the shortcut and leaves nothing else is checked by the
// integration test, for the desktop entry and the shell link alike.
class DesktopEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    if (plat::testing::HasWindows()) GTEST_SKIP() << "shell links are checked under wine";
    plat::testing::SetEnvironment("HOME", home.Folder());
    plat::testing::SetEnvironment("XDG_CONFIG_HOME", home / "config");
  }
  SavedVariable savedHome{"HOME"}, savedConfig{"XDG_CONFIG_HOME"};
  ScratchDir home;
};

TEST_F(DesktopEntry, DesktopFromUserDirsOrHome) {
  EXPECT_EQ(SpecialFolderPath(plat::kCsidlDesktop), "");  // no ~/Desktop yet: nothing
  std::filesystem::create_directories(home / "Desktop");
  EXPECT_EQ(SpecialFolderPath(plat::kCsidlDesktop), home / "Desktop");
  std::filesystem::create_directories(home / "config");
  std::filesystem::create_directories(home / "Pulpit");
  WriteAll(home / "config/user-dirs.dirs",
           "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumenty\"\n"
           "XDG_DESKTOP_DIR=\"$HOME/Pulpit\"\n");
  EXPECT_EQ(SpecialFolderPath(plat::kCsidlDesktop), home / "Pulpit");
  WriteAll(home / "config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + home / "Desktop" + "\"\n");
  EXPECT_EQ(SpecialFolderPath(plat::kCsidlDesktop), home / "Desktop");
}

TEST_F(DesktopEntry, NothingIsWrittenWithoutADesktop) {
  // From inside the home folder, so that a link with no folder would show.
  std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(home.Path());
  CreateFolderShortcut(plat::kCsidlDesktop, "/opt/x/prog", "Prog", "");
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::is_empty(home.Path()));
}

TEST_F(DesktopEntry, QuotesExecAndNamesTheFile) {
  std::filesystem::create_directories(home / "Desktop");
  // "Łódź" in Windows-1250.
  WriteShellLink(home / "Desktop", "/opt/my dir/it's $5 100%/prog",
                 "\xA3\xF3"
                 "d\x9F",
                 "-a \"two words\"");
  std::string file = home / "Desktop/Łódź.desktop";
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(ReadAll(file),
            "[Desktop Entry]\nType=Application\nVersion=1.0\nName=Łódź\n"
            "Exec=\"/opt/my dir/it's \\\\$5 100%%/prog\" -a \"two words\"\n"
            "Path=/opt/my dir/it's $5 100%/\nTerminal=true\n");
  auto perms = std::filesystem::status(file).permissions();
  EXPECT_NE(perms & std::filesystem::perms::owner_exec, std::filesystem::perms::none);

  // No name: the program's base name, never a hidden ".desktop".
  WriteShellLink(home / "Desktop", "/opt/x/prog.bin", "", "");
  EXPECT_TRUE(std::filesystem::exists(home / "Desktop/prog.desktop"));
  EXPECT_FALSE(std::filesystem::exists(home / "Desktop/.desktop"));
}

// The shell link's part, read back through the shell-link object.
TEST(ShellLink, WritesAndReplacesALink) {
  if (!plat::testing::HasWindows()) GTEST_SKIP() << "desktop entries are checked above";
  ScratchDir dir;
  std::string target = dir / "prog dir\\prog.exe";
  std::filesystem::create_directories(dir / "prog dir");
  WriteAll(target, "MZ");
  WriteShellLink(dir.Folder(), target, "Prog", "-a b");
  plat::testing::ShellLinkInfo info;
  ASSERT_TRUE(plat::testing::ReadShellLink(dir / "Prog.lnk", &info));
  EXPECT_TRUE(SameText(info.path, target)) << info.path;
  EXPECT_EQ(info.arguments, "-a b");
  EXPECT_TRUE(SameText(info.workingDir, dir / "prog dir\\")) << info.workingDir;

  WriteShellLink(dir.Folder(), target, "Prog", "");
  ASSERT_TRUE(plat::testing::ReadShellLink(dir / "Prog.lnk", &info));
  EXPECT_EQ(info.arguments, "");
  WriteShellLink(dir.Folder(), target, "", "");
  EXPECT_TRUE(std::filesystem::exists(dir / "prog.lnk"));
  EXPECT_FALSE(std::filesystem::exists(dir / ".lnk"));
}

}  // namespace
