// The runtime's INI file, Windows-1250 text matching, packed file dates and
// folder creation.
#include <gtest/gtest.h>

#include <filesystem>

#include "rtl/classes.h"
#include "rtl/dateutils.h"
#include "rtl/filectrl.h"
#include "rtl/inifiles.h"
#include "rtl/sysutils.h"
#include "tests/unit/scratch_dir.h"

namespace {

TEST(IniFile, KeepsLinesCommentsAndOrderWhileUpdatingInPlace) {
  ScratchDir dir;
  std::string name = dir / "p.iwz";
  WriteAll(name,
           "; made by hand\r\n"
           "[First]\r\n"
           "A=1\r\n"
           "  b = two \r\n"
           "; a note\r\n"
           "\r\n"
           "[Second]\n"  // a line ended by LF alone is read as well
           "C=3\r\n");
  {
    TIniFile ini(name);
    EXPECT_EQ(ini.ReadString("first", "B", "-"), "two");
    EXPECT_EQ(ini.ReadInteger("Second", "c", 0), 3);
    EXPECT_EQ(ini.ReadInteger("Second", "missing", 7), 7);
    ini.WriteString("First", "B", "zwei");  // in place, the key's spelling kept
    ini.WriteString("FIRST", "New", "x");   // after the last key, before the note
    ini.WriteInteger("Third", "D", 4);      // a new section at the end
    ini.WriteString("Second", "C", "3");    // unchanged
    EXPECT_TRUE(ini.UpdateFile());
  }
  EXPECT_EQ(ReadAll(name),
            "; made by hand\r\n"
            "[First]\r\n"
            "A=1\r\n"
            "  b =zwei\r\n"
            "New=x\r\n"
            "; a note\r\n"
            "\r\n"
            "[Second]\r\n"
            "C=3\r\n"
            "\r\n"
            "[Third]\r\n"
            "D=4\r\n");
}

TEST(IniFile, NewFileAndSectionWithoutKeys) {
  ScratchDir dir;
  std::string name = dir / "new.ini";
  TIniFile ini(name);
  EXPECT_FALSE(ini.ValueExists("S", "K"));
  ini.WriteString("S", "K", "v");
  ini.WriteString("T", "K", "");
  EXPECT_TRUE(ini.UpdateFile());
  EXPECT_EQ(ReadAll(name), "[S]\r\nK=v\r\n\r\n[T]\r\nK=\r\n");

  WriteAll(name, "[Empty]\r\n[Next]\r\nX=1\r\n");
  TIniFile again(name);
  again.WriteString("Empty", "Y", "2");
  EXPECT_TRUE(again.UpdateFile());
  EXPECT_EQ(ReadAll(name), "[Empty]\r\nY=2\r\n[Next]\r\nX=1\r\n");
}

TEST(IniFile, UnwritableFileIsReportedAndUnchangedFileNotRewritten) {
  ScratchDir dir;
  TIniFile nowhere(dir / "no-such-folder/p.ini");
  nowhere.WriteString("S", "K", "v");
  EXPECT_FALSE(nowhere.UpdateFile());

  std::string name = dir / "same.ini";
  // A value written again as it stands leaves its line, blanks and all.
  WriteAll(name, "[S]\r\nK = v \r\n");
  auto before = std::filesystem::last_write_time(name);
  std::filesystem::last_write_time(name, before - std::chrono::hours(1));
  TIniFile same(name);
  same.WriteString("s", "k", "v");
  EXPECT_TRUE(same.UpdateFile());
  EXPECT_EQ(std::filesystem::last_write_time(name), before - std::chrono::hours(1));
  EXPECT_EQ(ReadAll(name), "[S]\r\nK = v \r\n");
}

TEST(StringList, MatchesWindows1250LettersWithoutCase) {
  TStringList list;
  list.SetText(
      "Pierwsza\r\n\xA3\xD3"
      "D\x8F,Kestrun\nostatnia");  // "ŁÓDŹ,Kestrun"
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.IndexOf("\xB3\xF3"
                         "d\x9F,kestrun"),
            1);  // "łódź,kestrun"
  EXPECT_EQ(list.IndexOf("OSTATNIA"), 2);
  EXPECT_EQ(list.IndexOf("\xB3\xF3"
                         "d\x9F"),
            -1);
  EXPECT_EQ(AnsiUpperCase("\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF"),
            "\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF");  // ąćęłńóśźż
  EXPECT_FALSE(AnsiSameText("\xF7", "\xD7"));         // ÷ and × are no letters
  EXPECT_EQ(list.Text(),
            "Pierwsza\r\n\xA3\xD3"
            "D\x8F,Kestrun\r\nostatnia\r\n");
}

TEST(StringList, SavesEveryLineWithCrLfAndReportsFailures) {
  ScratchDir dir;
  TStringList list;
  list.Add("a");
  list.Add("b");
  list.SaveToFile(dir / "l.txt");
  EXPECT_EQ(ReadAll(dir / "l.txt"), "a\r\nb\r\n");
  EXPECT_THROW(list.SaveToFile(dir / "none/l.txt"), EStreamError);
  EXPECT_THROW(list.LoadFromFile(dir / "missing.txt"), EStreamError);
  // A folder opens on POSIX but cannot be read: an error, not an empty list.
  EXPECT_THROW(list.LoadFromFile(dir.Folder()), EStreamError);
  EXPECT_EQ(list.Text(), "a\r\nb\r\n");
}

// FileAge's refusals and the unsigned order of dates from 2044 on are checked
// through the builder (packager_test), the packed bytes by the integration test.
TEST(FileDate, PacksOnlyWhatTheFormCanHold) {
  EXPECT_EQ(PackFileDate(1980, 1, 1, 0, 0, 0), 0x00210000);
  EXPECT_EQ(PackFileDate(1979, 12, 31, 23, 59, 59), -1);
  EXPECT_EQ(PackFileDate(2108, 1, 1, 0, 0, 0), -1);
  EXPECT_NE(PackFileDate(2107, 12, 31, 23, 59, 58), -1);
}

TEST(Folders, ForceDirectoriesMakesEveryParent) {
  ScratchDir dir;
  std::string deep = dir / "a/b/c";
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(ForceDirectories(dir.Folder()));
  WriteAll(dir / "file", "x");
  EXPECT_FALSE(ForceDirectories(dir / "file/sub"));
  EXPECT_THROW(ForceDirectories(""), Exception);
  EXPECT_EQ(ExtractFilePath(dir / "a/name.txt").size(), (dir / "a/").size());
}

}  // namespace
