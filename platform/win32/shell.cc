#include "platform/shell.h"

#include "platform/win32/win.h"
// After the Windows headers: the shell and COM declarations build on them.
#include <objbase.h>
#include <shlobj.h>

#include <vector>

namespace plat {
namespace {

// Asks with a buffer of the customary size first and again with the size the
// call reports, so a path longer than 260 characters comes back whole.
template <typename Call>
std::string SizedPath(Call call) {
  std::vector<char> buf(MAX_PATH + 1);
  UINT n = call(buf.data(), static_cast<UINT>(buf.size()));
  if (n >= buf.size()) {
    buf.resize(n + 1);
    n = call(buf.data(), static_cast<UINT>(buf.size()));
    if (n >= buf.size()) return "";
  }
  return std::string(buf.data(), n);
}

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
  return w;
}

}  // namespace

std::string SpecialFolder(int csidl) {
  LPITEMIDLIST items = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &items)) || items == nullptr) return "";
  char buf[MAX_PATH + 1] = {};
  BOOL ok = SHGetPathFromIDListA(items, buf);
  CoTaskMemFree(items);
  return ok ? std::string(buf) : std::string();
}

std::string TempPath() {
  return SizedPath([](char* b, UINT n) { return static_cast<UINT>(GetTempPathA(n, b)); });
}

std::string WindowsDirectory() {
  return SizedPath([](char* b, UINT n) { return GetWindowsDirectoryA(b, n); });
}

std::string SystemDirectory() {
  return SizedPath([](char* b, UINT n) { return GetSystemDirectoryA(b, n); });
}

const char* TempFallback() { return "C:\\Temp\\"; }
const char* ProgramFilesFallback() { return "C:\\Program Files"; }
const char* CommonFilesFallback() { return "C:\\Program Files\\Common Files"; }

char PathSeparator() { return '\\'; }

const char* ShellLinkExtension() { return ".lnk"; }

LinkResult SaveShellLink(const std::string& folder, const std::string& name,
                         const std::string& target, const std::string& arguments,
                         const std::string& workingDir, long* error) {
  *error = 0;
  std::string linkFile = folder + name + ShellLinkExtension();
  HRESULT init = CoInitialize(nullptr);
  IShellLinkA* link = nullptr;
  IPersistFile* file = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link));
  if (SUCCEEDED(hr)) hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  LinkResult result = LinkResult::kNoLinkObject;
  if (SUCCEEDED(hr)) {
    bool ok = true;
    if (!arguments.empty()) ok = SUCCEEDED(link->SetArguments(arguments.c_str()));
    ok = SUCCEEDED(link->SetPath(target.c_str())) && ok;
    ok = SUCCEEDED(link->SetWorkingDirectory(workingDir.c_str())) && ok;
    ok = ok && SUCCEEDED(file->Save(Wide(linkFile).c_str(), FALSE));
    result = ok ? LinkResult::kSaved : LinkResult::kNotSaved;
  } else {
    *error = static_cast<long>(hr);
  }
  // The interfaces belong to the apartment: they go before it is closed.
  if (file != nullptr) file->Release();
  if (link != nullptr) link->Release();
  if (SUCCEEDED(init)) CoUninitialize();
  return result;
}

}  // namespace plat
