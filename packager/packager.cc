#include "packager/packager.h"

#include <algorithm>
#include <cstring>

#include "host/console.h"
#include "host/folders.h"
#include "host/version.h"
#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/filesys.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "platform/verinfo.h"
#include "rtl/classes.h"
#include "rtl/dateutils.h"
#include "rtl/filectrl.h"
#include "rtl/forms.h"
#include "rtl/inifiles.h"
#include "rtl/sysutils.h"

const char kPackageExtension[] = ".bpl";

namespace {

const int kBlockSize = 1024;

// A path as the program's text, for a message: the system's file names are
// in the locale's encoding on POSIX.
std::string Shown(const std::string& path) { return plat::ArgumentToAnsi(path); }
std::string Quoted(const std::string& s) { return "\"" + Shown(s) + "\""; }

bool StartsWithText(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() >= folder.size() &&
         AnsiSameText(path.substr(0, folder.size()), folder);
}

// The file version from the fixed part of the version resource; zero when
// the file has none.
void ReadFileVersion(const std::string& path, std::uint32_t* ms, std::uint32_t* ls) {
  *ms = *ls = 0;
  std::uint32_t size = plat::VersionInfoSize(path.c_str());
  if (size == 0) return;
  std::vector<unsigned char> block(size);
  if (!plat::VersionInfoRead(path.c_str(), size, block.data())) return;
  void* value = nullptr;
  std::uint32_t length = 0;
  if (!plat::VersionInfoQuery(block.data(), "\\", &value, &length) || length < 16) return;
  std::memcpy(ms, static_cast<const char*>(value) + 8, 4);
  std::memcpy(ls, static_cast<const char*>(value) + 12, 4);
}

void PutLE32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t GetLE32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// A marker file is written whole or counts as not written.
bool WriteMarker(const std::string& path, const std::vector<std::uint32_t>& values) {
  std::vector<unsigned char> bytes(values.size() * 4);
  for (std::size_t i = 0; i < values.size(); ++i) PutLE32(&bytes[i * 4], values[i]);
  plat::FileHandle f = plat::FileCreate(path.c_str());
  if (f == plat::kNoFile) return false;
  auto n = static_cast<std::int32_t>(bytes.size());
  bool ok = plat::FileWrite(f, bytes.data(), n) == n;
  plat::FileClose(f);
  return ok;
}

// Reads `count` 32-bit values; false when the file is missing or short.
bool ReadMarker(const std::string& path, std::size_t count, std::vector<std::uint32_t>* out) {
  plat::FileHandle f = plat::FileOpenRead(path.c_str());
  if (f == plat::kNoFile) return false;
  std::vector<unsigned char> bytes(count * 4);
  auto want = static_cast<std::int32_t>(bytes.size());
  bool ok = plat::FileRead(f, bytes.data(), want) == want;
  plat::FileClose(f);
  if (!ok) return false;
  out->clear();
  for (std::size_t i = 0; i < count; ++i) out->push_back(GetLE32(&bytes[i * 4]));
  return true;
}

std::string FolderPart(const std::string& path) { return ExtractFilePath(path); }

// Where a file outside the well-known folders goes in the tree: its whole
// path made safe, without the leading separators of an absolute path.
std::string PublishedRest(const TClassifiedPath& p) {
  if (p.Kind != "~") return p.Rest;
  std::string safe = SafeDirName(p.Rest);
  std::size_t b = safe.find_first_not_of(plat::PathSeparator());
  return b == std::string::npos ? std::string() : safe.substr(b);
}

// A path's place below the temporary folder. An absolute POSIX path keeps no
// leading separator there.
std::string RecordPath(const std::string& temp, const std::string& path) {
  std::string safe = SafeDirName(path);
  std::size_t b = safe.find_first_not_of(plat::PathSeparator());
  return temp + (b == std::string::npos ? std::string() : safe.substr(b));
}

bool EnsureParent(const std::string& file) {
  std::string dir = ExtractFilePath(file);
  try {
    return dir.empty() || ForceDirectories(dir);
  } catch (const Exception&) {
    return false;
  }
}

}  // namespace

