// Any bytes, read as a reply of either module generation: finding the data,
// taking the channel and the address out of it, and checking the address
// must stay inside the bytes read (AddressSanitizer watches) and keep the
// decoder's promises.
#include "ModuleProtocol.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exact-size copy, so that reading one byte past the reply is caught.
    const std::vector<std::uint8_t> reply(data, data + size);
    const auto length = static_cast<std::int32_t>(reply.size());
    for (const int generation : {ModuleProtocol::V4, ModuleProtocol::V5, 2}) {
        const std::int32_t marker = ModuleProtocol::FindMarker(reply.data(), length, generation);
        if (marker < 0 || (length > 0 && marker >= length))
            std::abort();
        const auto position = ModuleProtocol::DataPosition(reply.data(), length, generation);
        if (!position)
            continue;
        if (*position < 0 || *position + 4 >= length || length < 16)
            std::abort();
        const auto radio = ModuleProtocol::ExtractRadioData(reply.data(), *position);
        if (radio.address.size() > 4)
            std::abort();
        ModuleProtocol::AddressAccepted(radio.address);
    }
    return 0;
}
