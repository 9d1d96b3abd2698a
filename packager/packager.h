// The package builder: publishes the program's files into a publication
// tree, or describes them in a setup-wizard project file (".iwz").
//
// The second command-line argument chooses: "is" writes the project file
// beside the executable; anything else names the publication root. Each file
// F is compressed with the outside "compress" tool into
//   root / kind / folder / name.zawartosc
// with three markers beside it (.dlugosc: the compressed length, .wersja: the
// file version, .data: the packed DOS date), and the lists "start.start" and
// the program's ".install" list are brought up to date. A record of the
// version and date lies in the temporary folder, so an unchanged file is not
// copied again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "packager/progress.h"
#include "packager/stagedfile.h"

class TStringList;

// The well-known folders, each with a trailing separator.
struct TKnownFolders {
  std::string Temp, Windows, System, ProgramFiles, CommonFiles;
  static TKnownFolders FromSystem();
};

struct TClassifiedPath {
  std::string Kind;  // "S", "W", "P", "C" or "~"
  std::string Rest;  // the path without the folder that matched
};

// The kind of a path by the folder it lies in, compared without regard to
// letter case, in the order system, Windows, program files, common files:
// the system folder before the Windows folder that holds it, and a file in
// a common-files folder inside the program-files folder is of kind "P".
TClassifiedPath ClassifyPath(const std::string& path, const TKnownFolders& folders);
// A path made into a folder name that can live below another folder: every
// ":" becomes "~" and every pair of separators "~~".
std::string SafeDirName(const std::string& path);
// Orders two versions given as (most, least significant) halves; the halves
// are compared as unsigned numbers, so a part of 32768 or more sorts high.
int CompareVersions(std::uint32_t ms1, std::uint32_t ls1, std::uint32_t ms2, std::uint32_t ls2);
// A new, empty "qz" file in the short form of the temporary folder.
std::string NewTempFileName(const std::string& tempFolder);

// Where the builder learns which modules the program runs with. A statically
// linked program has no runtime package modules, and the system's own
// modules are never published; tests feed a list of their own.
class TModuleSource {
 public:
  virtual ~TModuleSource() = default;
  // The loaded modules, the program itself first.
  virtual std::vector<std::string> LoadedModules() = 0;
  // Loads a runtime package: its own file name and the packages it requires.
  // False when `path` is no package.
  virtual bool LoadPackage(const std::string& path, std::string* fileName,
                           std::vector<std::string>* required) = 0;
  virtual void UnloadPackage(const std::string& fileName) = 0;
};

// The program alone: no runtime packages.
class TStaticModules : public TModuleSource {
 public:
  explicit TStaticModules(std::string program) : FProgram(std::move(program)) {}
  std::vector<std::string> LoadedModules() override { return {FProgram}; }
  bool LoadPackage(const std::string&, std::string*, std::vector<std::string>*) override {
    return false;
  }
  void UnloadPackage(const std::string&) override {}

 private:
  std::string FProgram;
};

// The file name extension of runtime package modules.
extern const char kPackageExtension[];

class TPackageBuilder {
 public:
  // Set up for the running program: its second argument, its executable,
  // the system's folders, real message boxes, the progress window and the
  // outside compressor.
  TPackageBuilder();

  std::string ModeArgument;  // the second command-line argument
  std::string ExePath;       // the program's own executable
  TKnownFolders Folders;
  // Shows a warning (caption "Ostrzeżenie") with the given ANSI text.
  std::function<void(const std::string& text)> Warn;
  // Whether the user asked the program to stop (Ctrl-C): asked between the
  // blocks of a copy and while the compressor runs, which is then ended. By
  // default it lets the application take its pending messages and answers
  // with its terminate flag.
  std::function<bool()> StopRequested;
  // Compresses `source` into `target`; false when the tool cannot be started.
  std::function<bool(const std::string& source, const std::string& target, std::uint32_t* exitCode)>
      Compress;
  // The progress display; made on first use when not set.
  TProgressDisplay* Progress = nullptr;
  // Where every file the builder writes goes through.
  TFileSystem* Files = &TFileSystem::System();
  std::unique_ptr<TModuleSource> Modules;

  // Publishes or describes one file; true on success.
  bool PublishFile(const std::string& file);
  // Publishes every runtime package the program runs with; true when none
  // failed.
  bool PublishModules();
  // Publishes the package `path` and the packages it requires; sets `failed`
  // when a file fails.
  void PublishPackage(const std::string& path, bool& failed);
  // Makes sure the list `listName` under the publication root holds `line`.
  bool AddListLine(const std::string& listName, const std::string& line);

 private:
  struct Names;
  struct Places;
  struct Stamp;
  // Publication mode, in the order the builder goes through it.
  bool Publish(const std::string& file, const Names& n);
  Places PlacesOf(const std::string& file, const Names& n) const;
  bool PublishContent(const std::string& file, const Places& at);
  bool MakeFolder(const std::string& folder, const char* failure);
  static Stamp StampOf(const std::string& file);
  static bool IsPublished(const Places& at, const Stamp& stamp);
  bool CompressAndCopy(const std::string& file, const Places& at, const Stamp& stamp);
  bool WriteContentAndMarkers(const std::string& compressed, const Places& at, const Stamp& stamp);
  bool CopyContentFile(const std::string& compressed, TStagedFile& content, std::int64_t length);
  bool NotWritten(const TStagedFile& f);
  bool Unreadable(const std::string& path);
  // Writes `bytes` as the whole file `path`, staged and on the disk.
  bool SaveFile(const std::string& path, const std::string& bytes);
  bool ListFile(const Names& n);
  bool LoadList(const std::string& path, TStringList* list);
  bool SaveList(const std::string& path, const TStringList& list);
  // Setup-project mode.
  bool SetupProject(const std::string& file, const Names& n);
  std::string Root() const;
  std::vector<std::string> FVisited;
};

// The builder of the running program, for the "-nainternet" switch.
TPackageBuilder& Packager();
bool PublishFile(const std::string& file);
bool PublishModules();
