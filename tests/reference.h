// A pixel-by-pixel reference encoder for the tests.
#pragma once

#include <map>
#include <set>

#include "support.h"

// A move of the AT pixel before the data of a stripe of a layer, from line
// `row` of the stripe on.
struct RefAtMove {
    uint32_t layer, stripe, row;
    uint8_t tx, ty;
};

struct RefOptions {
    uint32_t D, L0;
    bool two, tpbon, tpdon, dpon;
    // Stripes (by number, in every layer) that end with SDRST. The next
    // starts from fresh states and typical prediction, and with
    // `whiteAbove` (the whole standard) with white rows above it and the
    // AT pixel in its place.
    std::set<uint32_t> resets = {};
    bool whiteAbove = false;
    std::vector<RefAtMove> moves = {};
    const uint8_t *dp[4] = {};  // private DP tables by phase; null: the built-in ones
};

// The half-resolution image, pixel by pixel. With resets (stripe numbers,
// stripes of `stripeRows` rows) the rows above a stripe after SDRST read
// white, as they do in its coding.
Image refReduce(const Image &hi, uint32_t stripeRows = 0, const std::set<uint32_t> &resets = {});
// The stripe data entities of the stream in coding order, layer D first,
// each with its ATMOVE segments in front.
std::vector<Bytes> referenceSdes(const Image &img, const RefOptions &o);
// The options byte of a stream coded with o.
uint8_t refOptionsByte(const RefOptions &o);
// A whole stream without index: header (height yd, MX mx, order 0x08 or,
// lowest layer first, 0x00) and the entities, with a NEWLEN naming
// newlen[k] after entity k (in coding order).
Bytes referenceStream(const Image &img, const RefOptions &o, uint8_t mx, uint32_t yd,
                      const std::map<size_t, uint32_t> &newlen = {}, uint8_t order = 0x08);
