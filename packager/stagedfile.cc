#include "packager/stagedfile.h"

#include "platform/filesys.h"
#include "rtl/filectrl.h"

plat::FileHandle TFileSystem::Create(const std::string& path) {
  return plat::FileCreate(path.c_str());
}
std::int32_t TFileSystem::Write(plat::FileHandle file, const void* data, std::int32_t count) {
  return plat::FileWrite(file, data, count);
}
bool TFileSystem::Flush(plat::FileHandle file) { return plat::FileFlush(file); }
bool TFileSystem::Close(plat::FileHandle file) { return plat::FileClose(file); }
bool TFileSystem::Rename(const std::string& from, const std::string& to) {
  return plat::RenameReplacing(from, to);
}
bool TFileSystem::FlushFolder(const std::string& folder) { return plat::FlushFolder(folder); }
bool TFileSystem::Remove(const std::string& path) { return plat::RemoveFile(path); }
int TFileSystem::LastError() { return plat::LastOsError(); }

TFileSystem& TFileSystem::System() {
  static TFileSystem system;
  return system;
}

TStagedFile::TStagedFile(TFileSystem& files, std::string target)
    : FFiles(files), FTarget(std::move(target)) {}

TStagedFile::~TStagedFile() {
  if (FFile != plat::kNoFile) FFiles.Close(FFile);
  if (FOpened) FFiles.Remove(Staging());
}

bool TStagedFile::Failed() {
  FError = FFiles.LastError();
  return false;
}

bool TStagedFile::Create() {
  FFile = FFiles.Create(Staging());
  FOpened = FFile != plat::kNoFile;
  return FOpened || Failed();
}

bool TStagedFile::Write(const void* data, std::int32_t count) {
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    std::int32_t put = FFiles.Write(FFile, p, count);
    if (put <= 0) return Failed();
    p += put;
    count -= put;
  }
  return true;
}

bool TStagedFile::Finish() {
  const bool flushed = FFiles.Flush(FFile) || Failed();
  const plat::FileHandle file = FFile;
  FFile = plat::kNoFile;
  const bool closed = FFiles.Close(file) || Failed();
  return flushed && closed;
}

bool TStagedFile::WriteAll(const std::string& bytes) {
  return Create() && Write(bytes.data(), static_cast<std::int32_t>(bytes.size())) && Finish();
}

bool TStagedFile::Commit() {
  if (!FFiles.Rename(Staging(), FTarget)) return Failed();
  FOpened = false;
  return true;
}

bool TStagedFile::FlushFolder() { return FFiles.FlushFolder(ExtractFilePath(FTarget)) || Failed(); }

TStagedFile* CommitInOrder(std::initializer_list<TStagedFile*> files) {
  TStagedFile* last = nullptr;
  for (TStagedFile* f : files) {
    if (!f->Commit()) return f;
    last = f;
  }
  return last == nullptr || last->FlushFolder() ? nullptr : last;
}
