#include "Protocol.h"

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

template <class T>
concept Number = std::same_as<T, uint32_t> || std::same_as<T, int32_t> ||
    std::same_as<T, uint64_t> || std::same_as<T, int64_t> || std::same_as<T, double>;

template <class T> struct IsList : std::false_type {};
template <class T> struct IsList<std::vector<T>> : std::true_type {};

// The fewest bytes a value of type T takes in a frame.
template <class T> size_t MinBytes();
struct CMinBytesCounter {
    template <class... T> void operator()(T&...) { ((nBytes += MinBytes<T>()), ...); }
    size_t nBytes = 0;
};
template <class T> size_t MinBytes() {
    if constexpr (std::same_as<T, bool>) {
        return 1;
    } else if constexpr (Number<T> || std::is_enum_v<T>) {
        return sizeof(T);
    } else if constexpr (std::same_as<T, std::string> || IsList<T>::value) {
        return sizeof(uint32_t);
    } else {
        T value;
        CMinBytesCounter counter;
        value.Fields(counter);
        return counter.nBytes;
    }
}

// Appends fields to a frame.
class CWriter {
public:
    explicit CWriter(uint8_t nType) : m_str(kFrameHeaderBytes, '\0') { m_str.push_back(nType); }

    template <class... T> void operator()(const T&... values) { (Put(values), ...); }

    // The frame, its length written in front.
    std::string Finish() {
        PutBytes(static_cast<uint32_t>(m_str.size() - kFrameHeaderBytes), 0);
        return std::move(m_str);
    }

private:
    template <class T> void PutBytes(T value, size_t nAt) {
        static_assert(std::endian::native == std::endian::little);
        std::memcpy(m_str.data() + nAt, &value, sizeof value);
    }
    template <class T> void Append(T value) {
        m_str.resize(m_str.size() + sizeof value);
        PutBytes(value, m_str.size() - sizeof value);
    }

    template <class T> void Put(const T& value) {
        if constexpr (std::same_as<T, bool>) {
            m_str.push_back(value ? '\1' : '\0');
        } else if constexpr (Number<T>) {
            Append(value);
        } else if constexpr (std::is_enum_v<T>) {
            Append(static_cast<std::underlying_type_t<T>>(value));
        } else if constexpr (std::same_as<T, std::string>) {
            const size_t nLength = std::min(value.size(), kMaxTextBytes);
            Append(static_cast<uint32_t>(nLength));
            m_str.append(value, 0, nLength);
        } else if constexpr (IsList<T>::value) {
            Append(static_cast<uint32_t>(value.size()));
            for (const auto& item : value) {
                Put(item);
            }
        } else {
            // Fields only reads the members when writing.
            const_cast<T&>(value).Fields(*this);
        }
    }

    std::string m_str;
};

// Reads fields from a body, the type byte past; after the first error it reads nothing more.
class CReader {
public:
    explicit CReader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

    template <class... T> void operator()(T&... values) { (Get(values), ...); }

    bool Failed() const { return !m_strError.empty(); }
    size_t GetLeft() const { return m_bytes.size() - m_nPos; }
    std::string TakeError() { return std::move(m_strError); }
    void Fail(std::string strError) {
        if (m_strError.empty()) {
            m_strError = std::move(strError);
        }
    }

private:
    // The next n bytes, or null (and an error) when the body ends first.
    const uint8_t* Take(size_t nBytes) {
        if (Failed()) {
            return nullptr;
        }
        if (GetLeft() < nBytes) {
            Fail("it ends inside a field");
            return nullptr;
        }
        const uint8_t* pData = m_bytes.data() + m_nPos;
        m_nPos += nBytes;
        return pData;
    }
    template <class T> bool GetBytes(T& value) {
        const uint8_t* pData = Take(sizeof value);
        if (pData != nullptr) {
            std::memcpy(&value, pData, sizeof value);
        }
        return pData != nullptr;
    }

    template <class T> void Get(T& value) {
        if (Failed()) {
            return;
        }
        if constexpr (std::same_as<T, bool>) {
            uint8_t nByte = 0;
            if (GetBytes(nByte)) {
                if (nByte > 1) {
                    Fail("a yes-or-no field holds " + std::to_string(nByte));
                }
                value = nByte == 1;
            }
        } else if constexpr (Number<T>) {
            GetBytes(value);
        } else if constexpr (std::is_enum_v<T>) {
            std::underlying_type_t<T> nValue{};
            if (GetBytes(nValue)) {
                if (nValue > static_cast<std::underlying_type_t<T>>(kLastOf<T>)) {
                    Fail("a state field holds " + std::to_string(nValue));
                }
                value = static_cast<T>(nValue);
            }
        } else if constexpr (std::same_as<T, std::string>) {
            uint32_t nLength = 0;
            if (!GetBytes(nLength)) {
                return;
            }
            if (nLength > kMaxTextBytes) {
                Fail("a text of " + std::to_string(nLength) + " bytes, more than the " +
                     std::to_string(kMaxTextBytes) + " allowed");
            } else if (const uint8_t* pText = Take(nLength)) {
                value.assign(reinterpret_cast<const char*>(pText), nLength);
            }
        } else if constexpr (IsList<T>::value) {
            uint32_t nCount = 0;
            if (!GetBytes(nCount)) {
                return;
            }
            // A count that the bytes left cannot hold is a lie, and nothing is allocated for it:
            // what is allocated stays in proportion to the bytes received.
            static const size_t s_nItemBytes =
                std::max<size_t>(MinBytes<typename T::value_type>(), 1);
            if (nCount > GetLeft() / s_nItemBytes) {
                Fail("a list of " + std::to_string(nCount) + " items in " +
                     std::to_string(GetLeft()) + " bytes");
                return;
            }
            value.clear();
            value.reserve(nCount);
            for (uint32_t i = 0; i < nCount && !Failed(); ++i) {
                Get(value.emplace_back());
            }
        } else {
            value.Fields(*this);
        }
    }

