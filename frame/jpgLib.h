// Library frame: the coder context behind every handle, row arrays, the byte
// stream over files and memory, the image header and the stripe table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>

#include "../platform/win32.h"
#include "zeljbig.h"

#if defined(__GNUC__)
#define ZJ_INLINE inline __attribute__((always_inline))
#define ZJ_LIKELY(x) __builtin_expect(!!(x), 1)
#define ZJ_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define ZJ_INLINE inline
#define ZJ_LIKELY(x) (x)
#define ZJ_UNLIKELY(x) (x)
#endif

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

// header order bits
constexpr uint32_t kHITOLO = 0x08, kSEQ = 0x04, kILEAVE = 0x02, kSMID = 0x01;
// header option bits
constexpr uint32_t kLRLTWO = 0x40, kVLENGTH = 0x20, kTPDON = 0x10, kTPBON = 0x08, kDPON = 0x04, kDPPRIV = 0x02,
                   kDPLAST = 0x01;

// stream flags
constexpr uint32_t kStreamRead = 0x02, kStreamWrite = 0x04, kStreamMemory = 0x10;
constexpr uint32_t kIoBufferSize = 4096;

// Largest full-resolution raster a decoder accepts, row addresses and the
// differential layers' work line included (headerUsable).
constexpr uint64_t kMaxDecodeRaster = uint64_t(1) << 30;

struct JbigLayerImage {
    uint8_t **rows;
    uint8_t *lines[6];
    uint32_t stride;
    uint32_t blankRow;
    uint32_t width;
    uint32_t height;
    uint32_t stripeRows;
    uint32_t layer;
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

struct JbigContext {
    uint32_t magic;
    uint16_t verMajor;
    uint8_t verMinor;
    uint8_t verLetter;
    JbigContext *self;
    uint32_t recordSize;
    HGLOBAL memHandle;
    JbigLayerImage cur;
    JbigLayerImage low;
    JbigBih bih;
    JbigEncodeOptions *encOptions;
    int32_t decodedBytes;
    uint32_t dataOffset;
    uint32_t dataLength;
    uint32_t mode;
    uint32_t tpReset;
    uint32_t sdrstSeen;
    int32_t stripeCount;
    int32_t layerCursor;
    uint32_t stripesInterleaved;
    uint16_t *diffWork;
    uint32_t diffWorkSize;
    HLOCAL diffWorkHandle;
    uint16_t ltpPrev;
    JbigStream stream;
    uint32_t sdeLength;
    uint32_t sdeRead;
    uint32_t byteCount;
    // Decoder: bytes of marker segments that the stripes of the current
    // layer may still skip; see qmDecByteInSlow.
    uint32_t markerBudget;
    uint16_t sdeEnd;
    uint32_t qmC;
    uint32_t qmA;
    int32_t qmSC;
    uint32_t qmBuffer;
    int32_t qmCT;
    uint16_t qmFirst;
    int32_t qmZeros;
    uint8_t **stripeTable;
    uint16_t tablePlanes;
    int16_t tableLayers;
    int16_t tableStripes;
    // Encoder: a coding step failed; the stream can only be abandoned.
    uint32_t failed;
    // Adaptive probability state of every context: 2 * ST + MPS. Kept per
    // handle so that handles can code on different threads at once.
    uint8_t qmStates[4096];
};

// ---- context (jpgLib) ----
JbigContext *ctxCreate(const char *path, uint32_t flags);
int32_t ctxDestroy(JbigContext *ctx);
int32_t ctxInvertImage(JbigContext *ctx);
JbigContext *ctxFromHandle(JbigHandle handle, uint32_t kind);

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
// The sanity rules shared by both prologs; true when the header is usable.
bool headerUsable(const JbigBih &bih, bool decoder);

// Sets up the layer image fields for a raster of the given size.
void layerImageSetup(JbigLayerImage *img, uint32_t width, uint32_t height);
// Allocates the rows of img (height + 1 rows of stride) and clears the blank row.
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
uint32_t streamCopy(JbigStream *target, JbigStream *source, uint32_t offset, uint32_t count);
int32_t ctxReopen(JbigContext *ctx);
int32_t ctxCloseFile(JbigContext *ctx);
inline bool streamIsMemory(const JbigStream *s) { return (s->streamFlags & kStreamMemory) != 0; }
// Sets the path of a stream; false when it does not fit.
bool streamSetPath(JbigStream *s, const char *path);
// End of the JBIG data of a decoder: the region end, or the data size.
uint32_t ctxDataEnd(const JbigContext *ctx);

// ---- stripe table and trailer (jbgPat) ----
int32_t stripeTableCreate(JbigContext *ctx);
int32_t stripeTableFree(JbigContext *ctx);
int32_t patInfoWrite(JbigContext *ctx);
uint32_t patInfoRead(JbigContext *ctx);
int32_t stripeTableScan(JbigContext *ctx);
int32_t sdeScanLength(JbigContext *ctx);
int32_t scanGetByte(JbigContext *ctx);

inline uint32_t *stripeEntry(JbigContext *ctx, uint32_t layer, uint32_t stripe) {
    return reinterpret_cast<uint32_t *>(ctx->stripeTable[layer]) + 2 * stripe;
}
