// Library frame: the coder context behind every handle, row arrays, the byte
// stream over files and memory, the image header and the stripe table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>

#include "../platform/win32.h"
#include "jbgMarker.h"
#include "zeljbig.h"

#if defined(__GNUC__)
#define ZJ_INLINE inline __attribute__((always_inline))
#define ZJ_LAMBDA_INLINE __attribute__((always_inline))
#define ZJ_LIKELY(x) __builtin_expect(!!(x), 1)
#define ZJ_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define ZJ_INLINE inline
#define ZJ_LAMBDA_INLINE
#define ZJ_LIKELY(x) (x)
#define ZJ_UNLIKELY(x) (x)
#endif

// Leading zero bits of a non-zero 32-bit value.
ZJ_INLINE uint32_t leadingZeros(uint32_t v) {
#if defined(__GNUC__)
    return static_cast<uint32_t>(__builtin_clz(v));
#else
    uint32_t n = 0;
    for (; !(v & 0x80000000u); v <<= 1) n++;
    return n;
#endif
}

constexpr uint32_t kJbigMagic = 0x4A424947u;  // "JBIG"

// Internal status codes; exported operations turn them into -1.
constexpr uint32_t kStatusOpenFailed = 0x80000000u;
constexpr uint32_t kStatusNoFile = 0x80000301u;
constexpr uint32_t kStatusNoConversion = 0x80000057u;

// mode bits
constexpr uint32_t kModeEncoder = 0x0001;
constexpr uint32_t kModeDecoder = 0x0002;
constexpr uint32_t kModeNoPatInfo = 0x0008;
constexpr uint32_t kModeScanned = 0x0010;
constexpr uint32_t kModePolarity = 0x0020;
constexpr uint32_t kFlagDataOffset = 0x0040;
constexpr uint32_t kFlagMemory = 0x0080;
constexpr uint32_t kModeFull = 0x0100;  // every marker of the standard acted on

// header order bits
constexpr uint32_t kHITOLO = 0x08, kSEQ = 0x04, kILEAVE = 0x02, kSMID = 0x01;
// header option bits
constexpr uint32_t kLRLTWO = 0x40, kVLENGTH = 0x20, kTPDON = 0x10, kTPBON = 0x08, kDPON = 0x04, kDPPRIV = 0x02,
                   kDPLAST = 0x01;

// stream flags
constexpr uint32_t kStreamRead = 0x02, kStreamWrite = 0x04, kStreamMemory = 0x10;
// ioStatus
constexpr uint32_t kIoOk = 0, kIoWriteFailed = 2, kIoNoFile = 3;
constexpr uint32_t kIoBufferSize = 4096;

// Seek origins of streamSeek, as the file layer's.
constexpr int kSeekStart = 0, kSeekCurrent = 1, kSeekEnd = 2;
constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;

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

struct JbigLayerImage {
    uint8_t **rows;
    uint8_t *lines[6];
    uint32_t stride;
    uint32_t blankRow;
    uint32_t width;
    uint32_t height;
    uint32_t stripeRows;
    uint32_t layer;
    uint32_t plane;
    uint32_t stripe;
    uint32_t lineBytes;
    uint32_t row;
    uint32_t unitCount;
    uint32_t unitRest;
};

struct JbigBih {
    uint8_t DL, D, P;
    uint32_t XD, YD, L0;
    uint8_t MX, MY;
    uint32_t order;
    uint32_t options;
};

// Where the AT pixel sits: tx columns left of the pixel coded and ty rows up;
// tx = ty = 0 is its default place in each template.
struct AtPosition {
    uint8_t tx, ty;
    bool moved() const { return (tx | ty) != 0; }
};

// A move of the AT pixel from line `row` of a stripe on.
struct JbigAtMove {
    uint32_t row;
    uint8_t tx, ty;
};
// Moves one stripe makes at the most.
constexpr uint32_t kMaxAtMoves = 64;

struct JbigStream {
    uint8_t *memPtr;
    uint32_t memLength;
    HGLOBAL userHandle;
    uint8_t *memBase;
    uint32_t memPos;
    uint32_t fileSize;
    uint32_t scanTotal;
    HANDLE hFile;
    uint32_t memCapacity;
    uint32_t bufFill;
    uint32_t streamFlags;
    uint32_t bufPos;
    uint32_t ioStatus;
    char path[256];
    uint8_t ioBuffer[kIoBufferSize];
};

