// Packed device-independent bitmaps: as encoder sources, as decoder results
// and into a caller's bits buffer.
#include "../decoder/jbgDBase.h"

#include <algorithm>
#include <cstring>
#include "../encoder/jbgCBase.h"
#include "../frame/jpgLib.h"
#include "jbgWin.h"

namespace {

constexpr uint8_t kDefaultColours[8] = {255, 255, 255, 0, 0, 0, 0, 0};  // 0 white, 1 black
constexpr uint8_t kPolarColours[8] = {0, 0, 0, 0, 255, 255, 255, 0};    // 0 black, 1 white

uint32_t dibLineBytes(uint32_t width, uint32_t bitCount) {
    return static_cast<uint32_t>(((uint64_t(width) * bitCount + 7) / 8 + 3) & ~uint64_t(3));
}

const uint8_t *coloursFor(const JbigContext *ctx) {
    return (ctx->mode & kModePolarity) ? kPolarColours : kDefaultColours;
}

}  // namespace

uint32_t dibColorTableSize(const BITMAPINFOHEADER *h) {
    if (h->biSize >= 36 && h->biClrUsed != 0) return 4 * h->biClrUsed;
    switch (h->biBitCount) {
    case 16:
    case 32:
        return h->biCompression > 0 ? 12 : 0;
    case 24:
        return 0;
    default:
        return h->biBitCount > 16 ? 0 : 4u << h->biBitCount;
    }
}

uint8_t *dibBits(void *dib) {
    auto *h = static_cast<BITMAPINFOHEADER *>(dib);
    auto *base = static_cast<uint8_t *>(dib);
    if (h->biSize == 12) {
        // BITMAPCOREHEADER: 16-bit bit count at offset 10.
        uint16_t bits;
        std::memcpy(&bits, base + 10, 2);
        return base + 12 + (bits == 24 || bits > 16 ? 0 : 3u << bits);
    }
    return base + h->biSize + dibColorTableSize(h);
}

int32_t JBIGAPI jbigEncodeSetOrgDataFromWinDIB(JbigHandle handle, HGLOBAL dib) {
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || ctx->layerCursor != ctx->bih.D || ctx->enc.failed) return -1;
    auto *base = static_cast<uint8_t *>(GlobalLock(dib));
    if (base == nullptr) return -1;
    auto fail = [dib]() {
        GlobalUnlock(dib);
        return -1;
    };
    size_t size = GlobalSize(dib);
    if (size < sizeof(BITMAPINFOHEADER)) return fail();
    auto *h = reinterpret_cast<BITMAPINFOHEADER *>(base);
    const uint32_t XD = ctx->bih.XD, YD = ctx->bih.YD;
    if (h->biSize < 40 || h->biBitCount != 1 || h->biWidth != static_cast<LONG>(XD) ||
        h->biHeight != static_cast<LONG>(YD))
        return fail();
    uint64_t tableEnd = uint64_t(h->biSize) + dibColorTableSize(h);
    uint32_t line = dibLineBytes(XD, 1);
    // The block must hold every line the header promises.
    if (tableEnd > size || (size - tableEnd) / line < YD) return fail();
    const uint8_t *bits = dibBits(base);
    if (!encMakeRaster(ctx)) return fail();
    JbigLayerImage &img = ctx->cur;
    const uint32_t bytes = (XD + 7) >> 3;
    const uint8_t edge = static_cast<uint8_t>(0xFF >> (XD & 7));
    const bool polar = ctx->mode & kModePolarity;
    for (uint32_t k = 0; k < YD; k++) {
        uint8_t *row = img.rows[YD - 1 - k];
        std::memcpy(row, bits + size_t(k) * line, bytes);
        if (XD & 7) {
            // Edge bits become 0 after the inversion (or are cleared).
            if (polar)
                row[XD >> 3] &= static_cast<uint8_t>(~edge);
            else
                row[XD >> 3] |= edge;
        }
        row[bytes] = 0;
    }
    img.row = 0;
    if (!polar) ctxInvertImage(ctx);
    GlobalUnlock(dib);
    return 0;
}

HGLOBAL dibCreate(uint32_t width, uint32_t height, const uint8_t *colours) {
    auto *fail = reinterpret_cast<HGLOBAL>(~uintptr_t(0));
    uint64_t size = uint64_t(dibLineBytes(width, 1)) * height + 40 + 8;
    if (size > 0xFFFFFFFFu) return fail;
    HGLOBAL h;
    auto *p = static_cast<uint8_t *>(globalAllocLocked(GMEM_MOVEABLE, static_cast<size_t>(size), &h));
    if (p == nullptr) return fail;
    BITMAPINFOHEADER bh{};
    bh.biSize = 40;
    bh.biWidth = static_cast<LONG>(width);
    bh.biHeight = static_cast<LONG>(height);
    bh.biPlanes = 1;
    bh.biBitCount = 1;
    bh.biCompression = BI_RGB;
    std::memcpy(p, &bh, 40);
    const uint8_t *c = colours ? colours : kDefaultColours;
    for (int i = 0; i < 2; i++) {
        std::memcpy(p + 40 + 4 * i, c + 4 * i, 3);
        p[40 + 4 * i + 3] = 0;
    }
    GlobalUnlock(h);
    return h;
}

