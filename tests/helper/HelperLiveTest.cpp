// The capture helper as its users meet it: run by hand, spoken to by hostile clients, started with
// a file capability by an unprivileged client, and the client facing hostile "helpers".

#include "CaptureClient.h"
#include "EarlierCounts.h"
#include "FakeMeterView.h"
#include "HelperProcess.h"
#include "HelperStart.h"
#include "NetNs.h"
#include "Protocol.h"
#include "ZarnException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/wait.h>

using namespace orvektest;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(const std::vector<ClientMessage>& messages) {
    Bytes bytes;
    for (const ClientMessage& message : messages) {
        const std::string strFrame = EncodeFrame(message);
        bytes.insert(bytes.end(), strFrame.begin(), strFrame.end());
    }
    return bytes;
}

// Every message the helper sent until it closed the socket.
std::vector<HelperMessage> ReadAll(int hSocket) {
    Bytes inbox;
    uint8_t buffer[4096];
    for (ssize_t n; (n = recv(hSocket, buffer, sizeof buffer, 0)) > 0;) {
        inbox.insert(inbox.end(), buffer, buffer + n);
    }
    std::vector<HelperMessage> messages;
    for (std::span<const uint8_t> rest(inbox);;) {
        const FrameVerdict frame = ReadFrame(rest);
        if (frame.eStatus != FrameVerdict::EStatus::Complete) {
            return messages;
        }
        messages.push_back(DecodeHelperMessage(frame.body).message);
        rest = rest.subspan(frame.nFrameBytes);
    }
}

// The environment a forked child keeps of envIn after SecureEnvironment(true).
std::vector<std::string> SecuredInChild(const std::vector<std::string>& envIn) {
    int hPipe[2];
    EXPECT_EQ(pipe(hPipe), 0);
    const pid_t nPid = fork();
    if (nPid == 0) {
        clearenv();
        for (const std::string& strEntry : envIn) {
            putenv(const_cast<char*>(strEntry.c_str()));
        }
        SecureEnvironment(true);
        std::string strOut;
        for (char** ppEntry = environ; ppEntry != nullptr && *ppEntry != nullptr; ++ppEntry) {
            strOut += std::string(*ppEntry) + '\n';
        }
        _exit(write(hPipe[1], strOut.data(), strOut.size()) == ssize_t(strOut.size()) ? 0 : 1);
    }
    close(hPipe[1]);
    std::string strOut;
    char buffer[4096];
    for (ssize_t n; (n = read(hPipe[0], buffer, sizeof buffer)) > 0;) {
        strOut.append(buffer, static_cast<size_t>(n));
    }
    close(hPipe[0]);
    waitpid(nPid, nullptr, 0);
    std::vector<std::string> kept;
    for (size_t nStart = 0, nEnd; (nEnd = strOut.find('\n', nStart)) != std::string::npos;
         nStart = nEnd + 1) {
        kept.push_back(strOut.substr(nStart, nEnd - nStart));
    }
    std::ranges::sort(kept);
    return kept;
}

