#pragma once

// What the capture helper and its clients say to each other over their socket. Every message is
// a frame: its body's length (4 bytes, little-endian), then the body: one type byte and the
// message's fields in order. Fields: numbers little-endian (bool 1 byte, 0 or 1; 32- and 64-bit
// integers; doubles as their bits; enumerations as their underlying number, checked), texts as a
// 4-byte length and the bytes, lists as a 4-byte count and the items. Each side reads the other's
// bytes as untrusted: a frame that breaks a rule is malformed and ends the session. Both sides
// greet with a hello naming the version; a change to any message's fields changes kProtocolVersion.

#include "DeviceState.h"
#include "MeterSnapshot.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

inline constexpr uint32_t kProtocolVersion = 10;
// The longest frame body either side sends or accepts.
inline constexpr size_t kMaxMessageBytes = size_t{1} << 20;
// The longest text in a message; longer texts are cut when written.
inline constexpr size_t kMaxTextBytes = size_t{64} << 10;
inline constexpr size_t kFrameHeaderBytes = 4;
// The descriptor on which a client starts the helper with its end of their socket (a stream).
inline constexpr int kHelperSocketFd = 3;

// Both ways, first: the sender's protocol version.
struct HelloMessage {
    static constexpr uint8_t kType = 1;
    uint32_t nVersion = kProtocolVersion;
    template <class Io> void Fields(Io& io) { io(nVersion); }
};

// The last value of each enumeration that travels; a reader refuses any beyond it.
template <class TEnum> inline constexpr TEnum kLastOf = TEnum{};
template <> inline constexpr EDeviceState kLastOf<EDeviceState> = EDeviceState::Gone;

// Client to helper. Settings, Excluded and Refresh take effect at once and get no answer; Start
// and Stop are answered in the order they came.
struct SettingsMessage {
    static constexpr uint8_t kType = 2;
    std::string strFilter;
    bool bPromiscuous = false;
    template <class Io> void Fields(Io& io) { io(strFilter, bPromiscuous); }
};
// A device the user says is a tunnel, and the device that carries it.
struct TunnelFields {
    std::string strDevice, strCarrier;
    template <class Io> void Fields(Io& io) { io(strDevice, strCarrier); }
};
// The devices never to open, the user's tunnels and the tun devices the user says are no
// tunnels, each list whole.
struct ExcludedMessage {
    static constexpr uint8_t kType = 3;
    std::vector<std::string> vecDevices;
    std::vector<TunnelFields> vecTunnels;
    std::vector<std::string> vecNotTunnels;
    template <class Io> void Fields(Io& io) { io(vecDevices, vecTunnels, vecNotTunnels); }
};
struct StartMessage { // answered by Started or StartFailed
    static constexpr uint8_t kType = 4;
    template <class Io> void Fields(Io&) {}
};
struct StopMessage { // answered by Stopped
    static constexpr uint8_t kType = 5;
    template <class Io> void Fields(Io&) {}
};
struct RefreshMessage { // while idle: lists the devices afresh (their states then come by push)
    static constexpr uint8_t kType = 7;
    template <class Io> void Fields(Io&) {}
};
// To the system service: sets the host's plan in its usage file (the plan's settings text, as
// the file keeps it) or, with an empty text, removes it. Answered by PlanAnswered; a capture
// helper, which keeps no file, refuses it.
struct SetPlanMessage {
    static constexpr uint8_t kType = 8;
    std::string strPlan;
    template <class Io> void Fields(Io& io) { io(strPlan); }
};

// Client to helper: how often the client wants its snapshot pushed while counts move (at most
// once every nIntervalMs), so that a client that reads seldom is not woken at the display's pace.
// Without one, the display's pace. The slowest is a second: the helper speaks at least that often
// while capturing, which tells the client it has not stalled. Takes effect at once, no answer.
inline constexpr uint32_t kMinPaceMs = 100; // the display's pace
inline constexpr uint32_t kMaxPaceMs = 1000;
struct PaceMessage {
    static constexpr uint8_t kType = 9;
    uint32_t nIntervalMs = kMinPaceMs;
    template <class Io> void Fields(Io& io) { io(nIntervalMs); }
    // What is wrong with the fields as read, "" when nothing.
    std::string Check() const {
        return nIntervalMs < kMinPaceMs || nIntervalMs > kMaxPaceMs
                   ? "a pace of " + std::to_string(nIntervalMs) + " ms, not within " +
                         std::to_string(kMinPaceMs) + "-" + std::to_string(kMaxPaceMs)
                   : "";
    }
};

