// The settings store on Windows: the registry, HKEY_CURRENT_USER\Software\Quembly\TovuEngine, one
// sub-key per setting whose default value holds its text. See settings.h.
#include "platform/settings.h"

#include <windows.h>

#include <memory>
#include <new>

namespace platform {

std::string SettingsRoot() { return "HKEY_CURRENT_USER\\Software\\Quembly\\TovuEngine"; }

bool ReadSettingText(const char* subKey, char* text, size_t capacity) {
  if (capacity == 0 || !subKey) return false;
  std::string key = std::string("Software\\Quembly\\TovuEngine\\") + subKey;
  // One byte more than fits, so that a value stored without its terminator and one that is simply
  // too long are both recognised and refused.
  std::unique_ptr<char[]> value(new (std::nothrow) char[capacity + 1]);
  if (!value) return false;
  LONG size = static_cast<LONG>(capacity + 1);
  if (RegQueryValueA(HKEY_CURRENT_USER, key.c_str(), value.get(), &size) != ERROR_SUCCESS) return false;
  if (size < 0 || static_cast<size_t>(size) > capacity + 1) return false;
  size_t length = 0;
  while (length < static_cast<size_t>(size) && value[length] != '\0') ++length;
  if (length > capacity - 1) return false;
  for (size_t i = 0; i < length; ++i) text[i] = value[i];
  text[length] = '\0';
  return true;
}

}  // namespace platform
