// Desktop entries, which name the applications of the model's rows for a front end: parsed from
// crafted bytes, and found by id in data directories the test makes.

#include "DesktopEntry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdlib.h>

namespace {

// Desktop entries as crafted bytes: the [Desktop Entry] group's Name in the best language the
// locale has, its Icon, escapes undone; other groups, comments and broken lines ignored; hidden
// entries and entries without a name are none.
TEST(DesktopEntries, NameInTheLocalesLanguageAndIcon) {
    const std::string strEntry = "# a comment\r\n"
                                 "[Desktop Action new]\nName=New window\nIcon=new\n"
                                 "[Desktop Entry]\r\n"
                                 "Type=Application\n"
                                 "no equals sign here\n"
                                 "Name = Maps\\sand\\\\more \r\n"
                                 "Name[de]=Karten\n"
                                 "Name[de_AT]=Landkarten\n"
                                 "Name[sr@latin]=Mape\n"
                                 "Name[fr]=\n"
                                 "Icon=org.example.Maps\n"
                                 "Name=second Name is ignored\n"
                                 "[Other]\nIcon=other\n";
    const auto shown = [&](const std::string& strBytes, const char* szLocale) {
        const std::optional<DesktopEntry> entry = ParseDesktopEntry(strBytes, szLocale);
        return entry ? entry->strName + "|" + entry->strIcon : std::string("none");
    };
    EXPECT_EQ(shown(strEntry, ""), "Maps and\\more|org.example.Maps");
    EXPECT_EQ(shown(strEntry, "C.UTF-8"), "Maps and\\more|org.example.Maps");
    EXPECT_EQ(shown(strEntry, "de_DE.UTF-8"), "Karten|org.example.Maps");
    EXPECT_EQ(shown(strEntry, "de_AT.UTF-8@euro"), "Landkarten|org.example.Maps");
    EXPECT_EQ(shown(strEntry, "sr_RS@latin"), "Mape|org.example.Maps");
    EXPECT_EQ(shown(strEntry, "fr_FR"), "Maps and\\more|org.example.Maps"); // empty: the default
    EXPECT_EQ(shown("[Desktop Entry]\nName=Tool\n", "de"), "Tool|");
    EXPECT_EQ(shown("[Desktop Entry]\nName=Gone\nHidden=true\n", ""), "none");
    EXPECT_EQ(shown("[Desktop Entry]\nIcon=x\n", ""), "none");
    EXPECT_EQ(shown("Name=No group\n", ""), "none");
    EXPECT_EQ(shown("[Desktop Entry]\nName=A" + std::string(1, '\0') + "B\n", ""),
              std::string("A\0B", 3) + "|");
    EXPECT_EQ(shown("", ""), "none");
    EXPECT_EQ(shown("[Desktop Entry", ""), "none");
}

// Entries found by id in the data directories, the first directory that has the file deciding
// (a user's hidden copy hides the system's); ids that are no file name find nothing.
TEST(DesktopEntries, FoundByIdFirstDirectoryDecides) {
    char szDir[] = "/tmp/orvek-entries-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    const std::string strUser = std::string(szDir) + "/user",
                      strSystem = std::string(szDir) + "/sys";
    std::filesystem::create_directories(strUser + "/applications");
    std::filesystem::create_directories(strSystem + "/applications/sub.desktop");
    const auto write = [](const std::string& strPath, const std::string& strBytes) {
        std::ofstream(strPath) << strBytes;
    };
    write(strSystem + "/applications/org.example.Maps.desktop",
          "[Desktop Entry]\nName=Maps\nIcon=maps\n");
    write(strSystem + "/applications/gone.desktop", "[Desktop Entry]\nName=Gone\n");
    write(strUser + "/applications/gone.desktop", "[Desktop Entry]\nName=Gone\nHidden=true\n");
    write(std::string(szDir) + "/secret.desktop", "[Desktop Entry]\nName=Secret\n");
    const std::vector<std::string> dirs = {strUser, strSystem};
    EXPECT_EQ(FindDesktopEntry("org.example.Maps", dirs, ""), (DesktopEntry{"Maps", "maps"}));
    for (const char* szId : {"gone", "missing", "", "../../secret", ".hidden", "sub"}) {
        EXPECT_FALSE(FindDesktopEntry(szId, dirs, "")) << szId;
    }
    std::filesystem::remove_all(szDir);
}

} // namespace