// Run by hand, or with any option but --version, it says what it is and exits 2; a client that
// breaks the protocol is told why, and the helper exits 3 without a crash; one that keeps it is
// told the devices' states by push. The environment a
// privileged start keeps: the locale and zone names, nothing that names a file or a library.
TEST(HelperLive, ByHandOptionsHostileClientsAndTheKeptEnvironment) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{ORVEK_HELPER}, {ORVEK_HELPER, "--config=/tmp/x"}}) {
        CChildProcess byHand(args);
        EXPECT_EQ(byHand.Wait(), 2);
        EXPECT_EQ(byHand.GetStderr().find("orvek-capture is Orvek's capture helper: orvek and "
                                          "orvek-headless start it"),
                  0u)
            << byHand.GetStderr();
    }
    CChildProcess version({ORVEK_HELPER, "--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_EQ(version.GetStdout(), "orvek-capture " ORVEK_VERSION "\n");

    const Bytes oversized = {0xFF, 0xFF, 0xFF, 0xFF, 1};
    Bytes trailing = Concat({HelloMessage{}});
    trailing.insert(trailing.end(), {2, 0, 0, 0, StopMessage::kType, 0});
    for (const auto& [bytes, strReason] : std::vector<std::pair<Bytes, std::string>>{
             {oversized,
              "the client sent a message of 4294967295 bytes, more than the 1048576 allowed"},
             {Concat({StartMessage{}}), "the client did not greet first"},
             {Concat({HelloMessage{99}}), "the client speaks protocol version 99, the helper " +
                                              std::to_string(kProtocolVersion)},
             {Concat({HelloMessage{}, HelloMessage{}}), "the client greeted twice"},
             {trailing,
              "the client sent a malformed message of type 5: 1 bytes follow its last field"}}) {
        CHelperProcess helper(ORVEK_HELPER);
        ASSERT_EQ(send(helper.GetSocket(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  ssize_t(bytes.size()));
        const std::vector<HelperMessage> answers = ReadAll(helper.GetSocket());
        ASSERT_GE(answers.size(), 2u) << strReason;
        EXPECT_TRUE(std::holds_alternative<HelloMessage>(answers.front()));
        const auto* pError = std::get_if<ErrorMessage>(&answers.back());
        EXPECT_EQ(pError != nullptr ? pError->strText : "", strReason);
        EXPECT_EQ(helper.WaitForExit(5000), "exited with status 3");
    }

    // A client that greets, gives its settings and has the devices listed is told their states
    // and a snapshot without asking for them: typed, loopback among them.
    {
        CHelperProcess helper(ORVEK_HELPER);
        const Bytes bytes = Concat(
            {HelloMessage{}, SettingsMessage{"tcp", false}, ExcludedMessage{}, RefreshMessage{}});
        ASSERT_EQ(send(helper.GetSocket(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  ssize_t(bytes.size()));
        shutdown(helper.GetSocket(), SHUT_WR);
        std::vector<DeviceState> states;
        MeterSnapshot snapshot;
        for (const HelperMessage& message : ReadAll(helper.GetSocket())) {
            if (const auto* pDevices = std::get_if<DevicesMessage>(&message)) {
                states = FromDevicesMessage(*pDevices);
            } else if (const auto* pSnapshot = std::get_if<SnapshotMessage>(&message)) {
                snapshot = pSnapshot->snapshot;
            }
        }
        const auto itLo = std::ranges::find(states, "lo", &DeviceState::strName);
        ASSERT_NE(itLo, states.end());
        EXPECT_EQ(itLo->eState, EDeviceState::Loopback);
        const auto itShown = std::ranges::find(snapshot.devices, "lo", &DeviceSnapshot::strName);
        ASSERT_NE(itShown, snapshot.devices.end());
        EXPECT_EQ(DescribeDeviceState(*itShown), "loopback");
        EXPECT_EQ(helper.WaitForExit(5000), "exited with status 0");
    }

    EXPECT_EQ(SecuredInChild({"LANG=de_DE.UTF-8", "LC_TIME=en_GB.UTF-8", "TZ=Europe/Berlin",
                              "LANGUAGE=de:en", "LC_ALL=../../tmp/x", "TZ2=UTC",
                              "LD_LIBRARY_PATH=/tmp", "LOCPATH=/tmp", "GCONV_PATH=/tmp",
                              "DBUS_SYSTEM_BUS_ADDRESS=unixexec:path=/bin/sh", "PATH=/tmp",
                              "ORVEK_CAPTURE_HELPER=/tmp/x"}),
              (std::vector<std::string>{"LANG=de_DE.UTF-8", "LANGUAGE=de:en", "LC_TIME=en_GB.UTF-8",
                                        "TZ=Europe/Berlin"}));
    EXPECT_EQ(KeptEnvironment({"TZ=:/etc/x", "TZ=/etc/x", "TZ=../../tmp/x", "LANG"}),
              std::vector<std::string>{});
}

// Helpers that are not what they claim, as shell scripts on the client's descriptor 3: each is
// ended and named in one clear text, within the time-out, and the client stays usable.
TEST(HelperLive, HostileHelpersAreEndedWithAClearText) {
    char szDir[] = "/tmp/orvek-fakes-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    const std::string strDir = szDir;
    // The helper's greeting, in printf's octal escapes.
    std::string strHello = "printf '";
    for (const char ch : EncodeFrame(HelperMessage{HelloMessage{}})) {
        char szOctal[8];
        std::snprintf(szOctal, sizeof szOctal, "\\%03o", static_cast<unsigned char>(ch));
        strHello += szOctal;
    }
    strHello += "' >&3; ";
    CFakeView view;
    for (const auto& [strScript, strReason] : std::vector<std::pair<std::string, std::string>>{
             {R"(printf '\377\377\377\377' >&3; exec sleep 30)",
              "sent a message of 4294967295 bytes, more than the 1048576 allowed"},
             {"exec sleep 30", "did not greet within 300 ms"},
             {strHello + "exec sleep 30", "did not answer within 500 ms"},
             {strHello + R"(printf '\001\000\000\000\021' >&3; exec sleep 30)",
              "sent a malformed message of type 17: it ends inside a field"},
             {"exit 7", "ended unexpectedly: exited with status 7"}}) {
        const std::string strFake = strDir + "/fake";
        std::ofstream(strFake) << "#!/bin/sh\n" << strScript << "\n";
        std::filesystem::permissions(strFake, std::filesystem::perms::owner_all);
        setenv(CCaptureClient::kHelperVariable, strFake.c_str(), 1);
        CCaptureClient client(view, {},
                              {std::chrono::milliseconds(300), std::chrono::milliseconds(500)});
        std::string strError;
        try {
            client.StartCapture();
        } catch (const CZarnException& e) {
            strError = e.GetDescription();
        }
        EXPECT_EQ(strError,
                  "Orvek's capture helper (" + strFake + ") " + strReason + "; capture stopped.");
        EXPECT_EQ(client.GetHelperPid(), 0);
        EXPECT_EQ(client.GetSnapshot(), MeterSnapshot{});
    }
    unsetenv(CCaptureClient::kHelperVariable);
    std::filesystem::remove_all(strDir);
    view.Serve();
    EXPECT_TRUE(view.GetMessages().empty());
}

// What an ended helper counted goes on in the next one's snapshots under the same counter ids,
// also before the device is opened again; a device the next helper forgets, or counts with new
// counters, drops it and counts from zero under the new id. Totals keep everything.
TEST(EarlierCounts, CarriedOnUnderTheirIdsUntilTheHelperForgetsTheDevice) {
    const auto device = [](const char* szName, int64_t nRecv, uint64_t nId) {
        DeviceSnapshot result{szName, EDeviceState::Capturing, true};
        result.nRecvBytes = nRecv;
        result.nCounterId = nId;
        return result;
    };
    const auto shown = [](const MeterSnapshot& snapshot) {
        std::string strShown = std::to_string(snapshot.nRecvBytes);
        for (const DeviceSnapshot& d : snapshot.devices) {
            strShown += " " + d.strName + ":" + DescribeDeviceState(d) + ":" +
                        std::to_string(d.nRecvBytes) + "@" + std::to_string(d.nCounterId);
        }
        return strShown;
    };
    CEarlierCounts earlier;
    earlier.End({300, 350, {device("eth0", 100, 11), device("veth1", 200, 12)}, false});
    EXPECT_EQ(shown(earlier.Get()), "350 eth0:stopped:100@11 veth1:stopped:200@12");
    EXPECT_TRUE(earlier.Get().bMonitorUp);
    EXPECT_EQ(shown(earlier.Add({0, 0, {device("eth0", 0, 0)}})),
              "350 eth0:capturing:100@11 veth1:gone:200@12");
    EXPECT_EQ(shown(earlier.Add({5, 5, {device("eth0", 5, 21), device("veth1", 0, 22)}})),
              "355 eth0:capturing:105@11 veth1:capturing:200@12");
    // veth1 forgotten by the helper, and back with new counters; eth0 forgotten.
    EXPECT_EQ(shown(earlier.Add({7, 7, {device("veth1", 0, 23)}})), "357 veth1:capturing:0@23");
    EXPECT_EQ(shown(earlier.Add({9, 9, {device("eth0", 2, 24), device("veth1", 7, 23)}})),
              "359 eth0:capturing:2@24 veth1:capturing:7@23");
}

// What an installed helper meets: an unprivileged user's headless program starts a copy holding
// cap_net_raw+ep, so the kernel starts it in secure mode. The helper holds CAP_NET_RAW alone, the
// program none, and the counts are exact.
TEST(HelperLive, UnprivilegedClientCountsExactlyThroughACapableHelper) {
    CPeerNs peer;
    MakeVethPair(peer, {"hp0", "10.87.0.1", ""}, {"hp1", "10.87.0.2", ""});
    char szDir[] = "/tmp/orvek-helper-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    const std::string strHelper = std::string(szDir) + "/orvek-capture";
    ShOk("chmod 755 " + std::string(szDir) + " && cp " ORVEK_HELPER " " + strHelper +
         " && setcap cap_net_raw+ep " + strHelper);
    setenv(CCaptureClient::kHelperVariable, strHelper.c_str(), 1);
    CChildProcess headless({ORVEK_HEADLESS, "--json", "--interval", "0.1"}, "65534");
    unsetenv(CCaptureClient::kHelperVariable);
    ASSERT_TRUE(WaitUntil([&] { return !headless.GetStdout().empty(); })) << headless.GetStderr();
    const pid_t nHelper = std::stoi(ShOut("pgrep -P " + std::to_string(headless.GetPid())));
    EXPECT_EQ(StatusLine(nHelper, "CapEff"), "0000000000002000\n");
    EXPECT_EQ(StatusLine(nHelper, "Uid"), "65534\n");
    EXPECT_EQ(StatusLine(headless.GetPid(), "CapEff"), "0000000000000000\n");
    // AT_SECURE (23) is 1 in the helper's auxiliary vector: it ran SecureEnvironment's branch.
    EXPECT_EQ(ShOut("od -An -tu8 -w16 -v /proc/" + std::to_string(nHelper) +
                    "/auxv | awk '$1 == 23 {print $2}'"),
              "1\n");

    CUdpSink sink("10.87.0.1", 9000);
    peer.RunIn([] { SendUdp("10.87.0.2", "10.87.0.1", 9000, 972, 50); });
    ASSERT_EQ(sink.WaitFor(50), 50u);
    ASSERT_TRUE(WaitUntil([&] {
        return headless.GetStdout().find(R"("received_bytes":50000,)") != std::string::npos;
    })) << headless.GetStdout();
    headless.Signal(SIGTERM);
    EXPECT_EQ(headless.Wait(), 0) << headless.GetStderr();
    std::filesystem::remove_all(szDir);
}

} // namespace
