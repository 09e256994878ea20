#include "DesktopEntry.h"

#include "ZarnFd.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// Desktop entries are small; a larger file is no entry of ours.
constexpr size_t kMaxEntryBytes = 256 * 1024;
constexpr size_t kMaxIdBytes = 255 - 8; // a file name, with ".desktop"

std::string_view Trim(std::string_view str) {
    while (!str.empty() && (str.front() == ' ' || str.front() == '\t')) {
        str.remove_prefix(1);
    }
    while (!str.empty() && (str.back() == ' ' || str.back() == '\t' || str.back() == '\r')) {
        str.remove_suffix(1);
    }
    return str;
}

std::string Unescape(std::string_view str) {
    std::string strOut;
    for (size_t n = 0; n < str.size(); ++n) {
        if (str[n] != '\\' || n + 1 == str.size()) {
            strOut += str[n];
            continue;
        }
        switch (str[++n]) {
        case 's':
            strOut += ' ';
            break;
        case 'n':
            strOut += '\n';
            break;
        case 't':
            strOut += '\t';
            break;
        case 'r':
            strOut += '\r';
            break;
        default: // "\\" and anything else: the character itself
            strOut += str[n];
            break;
        }
    }
    return strOut;
}

// The locale's names for Name[...], best first: lang_COUNTRY@MODIFIER, lang_COUNTRY,
// lang@MODIFIER, lang (the encoding is no part of them).
std::vector<std::string> LocaleKeys(std::string_view strLocale) {
    std::string_view strModifier;
    if (const size_t nAt = strLocale.find('@'); nAt != std::string_view::npos) {
        strModifier = strLocale.substr(nAt);
        strLocale = strLocale.substr(0, nAt);
    }
    strLocale = strLocale.substr(0, strLocale.find('.'));
    const std::string_view strLang = strLocale.substr(0, strLocale.find('_'));
    std::vector<std::string> keys;
    if (strLang.empty() || strLocale == "C" || strLocale == "POSIX") {
        return keys;
    }
    const auto add = [&](std::string str) {
        if (std::ranges::find(keys, str) == keys.end()) {
            keys.push_back(std::move(str));
        }
    };
    if (!strModifier.empty()) {
        add(std::string(strLocale) + std::string(strModifier));
    }
    add(std::string(strLocale));
    if (!strModifier.empty()) {
        add(std::string(strLang) + std::string(strModifier));
    }
    add(std::string(strLang));
    return keys;
}

std::string ReadEntryFile(const std::string& strPath, bool& bRead) {
    bRead = false;
    const CZarnFd fd(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::string strBytes;
    if (!fd.IsOpen()) {
        return strBytes;
    }
    char aBuffer[8192];
    ssize_t nRead = 0;
    while ((nRead = ::read(fd.Get(), aBuffer, sizeof aBuffer)) > 0) {
        strBytes.append(aBuffer, static_cast<size_t>(nRead));
        if (strBytes.size() > kMaxEntryBytes) {
            return {};
        }
    }
    bRead = nRead == 0;
    return strBytes;
}

void AddSplit(std::vector<std::string>& dirs, std::string_view strList) {
    while (!strList.empty()) {
        const size_t nEnd = std::min(strList.find(':'), strList.size());
        // Relative directories are ignored, as the XDG base directories say.
        if (strList.substr(0, nEnd).starts_with('/')) {
            dirs.emplace_back(strList.substr(0, nEnd));
        }
        strList.remove_prefix(std::min(nEnd + 1, strList.size()));
    }
}

} // namespace

