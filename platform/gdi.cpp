// GDI services for systems without Win32: just what the bitmap interchange
// uses. Bitmaps are monochrome (CreateBitmapIndirect) or screen-compatible
// with 32 bits per pixel (CreateCompatibleBitmap on the screen DC); memory
// DCs hold one selected bitmap; BitBlt copies into screen-compatible
// bitmaps; GetDIBits converts to 1 bit per pixel with the black-and-white
// colour table. Anything else is refused.
//
// Every object handed out is registered, so that a stale or made-up handle
// is refused instead of being followed.
#include "win32.h"
#include "testhooks.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

struct zjGdiObject {
    enum Kind { Bitmap, ScreenDC, MemoryDC } kind;
    // Bitmap: 1 or 32 bits per pixel, rows of widthBytes, top row first.
    // 32-bit pixels are 0x00RRGGBB.
    int width = 0, height = 0, bitsPixel = 0;
    size_t widthBytes = 0;
    std::vector<uint8_t> bits;
    zjGdiObject *selectedIn = nullptr;  // the memory DC holding this bitmap
    // Memory DC: the bitmap selected into it.
    zjGdiObject *selected = nullptr;

    explicit zjGdiObject(Kind k) : kind(k) {}
};

namespace {

constexpr size_t kMaxBitmapBytes = size_t(1) << 30;
constexpr uint32_t kWhite = 0x00FFFFFF;

std::mutex gdiLock;
std::unordered_set<zjGdiObject *> &live() {
    static std::unordered_set<zjGdiObject *> objects;
    return objects;
}

// A fresh memory DC holds this one-pixel monochrome bitmap, as on Windows.
zjGdiObject *stockBitmap() {
    static zjGdiObject *b = [] {
        auto *o = new zjGdiObject(zjGdiObject::Bitmap);
        o->width = o->height = o->bitsPixel = 1;
        o->widthBytes = 2;
        o->bits.assign(2, 0);
        return o;
    }();
    return b;
}

zjGdiObject *find(const void *h, zjGdiObject::Kind kind) {
    auto *o = static_cast<zjGdiObject *>(const_cast<void *>(h));
    if (o == nullptr) return nullptr;
    if (kind == zjGdiObject::Bitmap && o == stockBitmap()) return o;
    if (live().count(o) == 0 || o->kind != kind) return nullptr;
    return o;
}

zjGdiObject *findDC(const void *h) {
    zjGdiObject *o = find(h, zjGdiObject::ScreenDC);
    return o ? o : find(h, zjGdiObject::MemoryDC);
}

zjGdiObject *add(zjGdiObject *o) {
    if (o != nullptr) live().insert(o);
    return o;
}

// A bitmap of the given size, bits zeroed; null when too large.
zjGdiObject *newBitmap(int width, int height, int bitsPixel) {
    if (width <= 0 || height <= 0) return nullptr;
    size_t rowBytes = bitsPixel == 1 ? ((size_t(width) + 15) / 16) * 2 : size_t(width) * 4;
    if (rowBytes > kMaxBitmapBytes / size_t(height)) return nullptr;
    auto *o = new (std::nothrow) zjGdiObject(zjGdiObject::Bitmap);
    if (o == nullptr) return nullptr;
    try {
        o->bits.assign(rowBytes * size_t(height), 0);
    } catch (const std::bad_alloc &) {
        delete o;
        return nullptr;
    }
    o->width = width;
    o->height = height;
    o->bitsPixel = bitsPixel;
    o->widthBytes = rowBytes;
    return add(o);
}

uint32_t pixelAt(const zjGdiObject *b, int x, int y) {
    const uint8_t *row = b->bits.data() + size_t(y) * b->widthBytes;
    if (b->bitsPixel == 1) return (row[x >> 3] >> (7 - (x & 7))) & 1 ? kWhite : 0;
    uint32_t p;
    std::memcpy(&p, row + size_t(x) * 4, 4);
    return p;
}

// The nearer of black and white; r + g + b is never halfway (382.5).
bool nearerWhite(uint32_t p) { return ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) > 382; }

}  // namespace

extern "C" {

HBITMAP CreateBitmapIndirect(const BITMAP *bm) {
    if (bm == nullptr || bm->bmType != 0 || bm->bmPlanes != 1 || bm->bmBitsPixel != 1) return nullptr;
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *o = newBitmap(bm->bmWidth, bm->bmHeight, 1);
    // Rows of the caller's bits are word-aligned whatever bmWidthBytes says,
    // as with Windows.
    if (o != nullptr && bm->bmBits != nullptr) std::memcpy(o->bits.data(), bm->bmBits, o->bits.size());
    return o;
}

int GetObjectA(HGDIOBJ obj, int size, LPVOID out) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *b = find(obj, zjGdiObject::Bitmap);
    if (b == nullptr) return 0;
    if (out == nullptr) return sizeof(BITMAP);
    if (size < static_cast<int>(sizeof(BITMAP))) return 0;
    BITMAP bm{};
    bm.bmType = 0;
    bm.bmWidth = b->width;
    bm.bmHeight = b->height;
    bm.bmWidthBytes = static_cast<LONG>(b->widthBytes);
    bm.bmPlanes = 1;
    bm.bmBitsPixel = static_cast<WORD>(b->bitsPixel);
    bm.bmBits = nullptr;
    std::memcpy(out, &bm, sizeof bm);
    return sizeof(BITMAP);
}

