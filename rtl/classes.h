// Component ownership, byte streams and the string list of the runtime.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/sysutils.h"

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A component frees the components it owns when it is destroyed. While that
// happens (and while its own destructor body runs) Destroying() is true, so
// a component can tell a teardown from an ordinary close.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  bool Destroying() const { return FDestroying; }
  std::string Name;
  std::intptr_t Tag = 0;

 protected:
  // Descendants call this first thing in their destructors.
  void BeginDestroy() { FDestroying = true; }

 private:
  void RemoveComponent(TComponent* child);
  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
  bool FDestroying = false;
};

class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

class TStream : public TObject {
 public:
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  // origin 0 from the start, 1 from the position, 2 from the end.
  virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;

  std::int64_t Position() { return Seek(0, 1); }
  void SetPosition(std::int64_t position) { Seek(position, 0); }
  std::int64_t Size();
  // Writes all bytes or raises EStreamError.
  void WriteBuffer(const void* buffer, std::int32_t count);
};

class TMemoryStream : public TStream {
 public:
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;
  const char* Memory() const { return FData.data(); }
  // The bytes, to be filled or rearranged where they lie; valid until the
  // size or the storage changes.
  char* Memory() { return FData.data(); }
  void Clear();
  // New bytes are zero; the position stays within the stream. Raises
  // std::length_error (or std::bad_alloc) when the size cannot be had.
  void SetSize(std::int64_t size);
  // Grows the storage ahead of writes that are known to come.
  void Reserve(std::size_t bytes) { FData.reserve(bytes); }

 private:
  std::vector<char> FData;
  std::int64_t FPosition = 0;
};

constexpr std::uint16_t fmOpenRead = 0x0000;
constexpr std::uint16_t fmShareDenyWrite = 0x0020;
constexpr std::uint16_t fmCreate = 0xFF00;

class TFileStream : public TStream {
 public:
  // Raises EStreamError "Cannot open file <path>" when the file cannot be
  // opened (or, for fmCreate, created).
  TFileStream(const std::string& fileName, std::uint16_t mode);
  ~TFileStream() override;
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;

 private:
  std::intptr_t FHandle;
};

class TStringList : public TObject {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& operator[](int index) const {
    return FItems.at(static_cast<std::size_t>(index));
  }
  void Add(const std::string& s) { FItems.push_back(s); }
  void Clear() { FItems.clear(); }
  // Lines joined with CR LF, each ended by one.
  std::string Text() const;
  // Splits the text into lines at CR LF, LF or CR.
  void SetText(const std::string& text);
  // The position of the first line equal to `s` without regard to the case
  // of Windows-1250 letters; -1 when there is none.
  int IndexOf(const std::string& s) const;
  // Replace the list with a file's lines / write the lines, each ended by
  // CR LF, to a new file. Both raise EStreamError on failure; a file that
  // opens but cannot be read to its end leaves the list as it was.
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName) const;

 private:
  std::vector<std::string> FItems;
};
