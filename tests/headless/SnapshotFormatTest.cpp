// The snapshot's text, JSON and Prometheus forms on crafted snapshots: printf's rounding without
// its locale, escaping of arbitrary device bytes, and an exposition that promtool accepts.

#include "SnapshotFormat.h"
#include "OrvekMeter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace {

std::string PrintfMebibytes(const char* szLabel, int64_t nBytes) {
    char szText[128];
    std::snprintf(szText, sizeof szText, " %s  %.3f Mb", szLabel, nBytes / 1048576.0);
    return szText;
}

MeterSnapshot TwoDevices() {
    MeterSnapshot snapshot{300, 7000, {}};
    snapshot.devices = {{"eth0", "capturing", true, 300, 7000, 3, 5, 2},
                        {"wlan0", "down", false, 0, 0, 0, 0, 0}};
    return snapshot;
}

TEST(SnapshotText, RoundsAsPrintfDoesInTheCLocale) {
    EXPECT_EQ(FormatTextLine({0, 1000000, {}}), " Recv  0.954 Mb\t Sent  0.000 Mb");
    // 65536 and 196608 bytes are exact ties (0.0625, 0.1875 MiB), which printf rounds to even.
    std::vector<int64_t> vecBytes{65536, 196608, 123456789012, std::numeric_limits<int64_t>::max()};
    for (int64_t nBytes = 0; nBytes < (int64_t{1} << 22); nBytes += 511) {
        vecBytes.push_back(nBytes);
    }
    for (const int64_t nBytes : vecBytes) {
        ASSERT_EQ(COrvekMeter::FormatSent(nBytes), PrintfMebibytes("Sent", nBytes)) << nBytes;
    }
}

TEST(SnapshotText, KeepsTheDecimalPointUnderACommaLocale) {
    const std::string strSaved = std::setlocale(LC_ALL, nullptr);
    bool bComma = false;
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        // As root the test makes the locale it needs (Debian's locales package has localedef).
        [[maybe_unused]] const int nStatus =
            std::system("localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1");
    }
    for (const char* szLocale : {"de_DE.UTF-8", "fr_FR.UTF-8", "nl_NL.UTF-8"}) {
        if (std::setlocale(LC_ALL, szLocale) != nullptr) {
            bComma = PrintfMebibytes("Recv", 1).find(',') != std::string::npos;
            break;
        }
    }
    const std::string strLine = FormatTextLine({3 * 1048576 + 524288, 1000000, {}});
    std::setlocale(LC_ALL, strSaved.c_str());
    if (!bComma) {
        GTEST_SKIP() << "no locale with a decimal comma could be made (localedef -i de_DE -f "
                        "UTF-8 de_DE.UTF-8 failed: run as root with Debian's locales package)";
    }
    EXPECT_EQ(strLine, " Recv  0.954 Mb\t Sent  3.500 Mb");
}

TEST(SnapshotJson, OneObjectWithTotalsAndDevices) {
    EXPECT_EQ(FormatJsonLine({}), R"({"sent_bytes":0,"received_bytes":0,"devices":[]})");
    EXPECT_EQ(FormatJsonLine(TwoDevices()),
              R"({"sent_bytes":300,"received_bytes":7000,"devices":[)"
              R"({"name":"eth0","state":"capturing","sent_bytes":300,"received_bytes":7000,)"
              R"("packets":8,"drops":2},)"
              R"({"name":"wlan0","state":"down","sent_bytes":0,"received_bytes":0,"packets":0,)"
              R"("drops":0}]})");
}

