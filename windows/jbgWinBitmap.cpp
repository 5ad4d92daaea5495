// Device-dependent bitmaps: as encoder sources and as decoder results.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "../decoder/jbgDBase.h"
#include "../encoder/jbgCBase.h"
#include "../frame/jpgLib.h"
#include "jbgWin.h"

namespace {

HBITMAP failedBitmap() { return reinterpret_cast<HBITMAP>(~uintptr_t(0)); }

// Room for a 40-byte header, 256 colour entries and 4 bytes more, whatever
// GetDIBits decides to write into the colour table.
constexpr size_t kConversionBytes = 1068;

}  // namespace

int32_t JBIGAPI jbigEncodeSetOrgDataFromWinBitmap(JbigHandle handle, HBITMAP bitmap) {
    JbigContext *ctx = ctxFromHandle(handle, kModeEncoder);
    if (ctx == nullptr || ctx->layerCursor != ctx->bih.D || ctx->enc.failed) return -1;
    const uint32_t XD = ctx->bih.XD, YD = ctx->bih.YD;
    if (XD > INT_MAX || YD > INT_MAX) return -1;
    BITMAP bm;
    if (GetObjectA(bitmap, sizeof bm, &bm) != static_cast<int>(sizeof bm)) return -1;
    if (bm.bmWidth != static_cast<LONG>(XD) || bm.bmHeight != static_cast<LONG>(YD)) return -1;

    // GDI turns each line, whatever its format, into one bit per pixel: it
    // is copied into a one-line screen-compatible bitmap and read back as
    // a 1-bit DIB line straight into the image row.
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) return -1;
    HDC lineDc = CreateCompatibleDC(screen);
    HDC srcDc = CreateCompatibleDC(screen);
    HBITMAP line = CreateCompatibleBitmap(screen, static_cast<int>(XD), 1);
    HGDIOBJ oldLine = (lineDc && line) ? SelectObject(lineDc, line) : nullptr;
    HGDIOBJ oldSrc = srcDc ? SelectObject(srcDc, bitmap) : nullptr;
    auto *conv = static_cast<BITMAPINFO *>(std::calloc(1, kConversionBytes));

    int32_t result = -1;
    if (oldLine != nullptr && oldSrc != nullptr && conv != nullptr && encMakeRaster(ctx)) {
        BITMAPINFOHEADER &h = conv->bmiHeader;
        h.biSize = sizeof(BITMAPINFOHEADER);
        h.biWidth = static_cast<LONG>(XD);
        h.biHeight = 1;
        h.biPlanes = 1;
        h.biBitCount = 1;
        h.biCompression = BI_RGB;
        JbigLayerImage &img = ctx->cur;
        img.row = 0;
        const uint32_t bytes = (XD + 7) >> 3;
        const uint8_t edge = static_cast<uint8_t>(0xFF >> (XD & 7));
        result = 0;
        for (uint32_t y = 0; y < YD; y++) {
            uint8_t *row = img.rows[y];
            if (!BitBlt(lineDc, 0, 0, static_cast<int>(XD), 1, srcDc, 0, static_cast<int>(y), SRCCOPY) ||
                GetDIBits(lineDc, line, 0, 1, row, conv, DIB_RGB_COLORS) != 1) {
                result = -1;
                break;
            }
            // White edge bits: 0 once the line is inverted.
            if (XD & 7) row[XD >> 3] |= edge;
            row[bytes] = 0;
        }
    }

    std::free(conv);
    if (oldSrc != nullptr) SelectObject(srcDc, oldSrc);
    if (srcDc != nullptr) DeleteDC(srcDc);
    if (oldLine != nullptr) SelectObject(lineDc, oldLine);
    if (lineDc != nullptr) DeleteDC(lineDc);
    if (line != nullptr) DeleteObject(line);
    ReleaseDC(nullptr, screen);
    if (result != 0) return -1;

    // GDI's index 0 is black; by default a 1 pixel is black.
    if (ctx->mode & kModePolarity) {
        if (XD & 7) {
            const uint8_t keep = static_cast<uint8_t>(0xFF << (8 - (XD & 7)));
            for (uint32_t y = 0; y < YD; y++) ctx->cur.rows[y][XD >> 3] &= keep;
        }
    } else {
        ctxInvertImage(ctx);
    }
    return 0;
}

HBITMAP imageToBitmap(const JbigImageInfo *info) {
    if (info == nullptr || info->depth != 1 || info->width == 0 || info->height == 0 || info->width > INT_MAX ||
        info->height > INT_MAX)
        return failedBitmap();
    // Monochrome bitmap lines are word-aligned.
    const uint32_t lineBytes = (((info->width + 7) >> 3) + 1) & ~1u;
    if (lineBytes > info->bytesPerLine) return failedBitmap();
    const uint64_t size = uint64_t(lineBytes) * info->height;
    if (size > 0xFFFFFFFFu) return failedBitmap();
    HGLOBAL block;
    auto *bits = static_cast<uint8_t *>(globalAllocLocked(GMEM_MOVEABLE, static_cast<size_t>(size), &block));
    if (bits == nullptr) return failedBitmap();
    for (uint32_t y = 0; y < info->height; y++)
        std::memcpy(bits + size_t(y) * lineBytes, info->data + size_t(y) * info->bytesPerLine, lineBytes);
    BITMAP bm{};
    bm.bmType = 0;
    bm.bmWidth = static_cast<LONG>(info->width);
    bm.bmHeight = static_cast<LONG>(info->height);
    bm.bmWidthBytes = static_cast<LONG>(lineBytes);
    bm.bmPlanes = 1;
    bm.bmBitsPixel = 1;
    bm.bmBits = bits;
    HBITMAP result = CreateBitmapIndirect(&bm);
    globalFreeLocked(block);
    return result != nullptr ? result : failedBitmap();
}

HBITMAP JBIGAPI jbigDecodeToWinBitmap(JbigHandle handle, int32_t layer) {
    JbigImageInfo info;
    JbigContext *ctx = decodeForResult(handle, layer, &info);
    if (ctx == nullptr) return failedBitmap();
    // A monochrome bitmap's 1 bits are white: by default invert around the
    // copy, so that the decoder keeps its coded values.
    const bool polar = (ctx->mode & kModePolarity) != 0;
    if (!polar) ctxInvertImage(ctx);
    HBITMAP bm = imageToBitmap(&info);
    if (!polar) ctxInvertImage(ctx);
    return bm;
}