// What only an encoder handle has.
struct JbigEncoderState {
    JbigEncodeOptions *options;  // the caller's record, until the epilog
    uint32_t written;            // bytes written to the stream; ioBuffer holds the rest
    uint32_t headBytes;          // header and private table: where the first stripe starts
    // QM encoder registers beside C, A and CT.
    int32_t qmSC;       // pending 0xFF bytes
    uint32_t qmBuffer;  // the byte held back
    uint16_t qmFirst;   // 1 until the first byte of the stripe is produced
    int32_t qmZeros;    // 0x00 bytes held back
    // Every stripe of the lowest layer ends with SDRST, and the next starts
    // as the first does (the differential layers end theirs with SDNORM).
    uint8_t sdrst;
    // AT moves only at the first line of a stripe; only in the lowest layer.
    uint8_t atStripeStart, atLowestOnly;
    // The byte held back when a stripe ends is written, also a 0x00.
    uint8_t keepZeros;
    // A coding step failed; the stream can only be abandoned.
    uint32_t failed;
    // Under kModeFull, where the announced stripe order is not the order of
    // coding: the coded stripes, in coding order, until they are written.
    uint8_t *spool;
    uint32_t spoolLength, spoolCapacity;
    uint32_t spooling;
    // With more than one bit plane: the image of every plane, cur's swapped
    // in while that plane is coded or filled.
    JbigLayerImage *planes;
    HGLOBAL planesHandle;
    uint32_t plane;  // the plane rows go to
    // Rows of the AT planner while a layer is coded under kModeFull.
    uint64_t *atWords;
    HLOCAL atWordsHandle;
};

// What only a decoder handle has; the scan runs in its prolog.
struct JbigDecoderState {
    int32_t decodedBytes;  // result of the last decode call
    uint32_t dataOffset;   // stream position of the header
    uint32_t dataLength;   // bytes of JBIG data from there; 0: to the end
    uint32_t layerBytes;   // stripe lengths started in the current layer
    // Stripe data entity being read.
    uint32_t sdeLength;
    uint32_t sdeRead;
    uint32_t sdeEnd;     // its data has ended
    uint32_t sdrstSeen;  // the last one ended with SDRST
    uint32_t tpReset;    // sdrstSeen as it stood when this stripe started
    // Marker bytes the stripes of the current layer may still skip; see
    // qmDecByteInSlow.
    uint32_t markerBudget;
    uint32_t scanEnded;  // the scan has met the end of the data
    // The whole standard (kModeFull):
    uint32_t headBytes;   // header and private table: the first stripe's offset
    uint32_t abortAt;     // stream-order index of the first stripe ABORT left white
    uint32_t atOpen;      // no coded byte yet: ATMOVE segments belong to this stripe
    uint32_t newlenYD;    // the height a NEWLEN set, 0 if none
    uint32_t newlenIgnored;  // NEWLENs naming 0 or more rows than there are
    HGLOBAL dpPrivHandle; // the private table, expanded
    uint32_t plane;       // the plane decoded
    uint32_t completeLayers;  // layers whole in data cut short; 0: every one
    // BIEs that continue the first (each one's DL the D + 1 of the one
    // before): where each header starts and its layers; the options and DP
    // tables every layer is decoded with.
    uint32_t bieCount;
    uint32_t bieStart[kMaxBies];
    uint8_t bieDL[kMaxBies], bieD[kMaxBies];
    uint8_t layerOptions[kMaxBies];
    const uint8_t *layerDp[kMaxBies][4];
    HGLOBAL dpHandles[kMaxBies];  // private tables of the later BIEs
    uint32_t dpHandleCount;
    uint64_t qmCode;      // the QM decoder's C (decoder/jbgDQM.h)
};