int32_t imageToDib(HGLOBAL dib, const JbigImageInfo *info) {
    auto *p = static_cast<uint8_t *>(GlobalLock(dib));
    if (p == nullptr) return -1;
    auto *h = reinterpret_cast<BITMAPINFOHEADER *>(p);
    uint32_t L = dibLineBytes(static_cast<uint32_t>(h->biWidth), h->biBitCount);
    uint32_t dibHeight = static_cast<uint32_t>(h->biHeight);
    uint8_t *bits = dibBits(p);
    // A DIB line may be longer than the image row: copy what the row has.
    uint32_t copy = std::min(L, info->bytesPerLine);
    uint32_t lines = std::min(info->height, dibHeight);
    for (uint32_t k = 0; k < lines; k++) {
        uint8_t *dst = bits + size_t(dibHeight - 1 - k) * L;
        std::memcpy(dst, info->data + size_t(k) * info->bytesPerLine, copy);
        if (copy < L) std::memset(dst + copy, 0, L - copy);
    }
    GlobalUnlock(dib);
    return 0;
}

JbigContext *decodeForResult(JbigHandle handle, int32_t layer, JbigImageInfo *info) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr) return nullptr;
    const int32_t r = decodeToLayer(handle, layer);
    ctx->dec.decodedBytes = r;
    ctxCloseFile(ctx);
    if (r == -1) return nullptr;
    jbigDecodeGetImageAddress(handle, info);
    return ctx;
}

HGLOBAL JBIGAPI jbigDecodeToWinDIB(JbigHandle handle, int32_t layer) {
    auto *fail = reinterpret_cast<HGLOBAL>(~uintptr_t(0));
    JbigImageInfo info;
    JbigContext *ctx = decodeForResult(handle, layer, &info);
    if (ctx == nullptr) return fail;
    HGLOBAL dib = dibCreate(info.width, info.height, coloursFor(ctx));
    if (dib != fail && imageToDib(dib, &info) != 0) {
        GlobalFree(dib);
        dib = fail;
    }
    return dib;
}

int32_t imageToDibBits(const JbigImageInfo *info, uint8_t *bits, const BITMAPINFO *header) {
    const BITMAPINFOHEADER &h = header->bmiHeader;
    if (h.biWidth <= 0 || h.biHeight == 0) return static_cast<int32_t>(kStatusNoConversion);
    uint32_t width = static_cast<uint32_t>(h.biWidth);
    uint32_t height = static_cast<uint32_t>(h.biHeight < 0 ? -int64_t(h.biHeight) : h.biHeight);
    bool topDown = h.biHeight < 0;
    uint32_t lines = std::min(info->height, height);
    uint32_t W = std::min(info->width, width);
    switch (h.biBitCount) {
    case 1: {
        uint32_t L = dibLineBytes(width, 1);
        uint32_t copy = std::min(info->bytesPerLine, L);
        for (uint32_t j = 0; j < lines; j++) {
            uint32_t y = topDown ? j : info->height - 1 - j;
            std::memcpy(bits + size_t(j) * L, info->data + size_t(y) * info->bytesPerLine, copy);
        }
        return 0;
    }
    case 8:
    case 16:
    case 24:
    case 32: {
        // Each pixel becomes the colour of its value from the header's table.
        uint32_t bpp = h.biBitCount / 8;
        uint32_t L = dibLineBytes(width, h.biBitCount);
        const RGBQUAD *table = header->bmiColors;
        for (uint32_t j = 0; j < lines; j++) {
            uint32_t y = topDown ? j : info->height - 1 - j;
            const uint8_t *src = info->data + size_t(y) * info->bytesPerLine;
            uint8_t *dst = bits + size_t(j) * L;
            for (uint32_t x = 0; x < W; x++) {
                uint32_t v = (src[x >> 3] >> (7 - (x & 7))) & 1;
                const RGBQUAD &c = table[v];
                uint8_t *d = dst + size_t(x) * bpp;
                if (bpp == 1) {
                    d[0] = static_cast<uint8_t>(v);
                } else if (bpp == 2) {
                    uint16_t p = static_cast<uint16_t>(((c.rgbRed >> 3) << 10) | ((c.rgbGreen >> 3) << 5) |
                                                       (c.rgbBlue >> 3));
                    std::memcpy(d, &p, 2);
                } else {
                    d[0] = c.rgbBlue;
                    d[1] = c.rgbGreen;
                    d[2] = c.rgbRed;
                    if (bpp == 4) d[3] = 0;
                }
            }
        }
        return 0;
    }
    default:
        return static_cast<int32_t>(kStatusNoConversion);
    }
}

int32_t JBIGAPI jbigDecodeToWinDIBits(JbigHandle handle, void *bits, BITMAPINFO *header, int32_t layer) {
    JbigContext *ctx = ctxFromHandle(handle, kModeDecoder);
    if (ctx == nullptr || header == nullptr) return 0;
    if (bits == nullptr) {
        uint32_t w, h;
        if (jbigDecodeGetImageSize(handle, &w, &h, layer) != 0) return -1;
        BITMAPINFOHEADER &bh = header->bmiHeader;
        bh = BITMAPINFOHEADER{};
        bh.biSize = 40;
        bh.biWidth = static_cast<LONG>(w);
        bh.biHeight = static_cast<LONG>(h);
        bh.biPlanes = 1;
        bh.biBitCount = 1;
        std::memcpy(header->bmiColors, coloursFor(ctx), 8);
        return 0;
    }
    JbigImageInfo info;
    if (decodeForResult(handle, layer, &info) == nullptr) return 0;
    return imageToDibBits(&info, static_cast<uint8_t *>(bits), header) == 0 ? header->bmiHeader.biHeight : 0;
}