std::optional<DesktopEntry> ParseDesktopEntry(std::string_view bytes, std::string_view strLocale) {
    const std::vector<std::string> localeKeys = LocaleKeys(strLocale);
    std::optional<std::string> name, icon;
    size_t nBestLocale = localeKeys.size(); // the rank of the localized Name found, if any
    std::string strLocalName;
    bool bInGroup = false, bSeenGroup = false;
    while (!bytes.empty()) {
        const size_t nEnd = std::min(bytes.find('\n'), bytes.size());
        const std::string_view strLine = Trim(bytes.substr(0, nEnd));
        bytes.remove_prefix(std::min(nEnd + 1, bytes.size()));
        if (strLine.empty() || strLine.front() == '#') {
            continue;
        }
        if (strLine.front() == '[') {
            bInGroup = strLine == "[Desktop Entry]";
            bSeenGroup = bSeenGroup || bInGroup;
            continue;
        }
        const size_t nEquals = strLine.find('=');
        if (!bInGroup || nEquals == std::string_view::npos) {
            continue;
        }
        const std::string_view strKey = Trim(strLine.substr(0, nEquals));
        const std::string_view strValue = Trim(strLine.substr(nEquals + 1));
        if (strKey == "Name" && !name) {
            name = Unescape(strValue);
        } else if (strKey == "Icon" && !icon) {
            icon = Unescape(strValue);
        } else if (strKey == "Hidden" && strValue == "true") {
            return std::nullopt;
        } else if (strKey.starts_with("Name[") && strKey.ends_with(']')) {
            const std::string_view strKeyLocale = strKey.substr(5, strKey.size() - 6);
            const auto it = std::ranges::find(localeKeys, strKeyLocale);
            const auto nRank = static_cast<size_t>(it - localeKeys.begin());
            if (nRank < nBestLocale) {
                nBestLocale = nRank;
                strLocalName = Unescape(strValue);
            }
        }
    }
    if (!bSeenGroup || !name || name->empty()) {
        return std::nullopt;
    }
    return DesktopEntry{nBestLocale < localeKeys.size() && !strLocalName.empty() ? strLocalName
                                                                                 : *name,
                        icon.value_or("")};
}

std::vector<std::string> DesktopDataDirs() {
    std::vector<std::string> dirs;
    std::string strHome;
    if (const char* szHome = std::getenv("HOME"); szHome != nullptr && *szHome == '/') {
        strHome = szHome;
    } else {
        passwd entry{};
        passwd* pEntry = nullptr;
        std::array<char, 4096> buffer{};
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &pEntry) == 0 &&
            pEntry != nullptr && pEntry->pw_dir != nullptr) {
            strHome = pEntry->pw_dir;
        }
    }
    const char* szDataHome = std::getenv("XDG_DATA_HOME");
    if (szDataHome != nullptr && *szDataHome == '/') {
        dirs.emplace_back(szDataHome);
    } else if (!strHome.empty()) {
        dirs.push_back(strHome + "/.local/share");
    }
    const char* szDataDirs = std::getenv("XDG_DATA_DIRS");
    AddSplit(dirs, szDataDirs != nullptr && *szDataDirs != '\0' ? szDataDirs
                                                                : "/usr/local/share:/usr/share");
    // Flatpak adds its exports to the session's list; a session started without it still has
    // its applications.
    for (const std::string& strExports :
         {strHome.empty() ? std::string() : strHome + "/.local/share/flatpak/exports/share",
          std::string("/var/lib/flatpak/exports/share")}) {
        if (!strExports.empty() && std::ranges::find(dirs, strExports) == dirs.end()) {
            dirs.push_back(strExports);
        }
    }
    return dirs;
}

std::optional<DesktopEntry> FindDesktopEntry(std::string_view strId,
                                             const std::vector<std::string>& dirs,
                                             std::string_view strLocale) {
    if (strId.empty() || strId.size() > kMaxIdBytes || strId.front() == '.' ||
        strId.find('/') != std::string_view::npos || strId.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    for (const std::string& strDir : dirs) {
        bool bRead = false;
        const std::string strBytes =
            ReadEntryFile(strDir + "/applications/" + std::string(strId) + ".desktop", bRead);
        if (bRead) {
            // The first directory that has the file decides, even when its entry is hidden.
            return ParseDesktopEntry(strBytes, strLocale);
        }
    }
    return std::nullopt;
}
