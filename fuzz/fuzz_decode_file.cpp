// Target (b): arbitrary bytes as a file, whole and as regions of it.
#include "target.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzScratchDir();
    std::atexit(fuzzRemoveScratchDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzStep("file stream", [&] { return harness::decodeFile(fuzzScratchDir() + "/in.jbg", data, size); });
    return 0;
}
