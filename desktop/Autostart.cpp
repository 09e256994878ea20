#include "Autostart.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

std::string AutostartPath() {
    const char* szConfig = std::getenv("XDG_CONFIG_HOME");
    if (szConfig != nullptr && szConfig[0] == '/') {
        return std::string(szConfig) + "/autostart/orvek.desktop";
    }
    const char* szHome = std::getenv("HOME");
    if (szHome == nullptr || szHome[0] != '/') {
        return "";
    }
    return std::string(szHome) + "/.config/autostart/orvek.desktop";
}

bool IsAutostartEnabled() {
    const std::string strPath = AutostartPath();
    std::ifstream file(strPath);
    if (strPath.empty() || !file) {
        return false;
    }
    for (std::string strLine; std::getline(file, strLine);) {
        if (strLine == "Hidden=true" || strLine == "X-GNOME-Autostart-enabled=false") {
            return false;
        }
    }
    return true;
}

std::string AutostartEntry(const std::string& strProgram) {
    // Exec quoting of desktop entries: the path in double quotes, with ", `, $
    // and \ escaped.
    std::string strQuoted = "\"";
    for (const char ch : strProgram) {
        if (ch == '"' || ch == '`' || ch == '$' || ch == '\\') {
            strQuoted += "\\\\";
        }
        strQuoted += ch;
    }
    strQuoted += '"';
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Orvek\n"
           "Comment=Counts this computer's network traffic from login\n"
           "Exec=" +
           strQuoted + " " + kAutostartOption +
           "\n"
           "Icon=orvek\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool SetAutostart(bool bEnabled, const std::string& strProgram, std::string& strError) {
    const std::string strPath = AutostartPath();
    if (strPath.empty()) {
        strError = "there is no home folder to keep the autostart entry in";
        return false;
    }
    std::error_code ec;
    if (!bEnabled) {
        std::filesystem::remove(strPath, ec);
        if (ec) {
            strError = "cannot remove " + strPath + ": " + ec.message();
            return false;
        }
        return true;
    }
    std::filesystem::create_directories(std::filesystem::path(strPath).parent_path(), ec);
    // Written beside and renamed over: a login never finds half an entry.
    const std::string strTemporary = strPath + ".new";
    {
        std::ofstream file(strTemporary, std::ios::trunc);
        file << AutostartEntry(strProgram);
        file.close();
        if (!file) {
            std::filesystem::remove(strTemporary, ec);
            strError = "cannot write " + strPath;
            return false;
        }
    }
    std::filesystem::rename(strTemporary, strPath, ec);
    if (ec) {
        strError = "cannot write " + strPath + ": " + ec.message();
        return false;
    }
    return true;
}