TKnownFolders TKnownFolders::FromSystem() {
  return {GetTempFolder(), GetWindowsFolder(), GetSystemFolder(), GetProgramFilesFolder(),
          GetCommonFilesFolder()};
}

TClassifiedPath ClassifyPath(const std::string& path, const TKnownFolders& folders) {
  // The inner folder of each nested pair goes first: the system folder lies
  // in the Windows folder and the common-files folder in the program-files
  // folder.
  const std::pair<const char*, const std::string*> order[] = {{"S", &folders.System},
                                                              {"W", &folders.Windows},
                                                              {"C", &folders.CommonFiles},
                                                              {"P", &folders.ProgramFiles}};
  for (const auto& [kind, folder] : order) {
    std::string f = WithTrailingBackslash(*folder);
    if (StartsWithText(path, f)) return {kind, path.substr(f.size())};
  }
  return {"~", path};
}

std::string SafeDirName(const std::string& path) {
  const char sep = plat::PathSeparator();
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == ':') {
      out += '~';
    } else if (path[i] == sep && i + 1 < path.size() && path[i + 1] == sep) {
      out += "~~";
      ++i;
    } else {
      out += path[i];
    }
  }
  return out;
}

int CompareVersions(std::uint32_t ms1, std::uint32_t ls1, std::uint32_t ms2, std::uint32_t ls2) {
  if (ms1 != ms2) return ms1 < ms2 ? -1 : 1;
  if (ls1 != ls2) return ls1 < ls2 ? -1 : 1;
  return 0;
}

std::string NewTempFileName(const std::string& tempFolder) {
  return plat::TempFileName(WithTrailingBackslash(plat::ShortPathName(tempFolder)), "qz");
}

// Everything derived from F and E that both modes use.
struct TPackageBuilder::Names {
  TClassifiedPath f, e;
  std::string productName;
};

TPackageBuilder::TPackageBuilder()
    : ExePath(plat::ModuleFileName()),
      Folders(TKnownFolders::FromSystem()),
      Warn([](const std::string& text) {
        plat::ShowMessageBox(AnsiText("Ostrzeżenie"), text, plat::BoxIcon::kNone);
      }),
      Compress(plat::RunCompressor),
      Modules(std::make_unique<TStaticModules>(ExePath)) {
  std::vector<std::string> args = plat::CommandLineArguments();
  if (args.size() >= 2) ModeArgument = args[1];
}

std::string TPackageBuilder::Root() const { return IncludeTrailingSeparator(ModeArgument); }

bool TPackageBuilder::PublishFile(const std::string& file) {
  Names n;
  n.f = ClassifyPath(file, Folders);
  n.e = ClassifyPath(ExePath, Folders);
  TProductIdentity identity;
  ReadVersionInfo(ExePath, identity);
  n.productName = identity.ProductName.empty() ? ExtractFileName(ExePath) : identity.ProductName;
  if (ModeArgument == "is") return SetupProject(file, n);
  return Publish(file, n);
}

