// The snapshot's text, JSON and Prometheus forms on crafted snapshots: printf's rounding without
// its locale, escaping of arbitrary device bytes, and an exposition that promtool accepts.

#include "SnapshotFormat.h"
#include "JsonText.h"
#include "Units.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <regex>
#include <span>
#include <unistd.h>

namespace {

// The counters must round as printf does in the C locale, also where the locale writes a decimal
// comma: these lines are read by programs.
TEST(SnapshotText, RoundsAsPrintfInTheCLocaleUnderACommaLocale) {
    // 65536 and 196608 bytes are exact ties (0.0625, 0.1875 MiB), which printf rounds to even.
    std::vector<int64_t> vecBytes{65536, 196608, 123456789012, std::numeric_limits<int64_t>::max()};
    for (int64_t nBytes = 0; nBytes < (int64_t{1} << 22); nBytes += 511) {
        vecBytes.push_back(nBytes);
    }
    // As root the test makes the locale it needs (Debian's locales package has localedef).
    const bool bCommaLocale =
        std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr ||
        (std::system("localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1") == 0 &&
         std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr);
    std::vector<std::string> vecFormatted;
    for (const int64_t nBytes : vecBytes) {
        vecFormatted.push_back(FormatSentCounter(nBytes));
    }
    const std::string strLine = FormatTextLine({3 * 1048576 + 524288, 1000000, {}});
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(strLine, " Recv  0.954 Mb\t Sent  3.500 Mb");
    for (size_t nIndex = 0; nIndex < vecBytes.size(); ++nIndex) {
        char szPrintf[64];
        std::snprintf(szPrintf, sizeof szPrintf, " Sent  %.3f Mb", vecBytes[nIndex] / 1048576.0);
        ASSERT_EQ(vecFormatted[nIndex], szPrintf) << vecBytes[nIndex] << " bytes";
    }
    if (!bCommaLocale) {
        GTEST_SKIP() << "checked in the C locale only: localedef could not make de_DE.UTF-8";
    }
}

// Names and states are bytes: a JSON reader that refuses anything but UTF-8 reads them back as
// their text, UTF-8 kept, quotes and control characters escaped, other bytes as \xHH.
TEST(SnapshotJson, OneObjectWithAnyBytesEscapedIntoValidUtf8) {
    // A name with quote, backslash, control characters, DEL and valid UTF-8 ("é", "€", an emoji);
    // a state whose failure text holds bytes that are not UTF-8: a stray byte, an overlong NUL, a
    // surrogate, a code point past U+10FFFF and a sequence cut short by the end.
    MeterSnapshot snapshot{300, 7000, {}};
    snapshot.devices = {{"a\"b\\c\n\t\x01\x1f\x7f\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                         EDeviceState::Failed, true, 300, 7000, 3, 5, 2},
                        {"wlan0", EDeviceState::Down, false}};
    snapshot.devices[0].strDetail =
        std::string("\xFF|\xC0\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\0|\xE2\x82", 18);
    // Each byte that does not start a well-formed sequence becomes \xHH, a backslash two.
    EXPECT_EQ(FormatJsonLine(snapshot, {}, 0, {}),
              R"({"time":"1970-01-01T00:00:00.000Z","sent_bytes":300,"received_bytes":7000,)"
              R"("sent_rate":0,"received_rate":0,"devices":[)"
              R"({"name":"a\"b\\\\c\n\t\u0001\u001f)"
              "\x7f\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\",\"state\":\"failed: "
              R"(\\xff|\\xc0\\x80|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\u0000|\\xe2\\x82)"
              R"(","sent_bytes":300,"received_bytes":7000,"sent_rate":0,"received_rate":0,)"
              R"("packets":8,"drops":2},{"name":"wlan0","state":"down","sent_bytes":0,)"
              R"("received_bytes":0,"sent_rate":0,"received_rate":0,"packets":0,"drops":0}]})");

    // Applications likewise: "café" stays café, bytes that are not UTF-8 and control characters
    // in a name still make a line that a strict reader takes.
    snapshot.apps = {{"caf\xC3\xA9", 0, 10, 20, 1}, {"x\xFFy\"\n\\", 0, 1, 2, 1}};
    const std::string strLine = FormatJsonLine(snapshot, {}, 0, {}, 10);
    nlohmann::json line;
    ASSERT_NO_THROW(line = nlohmann::json::parse(strLine)) << strLine;
    EXPECT_EQ(line["devices"][0]["name"],
              "a\"b\\\\c\n\t\x01\x1f\x7f\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(
        line["devices"][0]["state"],
        std::string("failed: \\xff|\\xc0\\x80|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\0|\\xe2\\x82",
                    62));
    EXPECT_EQ(line["apps"][0]["name"], "caf\xC3\xA9");
    EXPECT_EQ(line["apps"][1]["name"], "x\\xffy\"\n\\\\");
    // A text that bypassed that rule is still written, its stray bytes as U+FFFD, never thrown.
    EXPECT_EQ(DumpJson({{"k\xFF", "v\xC3"}}), "{\"k\xEF\xBF\xBD\":\"v\xEF\xBF\xBD\"}");
}

// Each line of a run carries its time in UTC (the text lines only when asked) and the rates since
// the line before, per device too, over the times the snapshots were taken when they tell; a
// device new since then counts from zero.
TEST(SnapshotJson, LinesCarryTheirTimeAndTheRatesSinceTheLineBefore) {
    using namespace std::chrono;
    const steady_clock::time_point t0;
    const system_clock::time_point tWall(milliseconds(1700000000123));
    CLineFormatter json(true, false, t0), text(false, true, t0);
    MeterSnapshot snapshot{1000, 4000, {{"eth0", EDeviceState::Capturing, true, 1000, 4000}}};
    EXPECT_EQ(json.Next(snapshot, tWall, t0 + seconds(2)),
              R"({"time":"2023-11-14T22:13:20.123Z","sent_bytes":1000,"received_bytes":4000,)"
              R"("sent_rate":500,"received_rate":2000,"devices":[{"name":"eth0",)"
              R"("state":"capturing","sent_bytes":1000,"received_bytes":4000,"sent_rate":500,)"
              R"("received_rate":2000,"packets":0,"drops":0}]})");
    snapshot = {2500,
                4000,
                {{"eth0", EDeviceState::Capturing, true, 1000, 4000},
                 {"tun0", EDeviceState::Capturing, true, 1500}}};
    const std::string strSecond = json.Next(snapshot, tWall, t0 + milliseconds(2500));
    EXPECT_NE(strSecond.find(R"("sent_bytes":2500,"received_bytes":4000,"sent_rate":3000,)"
                             R"("received_rate":0,"devices")"),
              std::string::npos)
        << strSecond;
    EXPECT_NE(
        strSecond.find(R"("name":"tun0","state":"capturing","sent_bytes":1500,"received_bytes":0,)"
                       R"("sent_rate":3000,)"),
        std::string::npos)
        << strSecond;
    EXPECT_EQ(text.Next(snapshot, tWall, t0),
              "2023-11-14T22:13:20.123Z\t Recv  0.004 Mb\t Sent  0.002 Mb");
    // Snapshots that tell when they were taken are rated over those times, as the window's are:
    // taken a second apart, read 1.1 s apart.
    CLineFormatter taken(true, false, t0);
    snapshot.nTakenNs = SnapshotClockNs(t0 + seconds(10));
    taken.Next(snapshot, tWall, t0 + milliseconds(10050));
    snapshot.nTakenNs = SnapshotClockNs(t0 + seconds(11));
    snapshot.devices[1].nSentBytes += 1000;
    snapshot.nSentBytes += 1000;
    const std::string strTaken = taken.Next(snapshot, tWall, t0 + milliseconds(11150));
    EXPECT_NE(strTaken.find(R"("name":"tun0","state":"capturing","sent_bytes":2500,)"
                            R"("received_bytes":0,"sent_rate":1000,)"),
              std::string::npos)
        << strTaken;
    snapshot.nTakenNs = 0;

    // Per application: the largest by name with rates since the line before, the rest as other,
    // reasons by their label.
    CLineFormatter apps(true, false, t0, 1);
    snapshot.apps = {{"a", 0, 100, 0, 1}, {"b", 0, 10, 0, 1}, {"not attributed yet", 7, 0, 5, 0}};
    apps.Next(snapshot, tWall, t0 + seconds(1));
    snapshot.apps[0].nSentBytes = 300;
    const std::string strApps = apps.Next(snapshot, tWall, t0 + seconds(3));
    EXPECT_NE(strApps.find(R"("apps":[{"name":"a","sent_bytes":300,"received_bytes":0,)"
                           R"("sent_rate":100,"received_rate":0,"connections":1},)"
                           R"({"name":"other","sent_bytes":10,"received_bytes":0,"sent_rate":0,)"
                           R"("received_rate":0,"connections":1},{"name":"not attributed yet",)"
                           R"("reason":"pending","sent_bytes":0,"received_bytes":5,"sent_rate":0,)"
                           R"("received_rate":0,"connections":0}]})"),
              std::string::npos)
        << strApps;
    // A program of the viewer's own names its processes.
    snapshot.apps[0].vecPids = {42, 7};
    snapshot.apps[0].strCommand = "a --go";
    const std::string strWho = apps.Next(snapshot, tWall, t0 + seconds(4));
    EXPECT_NE(strWho.find(R"("connections":1,"pids":[42,7],"command":"a --go"},{"name":"other")"),
              std::string::npos)
        << strWho;
}

// Two ordinary devices, one whose name holds bytes a label value must escape, and two whose names
// would read alike if bytes that are not UTF-8 were replaced, and two tunnels shown carried with
// their inner bytes apart from the devices' (outer and overhead where known, null where not, in
// the JSON line too); the exposition passes promtool.
TEST(SnapshotPrometheus, FamiliesGroupedLabelValuesEscapedAndPromtoolAccepts) {
    MeterSnapshot snapshot{300, 7000, {}};
    snapshot.devices = {{"eth0", EDeviceState::Capturing, true, 300, 7000, 3, 5, 2},
                        {"wlan0", EDeviceState::Down, false, 0, 0, 0, 0, 0},
                        {"a\"b\\c\nd\te\xC3\xA9\xFF", EDeviceState::Failed, true, 1, 2, 3, 4, 5},
                        {"v\xFF", EDeviceState::Down, false},
                        {"v\xFE", EDeviceState::Down, false},
                        {"v\\xff", EDeviceState::Down, false},
                        {"tun0", EDeviceState::Carried, false},
                        {"vx0", EDeviceState::Carried, false}};
    // One the user names, whose outer flow is known, and a tunnel the kernel tells, bound to no
    // device.
    for (DeviceSnapshot& tunnel : std::span(snapshot.devices).last(2)) {
        tunnel.bCarried = true;
        tunnel.nInnerSentBytes = 100;
        tunnel.nInnerRecvBytes = 200;
    }
    snapshot.devices[6].strCarriedBy = "eth\"0";
    snapshot.devices[6].bOuterKnown = true;
    snapshot.devices[6].nOuterSentBytes = 150;
    snapshot.devices[6].nOuterRecvBytes = 280;
    const std::string strJson = FormatJsonLine(snapshot, snapshot, 1, {}, 0);
    EXPECT_NE(strJson.find(R"("drops":0,"tunnel":{"carried_by":"eth\"0","inner_sent_bytes":100,)"
                           R"("inner_received_bytes":200,"outer_sent_bytes":150,)"
                           R"("outer_received_bytes":280,"overhead_sent_bytes":50,)"
                           R"("overhead_received_bytes":80}})"),
              std::string::npos)
        << strJson;
    EXPECT_NE(strJson.find(R"("tunnel":{"carried_by":null,"inner_sent_bytes":100,)"
                           R"("inner_received_bytes":200,"outer_sent_bytes":null,)"
                           R"("outer_received_bytes":null,"overhead_sent_bytes":null,)"
                           R"("overhead_received_bytes":null}})"),
              std::string::npos)
        << strJson;
    EXPECT_EQ(strJson.find("\"tunnel\"", strJson.find("\"tunnel\"") + 1),
              strJson.rfind("\"tunnel\"")); // two tunnels, no other device
    // Per application: the two largest by name (two users' rows of one name as one), the rest as
    // other, reasons after them.
    snapshot.apps = {{"small", 0, 1, 1, 1},         {"not attributed: x", 4, 5, 6, 0},
                     {"big\"\n", 0, 100, 200, 2},   {"mid", 0, 30, 0, 1, 0, 1000},
                     {"mid", 0, 20, 0, 1, 0, 1001}, {"tiny", 0, 0, 1, 1}};
    const std::string strText = FormatPrometheus(snapshot, "1.0\"\n", 2);
    // Each line's family, runs collapsed: every family must come once, its lines all together.
    std::string strFamilies =
        std::regex_replace(strText, std::regex(R"((# \w+ )?(\w+)[ {].*)"), "$2");
    strFamilies = std::regex_replace(strFamilies, std::regex(R"((orvek_\w+\n)\1+)"), "$1");
    EXPECT_EQ(strFamilies, "orvek_bytes_total\norvek_packets_total\norvek_dropped_packets_total\n"
                           "orvek_capturing\norvek_carried\norvek_tunnel_bytes_total\n"
                           "orvek_tunnel_outer_bytes_total\norvek_monitor_up\n"
                           "orvek_app_bytes_total\norvek_build_info\n");
    for (const char* szSample :
         {"# TYPE orvek_bytes_total counter\n", "# TYPE orvek_capturing gauge\n",
          "orvek_bytes_total{device=\"eth0\",direction=\"sent\"} 300\n",
          "orvek_packets_total{device=\"eth0\",direction=\"received\"} 5\n",
          "orvek_dropped_packets_total{device=\"eth0\"} 2\n",
          "orvek_capturing{device=\"wlan0\"} 0\n",
          // Only backslash, quote and line feed are escaped, after bytes that are not UTF-8 became
          // \xHH and a backslash two.
          "orvek_capturing{device=\"a\\\"b\\\\\\\\c\\nd\te\xC3\xA9\\\\xff\"} 1\n",
          R"(orvek_capturing{device="v\\xff"} 0)", R"(orvek_capturing{device="v\\xfe"} 0)",
          R"(orvek_capturing{device="v\\\\xff"} 0)", "orvek_monitor_up 1\n",
          "orvek_carried{device=\"tun0\",carried_by=\"eth\\\"0\"} 1\n",
          "orvek_carried{device=\"vx0\"} 1\n", "orvek_build_info{version=\"1.0\\\"\\n\"} 1\n",
          "orvek_tunnel_bytes_total{device=\"tun0\",carried_by=\"eth\\\"0\",direction=\"sent\"} "
          "100\n"
          "orvek_tunnel_bytes_total{device=\"tun0\",carried_by=\"eth\\\"0\",direction=\"received\"}"
          " "
          "200\n"
          "orvek_tunnel_bytes_total{device=\"vx0\",carried_by=\"\",direction=\"sent\"} 100\n",
          "orvek_tunnel_outer_bytes_total{device=\"tun0\",carried_by=\"eth\\\"0\",direction="
          "\"received\"} 280\n# HELP orvek_monitor_up",
          "orvek_app_bytes_total{app=\"big\\\"\\n\",direction=\"received\"} 200\n"
          "orvek_app_bytes_total{app=\"mid\",direction=\"sent\"} 50\n"
          "orvek_app_bytes_total{app=\"mid\",direction=\"received\"} 0\n"
          "orvek_app_bytes_total{app=\"other\",direction=\"sent\"} 1\n"
          "orvek_app_bytes_total{app=\"other\",direction=\"received\"} 2\n"
          "orvek_app_bytes_total{app=\"not attributed: x\",direction=\"sent\"} 5\n"}) {
        EXPECT_NE(strText.find(szSample), std::string::npos) << szSample;
    }

    if (access("/usr/bin/promtool", X_OK) != 0) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    FILE* pPromtool = popen("/usr/bin/promtool check metrics", "w");
    std::fwrite(strText.data(), 1, strText.size(), pPromtool);
    EXPECT_EQ(pclose(pPromtool), 0) << strText;
}

} // namespace
