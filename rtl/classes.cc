#include "rtl/classes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/files.h"

TComponent::TComponent(TComponent* owner) : FOwner(owner) {
  if (FOwner != nullptr) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    FComponents.pop_back();
    child->FOwner = nullptr;
    child->FDestroying = true;
    delete child;
  }
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

void TComponent::RemoveComponent(TComponent* child) {
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), child), FComponents.end());
}

std::int64_t TStream::Size() {
  std::int64_t here = Seek(0, 1);
  std::int64_t end = Seek(0, 2);
  Seek(here, 0);
  return end;
}

void TStream::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count) {
  std::int64_t left = static_cast<std::int64_t>(FData.size()) - FPosition;
  if (count <= 0 || left <= 0) return 0;
  std::int32_t n = static_cast<std::int32_t>(std::min<std::int64_t>(count, left));
  std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0 || FPosition < 0) return 0;
  std::size_t end = static_cast<std::size_t>(FPosition) + static_cast<std::size_t>(count);
  const char* bytes = static_cast<const char*>(buffer);
  if (static_cast<std::size_t>(FPosition) == FData.size()) {
    FData.insert(FData.end(), bytes, bytes + count);  // appending: no zero fill first
  } else {
    if (end > FData.size()) FData.resize(end);
    std::memcpy(FData.data() + FPosition, bytes, static_cast<std::size_t>(count));
  }
  FPosition = static_cast<std::int64_t>(end);
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, int origin) {
  std::int64_t base = origin == 0   ? 0
                      : origin == 1 ? FPosition
                                    : static_cast<std::int64_t>(FData.size());
  FPosition = std::max<std::int64_t>(0, base + offset);
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t size) {
  auto bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0));
  // A size_t narrower than the request would wrap round silently.
  if (bytes > FData.max_size()) throw std::length_error("TMemoryStream::SetSize");
  FData.resize(static_cast<std::size_t>(bytes));
  FPosition = std::min(FPosition, static_cast<std::int64_t>(FData.size()));
}

void TMemoryStream::Clear() {
  FData.clear();
  FPosition = 0;
}

TFileStream::TFileStream(const std::string& fileName, std::uint16_t mode)
    : FHandle(mode == fmCreate ? plat::FileCreate(fileName.c_str())
                               : plat::FileOpenRead(fileName.c_str())) {
  if (FHandle == plat::kNoFile) throw EStreamError(Format("Cannot open file %s", fileName.c_str()));
}

TFileStream::~TFileStream() { plat::FileClose(FHandle); }

std::int32_t TFileStream::Read(void* buffer, std::int32_t count) {
  std::int32_t n = plat::FileRead(FHandle, buffer, count);
  return n < 0 ? 0 : n;
}

std::int32_t TFileStream::Write(const void* buffer, std::int32_t count) {
  std::int32_t n = plat::FileWrite(FHandle, buffer, count);
  return n < 0 ? 0 : n;
}

std::int64_t TFileStream::Seek(std::int64_t offset, int origin) {
  return plat::FileSeek(FHandle, offset, origin);
}

std::string TStringList::Text() const {
  std::string out;
  for (const std::string& s : FItems) out += s + "\r\n";
  return out;
}

void TStringList::SetText(const std::string& text) {
  FItems.clear();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      FItems.push_back(text.substr(start));
      break;
    }
    FItems.push_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
}

int TStringList::IndexOf(const std::string& s) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (AnsiSameText(FItems[i], s)) return static_cast<int>(i);
  }
  return -1;
}

// Read through the platform directly: a stream's Read answers a failed read
// with 0, the same as the end of the file, and a list cut short at a read
// error would be saved back as if it were whole.
void TStringList::LoadFromFile(const std::string& fileName) {
  plat::FileHandle in = plat::FileOpenRead(fileName.c_str());
  if (in == plat::kNoFile) throw EStreamError(Format("Cannot open file %s", fileName.c_str()));
  std::string text;
  char buf[4096];
  for (;;) {
    std::int32_t n = plat::FileRead(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      plat::FileClose(in);
      throw EStreamError(Format("Cannot read file %s", fileName.c_str()));
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  plat::FileClose(in);
  SetText(text);
}

void TStringList::SaveToFile(const std::string& fileName) const {
  TFileStream out(fileName, fmCreate);
  std::string text = Text();
  out.WriteBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}