BOOL DeleteObject(HGDIOBJ obj) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *b = find(obj, zjGdiObject::Bitmap);
    // A bitmap selected into a DC cannot be deleted.
    if (b == nullptr || b == stockBitmap() || b->selectedIn != nullptr) return FALSE;
    live().erase(b);
    delete b;
    return TRUE;
}

HDC GetDC(HWND window) {
    if (window != nullptr) return nullptr;  // there are no windows
    std::lock_guard<std::mutex> g(gdiLock);
    return add(new (std::nothrow) zjGdiObject(zjGdiObject::ScreenDC));
}

int ReleaseDC(HWND, HDC dc) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *d = find(dc, zjGdiObject::ScreenDC);
    if (d == nullptr) return 0;
    live().erase(d);
    delete d;
    return 1;
}

HDC CreateCompatibleDC(HDC dc) {
    std::lock_guard<std::mutex> g(gdiLock);
    if (dc != nullptr && findDC(dc) == nullptr) return nullptr;
    auto *d = new (std::nothrow) zjGdiObject(zjGdiObject::MemoryDC);
    if (d != nullptr) d->selected = stockBitmap();
    return add(d);
}

BOOL DeleteDC(HDC dc) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *d = find(dc, zjGdiObject::MemoryDC);
    if (d == nullptr) return FALSE;
    if (d->selected != stockBitmap()) d->selected->selectedIn = nullptr;
    live().erase(d);
    delete d;
    return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
    std::lock_guard<std::mutex> g(gdiLock);
    if (find(dc, zjGdiObject::ScreenDC) == nullptr) return nullptr;
    return newBitmap(width, height, 32);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ obj) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *d = find(dc, zjGdiObject::MemoryDC);
    zjGdiObject *b = find(obj, zjGdiObject::Bitmap);
    if (d == nullptr || b == nullptr) return nullptr;
    if (b == d->selected) return b;
    // A bitmap can be selected into one DC at a time.
    if (b != stockBitmap() && b->selectedIn != nullptr) return nullptr;
    zjGdiObject *old = d->selected;
    if (old != stockBitmap()) old->selectedIn = nullptr;
    if (b != stockBitmap()) b->selectedIn = d;
    d->selected = b;
    return old;
}

BOOL BitBlt(HDC dst, int x, int y, int cx, int cy, HDC src, int x1, int y1, DWORD rop) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *dd = find(dst, zjGdiObject::MemoryDC);
    zjGdiObject *sd = find(src, zjGdiObject::MemoryDC);
    if (rop != SRCCOPY || dd == nullptr || sd == nullptr || cx < 0 || cy < 0) return FALSE;
    zjGdiObject *to = dd->selected, *from = sd->selected;
    if (to->bitsPixel != 32) return FALSE;
    // Clipped to both bitmaps. Monochrome pixels take the default text
    // (black, bit 0) and background (white, bit 1) colours.
    for (int j = 0; j < cy; j++) {
        long ty = long(y) + j, sy = long(y1) + j;
        if (ty < 0 || ty >= to->height || sy < 0 || sy >= from->height) continue;
        uint8_t *out = to->bits.data() + size_t(ty) * to->widthBytes;
        for (int i = 0; i < cx; i++) {
            long tx = long(x) + i, sx = long(x1) + i;
            if (tx < 0 || tx >= to->width || sx < 0 || sx >= from->width) continue;
            uint32_t p = pixelAt(from, int(sx), int(sy));
            std::memcpy(out + size_t(tx) * 4, &p, 4);
        }
    }
    return TRUE;
}

int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, LPVOID bits, BITMAPINFO *info, UINT usage) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *b = find(bitmap, zjGdiObject::Bitmap);
    if (findDC(dc) == nullptr || b == nullptr || bits == nullptr || info == nullptr || usage != DIB_RGB_COLORS)
        return 0;
    const BITMAPINFOHEADER &h = info->bmiHeader;
    // One bit per pixel, bottom-up, the bitmap's own size.
    if (h.biSize < 40 || h.biPlanes != 1 || h.biBitCount != 1 || h.biCompression != BI_RGB ||
        h.biWidth != b->width || h.biHeight != b->height)
        return 0;
    if (start >= UINT(b->height)) return 0;
    UINT n = std::min(lines, UINT(b->height) - start);
    size_t L = ((size_t(b->width) + 31) / 32) * 4;
    for (UINT j = 0; j < n; j++) {
        int y = b->height - 1 - int(start + j);
        uint8_t *out = static_cast<uint8_t *>(bits) + size_t(j) * L;
        std::memset(out, 0, L);
        for (int x = 0; x < b->width; x++)
            if (nearerWhite(pixelAt(b, x, y))) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
    RGBQUAD black{0, 0, 0, 0}, white{255, 255, 255, 0};
    std::memcpy(&info->bmiColors[0], &black, sizeof black);
    std::memcpy(reinterpret_cast<uint8_t *>(info->bmiColors) + sizeof(RGBQUAD), &white, sizeof white);
    return int(n);
}

HBITMAP zjCreateColourBitmap(int width, int height, const uint32_t *rgb) {
    std::lock_guard<std::mutex> g(gdiLock);
    zjGdiObject *o = newBitmap(width, height, 32);
    if (o != nullptr && rgb != nullptr) std::memcpy(o->bits.data(), rgb, o->bits.size());
    return o;
}

}  // extern "C"
