/*
 * zeljbig: JBIG (ITU-T T.82) bi-level image encoder and decoder.
 *
 * The one public header. Usable from C and C++.
 *
 * Conventions
 *  - Every operation returns a status: 0 for success, -1 (all ones) for
 *    failure, unless documented otherwise below. Handle-returning
 *    operations return JBIG_INVALID_HANDLE on failure.
 *  - A handle is the address of the library's coder context. On 32-bit
 *    Windows it is a 32-bit value and the operations use __stdcall with
 *    undecorated names; on 64-bit systems it is pointer-sized.
 *  - Rasters are one bit per pixel, most significant bit first; a 1 bit is
 *    a foreground (black) pixel.
 *  - Different handles may be used on different threads at the same time;
 *    a single handle must not be used from two threads at once.
 */
#ifndef ZELJBIG_H
#define ZELJBIG_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
#define JBIGAPI __stdcall
#define JBIG_EXPORT
#else
#define JBIGAPI
#if defined(ZELJBIG_BUILDING)
#define JBIG_EXPORT __attribute__((visibility("default")))
#else
#define JBIG_EXPORT
#endif

/* Without Win32 the library brings the few Win32 types and memory calls that
 * its interface exchanges: movable global memory blocks (decoder memory
 * input, packed DIBs), the process heap (encoder memory output) and
 * monochrome bitmaps. They behave like their Win32 namesakes. */
#ifndef ZELJBIG_WIN32_TYPES
#define ZELJBIG_WIN32_TYPES
typedef void *HGLOBAL;
typedef void *HANDLE;
typedef struct zjGdiObject *HBITMAP;
typedef struct zjGdiObject *HGDIOBJ;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef void *LPVOID;

typedef struct tagBITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
} BITMAP;

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER;

typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO;

#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define BI_RGB 0
#endif /* ZELJBIG_WIN32_TYPES */

/* The library's own, under names of its own so that they clash with no other
 * library's; the Win32 names below map onto them unless the includer defines
 * ZELJBIG_NO_WIN32_NAMES. What the library hands out is released with them:
 * GlobalFree for DIBs and memory-input blocks, HeapFree(GetProcessHeap(),
 * 0, p) for memory output, DeleteObject for bitmaps. */
#ifdef __cplusplus
extern "C" {
#endif
JBIG_EXPORT HGLOBAL zeljbigGlobalAlloc(UINT flags, size_t bytes);
JBIG_EXPORT LPVOID zeljbigGlobalLock(HGLOBAL block);
JBIG_EXPORT BOOL zeljbigGlobalUnlock(HGLOBAL block);
JBIG_EXPORT HGLOBAL zeljbigGlobalFree(HGLOBAL block);
JBIG_EXPORT size_t zeljbigGlobalSize(HGLOBAL block);
JBIG_EXPORT HANDLE zeljbigGetProcessHeap(void);
JBIG_EXPORT LPVOID zeljbigHeapAlloc(HANDLE heap, DWORD flags, size_t bytes);
JBIG_EXPORT BOOL zeljbigHeapFree(HANDLE heap, DWORD flags, LPVOID block);
JBIG_EXPORT HBITMAP zeljbigCreateBitmapIndirect(const BITMAP *bm);
JBIG_EXPORT int zeljbigGetObjectA(HGDIOBJ obj, int size, LPVOID out);
JBIG_EXPORT BOOL zeljbigDeleteObject(HGDIOBJ obj);
#ifdef __cplusplus
}
#endif
#if !defined(ZELJBIG_NO_WIN32_NAMES) || defined(ZELJBIG_BUILDING)
#define GlobalAlloc zeljbigGlobalAlloc
#define GlobalLock zeljbigGlobalLock
#define GlobalUnlock zeljbigGlobalUnlock
#define GlobalFree zeljbigGlobalFree
#define GlobalSize zeljbigGlobalSize
#define GetProcessHeap zeljbigGetProcessHeap
#define HeapAlloc zeljbigHeapAlloc
#define HeapFree zeljbigHeapFree
#define CreateBitmapIndirect zeljbigCreateBitmapIndirect
#define GetObjectA zeljbigGetObjectA
#define DeleteObject zeljbigDeleteObject
#endif
#endif /* !_WIN32 */

