// libFuzzer target for the DFU file reader: any bytes give a status, never a
// crash, a leak or undefined behaviour; accepted files keep their invariants.
#include "DfuFile.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    hiddfu::DfuImage image;
    const hiddfu::DfuResult result = hiddfu::parseDfuFile(data, size, image);
    if (result.code == 0) {
        if (image.payload.size() != size - hiddfu::kDfuSuffixSize ||
            std::memcmp(image.payload.data(), data, image.payload.size()) != 0 ||
            image.description().size() > hiddfu::kCsrDescriptionSize)
            std::abort();
        (void)image.isPlaceholder();
    } else if (result.code > 0 || result.what.empty()) {
        std::abort(); // every refusal is negative and says why
    }
    return 0;
}
