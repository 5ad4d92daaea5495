// Target (c): a small image and options from the bytes, encoded and decoded.
#include "target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzStep("round trip", [&] { return harness::roundTrip(data, size); });
    return 0;
}
