#include "platform/registry.h"

#include <vector>

#include "platform/win32/win.h"

namespace plat {

bool ReadMachineString(const std::string& key, const std::string& name, std::string* value) {
  HKEY handle;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return false;
  DWORD type = 0, size = 0;
  LONG rc = RegQueryValueExA(handle, name.c_str(), nullptr, &type, nullptr, &size);
  std::vector<char> data(size + 1, '\0');
  if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    rc = RegQueryValueExA(handle, name.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(data.data()), &size);
  } else {
    rc = ERROR_INVALID_DATA;
  }
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS) return false;
  std::string text(data.data());  // the stored text may or may not end with its zero
  if (type == REG_EXPAND_SZ) {
    DWORD n = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    std::vector<char> expanded(n + 1, '\0');
    if (n == 0 || ExpandEnvironmentStringsA(text.c_str(), expanded.data(), n + 1) == 0)
      return false;
    text = expanded.data();
  }
  *value = text;
  return true;
}

}  // namespace plat
