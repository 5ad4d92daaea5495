// Progressive coding: a pixel-by-pixel reference encoder that the
// word-at-a-time coders must match byte for byte, and round trips at every
// layer. (The reduction and prediction tables meet the independent
// encoder's streams in the conformance tests.)
#include <gtest/gtest.h>

#include <set>

#include "frame/jpgLib.h"
#include "reference.h"

namespace {

Image pattern(uint32_t w, uint32_t h, uint32_t kind, uint32_t seed) {
    Image img(w, h);
    if (kind == 0) return randomImage(w, h, seed, 35);
    if (kind == 2) {
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) img.set(x, y, 1);
    } else if (kind >= 3) {
        // One black pixel in phase kind - 3 of its 2x2 block, where the
        // image is large enough for that phase.
        uint32_t p = kind - 3, x = (w / 2) & ~1u, y = (h / 2) & ~1u;
        if ((p & 1) && x + 1 < w) x++;
        if ((p & 2) && y + 1 < h) y++;
        img.set(x, y, 1);
    }
    return img;
}

}  // namespace

// Every width and height from 1 to 40, crossed with the fill pattern, D, L0,
// the prediction options and the template so that every pair of values of
// any two of them occurs in some case.
TEST(Layers, SweepMatchesReferenceAndDecodesEveryLayer) {
    for (uint32_t w = 1; w <= 40; w++) {
        for (uint32_t ht = 1; ht <= 40; ht++) {
            const uint32_t kind = (w + ht) % 7, D = 1 + (w + 3 * ht) % 4, L0 = 1 + (2 * w + ht) % 5,
                           tpdp = (w + 2 * ht + ht / 4 + w / 4) % 4, two = (w + ht + w / 2 + ht / 3) % 2;
            SCOPED_TRACE(::testing::Message() << w << "x" << ht << " kind " << kind << " D " << D << " L0 " << L0
                                              << " tpdp " << tpdp << " two " << two);
            Image img = pattern(w, ht, kind, w * 41 + ht);
            RefOptions ro{D, L0, two != 0, true, (tpdp & 1) != 0, (tpdp & 2) != 0};
            JbigEncodeOptions o = defaultOptions(img, D, JBIG_FLAG_MEMORY | JBIG_FLAG_NO_PATINFO, L0);
            o.MX = 0;
            setOrderAndOptions(&o, 0x08, refOptionsByte(ro));
            JbigHandle h = jbigEncodeProlog(nullptr, &o);
            ASSERT_NE(h, JBIG_INVALID_HANDLE);
            JbigImageInfo info = img.info();
            ASSERT_EQ(jbigEncodeSetOrgDataFromRect(h, &info), 0);
            std::vector<Image> expect(D + 1);
            expect[D] = img;
            for (int32_t d = int32_t(D); d >= 0; d--) {
                ASSERT_EQ(jbigEncode(h), 0);
                ASSERT_EQ(jbigEncodeGetImageAddress(h, &info), &info);
                if (d > 0) expect[d - 1] = imageFrom(info);
            }
            ASSERT_EQ(jbigEncodeEpilog(h), 0);
            Bytes stream(o.outData, o.outData + o.outLength);
            HeapFree(GetProcessHeap(), 0, o.outData);
            ASSERT_EQ(stream, referenceStream(img, ro, 0, img.height));

            MemoryDecoder dec(stream);
            for (uint32_t d = 0; d <= D; d++) {
                Image got;
                EXPECT_TRUE(decodeLayer(dec.h, &got, int32_t(d)) && got == expect[d]) << "layer " << d;
                EXPECT_TRUE(d == D || refReduce(expect[d + 1]) == expect[d]) << "layer " << d;
            }
        }
    }
}

// Layers are decoded upwards only: -1 asks for the next one, a number
// above D for the top one; size queries stay allowed.
TEST(Layers, LayerNumbersMoveOnlyUpwards) {
    Image img = randomImage(45, 37, 3);
    Bytes stream = encodeToMemory(img, defaultOptions(img, 2));
    auto decodes = [](JbigHandle h, int32_t d) {
        HGLOBAL g = jbigDecodeToWinDIB(h, d);
        if (g == reinterpret_cast<HGLOBAL>(~uintptr_t(0))) return false;
        GlobalFree(g);
        return true;
    };
    MemoryDecoder a(stream), b(stream), c(stream);
    uint32_t w, hh;
    EXPECT_EQ(jbigDecodeGetImageSize(a.h, &w, &hh, -1), -1);
    for (int32_t d = 0; d <= 2; d++) {
        ASSERT_TRUE(decodes(a.h, -1)) << d;
        ASSERT_EQ(jbigDecodeGetImageSize(a.h, &w, &hh, -1), 0);
        EXPECT_EQ(std::make_pair(w, hh), std::make_pair(layerSize(45, 2, d), layerSize(37, 2, d)));
    }
    EXPECT_FALSE(decodes(a.h, -1));
    EXPECT_EQ(jbigDecodeGetDecodedBytes(a.h), -1);
    ASSERT_TRUE(decodes(b.h, 2 + 5));
    EXPECT_EQ(b.image(), img);
    EXPECT_FALSE(decodes(b.h, 1));
    ASSERT_TRUE(decodes(c.h, 1));
    BITMAPINFO bi[2];
    std::vector<uint8_t> bits(4096);
    EXPECT_EQ(jbigDecodeToWinDIBits(c.h, nullptr, &bi[0], 0), 0);
    EXPECT_EQ(jbigDecodeToWinDIBits(c.h, bits.data(), &bi[0], 0), 0);
    EXPECT_EQ(jbigDecodeToWinDIBits(c.h, bits.data(), &bi[0], 1), 0);
}
