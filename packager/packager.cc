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

// A marker's bytes: 32-bit little-endian values, no header.
std::string MarkerBytes(const std::vector<std::uint32_t>& values) {
  std::string bytes(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i)
    PutLE32(reinterpret_cast<unsigned char*>(&bytes[i * 4]), values[i]);
  return bytes;
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
  // The system folder lies in the Windows folder, so it goes first. The
  // program-files folder goes before the common-files folder, which usually
  // lies inside it: the installer's project knows program-files groups only,
  // and a program there must find its own group again on the next run.
  const std::pair<const char*, const std::string*> order[] = {{"S", &folders.System},
                                                              {"W", &folders.Windows},
                                                              {"P", &folders.ProgramFiles},
                                                              {"C", &folders.CommonFiles}};
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
      StopRequested([] {
        Application->ProcessMessages();
        return Application->Terminated();
      }),
      Compress(
          [this](const std::string& source, const std::string& target, std::uint32_t* exitCode) {
            return plat::RunCompressor(source, target, exitCode, StopRequested);
          }),
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

// Where one file goes: its folder in the tree, its record in the temporary
// folder, and its content name.
struct TPackageBuilder::Places {
  std::string publication, record, contentName;
  std::string Content() const { return publication + contentName; }
};

// What decides whether a file is newer than what was published: its
// version (zero when it has none) and its packed date (-1 when unreadable).
struct TPackageBuilder::Stamp {
  std::uint32_t ms = 0, ls = 0;
  std::int32_t date = -1;
  bool HasVersion() const { return ms != 0 || ls != 0; }
};

bool TPackageBuilder::Publish(const std::string& file, const Names& n) {
  // An empty root would publish into whatever the current folder happens to
  // be.
  const bool published =
      !ModeArgument.empty() && PublishContent(file, PlacesOf(file, n)) && ListFile(n);
  if (!published)
    Warn(AnsiText("Nie można skopiować pliku ") + Shown(file) + " (" +
         Shown(ExtractFileName(file)) + ")");
  return published;
}

TPackageBuilder::Places TPackageBuilder::PlacesOf(const std::string& file, const Names& n) const {
  Places at;
  at.publication = Root() + n.f.Kind + plat::PathSeparator() + FolderPart(PublishedRest(n.f));
  at.record = RecordPath(Folders.Temp, at.publication);
  at.contentName = ExtractFileName(file) + ".zawartosc";
  return at;
}

// Brings the content file and its markers up to date, unless the record
// says they are.
bool TPackageBuilder::PublishContent(const std::string& file, const Places& at) {
  if (!MakeFolder(at.record, "Nie można utworzyć katalogu pomocniczego ")) return false;
  if (Progress == nullptr) Progress = &TBelkaPostepu::Instance();
  try {
    const Stamp stamp = StampOf(file);
    const bool upToDate = IsPublished(at, stamp);
    if (stamp.date == -1) {
      Warn(AnsiText("Nie można pobrać daty z pliku źródłowego ") + Quoted(file));
      return false;
    }
    return upToDate || CompressAndCopy(file, at, stamp);
  } catch (const std::exception&) {
    return false;
  }
}

bool TPackageBuilder::MakeFolder(const std::string& folder, const char* failure) {
  bool made = false;
  try {
    made = ForceDirectories(folder);
  } catch (const Exception&) {
  }
  if (!made) Warn(AnsiText(failure) + Quoted(folder));
  return made;
}

TPackageBuilder::Stamp TPackageBuilder::StampOf(const std::string& file) {
  Stamp stamp;
  ReadFileVersion(file, &stamp.ms, &stamp.ls);
  stamp.date = FileAge(file);
  return stamp;
}

// The record speaks for the tree only while the content file it describes
// is there: a tree deleted since is published anew.
bool TPackageBuilder::IsPublished(const Places& at, const Stamp& stamp) {
  std::vector<std::uint32_t> seen;
  const std::string recorded = at.record + at.contentName;
  bool current;
  if (stamp.HasVersion()) {
    if (!ReadMarker(recorded + ".wersja", 2, &seen)) seen = {0, 0};
    current = CompareVersions(seen[0], seen[1], stamp.ms, stamp.ls) >= 0;
  } else {
    // No record is never up to date, whatever the date compares to.
    current = ReadMarker(recorded + ".data", 1, &seen) &&
              static_cast<std::int32_t>(seen[0]) != -1 &&
              CompareFileDates(static_cast<std::int32_t>(seen[0]), stamp.date) >= 0;
  }
  return current && plat::FileExists(at.Content());
}

bool TPackageBuilder::CompressAndCopy(const std::string& file, const Places& at,
                                      const Stamp& stamp) {
  if (!MakeFolder(at.publication, "Nie można utworzyć katalogu ")) return false;
  const std::string compressed = NewTempFileName(Folders.Temp);
  std::uint32_t exitCode = 0;
  // A tool that ran but failed (or was ended by a stop) has published
  // nothing either.
  const bool squeezed = !compressed.empty() &&
                        Compress(plat::ShortPathName(file), compressed, &exitCode) && exitCode == 0;
  bool written = false;
  if (squeezed) {
    written = WriteContentAndMarkers(compressed, at, stamp);
  } else {
    Warn(AnsiText("Nie można skompresować pliku źródłowego ") + Quoted(file));
  }
  if (!compressed.empty()) plat::RemoveFile(compressed);
  return written;
}

// Everything is written beside its place and put on the disk first; then
// the content goes into place with its markers behind it, and the record
// last, only once the tree's folder holds them for good: a run cut short, or
// a crash of the system, leaves a record that the next run still finds
// wanting, never one that vouches for a file the disk lost.
bool TPackageBuilder::WriteContentAndMarkers(const std::string& compressed, const Places& at,
                                             const Stamp& stamp) {
  const std::int64_t length = plat::FileLength(compressed);
  const auto date = static_cast<std::uint32_t>(stamp.date);
  TStagedFile content(*Files, at.Content()), lengthMarker(*Files, at.Content() + ".dlugosc"),
      versionMarker(*Files, at.Content() + ".wersja"), dateMarker(*Files, at.Content() + ".data");
  TStagedFile versionRecord(*Files, at.record + at.contentName + ".wersja"),
      dateRecord(*Files, at.record + at.contentName + ".data");
  if (!CopyContentFile(compressed, content, length)) return false;
  const std::pair<TStagedFile*, std::string> markers[] = {
      {&lengthMarker, MarkerBytes({static_cast<std::uint32_t>(length)})},
      {&versionMarker, MarkerBytes({stamp.ms, stamp.ls})},
      {&dateMarker, MarkerBytes({date})},
      {&versionRecord, MarkerBytes({stamp.ms, stamp.ls})},
      {&dateRecord, MarkerBytes({date})}};
  for (const auto& [marker, bytes] : markers)
    if (!marker->WriteAll(bytes)) return NotWritten(*marker);
  // A stop that came while the disk took the files still leaves the tree
  // as it was.
  if (StopRequested()) return false;
  TStagedFile* failed = CommitInOrder({&content, &lengthMarker, &versionMarker, &dateMarker});
  if (failed == nullptr) failed = CommitInOrder({&versionRecord, &dateRecord});
  return failed == nullptr || NotWritten(*failed);
}

bool TPackageBuilder::NotWritten(const TStagedFile& f) {
  Warn(AnsiText("Nie można zapisać pliku ") + Quoted(f.Target()) + ": " +
       Shown(plat::OsErrorText(f.Error())));
  return false;
}

// Copies the compressor's output in blocks, moving the bar after each. A
// read that brings nothing ends the copy: a file cut short after its length
// was taken would otherwise be read for ever. A stop is looked for after
// every block, so that Ctrl-C ends the copy of a large file at once.
bool TPackageBuilder::CopyContentFile(const std::string& compressed, TStagedFile& content,
                                      std::int64_t length) {
  if (length < 0) return false;
  plat::FileHandle in = plat::FileOpenReadShared(compressed.c_str());
  if (in == plat::kNoFile) return false;
  if (!content.Create()) {
    plat::FileClose(in);
    return NotWritten(content);
  }
  Progress->Show(Shown(ExtractFileName(content.Target())));
  std::int64_t copied = 0;
  bool writable = true, stopped = false;
  char buf[kBlockSize];
  while (copied < length) {
    std::int32_t got = plat::FileRead(in, buf, kBlockSize);
    if (got <= 0) break;
    writable = content.Write(buf, got);
    if (writable) copied += got;
    stopped = StopRequested();
    if (length > 0) Progress->SetPosition(ProgressPercent(copied, length));
    if (!writable || stopped) break;
  }
  plat::FileClose(in);
  Progress->Hide();
  if (!writable) return NotWritten(content);
  if (stopped || copied < length) return false;
  return content.Finish() || NotWritten(content);
}

bool TPackageBuilder::ListFile(const Names& n) {
  const char sep = plat::PathSeparator();
  const std::string programLine = n.e.Kind + PublishedRest(n.e) + "," + n.productName;
  const std::string programList = n.e.Kind + sep + PublishedRest(n.e) + ".install";
  return AddListLine("start.start", programLine) &&
         AddListLine(programList, n.f.Kind + PublishedRest(n.f));
}

// A missing list is an empty one; a list that is there but cannot be read
// whole fails, since saving what was read would cut it short.
bool TPackageBuilder::LoadList(const std::string& path, TStringList* list) {
  list->Clear();
  if (!plat::FileExists(path)) return true;
  try {
    list->LoadFromFile(path);
    return true;
  } catch (const EStreamError&) {
    return Unreadable(path);
  }
}

bool TPackageBuilder::Unreadable(const std::string& path) {
  Warn(AnsiText("Nie można odczytać pliku ") + Quoted(path));
  return false;
}

bool TPackageBuilder::SaveList(const std::string& path, const TStringList& list) {
  if (!EnsureParent(path)) {
    Warn(AnsiText("Nie można utworzyć katalogu ") + Quoted(ExtractFilePath(path)));
    return false;
  }
  return SaveFile(path, list.Text());
}

bool TPackageBuilder::SaveFile(const std::string& path, const std::string& bytes) {
  TStagedFile staged(*Files, path);
  if (!staged.WriteAll(bytes)) return NotWritten(staged);
  TStagedFile* failed = CommitInOrder({&staged});
  return failed == nullptr || NotWritten(*failed);
}

// The record copy answers for the published list only while that list is
// there; otherwise its lines give the published list back what it had.
bool TPackageBuilder::AddListLine(const std::string& listName, const std::string& line) {
  const std::string published = Root() + listName;
  const std::string record = RecordPath(Folders.Temp, Root()) + listName;
  const bool listed = plat::FileExists(published);
  TStringList list;
  if (!LoadList(record, &list)) return false;
  if (listed && list.IndexOf(line) >= 0) return true;
  if (listed) {
    if (!LoadList(published, &list)) return false;
    if (list.IndexOf(line) >= 0) return true;
  }
  if (list.IndexOf(line) < 0) list.Add(line);
  return SaveList(published, list) && SaveList(record, list);
}

bool TPackageBuilder::SetupProject(const std::string& file, const Names& n) {
  const std::string exeFolder = ExtractFilePath(ExePath);
  const std::string disks = exeFolder + ChangeFileExt(ExtractFileName(ExePath), "");
  // Saving what an unreadable project read as would lose the user's own
  // settings in it.
  TIniFile ini(ChangeFileExt(ExePath, ".iwz"));
  if (ini.Unreadable()) return Unreadable(ini.FileName());
  plat::CreateDir(disks);

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
  // A file outside the known folders keeps the safe form of its folder, as
  // in the publication tree: its whole path would not be a folder below
  // another one.
  const std::string groupDir =
      (shared ? "<WINSYSDIR>\\" : "<ProgramFilesDir>\\") + FolderPart(PublishedRest(n.f));
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
  // A project file that cannot be written is no success; it is written like
  // the tree's files, so that a crash never leaves it cut short.
  return !ini.Changed() || SaveFile(ini.FileName(), ini.Text());
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