struct JbigContext {
    uint32_t magic;
    uint32_t mode;
    HGLOBAL memHandle;
    // The registry of live contexts (ctxFromHandle): its list, and the
    // number of this context's creation, which tags its handle.
    JbigContext *liveNext, *livePrev;
    uint32_t serial;
    JbigBih bih;
    JbigLayerImage cur;
    JbigLayerImage low;
    int32_t stripeCount;
    // Encoder: layers still to code, D down to -1; decoder: the last
    // decoded layer, -1 up to D.
    int32_t layerCursor;
    uint16_t ltpPrev;  // TPBON: LNTP of the previous line
    uint16_t *diffWork;
    uint32_t diffWorkSize;
    HLOCAL diffWorkHandle;
    uint8_t **stripeTable;
    uint16_t tablePlanes;
    int16_t tableLayers;
    int16_t tableStripes;
    // QM coder registers, both directions (the decoder's C is dec.qmCode).
    uint32_t qmC, qmA;
    int32_t qmCT;
    // The deterministic-prediction tables in use, by phase.
    const uint8_t *dp[4];
    // The AT pixel of the layer being coded, and its moves within the
    // current stripe.
    AtPosition at;
    uint32_t atMoveCount;
    JbigAtMove atMoves[kMaxAtMoves];
    JbigEncoderState enc;
    JbigDecoderState dec;
    JbigStream stream;
    // Adaptive probability state of every context: a word of Qe and 2 * ST
    // + MPS (jbgQMTable.h). Kept per handle so that handles can code on
    // different threads at once.
    uint32_t qmStates[4096];
};

// ---- context (jpgLib) ----
JbigContext *ctxCreate(const char *path, uint32_t flags);
int32_t ctxDestroy(JbigContext *ctx);
int32_t ctxInvertImage(JbigContext *ctx);
// Every context back to its first state.
void qmStatesReset(JbigContext *ctx);
// The live context of a handle of that kind, or null: the handle is looked
// up among the live contexts, never read where it points, so that a stale,
// released or foreign handle is refused without touching its memory.
JbigContext *ctxFromHandle(JbigHandle handle, uint32_t kind);
// As ctxFromHandle, and the context leaves the registry: of two epilogs
// racing on one handle only one gets it.
JbigContext *ctxTake(JbigHandle handle, uint32_t kind);
// The handle of a context: its address, on 64-bit systems with the low 16
// bits of its serial in the top 16, so that a handle kept past its epilog
// does not name a later context that got the same address.
inline JbigHandle ctxHandle(const JbigContext *ctx) {
    uintptr_t h = reinterpret_cast<uintptr_t>(ctx);
#if UINTPTR_MAX > 0xFFFFFFFFu
    h ^= uintptr_t(ctx->serial & 0xFFFF) << 48;
#endif
    return h;
}

// A block allocated and locked in one step: its address, its handle in
// *handle; null, with nothing held, when either step fails. The release
// unlocks and frees; true when the block was freed.
void *globalAllocLocked(UINT flags, size_t bytes, HGLOBAL *handle);
bool globalFreeLocked(HGLOBAL handle);
void *localAllocLocked(size_t bytes, HLOCAL *handle);
bool localFreeLocked(HLOCAL handle);

uint8_t **rowArrayAlloc(uint32_t rows, uint32_t bytesPerRow);
int32_t rowArrayFree(uint8_t **rowTable);

// Bytes per row of a layer `width` pixels wide.
inline uint32_t strideFor(uint32_t width) { return (((width + 15) >> 3) + 5) & ~3u; }
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

// Sets up the layer image fields for a raster of the given size.
void layerImageSetup(JbigLayerImage *img, uint32_t width, uint32_t height);
// Allocates the rows of img (height + 1 rows of stride) and clears them.
bool layerImageAlloc(JbigLayerImage *img);
void layerImageFree(JbigLayerImage *img);

// The differential layers' work line of one 16-bit entry per block, in
// local memory; false when it cannot be had.
bool diffWorkAlloc(JbigContext *ctx, uint32_t blocks);
// Releases the work line if there is one; -1 when the release fails.
int32_t diffWorkFree(JbigContext *ctx);

// ---- header (jbgBIH) ----
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

