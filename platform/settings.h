// The settings store: one small file per setting below a root directory. A sub-key path such as
// "Dev12\\ExclDly" names the file <root>/Dev12/ExclDly. The engine only ever reads it.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// TOVU_SETTINGS_DIR, else $XDG_CONFIG_HOME/Quembly/TovuEngine (XDG_CONFIG_HOME defaulting to ~/.config).
std::string SettingsRoot();
// Reads the text of a setting into `text` (at most capacity - 1 bytes, zero-terminated). Fails when
// the file is missing, not a regular file, unreadable or longer than capacity - 1 bytes.
bool ReadSettingText(const char* subKey, char* text, size_t capacity);

}  // namespace platform