#ifdef __cplusplus
extern "C" {
#endif

/* A coder handle. JBIG_INVALID_HANDLE (all ones) means failure. */
typedef uintptr_t JbigHandle;
#define JBIG_INVALID_HANDLE ((JbigHandle)~(uintptr_t)0)

/* Flags word of the option records. */
#define JBIG_FLAG_NO_PATINFO 0x0008u      /* encoder: write no stripe index */
#define JBIG_FLAG_PATINFO_MISSING 0x0010u /* decoder out: index rebuilt by scanning */
#define JBIG_FLAG_POLARITY 0x0020u        /* Windows bitmaps: 1 is white, not black */
#define JBIG_FLAG_DATA_OFFSET 0x0040u     /* decoder: dataOffset/dataLength given */
#define JBIG_FLAG_MEMORY 0x0080u          /* memory output (encoder) or input (decoder) */
#define JBIG_FLAG_FULL_STANDARD 0x0100u   /* everything T.82 and its fax profile T.85 allow (below) */

/* Raster descriptor: seven 32-bit words on 32-bit systems. */
typedef struct JbigImageInfo {
    uint32_t width;        /* pixels per row */
    uint32_t height;       /* rows */
    uint32_t bytesPerLine; /* distance between rows in bytes */
    uint32_t depth;        /* bits per pixel, always 1 */
    uint32_t reserved1;
    uint32_t reserved2;
    uint8_t *data; /* first row; row i at data + i * bytesPerLine */
} JbigImageInfo;

/* Encoder options. Must stay valid from jbigEncodeProlog to
 * jbigEncodeEpilog: the epilog stores the memory output here.
 * Of the order and option bytes only bit 0 counts. */
typedef struct JbigEncodeOptions {
    uint32_t XD; /* width */
    uint32_t YD; /* height */
    uint32_t L0; /* lines per stripe in layer 0 */
    uint8_t DL;  /* lowest layer: must be 0 */
    uint8_t D;   /* differential layers */
    uint8_t P;   /* bit planes: 1; up to 255 with JBIG_FLAG_FULL_STANDARD */
    uint8_t MX;
    uint8_t MY;
    uint8_t HITOLO, SEQ, ILEAVE, SMID;
    uint8_t LRLTWO, VLENGTH, TPDON, TPBON, DPON, DPPRIV, DPLAST;
    uint32_t dataOffset; /* unused by the encoder */
    uint32_t dataLength; /* unused by the encoder */
    uint8_t *outData;    /* memory output: set by the epilog */
    uint32_t outLength;  /* memory output: set by the epilog */
    HGLOBAL outHandle;   /* always 0 */
    uint16_t flags;      /* JBIG_FLAG_NO_PATINFO, _POLARITY, _MEMORY */
} JbigEncodeOptions;

/* Decoder options: header fields come back out of the prolog, each order
 * and option flag as 0 or 1. */
typedef struct JbigDecodeOptions {
    uint32_t XD;
    uint32_t YD;
    uint32_t L0;
    uint8_t DL;
    uint8_t D;
    uint8_t P;
    uint8_t MX;
    uint8_t MY;
    uint8_t HITOLO, SEQ, ILEAVE, SMID;
    uint8_t LRLTWO, VLENGTH, TPDON, TPBON, DPON, DPPRIV, DPLAST;
    uint32_t dataOffset; /* in, with JBIG_FLAG_DATA_OFFSET: file offset of the header */
    uint32_t dataLength; /* in, with JBIG_FLAG_DATA_OFFSET: bytes from there, 0 = to the end */
    uint8_t *inData;     /* unused */
    uint32_t inLength;   /* in, with JBIG_FLAG_MEMORY: bytes in inHandle */
    HGLOBAL inHandle;    /* in, with JBIG_FLAG_MEMORY: movable global block */
    uint16_t flags;      /* in/out */
} JbigDecodeOptions;

/* ---- Encoder ----
 *
 * Order: jbigEncodeCreatDefaultOptions (optional), jbigEncodeProlog, rows
 * with jbigEncodeSetOrgDataFromRect (in bands) or a whole bitmap/DIB,
 * D + 1 calls of jbigEncode (layer D first), jbigEncodeEpilog.
 *
 * The prolog refuses (JBIG_INVALID_HANDLE): flags with 0x0002; DL != 0;
 * P != 1; XD, YD or L0 of 0; L0 << D not representable in 32 bits; more
 * than 32767 stripes; a raster (rows, stride, row table) whose size does
 * not fit 32 bits; a path longer than 255 characters; a null options
 * record; file output without a path.
 *
 * With JBIG_FLAG_FULL_STANDARD the encoder writes the stripes in the order
 * the order bits announce (HITOLO 0: the lowest layer first; SEQ, ILEAVE and
 * SMID as T.82 defines them; SMID alone, or with both others, names no
 * order and is refused), holding the coded layers in memory until the
 * lowest one is done where that order is not the order of coding. It takes
 * P bit planes (see zeljbigEncodeSelectPlane), and with DPPRIV it writes its
 * deterministic-prediction table after the header as T.82 stores a private
 * one (DPPRIV with DPLAST is refused). It may also move the AT pixel, up to MX columns (at most
 * 127; MX 0 never moves it), and writes an ATMOVE segment before the data of
 * a stripe for each move; reading such a stream needs a decoder that honours
 * ATMOVE (this one with JBIG_FLAG_FULL_STANDARD). Without the flag the
 * stream is what the encoder has always written: the highest layer first,
 * the order bits recorded as given, the AT pixel in its place.
 *
 * jbigEncodeGetImageAddress before the first jbigEncode call returns
 * (JbigImageInfo *)-1: there is no coded image to describe yet.
 *
 * jbigEncodeEpilog before the lowest layer is coded abandons the stream:
 * no stripe index is written, memory output is freed (outData NULL,
 * outLength 0), everything is released and the result is -1. A file
 * written so far stays as it is. Memory output is released by the caller
 * with HeapFree(GetProcessHeap(), 0, outData).
 */
JBIG_EXPORT JbigEncodeOptions *JBIGAPI jbigEncodeCreatDefaultOptions(JbigEncodeOptions *opts, uint32_t width,
                                                                     uint32_t height, uint32_t layers,
                                                                     uint16_t flags);
JBIG_EXPORT JbigHandle JBIGAPI jbigEncodeProlog(const char *path, JbigEncodeOptions *opts);
JBIG_EXPORT int32_t JBIGAPI jbigEncodeSetOrgDataFromRect(JbigHandle handle, const JbigImageInfo *info);
/* The whole raster at once, before the first jbigEncode call: from a GDI
 * bitmap of XD by YD pixels in any format GDI can copy to the screen's
 * (colours go to the nearer of black and white), or from a packed 1-bit
 * bottom-up DIB of XD by YD pixels in a movable global block (its colour
 * table is not read). GDI's index 0 (black) becomes a 1 pixel, unless
 * JBIG_FLAG_POLARITY is set: then the bits stand as they are. A source of
 * another size, a DIB of another bit count or a top-down DIB is refused
 * and the raster is left as it was. */
JBIG_EXPORT int32_t JBIGAPI jbigEncodeSetOrgDataFromWinBitmap(JbigHandle handle, HBITMAP bitmap);
JBIG_EXPORT int32_t JBIGAPI jbigEncodeSetOrgDataFromWinDIB(JbigHandle handle, HGLOBAL dib);
JBIG_EXPORT int32_t JBIGAPI jbigEncode(JbigHandle handle);
JBIG_EXPORT JbigImageInfo *JBIGAPI jbigEncodeGetImageAddress(JbigHandle handle, JbigImageInfo *info);
JBIG_EXPORT int32_t JBIGAPI jbigEncodeEpilog(JbigHandle handle);

/* ---- Decoder ----
 *
 * The prolog reads the header and the stripe index (or rebuilds it by
 * scanning, reporting JBIG_FLAG_PATINFO_MISSING) and refuses
 * (JBIG_INVALID_HANDLE): flags with 0x0001, or 0x0040 together with
 * 0x0080; a file that cannot be read or a memory block that cannot be
 * locked; a header with DL != 0, P != 1, XD, YD or L0 of 0, L0 << D not
 * representable in 32 bits, more than 32767 stripes, or a full-resolution
 * raster larger than 1 GiB: YD + 1 rows of ((XD + 15) / 8 + 5) & ~3 bytes
 * and an 8-byte row address each, with differential layers also their work
 * line of 2 * ceil(XD / 2) bytes, more than 2^30 bytes in all (more than a
 * 32-bit process could hold: a few header bytes never make the library
 * allocate gigabytes); a stream without index whose stripes cannot be
 * located (order bits SEQ and SMID together); a path longer than 255
 * characters.
 *
 * Layers: 0 is the lowest, D the full resolution; a number above D means D;
 * -1 means the layer after the last decoded one. A decoder moves upwards
 * only. Damaged data never fails decoding: it gives a complete raster.
 * Decoding time stays proportional to the pixels decoded and the data: the
 * stripes of one layer together skip no more bytes of COMMENT and ATMOVE
 * segments than the data holds, and a stripe reaching past that ends there
 * (only an index whose stripes overlap gets there).
 *
 * With JBIG_FLAG_FULL_STANDARD the decoder honours every marker segment
 * T.82 and T.85 allow, where by default it reads them as its first version
 * did (ATMOVE and COMMENT skipped, NEWLEN, ABORT and reserved markers ending
 * a stripe, SDRST resetting only the probability states):
 *  - ATMOVE before a stripe's data moves the AT pixel from the named line
 *    of that stripe on, tx columns left and ty rows up (tx 0 puts it back);
 *    moves are taken in the order they stand, at most 64 per stripe;
 *  - after SDRST the next stripe of the layer starts as the first does:
 *    fresh states, fresh typical prediction, the rows above it white;
 *  - NEWLEN sets the real height, smaller than announced (a larger one is
 *    ignored); a header may announce YD 0xFFFFFFFF and leave the height to
 *    NEWLEN, and without one the prolog refuses such a stream;
 *  - DPPRIV without DPLAST: the 1728 bytes after the header are the
 *    deterministic-prediction table as T.82 stores it (phases 0 to 3, four
 *    two-bit entries a byte, the first in the high bits; 0 and 1 predict the
 *    pixel, 2 and 3 do not); DPPRIV with DPLAST needs a previous image's
 *    table and is refused in a first BIE, as is a table cut short;
 *  - P bit planes (1 to 255), stripes in any order T.82 allows; the decoder
 *    delivers one plane at a time (zeljbigDecodeSelectPlane);
 *  - BIEs that continue each other: after the first, a BIE whose DL is the
 *    D + 1 of the one before, of the same planes and L0 and a size that
 *    halves to it, adds its layers (with its own options and DP table, or
 *    with DPLAST the table before); the header then reports the whole
 *    image. A BIE with DL above 0 alone is refused;
 *  - ABORT ends the image data: what was coded before it is decoded, the
 *    rest is white.
 * The prolog then reports the real height in the options record and
 * through jbigDecodeGetImageSize; of data cut short after whole layers (a
 * partial download), jbigDecodeGetMaxLayer names the highest complete one. Streams of this library decode the same
 * either way.
 *
 * jbigDecodeGetImageAddress before anything was decoded returns
 * (JbigImageInfo *)-1; jbigDecodeGetDecodedBytes then returns 0, and after
 * a decode call the bytes of the stripes it decoded, counted as far as the
 * data reaches and at most 0x7FFFFFFF.
 */
JBIG_EXPORT JbigHandle JBIGAPI jbigDecodeProlog(const char *path, JbigDecodeOptions *opts);
JBIG_EXPORT int32_t JBIGAPI jbigDecodeEpilog(JbigHandle handle);
JBIG_EXPORT int32_t JBIGAPI jbigDecodeGetMaxLayer(JbigHandle handle);
JBIG_EXPORT int32_t JBIGAPI jbigDecodeGetImageSize(JbigHandle handle, uint32_t *width, uint32_t *height,
                                                   int32_t layer);
JBIG_EXPORT JbigImageInfo *JBIGAPI jbigDecodeGetImageAddress(JbigHandle handle, JbigImageInfo *info);
JBIG_EXPORT int32_t JBIGAPI jbigDecodeGetDecodedBytes(JbigHandle handle);

/* Decode up to a layer and deliver it. The bitmap result is a monochrome
 * bitmap, released with DeleteObject; the packed DIB (1 bit per pixel,
 * bottom-up, white at index 0) is released with GlobalFree. With
 * JBIG_FLAG_POLARITY a 1 pixel comes out white instead of black.
 * Failure: (HBITMAP)-1, (HGLOBAL)-1. jbigDecodeToWinDIBits with a null
 * bits buffer only fills the header (1 bit per pixel, two colour entries)
 * and returns 0, or -1 for a layer that jbigDecodeGetImageSize refuses;
 * with a buffer it decodes and returns the header's height, or 0 on
 * failure. A bad handle or header gives 0 in both forms.
 * Headers of 8, 16, 24 or 32 bits per pixel receive the two colours of
 * the colour table converted to that depth. */
JBIG_EXPORT HBITMAP JBIGAPI jbigDecodeToWinBitmap(JbigHandle handle, int32_t layer);
JBIG_EXPORT HGLOBAL JBIGAPI jbigDecodeToWinDIB(JbigHandle handle, int32_t layer);
JBIG_EXPORT int32_t JBIGAPI jbigDecodeToWinDIBits(JbigHandle handle, void *bits, BITMAPINFO *header, int32_t layer);

/* ---- Stripe index (PatInfo trailer) of JBIG files ----
 * jbigAddPatInfo: destination gets a copy of source with the index added
 * (destination may equal source: appended in place). jbigDelPatInfo:
 * destination gets source without its index (must differ from source).
 * -1 when the source already has (add) or lacks (delete) an index; then no
 * file is written. */
JBIG_EXPORT int32_t JBIGAPI jbigAddPatInfo(const char *destination, const char *source);
JBIG_EXPORT int32_t JBIGAPI jbigDelPatInfo(const char *destination, const char *source);

/* ==== The zeljbig... family: plain buffers, inspection, reasons ====
 *
 * Beside the 19 operations above, which keep the Win32 conventions, this
 * family needs no movable memory block, no DIB and no process heap: bytes go
 * in as a pointer and a size, and whatever the library allocates for the
 * caller is released with zeljbigFree. These calls always read with the
 * whole standard (JBIG_FLAG_FULL_STANDARD): every marker, stripe order and
 * option of T.82 and T.85.
 *
 * Failures return -1 (or NULL) and leave a one-line reason, in English and
 * without a trailing newline, that zeljbigLastError() returns on the same
 * thread, for example "truncated: the stripe data ends early (layer 2,
 * stripe 9)". The jbig... prologs leave one too. The 32-bit Windows DLL
 * exports the 19 operations only; this family is in the static library
 * there.
 */

/* The reason of the last failure on this thread, or "" when the last call
 * succeeded. Valid until the thread's next call into the library. */
JBIG_EXPORT const char *zeljbigLastError(void);

/* Leaves a reason of the caller's own, for callbacks that fail. */
JBIG_EXPORT void zeljbigSetError(const char *reason);

/* Releases what the family allocated for the caller (NULL is fine). */
JBIG_EXPORT void zeljbigFree(void *block);

/* A bi-level raster: rows of `stride` bytes, pixel x of a row in bit
 * 7 - x % 8 of byte x / 8, 1 = black (foreground), the bits after the last
 * pixel 0. */
typedef struct ZeljbigRaster {
    uint32_t width;
    uint32_t height;
    size_t stride;
    uint8_t *data;
} ZeljbigRaster;

/* ---- One-call encoding ---- */

#define ZELJBIG_BEST 0x0001u           /* the smallest stream the library can make (both templates, AT moves) */
#define ZELJBIG_NO_INDEX 0x0002u       /* no stripe index at the end */
#define ZELJBIG_HIGHEST_FIRST 0x0004u  /* layer D first (HITOLO); default: layer 0 first */
#define ZELJBIG_SDRST 0x0008u          /* layer 0's stripes end with SDRST: each coded afresh */

typedef struct ZeljbigEncodeParams {
    uint32_t layers;      /* D, differential layers: 0 to 31 */
    uint32_t stripeLines; /* L0, lines per stripe in layer 0; 0: one stripe for the whole image */
    int32_t twoLine;      /* 1 two-line template, 0 three-line, -1 the one that codes a sample smaller */
    int32_t tpbon;        /* typical prediction in layer 0: 1, 0, or -1 for the default (on) */
    int32_t tpdon;        /* in the differential layers: 1, 0, -1 (on) */
    int32_t dpon;         /* deterministic prediction: 1, 0, -1 (on with layers) */
    uint32_t atMax;       /* MX: the AT pixel may move up to this many columns (0 to 127) */
    uint32_t flags;       /* ZELJBIG_BEST, ZELJBIG_NO_INDEX, ZELJBIG_HIGHEST_FIRST, ZELJBIG_SDRST */
    uint32_t planes;      /* P, bit planes: 1 to 255 (0 means 1) */
    uint32_t reserved[7]; /* 0 */
} ZeljbigEncodeParams;

/* The defaults above: one stripe, the template chosen, TPBON and TPDON on,
 * DPON with layers, no AT moves, a stripe index, one plane. */
JBIG_EXPORT void zeljbigEncodeDefaults(ZeljbigEncodeParams *params);

/* 0 when zeljbigEncode would take these parameters (NULL: the defaults)
 * for a picture of width x height pixels; -1 with the reason otherwise. */
JBIG_EXPORT int32_t zeljbigEncodeCheck(const ZeljbigEncodeParams *params, uint32_t width, uint32_t height);

/* Encodes `params->planes` rasters of one size (plane 0 first: for
 * greyscale the most significant bit) into one stream. On success *out
 * holds the stream (release it with zeljbigFree) and *outSize its length;
 * 0. On failure -1, the reason in zeljbigLastError(). `params` NULL means
 * the defaults. When the template is chosen (twoLine -1), a second thread
 * may help, and ends before the call returns: a picture of up to 512 rows
 * is coded with both templates at once; a larger one is coded with the
 * template its first rows favour while the sample is coded with both, and
 * again should the sample choose the other. */
JBIG_EXPORT int32_t zeljbigEncode(const ZeljbigEncodeParams *params, const ZeljbigRaster *planes, uint8_t **out, size_t *outSize);

/* ---- Bit planes ----
 *
 * With JBIG_FLAG_FULL_STANDARD a stream may hold P bit planes (1 to 255),
 * each coded as a bi-level image of its own. An encoder of P planes takes the
 * raster of every plane: zeljbigEncodeSelectPlane chooses the plane that the
 * jbigEncodeSetOrgData... calls fill (plane 0 at first), before the first
 * jbigEncode; each jbigEncode call then codes one layer of every plane. A
 * decoder delivers one plane at a time: zeljbigDecodeSelectPlane chooses it
 * (plane 0 at first) and starts again below layer 0, so that the
 * decode-to-bitmap calls deliver that plane's layers. -1 for a plane the
 * stream does not have. */
JBIG_EXPORT int32_t zeljbigEncodeSelectPlane(JbigHandle encoder, uint32_t plane);
JBIG_EXPORT int32_t zeljbigDecodeSelectPlane(JbigHandle decoder, uint32_t plane);

/* Greyscale from planes and back. A sample takes (bits + 7) / 8 bytes, most
 * significant byte first (as in PGM); plane 0 holds its most significant
 * bit. With `gray` the planes hold the Gray code of the value, as other
 * encoders write greyscale by default. zeljbigPlanesToGrey makes samples of
 * `count` bits from `count` planes of one size; zeljbigGreyToPlanes fills
 * `count` planes (rasters the caller made, of the grey image's size) with
 * the `count` most significant bits of samples of `bits` bits. */
JBIG_EXPORT int32_t zeljbigPlanesToGrey(const ZeljbigRaster *planes, uint32_t count, int32_t gray, uint8_t *grey,
                                        size_t greyStride);
JBIG_EXPORT int32_t zeljbigGreyToPlanes(const uint8_t *grey, size_t greyStride, uint32_t bits, int32_t gray,
                                        ZeljbigRaster *planes, uint32_t count);

/* Rows on demand, for pictures too large to hold twice: the library asks for
 * rows first..first + count - 1 of a plane, in any order, always on the
 * calling thread (the first rows or a sample of bands first, then top to
 * bottom; --best-like searches read them more than once), to be written
 * into `count` rows of `stride` bytes, of which the first (width + 7) / 8
 * are the pixels. 0, or -1 to stop the encode (a reason left with
 * zeljbigSetError reaches the caller). */
typedef int32_t (*ZeljbigRowReader)(void *user, uint32_t plane, uint32_t first, uint32_t count, uint8_t *rows,
                                    size_t stride);
/* As zeljbigEncode, the rows of the planes read straight into the
 * encoder's raster. */
JBIG_EXPORT int32_t zeljbigEncodeRows(const ZeljbigEncodeParams *params, uint32_t width, uint32_t height,
                                      ZeljbigRowReader read, void *user, uint8_t **out, size_t *outSize);

/* ---- Streaming encoding ----
 *
 * One plane, no differential layers (D 0): rows go in as they come, and
 * each stripe's bytes go out through the sink as soon as its last row is
 * in. The encoder holds one stripe of rows, the two above it and the
 * stripe's coded bytes, whatever the height: a fax roll or a printer page
 * of any length. For the same rows and parameters the bytes are those of
 * zeljbigEncode with ZELJBIG_NO_INDEX, when the template and stripeLines
 * are given there too.
 *
 * Parameters as for zeljbigEncode, except: layers 0 and one plane only;
 * no ZELJBIG_BEST (it codes the whole picture more than once); twoLine -1
 * means the three-line template (no sample can be looked at in advance);
 * tpdon -1 means off (TPDON is a bit of the header only, which T.85 leaves
 * clear); stripeLines 0 means 128; no stripe index is written (ZELJBIG_NO_INDEX
 * or not). Each is refused
 * with the reason when it cannot be had.
 *
 * The height may be ZELJBIG_UNKNOWN_HEIGHT: the header then announces
 * 0xFFFFFFFF and the real height follows in a NEWLEN segment, written
 * right after the stripe that holds the last row (which ends there). A
 * known height can be cut short the same way. Every call returns 0, or -1
 * with the reason in zeljbigLastError; after a failure only Destroy is of
 * use. */
#define ZELJBIG_UNKNOWN_HEIGHT 0xFFFFFFFFu /* the height is given by zeljbigStreamEncoderNewLength or Finish */

typedef struct ZeljbigStreamEncoder ZeljbigStreamEncoder;
/* Takes the next `size` bytes of the stream: 0, or -1 to stop (a reason
 * left with zeljbigSetError reaches the caller). */
typedef int32_t (*ZeljbigByteSink)(void *user, const uint8_t *bytes, size_t size);

/* NULL, with the reason, for parameters the streaming encoder cannot take.
 * Nothing reaches the sink before the first row, comment or length. */
JBIG_EXPORT ZeljbigStreamEncoder *zeljbigStreamEncoderCreate(const ZeljbigEncodeParams *params, uint32_t width,
                                                             uint32_t height, ZeljbigByteSink sink, void *user);
/* The next `count` rows, `stride` bytes apart, the first (width + 7) / 8 of
 * each the pixels (bits after the last pixel are ignored). Rows beyond the
 * height are refused. */
JBIG_EXPORT int32_t zeljbigStreamEncoderPushRows(ZeljbigStreamEncoder *e, const uint8_t *rows, size_t stride,
                                                 uint32_t count);
/* A COMMENT segment: before the next stripe's data, or after the stripe
 * that has rows in already. */
JBIG_EXPORT int32_t zeljbigStreamEncoderComment(ZeljbigStreamEncoder *e, const uint8_t *bytes, size_t size);
/* The image has `height` rows (at least the rows pushed, below a known
 * height): a NEWLEN after the stripe now being filled, which ends at
 * `height` if that is in it. Once only. */
JBIG_EXPORT int32_t zeljbigStreamEncoderNewLength(ZeljbigStreamEncoder *e, uint32_t height);
/* Ends the image: the last stripe out. With an unknown height that is
 * still unknown, the rows pushed are the height (a NEWLEN says so); a
 * known height must have all its rows. */
JBIG_EXPORT int32_t zeljbigStreamEncoderFinish(ZeljbigStreamEncoder *e);
/* Ends the image early with an ABORT segment, after the rows pushed. */
JBIG_EXPORT int32_t zeljbigStreamEncoderAbort(ZeljbigStreamEncoder *e);
/* Releases the encoder (NULL is fine), finished or not. */
JBIG_EXPORT void zeljbigStreamEncoderDestroy(ZeljbigStreamEncoder *e);

/* ---- Inspection and decoding ---- */

/* A stream opened for reading: its header, layers, stripes and markers are
 * known on opening; layers are decoded on request. Not for two threads at
 * once; different readers may run on different threads. */
typedef struct ZeljbigReader ZeljbigReader;

/* Opens a JBIG file, or JBIG data in memory (the bytes are not copied: they
 * must stay valid and unchanged until zeljbigClose). A stream is refused,
 * with the reason, where decoding would give a silently wrong image: a
 * header the library cannot take, stripe data damaged or cut short in
 * layer 0, a stripe index pointing nowhere, markers out of place. Data cut
 * short after whole layers opens: completeLayers tells which layers decode,
 * and zeljbigProblem why the others do not. */
JBIG_EXPORT ZeljbigReader *zeljbigOpenFile(const char *path);
JBIG_EXPORT ZeljbigReader *zeljbigOpenMemory(const uint8_t *data, size_t size);
JBIG_EXPORT void zeljbigClose(ZeljbigReader *reader);

/* What a stream holds, filled by zeljbigGetInfo. */
typedef struct ZeljbigInfo {
    /* The header, as T.82 names its fields. */
    uint8_t DL, D, P, MX, MY;
    uint8_t order;         /* HITOLO 0x08, SEQ 0x04, ILEAVE 0x02, SMID 0x01 */
    uint8_t options;       /* LRLTWO 0x40, VLENGTH 0x20, TPDON 0x10, TPBON 0x08, DPON 0x04, DPPRIV 0x02, DPLAST 0x01 */
    uint8_t reserved0;
    uint32_t XD, YD;       /* full-resolution size; YD is the real height (after NEWLEN) */
    uint32_t announcedYD;  /* YD as the header announces it; 0xFFFFFFFF: unknown */
    uint32_t L0;           /* lines per stripe in layer 0 */
    uint32_t stripes;      /* stripes per layer and plane */
    uint32_t bies;         /* BIEs in the data: 1, or more when later ones continue the first */
    /* The stripe index. */
    int32_t indexFound;    /* 1: read from the stream; 0: rebuilt by scanning */
    uint32_t indexBytes;   /* its size in the stream, 0 without one */
    uint64_t dataBytes;    /* bytes of the whole input */
    uint64_t trailingBytes;/* bytes after the stripe data that are neither an index nor a BIE */
    /* Marker segments met in the stripe data. */
    uint32_t atmoves;       /* ATMOVE segments */
    uint32_t atColumns[8];  /* bit tx % 32 of word tx / 32: some ATMOVE names tx */
    uint32_t sdrst;         /* stripes ending with SDRST */
    uint32_t comments;      /* COMMENT segments (the stripe index not counted) */
    uint64_t commentBytes;
    uint32_t newlenHeight;  /* the height a NEWLEN set, 0 if none */
    int32_t aborted;        /* an ABORT ends the image data */
    int32_t privateTable;   /* a private deterministic-prediction table (DPPRIV) */
    int32_t completeLayers; /* layers 0 .. completeLayers - 1 are complete in the data (D + 1 unless cut short) */
    uint32_t reserved[8];
} ZeljbigInfo;

/* Why the layers from completeLayers on cannot be decoded ("" when every
 * layer can), in the words of zeljbigLastError. */
JBIG_EXPORT const char *zeljbigProblem(const ZeljbigReader *reader);

JBIG_EXPORT int32_t zeljbigGetInfo(const ZeljbigReader *reader, ZeljbigInfo *info);
/* Size of layer `layer` (0 to D); -1 for a layer the stream lacks. */
JBIG_EXPORT int32_t zeljbigLayerSize(const ZeljbigReader *reader, uint32_t layer, uint32_t *width, uint32_t *height);
/* The loops that order bits (HITOLO aside) nest, outermost first, as three
 * letters: 'p' planes, 'd' layers, 's' stripes ("dsp" for ILEAVE | SMID);
 * NULL for bits that name no order. */
JBIG_EXPORT const char *zeljbigStripeOrder(uint32_t order);
/* BIE k of the data (0 to bies - 1): its lowest and highest layer and the
 * offset of its header from the start of the data. */
JBIG_EXPORT int32_t zeljbigBie(const ZeljbigReader *reader, uint32_t k, uint32_t *DL, uint32_t *D, uint64_t *offset);
/* Coded bytes of one layer, all planes and stripes. */
JBIG_EXPORT uint64_t zeljbigLayerBytes(const ZeljbigReader *reader, uint32_t layer);
/* Where one stripe data entity lies: its offset from the start of the data
 * and its length, ending with its ESC SDNORM or ESC SDRST. */
JBIG_EXPORT int32_t zeljbigStripe(const ZeljbigReader *reader, uint32_t layer, uint32_t plane, uint32_t stripe, uint64_t *offset,
                      uint64_t *length);

/* Decodes layer `layer` (0 to D; -1: D, the full resolution) of plane
 * `plane` (0 to P - 1). zeljbigDecodeView hands out the reader's own rows,
 * valid until its next decode call or zeljbigClose; zeljbigDecodeInto copies
 * them into the caller's buffer of height rows of `stride` bytes (at least
 * (width + 7) / 8). Any layer may be asked for in any order; asking for a
 * higher layer of the same plane after a lower one goes on from it. */
JBIG_EXPORT int32_t zeljbigDecodeView(ZeljbigReader *reader, int32_t layer, uint32_t plane, ZeljbigRaster *view);
JBIG_EXPORT int32_t zeljbigDecodeInto(ZeljbigReader *reader, int32_t layer, uint32_t plane, uint8_t *buffer, size_t stride);

/* One call: the full resolution (layer -1) or a layer of plane `plane` of
 * JBIG data in memory, as a raster whose data the caller releases with
 * zeljbigFree (stride (width + 7) / 8). */
JBIG_EXPORT int32_t zeljbigDecode(const uint8_t *data, size_t size, int32_t layer, uint32_t plane, ZeljbigRaster *out);

/* ---- Streaming decoding ----
 *
 * A stream of one layer and one plane (D 0, P 1: every T.85 fax stream, and
 * T.82 streams written so) decoded while its bytes arrive: bytes go in as
 * they come, in pieces of any size down to one byte, and every row goes to
 * the sink as soon as it is decoded. Memory does not grow with the height:
 * the decoder keeps the rows the templates look at (two above the current
 * one, or MY when an ATMOVE moves the AT pixel rows up) and the input not
 * yet decoded. Every option of the header is taken (both templates, TPBON,
 * VLENGTH, any L0 and MX), and the marker segments: ATMOVE, SDRST, COMMENT,
 * NEWLEN (also giving the height of a header announcing an unknown one,
 * YD 0xFFFFFFFF), ABORT (the rows after it are white). Bytes after the
 * image (a stripe index, say) are taken and ignored. A stream of several
 * layers or planes is refused with the reason; zeljbigOpenMemory reads it.
 *
 * Latency: a row is decoded once the stripe's data holds, beyond what the
 * rows before it took, 4 (W + 1) + 16 bytes without a marker (a row of W
 * pixels never takes more), or once the stripe's closing marker has come
 * and the segments after it up to the next stripe's data (a NEWLEN there
 * may end the image inside the stripe). So the rows lag the input by at
 * most about 4 W bytes, and the last row of a stripe waits for the first
 * byte after the stripe. The last stripe of a stream with VLENGTH set waits
 * for zeljbigStreamDecoderFinish (or a byte after it that is no marker
 * segment), as a NEWLEN could still shorten it.
 *
 * Results of Push and Finish: ZELJBIG_STREAM_MORE (0, give more bytes),
 * ZELJBIG_STREAM_DONE (1, every row was delivered; later bytes are
 * ignored), ZELJBIG_STREAM_STOPPED (2, the sink asked to stop: call again,
 * with the bytes not taken, to go on), or -1 with the reason in
 * zeljbigLastError() (the decoder then refuses everything but Destroy).
 * Finish says the input has ended: it decodes what is left, and a stream cut
 * short, or of unknown height that no NEWLEN gave, fails there. */
typedef struct ZeljbigStreamDecoder ZeljbigStreamDecoder;

/* Row `y` (from 0) of the image: `bytes` = (width + 7) / 8 bytes, pixel x in
 * bit 7 - x % 8 of byte x / 8, 1 = black, the bits after the last pixel 0;
 * valid during the call only. Return 0 to go on, anything else to stop the
 * decoder after this row. */
typedef int32_t (*ZeljbigRowSink)(void *user, uint32_t y, const uint8_t *row, size_t bytes);

#define ZELJBIG_STREAM_MORE 0
#define ZELJBIG_STREAM_DONE 1
#define ZELJBIG_STREAM_STOPPED 2

/* NULL (out of memory, no sink) with the reason. */
JBIG_EXPORT ZeljbigStreamDecoder *zeljbigStreamDecoderCreate(ZeljbigRowSink sink, void *user);
/* Takes up to n bytes; *taken (may be NULL) gets how many: n, except when
 * the sink stopped the decoder before all of them were needed. */
JBIG_EXPORT int32_t zeljbigStreamDecoderPush(ZeljbigStreamDecoder *decoder, const uint8_t *bytes, size_t n,
                                             size_t *taken);
JBIG_EXPORT int32_t zeljbigStreamDecoderFinish(ZeljbigStreamDecoder *decoder);
/* The header once it has come (-1 before): YD is the height as far as it is
 * known (0xFFFFFFFF while unknown), the marker counts those met so far,
 * completeLayers 1 once every row was delivered. */
JBIG_EXPORT int32_t zeljbigStreamDecoderInfo(const ZeljbigStreamDecoder *decoder, ZeljbigInfo *info);
/* Rows delivered so far. */
JBIG_EXPORT uint32_t zeljbigStreamDecoderRows(const ZeljbigStreamDecoder *decoder);
JBIG_EXPORT void zeljbigStreamDecoderDestroy(ZeljbigStreamDecoder *decoder);

#ifdef __cplusplus
}
#endif

#endif /* ZELJBIG_H */
