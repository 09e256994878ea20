// The JSON line written straight against the same line built as a JSON tree and dumped, byte for
// byte, on snapshots with awkward names, many devices and applications, and one buffer reused.

#include "JsonText.h"
#include "SnapshotFormat.h"
#include "TrafficSampler.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace {

using nlohmann::ordered_json;

void SetBytesAndRates(ordered_json& object, int64_t nSent, int64_t nRecv, int64_t nSentBefore,
                      int64_t nRecvBefore, double dSeconds) {
    const RowRates rates = RatesSince(nSent, nRecv, nSentBefore, nRecvBefore, dSeconds);
    object["sent_bytes"] = nSent;
    object["received_bytes"] = nRecv;
    object["sent_rate"] = std::llround(rates.dSent);
    object["received_rate"] = std::llround(rates.dRecv);
}

// The line as a tree, field by field, as the documented form reads.
std::string TreeLine(const MeterSnapshot& snapshot, const MeterSnapshot& before, double dSeconds,
                     std::chrono::system_clock::time_point tWall, size_t nPerApp) {
    ordered_json line;
    line["time"] = FormatUtcTime(tWall);
    SetBytesAndRates(line, snapshot.nSentBytes, snapshot.nRecvBytes, before.nSentBytes,
                     before.nRecvBytes, dSeconds);
    ordered_json& devices = line["devices"] = ordered_json::array();
    for (const DeviceSnapshot& device : snapshot.devices) {
        const auto it = std::ranges::find(before.devices, device.strName, &DeviceSnapshot::strName);
        const bool bBefore = it != before.devices.end();
        ordered_json& object = devices.emplace_back();
        object["name"] = JsonText(device.strName);
        object["state"] = JsonText(DescribeDeviceState(device));
        SetBytesAndRates(object, device.nSentBytes, device.nRecvBytes, bBefore ? it->nSentBytes : 0,
                         bBefore ? it->nRecvBytes : 0, dSeconds);
        object["packets"] = device.nSentPackets + device.nRecvPackets;
        object["drops"] = device.nDrops;
        if (device.bCarried || device.nInnerSentBytes != 0 || device.nInnerRecvBytes != 0) {
            const auto outer = [&](int64_t nValue) {
                return device.bOuterKnown ? ordered_json(nValue) : ordered_json();
            };
            ordered_json& tunnel = object["tunnel"];
            tunnel["carried_by"] =
                device.strCarriedBy.empty() ? ordered_json() : JsonText(device.strCarriedBy);
            tunnel["inner_sent_bytes"] = device.nInnerSentBytes;
            tunnel["inner_received_bytes"] = device.nInnerRecvBytes;
            tunnel["outer_sent_bytes"] = outer(device.nOuterSentBytes);
            tunnel["outer_received_bytes"] = outer(device.nOuterRecvBytes);
            tunnel["overhead_sent_bytes"] = outer(device.nOuterSentBytes - device.nInnerSentBytes);
            tunnel["overhead_received_bytes"] =
                outer(device.nOuterRecvBytes - device.nInnerRecvBytes);
        }
    }
    if (nPerApp > 0) {
        const auto beforeRows = TopAppRows(MergeAppOwners(before.apps), nPerApp);
        ordered_json& apps = line["apps"] = ordered_json::array();
        for (const AppUsage& row : TopAppRows(MergeAppOwners(snapshot.apps), nPerApp)) {
            const auto it = std::ranges::find_if(
                beforeRows, [&](const AppUsage& earlier) { return IsSameAppRow(earlier, row); });
            const bool bBefore = it != beforeRows.end();
            ordered_json& object = apps.emplace_back();
            object["name"] = JsonText(row.strName);
            if (!row.IsAttributed()) {
                object["reason"] = LabelUnattributed(static_cast<EUnattributed>(row.nReason));
            }
            SetBytesAndRates(object, row.nSentBytes, row.nRecvBytes, bBefore ? it->nSentBytes : 0,
                             bBefore ? it->nRecvBytes : 0, dSeconds);
            object["connections"] = row.nConnections;
            if (!row.vecPids.empty()) {
                object["pids"] = row.vecPids;
            }
            if (!row.strCommand.empty()) {
                object["command"] = JsonText(row.strCommand);
            }
        }
    }
    return DumpJson(line);
}

TEST(JsonLine, WrittenStraightAsTheTreeDumpsIt) {
    // Every byte value in one name, in two orders (a sequence cut by the end, then by ASCII).
    std::string strEveryByte, strReversed;
    for (int nByte = 0; nByte < 256; ++nByte) {
        strEveryByte += static_cast<char>(nByte);
        strReversed += static_cast<char>(255 - nByte);
    }
    MeterSnapshot snapshot{-5, int64_t{1} << 62, {}};
    snapshot.devices = {{strEveryByte, EDeviceState::Failed, true, 1, 2, 3, 4, 5},
                        {strReversed, EDeviceState::Carried, false, 7, 8},
                        {"\"\\\b\f\n\r\t\x7f\xC3\xA9\xF0\x9F\x98\x80\xED\xA0\x80\xC0\xAF\xE2\x82",
                         EDeviceState::Stacked, true},
                        {"", EDeviceState::Gone, false}};
    snapshot.devices[0].strDetail = "\xFF\"\\";
    snapshot.devices[1].bCarried = true;
    snapshot.devices[1].bChosen = true;
    snapshot.devices[1].strCarriedBy = "eth\x01\xFE";
    snapshot.devices[1].bOuterKnown = true;
    snapshot.devices[1].nOuterSentBytes = 3;
    snapshot.devices[2].nInnerRecvBytes = 9;
    snapshot.devices[2].strDetail = "br\\0";
    for (int nDevice = 0; nDevice < 60; ++nDevice) {
        snapshot.devices.push_back({"veth" + std::to_string(nDevice), EDeviceState::Capturing, true,
                                    nDevice * 1000003LL, nDevice * 77LL, nDevice, 2, nDevice % 3});
    }
    for (int nApp = 0; nApp < 40; ++nApp) {
        snapshot.apps.push_back({"app\"" + std::to_string(nApp) + "\xE9\\", 0, nApp * 999LL,
                                 nApp * 5LL, nApp % 4, 0, static_cast<uint32_t>(nApp % 2)});
    }
    snapshot.apps[3].vecPids = {4000, 17};
    snapshot.apps[3].strCommand = "python3 -c \"print('\xFF')\"\n";
    snapshot.apps.push_back({"not attributed", static_cast<uint32_t>(EUnattributed::Pending), 4, 5,
                             0, 0, AppUsage::kNoOwner});
    MeterSnapshot before = snapshot;
    before.devices.resize(30);
    before.apps.resize(20);
    for (DeviceSnapshot& device : before.devices) {
        device.nSentBytes /= 3;
    }
    const std::chrono::system_clock::time_point tWall(std::chrono::milliseconds(1700000000999));

    // One buffer through lines long and short, as a run reuses it.
    std::string strLine;
    for (const size_t nPerApp : {size_t{0}, size_t{5}, size_t{100}}) {
        for (const double dSeconds : {0.0, 0.1, 2.5}) {
            WriteJsonLine(strLine, snapshot, before, dSeconds, tWall, nPerApp);
            ASSERT_EQ(strLine, TreeLine(snapshot, before, dSeconds, tWall, nPerApp))
                << nPerApp << " applications, " << dSeconds << " s";
            WriteJsonLine(strLine, {}, snapshot, dSeconds, {}, nPerApp);
            ASSERT_EQ(strLine, TreeLine({}, snapshot, dSeconds, {}, nPerApp));
        }
    }
}

} // namespace
