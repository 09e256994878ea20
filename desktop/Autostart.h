#pragma once

#include <string>

// "Start at login": an XDG autostart entry, ~/.config/autostart/orvek.desktop (under
// $XDG_CONFIG_HOME when set), that starts Orvek capturing with the last settings, hidden when a
// tray holds its icon.

// The command line option the entry starts Orvek with.
inline constexpr const char* kAutostartOption = "--autostart";

// The entry's path; "" without a home folder.
std::string AutostartPath();
// Whether the entry exists and is not disabled.
bool IsAutostartEnabled();
// Pure: the entry's text for the program at strProgram.
std::string AutostartEntry(const std::string& strProgram);
// Writes (for strProgram) or removes the entry; false with the system's reason.
bool SetAutostart(bool bEnabled, const std::string& strProgram, std::string& strError);
