// libFuzzer entry: any bytes given to the PE reader must parse or fail cleanly, and a found
// resource must lie inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "port/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto image = port::PeImage::FromBytes(std::vector<BYTE>(data, data + size));
    if (!image) {
        return 0;
    }
    const auto& bytes = image->Bytes();
    if (const auto resource = image->FindResource(u"XML", 101)) {
        if (!resource->empty() &&
            (resource->data() < bytes.data() ||
             resource->data() + resource->size() > bytes.data() + bytes.size())) {
            std::abort();
        }
    }
    if (const auto table = image->CertificateTable()) {
        if (table->Offset + table->Size > bytes.size()) {
            std::abort();
        }
    }
    return 0;
}
