// The program's setting that chooses the adapter library.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mulvo {

// The setting Adapter/Library of DOVRAX's settings store, read as the store reads it (the same
// files in the same order, the same quoting and escapes); nothing when it is not set. Every
// program and tool reads it here, the window program too, so no tool needs Qt for it.
std::optional<std::string> readAdapterSetting();

// The files the settings store of organisation "Velmora", application "DOVRAX" reads, most
// specific first: the user's $XDG_CONFIG_HOME (else ~/.config) Velmora/DOVRAX.conf and
// Velmora.conf, then the same two names under each $XDG_CONFIG_DIRS (else /etc/xdg) folder.
std::vector<std::string> settingsFiles();

// The value of `key` ("Group/Name") in the text of one settings file, as the store gives it
// as a string; nothing when the file does not hold the key.
std::optional<std::string> settingsFileValue(std::string_view text, std::string_view key);

} // namespace mulvo
