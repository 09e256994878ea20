// Fuzz target for the capture helper's protocol, as either side reads the other: the input is a
// stream of bytes, read frame by frame until one is incomplete or malformed; the first byte picks
// whose messages the bodies are.
#include "Protocol.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0) {
        return 0;
    }
    const bool bFromClient = (pData[0] & 1) != 0;
    // A copy of exactly the input, so that any read beyond it is caught.
    const size_t nStream = nSize - 1;
    std::unique_ptr<uint8_t[]> pStream(new uint8_t[nStream]);
    std::memcpy(pStream.get(), pData + 1, nStream);
    std::span<const uint8_t> stream(pStream.get(), nStream);
    for (;;) {
        const FrameVerdict frame = ReadFrame(stream);
        if (frame.eStatus != FrameVerdict::EStatus::Complete) {
            break;
        }
        // What decodes must encode back to the same frame.
        const std::string strFrame(reinterpret_cast<const char*>(stream.data()), frame.nFrameBytes);
        if (bFromClient) {
            const DecodedMessage<ClientMessage> decoded = DecodeClientMessage(frame.body);
            if (decoded.strError.empty() && EncodeFrame(decoded.message) != strFrame) {
                __builtin_trap();
            }
        } else {
            const DecodedMessage<HelperMessage> decoded = DecodeHelperMessage(frame.body);
            if (decoded.strError.empty() && EncodeFrame(decoded.message) != strFrame) {
                __builtin_trap();
            }
        }
        stream = stream.subspan(frame.nFrameBytes);
    }
    return 0;
}
