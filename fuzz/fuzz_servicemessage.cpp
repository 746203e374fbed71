// libFuzzer target: the adapter service's message decoders and the service's description of
// itself, arbitrary bytes. Whatever a decoder accepts must be within what the adapter library
// allows and must encode back to the very same bytes.
#include "mulvolib.h"
#include "protocol.h"

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

using namespace mulvo::service;

namespace {

void expectSameBytes(const Message &message, const std::uint8_t *bytes)
{
    std::uint8_t again[kMessageSize];
    encode(message, again);
    if (std::memcmp(again, bytes, kMessageSize) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    for (std::size_t at = 0; size - at >= kMessageSize; at += kMessageSize) {
        const std::uint8_t *bytes = data + at;
        Message request;
        if (decodeRequest(bytes, request) == Decoded::Ok) {
            if (request.answer || request.kind < Kind::Hello || request.kind > Kind::Disarm)
                std::abort();
            if (request.kind == Kind::Write ? request.value > 0xff : request.value != 0)
                std::abort();
            if (request.result != 0 || request.sequence != 0)
                std::abort();
            if ((request.kind == Kind::Hello || request.kind == Kind::Info) && request.device != 0)
                std::abort();
            expectSameBytes(request, bytes);
        }
        Message fromService;
        if (decodeFromService(bytes, fromService) == Decoded::Ok) {
            if (fromService.result > 0 || fromService.result < MULVO_E_SYSTEM)
                std::abort();
            if (fromService.answer == (fromService.kind == Kind::Interrupt))
                std::abort();
            if (fromService.answer && fromService.kind == Kind::Read && fromService.value > 0xff)
                std::abort();
            if (fromService.answer && fromService.kind == Kind::Info &&
                fromService.value > kMaxInfoText)
                std::abort();
            expectSameBytes(fromService, bytes);
        }
    }
    ServiceInfo info;
    if (parseInfo(std::string_view(reinterpret_cast<const char *>(data), size), info)) {
        ServiceInfo again;
        if (!parseInfo(formatInfo(info), again) || again.library != info.library ||
            again.label != info.label)
            std::abort();
        // The output bytes that fit come back as they were, in order.
        if (again.outputs.size() > info.outputs.size() ||
            !std::equal(again.outputs.begin(), again.outputs.end(), info.outputs.begin()))
            std::abort();
    }
    return 0;
}