bool TPackageBuilder::Publish(const std::string& file, const Names& n) {
  const char sep = plat::PathSeparator();
  const std::string contentName = ExtractFileName(file) + ".zawartosc";
  bool failed = false;
  // An empty root would publish into whatever the current folder happens to be.
  if (ModeArgument.empty()) {
    failed = true;
  } else {
    const std::string publication = Root() + n.f.Kind + sep + FolderPart(PublishedRest(n.f));
    const std::string record = RecordPath(Folders.Temp, publication);
    bool haveRecord = false;
    try {
      haveRecord = ForceDirectories(record);
    } catch (const Exception&) {
    }
    if (!haveRecord) {
      Warn(AnsiText("Nie można utworzyć katalogu pomocniczego ") + Quoted(record));
      failed = true;
    } else {
      if (Progress == nullptr) Progress = &TBelkaPostepu::Instance();
      try {
        std::uint32_t ms, ls;
        ReadFileVersion(file, &ms, &ls);
        std::int32_t date = FileAge(file);
        bool upToDate;
        std::vector<std::uint32_t> seen;
        if (ms != 0 || ls != 0) {
          if (!ReadMarker(record + contentName + ".wersja", 2, &seen)) seen = {0, 0};
          upToDate = CompareVersions(seen[0], seen[1], ms, ls) >= 0;
        } else {
          // No record is never up to date, whatever the date compares to.
          upToDate = ReadMarker(record + contentName + ".data", 1, &seen) &&
                     static_cast<std::int32_t>(seen[0]) != -1 &&
                     CompareFileDates(static_cast<std::int32_t>(seen[0]), date) >= 0;
        }
        if (date == -1) {
          Warn(AnsiText("Nie można pobrać daty z pliku źródłowego ") + Quoted(file));
          failed = true;
        } else if (!upToDate) {
          bool made = false;
          try {
            made = ForceDirectories(publication);
          } catch (const Exception&) {
          }
          if (!made) {
            Warn(AnsiText("Nie można utworzyć katalogu ") + Quoted(publication));
            failed = true;
          } else {
            bool compressFailed = false;
            std::int64_t length = 0;
            std::string temp = NewTempFileName(Folders.Temp);
            std::uint32_t exitCode = 0;
            // A tool that ran but failed has published nothing either.
            if (temp.empty() || !Compress(plat::ShortPathName(file), temp, &exitCode) ||
                exitCode != 0) {
              compressFailed = true;
            } else {
              length = plat::FileLength(temp);
              failed = !CopyContentFile(temp, publication + contentName, length);
            }
            if (!temp.empty()) plat::RemoveFile(temp);
            if (compressFailed) {
              Warn(AnsiText("Nie można skompresować pliku źródłowego ") + Quoted(file));
              failed = true;
            }
            const auto udate = static_cast<std::uint32_t>(date);
            failed = failed ||
                     !WriteMarker(publication + contentName + ".dlugosc",
                                  {static_cast<std::uint32_t>(length)}) ||
                     !WriteMarker(publication + contentName + ".wersja", {ms, ls}) ||
                     !WriteMarker(publication + contentName + ".data", {udate}) ||
                     !WriteMarker(record + contentName + ".wersja", {ms, ls}) ||
                     !WriteMarker(record + contentName + ".data", {udate});
          }
        }
      } catch (const std::exception&) {
        failed = true;
      }
    }
  }
  if (!failed) {
    const std::string programLine = n.e.Kind + PublishedRest(n.e) + "," + n.productName;
    const std::string programList = n.e.Kind + sep + PublishedRest(n.e) + ".install";
    failed = !AddListLine("start.start", programLine) ||
             !AddListLine(programList, n.f.Kind + PublishedRest(n.f));
  }
  if (failed)
    Warn(AnsiText("Nie można skopiować pliku ") + Shown(file) + " (" +
         Shown(ExtractFileName(file)) + ")");
  return !failed;
}

// Copies the compressor's output into the tree in blocks, moving the bar
// after each. A read that brings nothing ends the copy: a file cut short
// after its length was taken would otherwise be read for ever.
bool TPackageBuilder::CopyContentFile(const std::string& temp, const std::string& target,
                                      std::int64_t length) {
  if (length < 0) return false;
  plat::FileHandle in = plat::FileOpenReadShared(temp.c_str());
  if (in == plat::kNoFile) return false;
  plat::FileHandle out = plat::FileCreate(target.c_str());
  if (out == plat::kNoFile) {
    plat::FileClose(in);
    return false;
  }
  Progress->Show(Shown(ExtractFileName(target)));
  std::int64_t copied = 0;
  char buf[kBlockSize];
  while (copied < length) {
    std::int32_t got = plat::FileRead(in, buf, kBlockSize);
    if (got <= 0) break;
    std::int32_t put = plat::FileWrite(out, buf, got);
    if (put > 0) copied += put;
    Application->ProcessMessages();
    if (length > 0) Progress->SetPosition(ProgressPercent(copied, length));
    if (put != got) break;
  }
  plat::FileClose(out);
  plat::FileClose(in);
  Progress->Hide();
  return copied >= length;
}

