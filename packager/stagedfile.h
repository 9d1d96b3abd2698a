// Files the builder publishes: written beside their place, put on the disk,
// and only then renamed into it, so that neither a stopped run nor a power
// loss leaves a file cut short under its own name.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/files.h"

// The file operations the builder's writes go through: the system's own,
// unless a test puts one in between that records the calls or fails one.
class TFileSystem {
 public:
  virtual ~TFileSystem() = default;
  virtual plat::FileHandle Create(const std::string& path);
  virtual std::int32_t Write(plat::FileHandle file, const void* data, std::int32_t count);
  virtual bool Flush(plat::FileHandle file);
  virtual bool Close(plat::FileHandle file);
  virtual bool Rename(const std::string& from, const std::string& to);
  virtual bool FlushFolder(const std::string& folder);
  virtual bool Remove(const std::string& path);
  // The system's error number for the call that failed last.
  virtual int LastError();

  static TFileSystem& System();
};

// One file on its way to its place, written as NAME.nowy beside it.
// Discarded (closed and removed) unless committed.
class TStagedFile {
 public:
  TStagedFile(TFileSystem& files, std::string target);
  TStagedFile(const TStagedFile&) = delete;
  TStagedFile& operator=(const TStagedFile&) = delete;
  ~TStagedFile();

  const std::string& Target() const { return FTarget; }
  // The system's error number of the step that failed.
  int Error() const { return FError; }

  bool Create();
  // Every byte or false; a write that takes part of them is repeated, so the
  // error is the one that stopped it (a full disk, not a short count).
  bool Write(const void* data, std::int32_t count);
  // Puts what was written on the disk and closes the file. A failed close
  // fails the file like a failed write: some systems report a lost write
  // only there.
  bool Finish();
  // Create, write `bytes`, Finish.
  bool WriteAll(const std::string& bytes);
  // Renames the finished file over its place; its folder is flushed by
  // CommitInOrder.
  bool Commit();
  // Puts the renames into the target's folder on the disk.
  bool FlushFolder();

 private:
  std::string Staging() const { return FTarget + ".nowy"; }
  bool Failed();

  TFileSystem& FFiles;
  std::string FTarget;
  plat::FileHandle FFile = plat::kNoFile;
  bool FOpened = false;
  int FError = 0;
};

// Renames finished files into their places in the order given, then flushes
// their folder (all of them lie in one), so that the whole group is on the
// disk before anything the caller writes next: a record that vouches for
// them never outlives a crash that they do not. Returns the file that
// failed (the last one when the folder could not be flushed), or nullptr.
TStagedFile* CommitInOrder(std::initializer_list<TStagedFile*> files);