TEST(SnapshotJson, EscapesAnyBytesIntoValidUtf8) {
    MeterSnapshot snapshot;
    // Quote, backslash, control characters, DEL and valid UTF-8 ("é", "€", an emoji); then bytes
    // that are not UTF-8: a stray byte, an overlong NUL, a surrogate, a code point past U+10FFFF
    // and a sequence cut short by the end.
    snapshot.devices.push_back(
        {"a\"b\\c\n\t\x01\x1f\x7f", "failed: \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", false});
    snapshot.devices.push_back(
        {std::string("\xFF|\xC0\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\0|\xE2\x82", 18), "", false});
    const std::string strJson = FormatJsonLine(snapshot);
    const std::string strBad = "\xEF\xBF\xBD";
    for (const std::string& strPiece :
         {std::string(R"("name":"a\"b\\c\u000a\u0009\u0001\u001f)") + "\x7f\"",
          std::string("\"state\":\"failed: \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""),
          "\"name\":\"" + strBad + "|" + strBad + strBad + "|" + strBad + strBad + strBad + "|" +
              strBad + strBad + strBad + strBad + "|\\u0000|" + strBad + strBad + "\""}) {
        EXPECT_NE(strJson.find(strPiece), std::string::npos) << strPiece << " in " << strJson;
    }
}

// Each family's HELP and TYPE must come once, with all its samples right after them.
void ExpectFamiliesGrouped(const std::string& strText) {
    std::vector<std::string> vecFamilies;
    std::istringstream lines(strText);
    std::string strLine;
    while (std::getline(lines, strLine)) {
        if (strLine.rfind("# HELP ", 0) == 0) {
            const std::string strName = strLine.substr(7, strLine.find(' ', 7) - 7);
            EXPECT_EQ(std::count(vecFamilies.begin(), vecFamilies.end(), strName), 0) << strName;
            vecFamilies.push_back(strName);
            EXPECT_TRUE(std::getline(lines, strLine));
            EXPECT_EQ(strLine.rfind("# TYPE " + strName + " ", 0), 0u) << strLine;
        } else {
            EXPECT_EQ(strLine.rfind(vecFamilies.back() + "{", 0), 0u) << strLine;
        }
    }
    EXPECT_EQ(vecFamilies, (std::vector<std::string>{"orvek_bytes_total", "orvek_packets_total",
                                                     "orvek_dropped_packets_total",
                                                     "orvek_capturing", "orvek_build_info"}));
}

TEST(SnapshotPrometheus, FamiliesGroupedAndLabelValuesEscaped) {
    MeterSnapshot snapshot = TwoDevices();
    snapshot.devices.push_back({"a\"b\\c\nd\te\xFF", "", true});
    const std::string strText = FormatPrometheus(snapshot, "1.0\"\n");
    ExpectFamiliesGrouped(strText);
    ExpectFamiliesGrouped(FormatPrometheus({}, "1"));
    for (const char* szSample :
         {"# TYPE orvek_bytes_total counter\n", "# TYPE orvek_capturing gauge\n",
          "orvek_bytes_total{device=\"eth0\",direction=\"sent\"} 300\n",
          "orvek_bytes_total{device=\"eth0\",direction=\"received\"} 7000\n",
          "orvek_packets_total{device=\"eth0\",direction=\"sent\"} 3\n",
          "orvek_packets_total{device=\"eth0\",direction=\"received\"} 5\n",
          "orvek_dropped_packets_total{device=\"eth0\"} 2\n",
          "orvek_capturing{device=\"wlan0\"} 0\n",
          // Only backslash, quote and line feed are escaped; bytes that are not UTF-8 replaced.
          "orvek_capturing{device=\"a\\\"b\\\\c\\nd\te\xEF\xBF\xBD\"} 1\n",
          "orvek_build_info{version=\"1.0\\\"\\n\"} 1\n"}) {
        EXPECT_NE(strText.find(szSample), std::string::npos) << szSample;
    }
}

// Runs promtool's own check on the text; returns its exit status and output.
std::pair<int, std::string> RunPromtool(const std::string& strText) {
    char szPath[] = "/tmp/orvek-metrics-XXXXXX";
    const int nFd = mkstemp(szPath);
    EXPECT_EQ(write(nFd, strText.data(), strText.size()), static_cast<ssize_t>(strText.size()));
    close(nFd);
    std::string strOutput;
    FILE* pPipe =
        popen(("/usr/bin/promtool check metrics 2>&1 < " + std::string(szPath)).c_str(), "r");
    char szBuffer[512];
    while (pPipe != nullptr && std::fgets(szBuffer, sizeof szBuffer, pPipe) != nullptr) {
        strOutput += szBuffer;
    }
    const int nStatus = pPipe != nullptr ? pclose(pPipe) : -1;
    unlink(szPath);
    return {nStatus, strOutput};
}

TEST(SnapshotPrometheus, PromtoolAcceptsTheExposition) {
    if (access("/usr/bin/promtool", X_OK) != 0) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    MeterSnapshot snapshot = TwoDevices();
    snapshot.devices.push_back({"odd \"name\"\\\n\xC3\xA9\xFF", "failed: x", false, 1, 2, 3, 4, 5});
    for (const MeterSnapshot& sample : {MeterSnapshot{}, snapshot}) {
        const auto [nStatus, strOutput] = RunPromtool(FormatPrometheus(sample, "1.0.0.1"));
        EXPECT_EQ(nStatus, 0) << strOutput;
    }
    // The check is not blind: a counter without _total and a repeated family are refused.
    EXPECT_NE(RunPromtool("# HELP x_bytes b\n# TYPE x_bytes counter\nx_bytes 1\n").first, 0);
    EXPECT_NE(RunPromtool("# TYPE a gauge\na 1\n# TYPE a gauge\na{b=\"c\"} 1\n").first, 0);
}

} // namespace