bool TPackageBuilder::AddListLine(const std::string& listName, const std::string& line) {
  const std::string published = Root() + listName;
  const std::string record = RecordPath(Folders.Temp, Root()) + listName;
  TStringList list;
  try {
    list.LoadFromFile(record);
  } catch (const EStreamError&) {
    list.Clear();
  }
  if (list.IndexOf(line) >= 0) return true;
  try {
    TStringList current;
    current.LoadFromFile(published);
    list.Clear();
    for (int i = 0; i < current.Count(); ++i) list.Add(current[i]);
  } catch (const EStreamError&) {
  }
  if (list.IndexOf(line) >= 0) return true;
  list.Add(line);
  try {
    if (!EnsureParent(published)) return false;
    list.SaveToFile(published);
    if (!EnsureParent(record)) return false;
    list.SaveToFile(record);
  } catch (const EStreamError&) {
    return false;
  }
  return true;
}

bool TPackageBuilder::SetupProject(const std::string& file, const Names& n) {
  const std::string exeFolder = ExtractFilePath(ExePath);
  const std::string disks = exeFolder + ChangeFileExt(ExtractFileName(ExePath), "");
  plat::CreateDir(disks);
  TIniFile ini(ChangeFileExt(ExePath, ".iwz"));

  const std::string wizard = "InstallShield Wizard", visual = "VisualDesign";
  ini.WriteString(wizard, "DevTool", "Kestrun C++20");
  ini.WriteString(wizard, "Version", "1.11");
  ini.WriteString(wizard, "Platform", "Win32");
  ini.WriteString(wizard, "DisksDir", ExtractFileName(plat::ShortPathName(disks)) + "\\144MB\\");
  ini.WriteString(visual, "AppName", n.productName);
  ini.WriteString(visual, "Title", n.productName);
  ini.WriteString(visual, "Company", "Lumkarey");
  ini.WriteInteger(visual, "TitleType", 1);
  ini.WriteInteger(visual, "BackgrndAlign", 4);
  ini.WriteInteger(visual, "Backgrnd", 1);
  ini.WriteInteger(visual, "BackgrndColor", 0);
  ini.WriteInteger(visual, "Uninstall", 1);
  ini.WriteInteger(visual, "Silent", 1);
  ini.WriteInteger(visual, "SmsMode", 0);
  std::string destination = n.e.Rest;
  if (n.e.Kind == "C") destination = "<CommonFilesDir>\\" + FolderPart(n.e.Rest);
  if (n.e.Kind == "P") destination = "<ProgramFilesDir>\\" + FolderPart(n.e.Rest);
  if (n.e.Kind == "S") destination = "<WINSYSDIR>\\" + FolderPart(n.e.Rest);
  ini.WriteString("Sequence", "DestinationLocationDir", destination);
  ini.WriteString("Sequence", "SelectProgramFolderName", n.productName);

  const std::string groups = "Groups";
  const bool shared = n.f.Kind == "S";
  const std::string groupDir =
      (shared ? "<WINSYSDIR>\\" : "<ProgramFilesDir>\\") + FolderPart(n.f.Rest);
  const std::int64_t count = ini.ReadInteger(groups, "Groups", 0);
  std::int64_t i = 1;
  bool found = false;
  if (n.f.Kind == "P" || shared) {
    for (; i <= count; ++i) {
      if (ini.ReadString(groups, "Group" + IntToStr(i) + "Dir", "") == groupDir) {
        found = true;
        break;
      }
    }
  }
  if (!found) {
    i = count + 1;
    const std::string gi = "Group" + IntToStr(i);
    const std::string groupName =
        AnsiText(shared ? "Pliki współdzielone" : "Pliki programu") + IntToStr(i);
    ini.WriteInteger(groups, "Groups", i);
    ini.WriteString(groups, gi + "Name", groupName);
    ini.WriteString(groups, gi + "Dir", groupDir);
    if (file == ExePath) {
      const std::string reference = "[" + groupName + "]\\" + ExtractFileName(file);
      ini.WriteString(visual, "AppExe", reference);
      ini.WriteString("Ext", "Ext1Param1", reference);
      std::uint32_t ms, ls;
      ReadFileVersion(file, &ms, &ls);
      if (ms != 0 || ls != 0)
        ini.WriteString(visual, "Version",
                        Format("%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF));
      ini.WriteString("Ext", "Ext1Param2", "-zarejestruj");
      ini.WriteInteger("Ext", "Ext1Param4", 1);
      ini.WriteString("Ext", "Ext1Dlg", "Exit Install");
      ini.WriteString("Ext", "Ext1Op", "EXE");
    }
  }
  const std::string gi = "Group" + IntToStr(i);
  const std::int64_t files = ini.ReadInteger(groups, gi + "Files", 0);
  bool listed = false;
  for (std::int64_t j = 1; j <= files && !listed; ++j)
    listed = AnsiSameText(ini.ReadString(groups, gi + "File" + IntToStr(j), ""), file);
  if (!listed) {
    ini.WriteString(groups, gi + "File" + IntToStr(files + 1), file);
    ini.WriteInteger(groups, gi + "Files", files + 1);
    std::int64_t size = plat::FileLength(file);
    ini.WriteInteger(groups, gi + "Size",
                     ini.ReadInteger(groups, gi + "Size", 0) + (size > 0 ? size : 0));
  }

  const std::int64_t total = ini.ReadInteger(groups, "Groups", 0);
  std::string groupList;
  for (std::int64_t g = 1; g <= total; ++g) groupList += (g > 1 ? " " : "") + IntToStr(g);
  ini.WriteInteger("Components", "Components", 1);
  ini.WriteString("Components", "Component1Name", "Pliki programu");
  ini.WriteString("Components", "Component1Description",
                  AnsiText("Pliki niezbędne do pracy programu"));
  ini.WriteInteger("Components", "Component1Groups", total);
  ini.WriteString("Components", "Component1GroupList", groupList);
  ini.WriteInteger("Types", "Types", 1);
  ini.WriteInteger("Types", "Type1Components", 1);
  ini.WriteString("Types", "Type1Name", "Kompletna");
  ini.WriteInteger("Types", "Type1ComponentList", 1);
  // A project file that cannot be written is no success.
  return ini.UpdateFile();
}

bool TPackageBuilder::PublishModules() {
  bool failed = false;
  FVisited.clear();
  std::vector<std::string> modules = Modules->LoadedModules();
  for (std::size_t i = 1; i < modules.size() && !failed; ++i) PublishPackage(modules[i], failed);
  return !failed;
}

// A package that two others require is published once per walk, and a
// circle of requirements cannot loop.
void TPackageBuilder::PublishPackage(const std::string& path, bool& failed) {
  std::string fileName;
  std::vector<std::string> required;
  if (!Modules->LoadPackage(path, &fileName, &required)) return;
  bool seen = std::any_of(FVisited.begin(), FVisited.end(),
                          [&](const std::string& v) { return AnsiSameText(v, fileName); });
  if (!seen) {
    FVisited.push_back(fileName);
    if (!PublishFile(fileName)) failed = true;
    for (const std::string& r : required) PublishPackage(r + kPackageExtension, failed);
  }
  Modules->UnloadPackage(fileName);
}

TPackageBuilder& Packager() {
  static TPackageBuilder* builder = new TPackageBuilder;
  return *builder;
}

bool PublishFile(const std::string& file) { return Packager().PublishFile(file); }
bool PublishModules() { return Packager().PublishModules(); }
