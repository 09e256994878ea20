#pragma once

// Desktop entries (the freedesktop.org desktop entry format): the name and icon a desktop shows
// for an application id, found in the XDG data directories and Flatpak's exports.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct DesktopEntry {
    std::string strName; // Name, in the locale's language when the entry has it
    std::string strIcon; // Icon: a theme's icon name, or an absolute file path
    bool operator==(const DesktopEntry&) const = default;
};

// Pure: the Name and Icon of an entry's [Desktop Entry] group, Name in strLocale's language
// ("de_DE.UTF-8@euro" tries de_DE@euro, de_DE, de@euro, de, then Name); escapes in values are
// undone. Nothing for bytes with no such group, no Name, or an entry marked Hidden (deleted).
std::optional<DesktopEntry> ParseDesktopEntry(std::string_view bytes, std::string_view strLocale);

// The directories whose applications/ folders hold desktop entries, most important first:
// XDG_DATA_HOME (or ~/.local/share), XDG_DATA_DIRS (or /usr/local/share:/usr/share), and
// Flatpak's exports (the user's and the system's) when those do not name them.
std::vector<std::string> DesktopDataDirs();

// The entry of an application id (the file applications/<id>.desktop of the first directory
// that has it); nothing for ids that cannot name a file there or have no readable entry.
std::optional<DesktopEntry> FindDesktopEntry(std::string_view strId,
                                             const std::vector<std::string>& dirs,
                                             std::string_view strLocale);
