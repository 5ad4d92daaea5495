// Target (e): arbitrary bytes through the streaming decoder, cut three ways.
#include "target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzStep("stream", [&] { return harness::streamDecode(data, size); });
    return 0;
}
