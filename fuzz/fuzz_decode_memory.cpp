// Target (a): arbitrary bytes as a memory stream through the decoder.
#include "target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzStep("memory stream", [&] { return harness::decodeMemory(data, size); });
    return 0;
}
