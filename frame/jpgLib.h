// Library frame: the coder context behind every handle, the registry of live
// contexts, locked blocks, row arrays, and the byte stream over files and
// memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../platform/win32.h"
#include "jbgBIH.h"
#include "zeljbig.h"

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

// stream flags
constexpr uint32_t kStreamRead = 0x02, kStreamWrite = 0x04, kStreamMemory = 0x10;
// ioStatus
constexpr uint32_t kIoOk = 0, kIoWriteFailed = 2, kIoNoFile = 3;
constexpr uint32_t kIoBufferSize = 4096;

// Seek origins of streamSeek, as the file layer's.
constexpr int kSeekStart = 0, kSeekCurrent = 1, kSeekEnd = 2;
constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;

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
    uint32_t lineBytes;  // (width + 15) >> 3, set with the layer; the walks take stride
    uint32_t row;
    // Decoder: whole units of a line (bytes in the lowest layer, pairs of
    // bytes in a differential one) and the pixels after them; the encoder
    // leaves them unset.
    uint32_t unitCount;
    uint32_t unitRest;
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

// A file or a memory stream. Fields serve both directions:
//   memPtr    writing: the heap buffer, handed to the caller at the epilog;
//             reading: the next byte, memBase + memPos
//   ioBuffer  writing: the QM encoder's output block (bufPos its fill), then
//             the trailer's blocks; reading: the QM decoder's and the
//             trailer scanner's input block (bufPos .. bufFill, scanTotal
//             bytes read so far by the scan); and the file copy's block
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
    uint8_t atStripeStart, atLowestOnly, atVerify;
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

// dec.abortAt when no ABORT ends the data.
constexpr uint32_t kNoAbort = 0xFFFFFFFFu;

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
    uint32_t diffWorkSize;  // its bytes, as allocated (the walks know its length from the layer)
    HLOCAL diffWorkHandle;
    uint8_t **stripeTable;  // jbgPat.h: stripeEntry
    uint16_t tablePlanes;   // P when the table is made: the survey and the trailer walk its planes
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

// The first block of a row array as its header word gives it: eight words
// and the row table, counted at 4 bytes a row on every system.
inline uint64_t rowArrayHeadBytes(uint64_t rows) { return rows * 4 + 32; }
uint8_t **rowArrayAlloc(uint32_t rows, uint32_t bytesPerRow);
int32_t rowArrayFree(uint8_t **rowTable);

// Bytes per row of a layer `width` pixels wide.
inline uint32_t strideFor(uint32_t width) { return (((width + 15) >> 3) + 5) & ~3u; }
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