// ---- byte stream (jpgLib) ----
int32_t streamOpenWrite(JbigStream *s);
int32_t streamOpenRead(JbigStream *s);
intptr_t streamOpenFile(JbigStream *s);
HANDLE streamOpenUpdate(JbigStream *s);
uint32_t streamCloseFile(JbigStream *s);
uint32_t streamClose(JbigStream *s);
int32_t streamReset(JbigStream *s);
uint32_t streamSeek(JbigStream *s, uint32_t offset, int whence);
int32_t streamWrite(JbigStream *s, const void *buf, uint32_t n);
int32_t streamRead(JbigStream *s, void *buf, uint32_t n);
// Reads exactly n bytes; false on a short read.
bool streamReadFully(JbigStream *s, uint8_t *buf, uint32_t n);
uint32_t streamCopy(JbigStream *target, JbigStream *source, uint32_t offset, uint32_t count);
int32_t ctxReopen(JbigContext *ctx);
int32_t ctxCloseFile(JbigContext *ctx);
inline bool streamIsMemory(const JbigStream *s) { return (s->streamFlags & kStreamMemory) != 0; }
// Sets the path of a stream; false when it does not fit.
bool streamSetPath(JbigStream *s, const char *path);
// End of the JBIG data of a decoder: the region end, or the data size.
uint32_t ctxDataEnd(const JbigContext *ctx);

// ---- stripe table, trailer and scan (jbgPat) ----
// A stream's height when it is unknown (fax streams leave it to NEWLEN).
constexpr uint32_t kUnknownHeight = 0xFFFFFFFFu;
constexpr uint32_t kNoAbort = 0xFFFFFFFFu;
// Where the order bits put the stripes of one bit plane: layer after layer
// (SEQ, ILEAVE, SMID 0, ILEAVE, ILEAVE + SMID), or stripe after stripe with
// the layers of each in turn (SMID, SEQ, SEQ + ILEAVE). SEQ with SMID names
// no order.
enum StripeOrder { kLayerOuter, kStripeOuter, kNoOrder };
StripeOrder stripeOrderOf(uint32_t order);
// The place of one stripe data entity.
struct SdeIndex {
    uint32_t plane, layer, stripe;
};
// The loops the order bits nest, outermost first: 'p' planes, 'd' layers,
// 's' stripes; null for an order that names none (with `full` as T.82
// defines them, otherwise as the library's first version read them).
const char *sdeNesting(uint32_t order, bool full);
// The k-th entity in stream order of the planes, layers lo .. hi and stripes
// of a header under a nesting; and the inverse.
SdeIndex sdeAt(const JbigBih &b, const char *nest, uint32_t lo, uint32_t hi, uint32_t stripes, uint32_t k);
uint32_t sdePosition(const JbigBih &b, const char *nest, uint32_t lo, uint32_t hi, uint32_t stripes, SdeIndex at);
int32_t stripeTableCreate(JbigContext *ctx);
int32_t stripeTableFree(JbigContext *ctx);
int32_t patInfoWrite(JbigContext *ctx);
uint32_t patInfoRead(JbigContext *ctx);
int32_t stripeTableScan(JbigContext *ctx);
// The decoder prolog's reading of the table under kModeFull: the private
// DP table, the trailer or, without one, the real height and the stripes.
uint32_t patInfoReadFull(JbigContext *ctx);
// The stripe of layer `layer` lies after an ABORT and is white.
bool stripeAbsent(const JbigContext *ctx, uint32_t plane, uint32_t layer, uint32_t stripe);
int32_t sdeScanLength(JbigContext *ctx);
int32_t scanGetByte(JbigContext *ctx);
// Size of the trailer the table makes.
uint32_t patInfoBytes(const JbigContext *ctx);

// A look at the stripes of an open decoder without decoding them: each is
// measured from its table offset the way the scan measures, and the first
// that does not end where the table says is named.
struct StripeSurvey {
    int32_t badPlane, badLayer, badStripe;  // -1: every stripe is where the table says
    SdeReport problem;            // why that one does not measure
    uint32_t dataEnd;             // stream position after the last stripe data
    SdeReport markers;            // the marker segments of all stripes together
    uint32_t sdrstCount;          // stripes ending with SDRST
    bool aborted;                 // an ABORT ends the data
};
void stripeSurvey(JbigContext *ctx, StripeSurvey *out);

// The table's rows: plane after plane, layer 0 to D in each.
inline uint32_t *stripeEntry(JbigContext *ctx, uint32_t plane, uint32_t layer, uint32_t stripe) {
    return reinterpret_cast<uint32_t *>(ctx->stripeTable[plane * uint32_t(ctx->tableLayers) + layer]) + 2 * stripe;
}
inline uint32_t *stripeEntry(JbigContext *ctx, uint32_t layer, uint32_t stripe) {
    return stripeEntry(ctx, 0, layer, stripe);
}
