// Target (d): adding and removing the stripe index of arbitrary files.
#include "target.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzScratchDir();
    std::atexit(fuzzRemoveScratchDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzStep("stripe index files", [&] { return harness::patInfoFiles(fuzzScratchDir(), data, size); });
    return 0;
}