    std::span<const uint8_t> m_bytes;
    size_t m_nPos = 0;
    std::string m_strError;
};

template <class TMessage> std::string EncodeTyped(const TMessage& typed) {
    CWriter writer(typed.kType);
    writer(typed);
    return writer.Finish();
}

template <class TVariant> std::string Encode(const TVariant& message) {
    return std::visit([](const auto& typed) { return EncodeTyped(typed); }, message);
}

template <class TVariant> DecodedMessage<TVariant> Decode(std::span<const uint8_t> body) {
    DecodedMessage<TVariant> decoded;
    if (body.empty()) {
        decoded.strError = "an empty message";
        return decoded;
    }
    const uint8_t nType = body[0];
    CReader reader(body.subspan(1));
    bool bKnown = false;
    // The alternative whose type byte it is, read field by field.
    [&]<size_t... I>(std::index_sequence<I...>) {
        ((std::variant_alternative_t<I, TVariant>::kType == nType
              ? (bKnown = true, reader(decoded.message.template emplace<I>()))
              : void()),
         ...);
    }
    (std::make_index_sequence<std::variant_size_v<TVariant>>());
    if (!bKnown) {
        decoded.strError = "a message of an unknown type " + std::to_string(nType);
        return decoded;
    }
    if (reader.GetLeft() != 0) {
        reader.Fail(std::to_string(reader.GetLeft()) + " bytes follow its last field");
    }
    // Fields whose values are bounded say what is out of bounds.
    std::visit(
        [&reader](const auto& typed) {
            if constexpr (requires { typed.Check(); }) {
                if (!reader.Failed()) {
                    if (std::string strWrong = typed.Check(); !strWrong.empty()) {
                        reader.Fail(std::move(strWrong));
                    }
                }
            }
        },
        decoded.message);
    if (reader.Failed()) {
        decoded.strError =
            "a malformed message of type " + std::to_string(nType) + ": " + reader.TakeError();
    }
    return decoded;
}

} // namespace

FrameVerdict ReadFrame(std::span<const uint8_t> bytes) {
    FrameVerdict verdict;
    if (bytes.size() < kFrameHeaderBytes) {
        return verdict;
    }
    uint32_t nLength = 0;
    std::memcpy(&nLength, bytes.data(), sizeof nLength);
    if (nLength == 0 || nLength > kMaxMessageBytes) {
        verdict.eStatus = FrameVerdict::EStatus::Malformed;
        verdict.strError =
            "a message of " + std::to_string(nLength) + " bytes" +
            (nLength == 0 ? ""
                          : ", more than the " + std::to_string(kMaxMessageBytes) + " allowed");
        return verdict;
    }
    if (bytes.size() - kFrameHeaderBytes < nLength) {
        return verdict;
    }
    verdict.eStatus = FrameVerdict::EStatus::Complete;
    verdict.body = bytes.subspan(kFrameHeaderBytes, nLength);
    verdict.nFrameBytes = kFrameHeaderBytes + nLength;
    return verdict;
}

DecodedMessage<ClientMessage> DecodeClientMessage(std::span<const uint8_t> body) {
    return Decode<ClientMessage>(body);
}

DecodedMessage<HelperMessage> DecodeHelperMessage(std::span<const uint8_t> body) {
    return Decode<HelperMessage>(body);
}

DevicesMessage ToDevicesMessage(const std::vector<DeviceState>& states) {
    DevicesMessage message;
    for (const DeviceState& state : states) {
        message.devices.push_back({state.strName, state.strKind, state.eState, state.strError,
                                   state.bChosen, state.strReason});
    }
    return message;
}

std::vector<DeviceState> FromDevicesMessage(const DevicesMessage& message) {
    std::vector<DeviceState> states;
    for (const DeviceStateFields& device : message.devices) {
        states.push_back({device.strName, device.strKind, device.eState, device.strError,
                          device.bChosen, device.strReason});
    }
    return states;
}

std::string EncodeFrame(const ClientMessage& message) {
    return Encode(message);
}

std::string EncodeFrame(const HelperMessage& message) {
    return Encode(message);
}

std::string EncodeFrame(const SnapshotMessage& message) {
    return EncodeTyped(message);
}

std::string EncodeFrame(const DevicesMessage& message) {
    return EncodeTyped(message);
}
