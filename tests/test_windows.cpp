// Windows bitmaps and packed DIBs as encoder sources and decoder results.
// The same cases run against the real GDI in the Windows build.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/testhooks.h"
#include "platform/win32.h"
#include "support.h"

namespace {

const HBITMAP kBadBitmap = reinterpret_cast<HBITMAP>(~uintptr_t(0));
const HGLOBAL kBadDib = reinterpret_cast<HGLOBAL>(~uintptr_t(0));

uint32_t dibLine(uint32_t w) { return ((w + 7) / 8 + 3) & ~3u; }

Image inverted(Image img) {
    for (uint8_t &b : img.bits) b = uint8_t(~b);
    return imageFrom(img.info());  // pad bits cleared again
}

// Monochrome bitmap whose bits are img's (1 = white in GDI's table).
HBITMAP monoBitmap(const Image &img) {
    uint32_t line = ((img.width + 15) / 16) * 2;
    Bytes bits(size_t(line) * img.height);
    for (uint32_t y = 0; y < img.height; y++) std::memcpy(&bits[size_t(y) * line], img.row(y), img.rowBytes());
    BITMAP bm{0, LONG(img.width), LONG(img.height), LONG(line), 1, 1, bits.data()};
    return CreateBitmapIndirect(&bm);
}

// Rows of a bottom-up 1-bit DIB's bits (1 = index 1), top line first.
Image dibRows(const uint8_t *bits, uint32_t w, uint32_t h) {
    Image img(w, h);
    for (uint32_t y = 0; y < h; y++) std::memcpy(img.row(y), bits + size_t(h - 1 - y) * dibLine(w), img.rowBytes());
    return imageFrom(img.info());
}

// GDI's bits of a bitmap as 1-bit indexes (1 = white), read back by GetDIBits.
Image bitmapBits(HBITMAP b) {
    BITMAP bm{};
    EXPECT_EQ(GetObjectA(b, sizeof bm, &bm), int(sizeof bm));
    const uint32_t w = uint32_t(bm.bmWidth), h = uint32_t(bm.bmHeight);
    std::vector<uint8_t> info(1068), bits(size_t(dibLine(w)) * h);
    auto *bi = reinterpret_cast<BITMAPINFO *>(info.data());
    bi->bmiHeader = BITMAPINFOHEADER{40, bm.bmWidth, bm.bmHeight, 1, 1, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(GetDIBits(screen, b, 0, h, bits.data(), bi, DIB_RGB_COLORS), int(h));
    ReleaseDC(nullptr, screen);
    return dibRows(bits.data(), w, h);
}

// A packed 1-bit DIB of img's bits, bottom line first.
Bytes dibOf(const Image &img) {
    Bytes d(48 + size_t(dibLine(img.width)) * img.height);
    BITMAPINFOHEADER h{40, LONG(img.width), LONG(img.height), 1, 1, BI_RGB, 0, 0, 0, 0, 0};
    std::memcpy(d.data(), &h, 40);
    for (uint32_t y = 0; y < img.height; y++)
        std::memcpy(&d[48 + size_t(img.height - 1 - y) * dibLine(img.width)], img.row(y), img.rowBytes());
    return d;
}

BITMAPINFOHEADER &dibHeader(Bytes &d) { return *reinterpret_cast<BITMAPINFOHEADER *>(d.data()); }

// Encodes img (D = 0, memory output) with its raster from `supply`: the
// raster as coded, with the byte after each row's pixels; empty when a
// step fails.
Bytes encodeFrom(const Image &img, uint16_t flags, const std::function<int32_t(JbigHandle)> &supply) {
    JbigEncodeOptions o = defaultOptions(img, 0, uint16_t(flags | JBIG_FLAG_MEMORY));
    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    Bytes raster;
    JbigImageInfo info;
    bool ok = supply(h) == 0 && jbigEncode(h) == 0 && jbigEncodeGetImageAddress(h, &info) == &info;
    for (uint32_t y = 0; ok && y < info.height; y++) {
        const uint8_t *r = info.data + size_t(y) * info.bytesPerLine;
        raster.insert(raster.end(), r, r + img.rowBytes() + 1);
    }
    ok = jbigEncodeEpilog(h) == 0 && ok;
    if (o.outData) HeapFree(GetProcessHeap(), 0, o.outData);
    return ok ? raster : Bytes{};
}

int32_t fromRect(JbigHandle h, const Image &img) {
    JbigImageInfo info = img.info();
    return jbigEncodeSetOrgDataFromRect(h, &info);
}

int32_t fromBitmap(JbigHandle h, const Image &gdiBits) {
    HBITMAP b = monoBitmap(gdiBits);
    int32_t r = jbigEncodeSetOrgDataFromWinBitmap(h, b);
    EXPECT_TRUE(DeleteObject(b));  // the library let go of it
    return r;
}

int32_t fromDib(JbigHandle h, const Bytes &dib) {
    GlobalBlock block(dib);
    return jbigEncodeSetOrgDataFromWinDIB(h, block.handle);
}

}  // namespace

// Bits past the last pixel and the byte after each row read 0 from every
// source, either polarity.
TEST(WinSource, EdgeBitsAndTheByteAfterAreZero) {
    for (uint32_t w : {1u, 8u, 13u}) {
        const Image black(w, 2), white = inverted(black);  // as GDI bits: 1 is white
        Bytes zero(size_t(black.rowBytes() + 1) * 2, 0), ones = zero;
        for (uint32_t y = 0; y < 2; y++) std::memcpy(&ones[y * (black.rowBytes() + 1)], white.row(y), white.rowBytes());
        for (uint16_t polar : {uint16_t(0), uint16_t(JBIG_FLAG_POLARITY)})
            for (const Image *gdi : {&white, &black}) {
                const Bytes &expect = (gdi == &white) == !polar ? zero : ones;
                EXPECT_EQ(encodeFrom(black, polar, [&](JbigHandle h) { return fromBitmap(h, *gdi); }), expect) << w;
                EXPECT_EQ(encodeFrom(black, polar, [&](JbigHandle h) { return fromDib(h, dibOf(*gdi)); }), expect)
                    << w;
            }
    }
}

TEST(WinSource, ColourPixelsGoToTheNearerOfBlackAndWhite) {
    // Light grey, dark grey, red, yellow, and either side of r + g + b = 382.5.
    std::vector<uint32_t> rgb = {0xC8C8C8, 0x3C3C3C, 0xFF0000, 0xFFFF00, 0x808080, 0x7F7F80, 0xFFFFFF, 0x000000, 0x0000FF};
    Image expect(9, 2);
    for (uint32_t y = 0; y < 2; y++)
        for (uint32_t x : {1u, 2u, 5u, 7u, 8u}) expect.set(x, y, 1);
    rgb.insert(rgb.end(), rgb.begin(), rgb.end());
#if defined(ZELJBIG_HAVE_TESTHOOKS)
    HBITMAP b = zjCreateColourBitmap(9, 2, rgb.data());
#else
    BITMAP bm{0, 9, 2, 36, 1, 32, rgb.data()};
    HBITMAP b = CreateBitmapIndirect(&bm);
#endif
    ASSERT_NE(b, nullptr);
    Bytes got = encodeFrom(expect, 0, [&](JbigHandle h) { return jbigEncodeSetOrgDataFromWinBitmap(h, b); });
    EXPECT_TRUE(DeleteObject(b));
    EXPECT_EQ(got, encodeFrom(expect, 0, [&](JbigHandle h) { return fromRect(h, expect); }));
}

TEST(WinSource, RefusalsLeaveTheImageAsItWas) {
    const long live = liveBlocks();
    Image img = randomImage(17, 5, 7);
    Image gdi = inverted(img);
    Bytes wider = dibOf(inverted(randomImage(18, 5, 1))), taller = dibOf(inverted(randomImage(17, 6, 1)));
    Bytes raster = encodeFrom(img, 0, [&](JbigHandle h) {
        EXPECT_EQ(fromRect(h, img), 0);
        EXPECT_EQ(fromBitmap(h, randomImage(18, 5, 1)), -1);
        EXPECT_EQ(fromBitmap(h, randomImage(17, 6, 1)), -1);
        EXPECT_EQ(jbigEncodeSetOrgDataFromWinBitmap(h, nullptr), -1);
        EXPECT_EQ(jbigEncodeSetOrgDataFromWinBitmap(h, reinterpret_cast<HBITMAP>(uintptr_t(0x5A5A50))), -1);
        EXPECT_EQ(fromDib(h, wider), -1);
        EXPECT_EQ(fromDib(h, taller), -1);
        // Top-down, 4 to 32 bits a pixel, the old header, the last line cut short.
        for (int k = 0; k < 8; k++) {
            Bytes d = dibOf(gdi);
            if (k == 0) dibHeader(d).biHeight = -5;
            if (k >= 1 && k <= 5) dibHeader(d).biBitCount = WORD(k == 1 ? 4 : 8 * (k - 1));
            if (k == 6) dibHeader(d).biSize = 12;
            if (k == 7) d.resize(d.size() - 1);
            EXPECT_EQ(fromDib(h, d), -1) << k;
        }
        EXPECT_EQ(jbigEncodeSetOrgDataFromWinDIB(h, nullptr), -1);
        return 0;
    });
    EXPECT_EQ(raster, encodeFrom(img, 0, [&](JbigHandle h) { return fromRect(h, img); }));

    // A bitmap the caller still has selected into a DC cannot be read.
    HBITMAP b = monoBitmap(gdi);
    HDC screen = GetDC(nullptr), dc = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(dc, b);
    ASSERT_NE(old, nullptr);
    EXPECT_TRUE(encodeFrom(img, 0, [&](JbigHandle h) { return jbigEncodeSetOrgDataFromWinBitmap(h, b); }).empty());
    SelectObject(dc, old);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    EXPECT_TRUE(DeleteObject(b));
    EXPECT_EQ(liveBlocks(), live);

}

// Width 17: bitmap lines of 4 bytes (3 rounded up to even), DIB lines of 4
// (3 rounded up to a multiple of 4). By default a 1 pixel is black in every
// form; with the polarity flag the bitmap carries the decoded bits and the
// DIB's entry 0 is black. The decoder keeps its own raster unchanged.
TEST(WinResult, BitmapDibAndDibitsInBothPolarities) {
    const Image img = randomImage(17, 9, 3);
    const Bytes stream = encodeToMemory(img, defaultOptions(img, 0));
    for (uint16_t polar : {uint16_t(0), uint16_t(JBIG_FLAG_POLARITY)}) {
        SCOPED_TRACE(polar);
        MemoryDecoder d1(stream, polar), d2(stream, polar), d3(stream, polar);
        HBITMAP b = jbigDecodeToWinBitmap(d1.h, -1);
        ASSERT_NE(b, kBadBitmap);
        BITMAP bm{};
        ASSERT_EQ(GetObjectA(b, sizeof bm, &bm), int(sizeof bm));
        EXPECT_EQ(bm.bmWidthBytes, 4);
        EXPECT_EQ(bitmapBits(b), polar ? img : inverted(img));
        EXPECT_TRUE(DeleteObject(b));
        EXPECT_EQ(d1.image(), img);
        EXPECT_EQ(jbigDecodeGetDecodedBytes(d1.h), int32_t(stream.size() - 20 - 18));

        HGLOBAL g = jbigDecodeToWinDIB(d2.h, 0);
        ASSERT_NE(g, kBadDib);
        const auto *p = static_cast<const uint8_t *>(GlobalLock(g));
        const Bytes dib(p, p + GlobalSize(g));
        GlobalUnlock(g);
        GlobalFree(g);
        ASSERT_EQ(dib.size(), 40u + 8 + 9 * 4);
        EXPECT_EQ(Bytes(dib.begin(), dib.begin() + 16), (Bytes{40, 0, 0, 0, 17, 0, 0, 0, 9, 0, 0, 0, 1, 0, 1, 0}));
        EXPECT_EQ(Bytes(dib.begin() + 16, dib.begin() + 40), Bytes(24, 0));
        const Bytes colours = polar ? Bytes{0, 0, 0, 0, 255, 255, 255, 0} : Bytes{255, 255, 255, 0, 0, 0, 0, 0};
        EXPECT_EQ(Bytes(dib.begin() + 40, dib.begin() + 48), colours);
        EXPECT_EQ(dibRows(&dib[48], 17, 9), img);

        std::vector<uint8_t> info(1068);
        auto *bi = reinterpret_cast<BITMAPINFO *>(info.data());
        ASSERT_EQ(jbigDecodeToWinDIBits(d3.h, nullptr, bi, 0), 0);
        EXPECT_EQ(Bytes(info.begin() + 40, info.begin() + 48), colours);
        Bytes bits(9 * 4);
        ASSERT_EQ(jbigDecodeToWinDIBits(d3.h, bits.data(), bi, 0), 9);
        EXPECT_EQ(dibRows(bits.data(), 17, 9), img);
    }
}

TEST(WinResult, Failures) {
    Image img = randomImage(20, 4, 5);
    Bytes stream = encodeToMemory(img, defaultOptions(img, 0));
    MemoryDecoder dec(stream, 0);
    EXPECT_EQ(jbigDecodeToWinDIBits(dec.h, nullptr, nullptr, 0), 0);  // no header to fill
#if defined(ZELJBIG_HAVE_TESTHOOKS)
    long allocs = zjAllocCount();
#endif
    HBITMAP b = jbigDecodeToWinBitmap(dec.h, 5);  // above D means D
    ASSERT_NE(b, kBadBitmap);
    DeleteObject(b);
#if defined(ZELJBIG_HAVE_TESTHOOKS)
    // The bitmap's temporary lines cannot be had: the layer stays decoded.
    allocs = zjAllocCount() - allocs;
    const long live = liveBlocks();
    {
        MemoryDecoder again(stream, 0);
        zjFailAllocAt(allocs);
        EXPECT_EQ(jbigDecodeToWinBitmap(again.h, 0), kBadBitmap);
        zjFailAllocAt(0);
        EXPECT_EQ(again.image(), img);
    }
    EXPECT_EQ(liveBlocks(), live);
#endif
    EXPECT_EQ(jbigDecodeToWinBitmap(dec.h, 0), kBadBitmap);  // already delivered
    EXPECT_EQ(jbigDecodeGetDecodedBytes(dec.h), -1);
}
