// The bi-level image header: its fields, the sizes they imply, the 20 bytes
// as written and read, and the limits of what can be coded.
#pragma once

#include <cstdint>

struct JbigContext;

// header order bits
constexpr uint32_t kHITOLO = 0x08, kSEQ = 0x04, kILEAVE = 0x02, kSMID = 0x01;
// header option bits
constexpr uint32_t kLRLTWO = 0x40, kVLENGTH = 0x20, kTPDON = 0x10, kTPBON = 0x08, kDPON = 0x04, kDPPRIV = 0x02,
                   kDPLAST = 0x01;

// A stream's height when it is unknown (fax streams leave it to NEWLEN).
constexpr uint32_t kUnknownHeight = 0xFFFFFFFFu;

struct JbigBih {
    uint8_t DL, D, P;
    uint32_t XD, YD, L0;
    uint8_t MX, MY;
    uint32_t order;
    uint32_t options;
};

// Largest full-resolution raster a decoder accepts, row addresses and the
// differential layers' work line included (bihCheck).
constexpr uint64_t kMaxDecodeRaster = uint64_t(1) << 30;
// Stripes per layer: the stripe table counts them in 16 bits.
constexpr uint64_t kMaxStripes = 32767;
// Stripe data entities of all planes, layers and stripes together: past
// this the table alone would take more than 64 MiB.
constexpr uint64_t kMaxEntities = uint64_t(1) << 23;
// Bit planes T.82 allows.
constexpr uint32_t kMaxPlanes = 255;
// Layers, and so BIEs that continue each other: D is below 32.
constexpr uint32_t kMaxBies = 32;

// Size of layer d of an image with D differential layers.
inline uint32_t layerSize(uint32_t full, uint32_t D, uint32_t d) {
    uint64_t v = full;
    for (uint32_t k = d; k < D; k++) v = (v + 1) >> 1;
    return static_cast<uint32_t>(v);
}
// Lines per stripe of the lowest layer times 2^D, the stripe height of the
// full resolution.
inline uint64_t stripeHeight(const JbigBih &b) { return uint64_t(b.L0) << (b.D < 40 ? b.D : 40); }
inline uint64_t stripesOf(const JbigBih &b) {
    uint64_t h = stripeHeight(b);
    return h ? (uint64_t(b.YD) + h - 1) / h : 0;
}

uint32_t getBE(const uint8_t *bytes, int n);
void putBE(uint8_t *bytes, int n, uint32_t value);
int32_t bihWrite(JbigContext *ctx);
int32_t bihRead(JbigContext *ctx);
// The 20 header bytes as fields.
void bihParse(const uint8_t *bytes, JbigBih *b);

// Why a header cannot be coded, or kBihUsable. Shared by both prologs and
// the tool, so that every size limit lives here.
enum BihProblem : int {
    kBihUsable,
    kBihLayout,        // DL other than 0, P other than 1, or D of 32 and more
    kBihEmpty,         // XD, YD or L0 of 0
    kBihStripeHeight,  // L0 << D does not fit 32 bits
    kBihStripes,       // more than kMaxStripes stripes per layer
    kBihRaster,        // a raster, its stride or row table past 32-bit sizes
    kBihTooLarge,      // decoder: past kMaxDecodeRaster
};
// With `full` (the whole standard) up to kMaxPlanes bit planes.
BihProblem bihCheck(const JbigBih &bih, bool decoder, bool full = false);
// Leaves the reason of a problem for zeljbigLastError, in the words the
// tool shows; false unless p is kBihUsable.
bool bihReason(const JbigBih &bih, BihProblem p);
