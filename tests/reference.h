// A pixel-by-pixel reference encoder for the tests.
#pragma once

#include <set>

#include "support.h"

struct RefOptions {
    uint32_t D, L0;
    bool two, tpbon, tpdon, dpon;
};

// Entry n of the resolution reduction table.
int resReduce(uint32_t n);
// The half-resolution image, pixel by pixel.
Image refReduce(const Image &hi);
// The stripe data entities of the stream in coding order, layer D first.
// A lowest-layer stripe listed in `resets` ends with SDRST, and the next one
// starts from fresh states with the line above taken as not typical.
std::vector<Bytes> referenceSdes(const Image &img, const RefOptions &o, const std::set<uint32_t> &resets = {});