// Helper to client: answers, and what the helper says by itself: Snapshot and Devices whenever
// they changed (the snapshot at the display's pace while counts move, and before every answer,
// so that an answer finds them current), Notice and Error.
struct NoticeMessage { // a message for the "Exception" caption
    static constexpr uint8_t kType = 17;
    std::string strText;
    template <class Io> void Fields(Io& io) { io(strText); }
};
struct StartedMessage { // the devices that failed, one message ("" when none)
    static constexpr uint8_t kType = 18;
    std::string strFailures;
    template <class Io> void Fields(Io& io) { io(strFailures); }
};
struct StartFailedMessage { // the CZarnException that Start threw
    static constexpr uint8_t kType = 19;
    int32_t nCode = 0;
    bool bDescribed = false;
    std::string strDescription;
    template <class Io> void Fields(Io& io) { io(nCode, bDescribed, strDescription); }
};
struct StoppedMessage {
    static constexpr uint8_t kType = 20;
    template <class Io> void Fields(Io&) {}
};
struct SnapshotMessage {
    static constexpr uint8_t kType = 21;
    MeterSnapshot snapshot;
    template <class Io> void Fields(Io& io) { io(snapshot); }
};
struct ErrorMessage { // the helper ends the session, and says why
    static constexpr uint8_t kType = 22;
    std::string strText;
    template <class Io> void Fields(Io& io) { io(strText); }
};
// A DeviceState as it travels.
struct DeviceStateFields {
    std::string strName, strKind;
    EDeviceState eState = EDeviceState::Ready;
    std::string strError;
    bool bChosen = false;
    std::string strReason;
    template <class Io> void Fields(Io& io) {
        io(strName, strKind, eState, strError, bChosen, strReason);
    }
};
struct DevicesMessage {
    static constexpr uint8_t kType = 23;
    std::vector<DeviceStateFields> devices;
    template <class Io> void Fields(Io& io) { io(devices); }
};
struct PlanAnsweredMessage { // "" when the plan was set, else why not
    static constexpr uint8_t kType = 24;
    std::string strRefusal;
    template <class Io> void Fields(Io& io) { io(strRefusal); }
};

using ClientMessage = std::variant<HelloMessage, SettingsMessage, ExcludedMessage, StartMessage,
                                   StopMessage, RefreshMessage, SetPlanMessage, PaceMessage>;
using HelperMessage =
    std::variant<HelloMessage, NoticeMessage, StartedMessage, StartFailedMessage, StoppedMessage,
                 SnapshotMessage, ErrorMessage, DevicesMessage, PlanAnsweredMessage>;

// Device states to send, and back. How a tunnel's outer packets are told stays with the helper,
// which measures them.
DevicesMessage ToDevicesMessage(const std::vector<DeviceState>& states);
std::vector<DeviceState> FromDevicesMessage(const DevicesMessage& message);

// Where a stream of bytes stands: a whole frame at its start (its body, and the bytes it takes),
// not enough bytes yet, or a length that no frame may have.
struct FrameVerdict {
    enum class EStatus : uint8_t { Incomplete, Complete, Malformed };
    EStatus eStatus = EStatus::Incomplete;
    std::span<const uint8_t> body;
    size_t nFrameBytes = 0;
    std::string strError; // what is malformed
};

// Pure: reads the frame at the start of bytes.
FrameVerdict ReadFrame(std::span<const uint8_t> bytes);

// A decoded body: the message, or (strError not empty) what is malformed about it.
template <class TMessage> struct DecodedMessage {
    TMessage message;
    std::string strError;
};

// Pure: reads a frame's body as a message of one direction.
DecodedMessage<ClientMessage> DecodeClientMessage(std::span<const uint8_t> body);
DecodedMessage<HelperMessage> DecodeHelperMessage(std::span<const uint8_t> body);

// One message as a frame. Texts over kMaxTextBytes are cut; the frame may still exceed
// kMaxMessageBytes (a huge list), which the sender must check.
std::string EncodeFrame(const ClientMessage& message);
std::string EncodeFrame(const HelperMessage& message);
// The pushes, encoded without first being copied into a message variant.
std::string EncodeFrame(const SnapshotMessage& message);
std::string EncodeFrame(const DevicesMessage& message);
