// Progressive coding: the tables, a pixel-by-pixel reference encoder that
// the word-at-a-time coders must match byte for byte, and round trips at
// every layer.
#include <gtest/gtest.h>

#include <set>

#include "frame/jbgDiff.h"
#include "frame/jpgLib.h"
#include "reference.h"

namespace {

// The whole stream, header included, without stripe index.
Bytes referenceEncode(const Image &img, const RefOptions &o) {
    Bytes out = jbigHeader(img.width, img.height, o.L0, uint8_t(o.D), 0x08,
                           uint8_t(o.two * 0x40 | 0x20 | o.tpdon * 0x10 | o.tpbon * 0x08 | o.dpon * 0x04));
    for (const Bytes &sde : referenceSdes(img, o)) out.insert(out.end(), sde.begin(), sde.end());
    return out;
}

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

struct SweepCase {
    uint32_t w, h, kind, D, L0, tpdp, two;
};

// Every width and height from 1 to 40, crossed with the fill pattern, D, L0,
// the prediction options and the template so that every pair of values of
// any two of them occurs in some case.
std::vector<SweepCase> sweepCases() {
    std::vector<SweepCase> cases;
    for (uint32_t w = 1; w <= 40; w++)
        for (uint32_t h = 1; h <= 40; h++)
            cases.push_back({w, h, (w + h) % 7, 1 + (w + 3 * h) % 4, 1 + (2 * w + h) % 5,
                             (w + 2 * h + h / 4 + w / 4) % 4, (w + h + w / 2 + h / 3) % 2});
    return cases;
}

}  // namespace

TEST(Tables, ResolutionReduction) {
    int ones = 0;
    for (uint32_t n = 0; n < 4096; n++) ones += resReduce(n);
    EXPECT_EQ(ones, 2328);
    for (auto [n, v] : {std::pair{0x000, 0}, {0xFFF, 1}, {0x010, 1}, {0x200, 0}, {0xE10, 0}}) EXPECT_EQ(resReduce(n), v);
}

TEST(Tables, PredictionFollowsFromReduction) {
    // For each phase: which pixels of the reduction window the index fixes,
    // the target T, and the unknown rest U. Window pixel (dr, dc) is bit
    // 8 - 3 (dr + 1) - (dc + 1) of the reduction index.
    const int bitsOf[4] = {8, 9, 11, 12};
    const int counts[4][3] = {{19, 1, 236}, {64, 44, 404}, {271, 255, 1522}, {522, 522, 3052}};
    auto win = [](int dr, int dc) { return 8 - 3 * (dr + 1) - (dc + 1); };
    for (int phase = 0; phase < 4; phase++) {
        int count[3] = {};
        for (uint32_t idx = 0; idx < (1u << bitsOf[phase]); idx++) {
            uint32_t D = phase == 0 ? idx << 2 : phase == 1 ? idx << 1 : phase == 2 ? idx >> 1 : idx >> 2;
            uint32_t fixed = (D >> 9 & 1) << 11 | (D >> 8 & 1) << 10 | (D >> 7 & 1) << 9;
            fixed |= (D >> 5 & 1) << win(-1, -1) | (D >> 4 & 1) << win(-1, 0) | (D >> 3 & 1) << win(-1, 1) |
                     (D >> 2 & 1) << win(0, -1);
            std::vector<int> unknown = {win(0, 0), win(0, 1), win(1, -1), win(1, 0), win(1, 1)};
            if (phase >= 1) fixed |= (D >> 1 & 1) << win(0, 0);
            if (phase >= 2) fixed |= (D & 1) << win(0, 1) | (idx >> (phase == 3 ? 1 : 0) & 1) << win(1, -1);
            if (phase == 3) fixed |= (idx & 1) << win(1, 0);
            int target = unknown[phase == 0 ? 0 : phase == 1 ? 1 : phase == 2 ? 3 : 4];
            unknown.erase(unknown.begin(), unknown.begin() + (phase == 0 ? 0 : phase == 1 ? 1 : 2));
            if (phase >= 2) unknown.erase(std::find(unknown.begin(), unknown.end(), win(1, -1)));
            if (phase == 3) unknown.erase(std::find(unknown.begin(), unknown.end(), win(1, 0)));
            unknown.erase(std::find(unknown.begin(), unknown.end(), target));
            bool possible[2] = {false, false};
            for (int v = 0; v < 2; v++)
                for (uint32_t u = 0; u < (1u << unknown.size()); u++) {
                    uint32_t n = fixed | uint32_t(v) << target;
                    for (size_t k = 0; k < unknown.size(); k++) n |= (u >> k & 1) << unknown[k];
                    if (uint32_t(resReduce(n)) == (D >> 6 & 1)) possible[v] = true;
                }
            int expect = possible[0] == possible[1] ? 2 : possible[1] ? 1 : 0;
            ASSERT_EQ(zjDpTable[phase][idx], expect) << "phase " << phase << " index " << idx;
            count[expect]++;
        }
        EXPECT_EQ(count[0], counts[phase][0]);
        EXPECT_EQ(count[1], counts[phase][1]);
        EXPECT_EQ(count[2], counts[phase][2]);
    }
}

TEST(Layers, SweepMatchesReferenceAndDecodesEveryLayer) {
    std::vector<SweepCase> cases = sweepCases();
    for (const SweepCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " kind " << c.kind << " D " << c.D << " L0 "
                                          << c.L0 << " tpdp " << c.tpdp << " two " << c.two);
        Image img = pattern(c.w, c.h, c.kind, c.w * 41 + c.h);
        RefOptions ro{c.D, c.L0, c.two != 0, true, (c.tpdp & 1) != 0, (c.tpdp & 2) != 0};
        JbigEncodeOptions o = defaultOptions(img, c.D, JBIG_FLAG_MEMORY | JBIG_FLAG_NO_PATINFO);
        o.L0 = c.L0;
        o.MX = 0;
        o.LRLTWO = ro.two;
        o.TPDON = ro.tpdon;
        o.DPON = ro.dpon;
        JbigHandle h = jbigEncodeProlog(nullptr, &o);
        ASSERT_NE(h, JBIG_INVALID_HANDLE);
        JbigImageInfo info = img.info();
        ASSERT_EQ(jbigEncodeSetOrgDataFromRect(h, &info), 0);
        std::vector<Image> expect(c.D + 1);
        expect[c.D] = img;
        for (int32_t d = int32_t(c.D); d >= 0; d--) {
            ASSERT_EQ(jbigEncode(h), 0);
            JbigImageInfo next;
            ASSERT_EQ(jbigEncodeGetImageAddress(h, &next), &next);
            if (d > 0) expect[d - 1] = imageFrom(next);
        }
        ASSERT_EQ(jbigEncodeEpilog(h), 0);
        Bytes stream(o.outData, o.outData + o.outLength);
        HeapFree(GetProcessHeap(), 0, o.outData);
        ASSERT_EQ(stream, referenceEncode(img, ro));

        MemoryDecoder dec(stream);
        ASSERT_TRUE(dec.ok());
        std::vector<Image> got = decodeAllLayers(dec.h);
        ASSERT_EQ(got.size(), expect.size());
        for (uint32_t d = 0; d <= c.D; d++) {
            EXPECT_EQ(got[d], expect[d]) << "layer " << d;
            if (d + 1 <= c.D) {
                EXPECT_EQ(refReduce(expect[d + 1]), expect[d]);
            }
        }
    }
}

TEST(Layers, LayerNumbersMoveOnlyUpwards) {
    Image img = randomImage(45, 37, 3);
    Bytes stream = encodeToMemory(img, defaultOptions(img, 2));
    const auto fail = reinterpret_cast<HGLOBAL>(~uintptr_t(0));
    {
        MemoryDecoder dec(stream);
        uint32_t w, hh;
        EXPECT_EQ(jbigDecodeGetImageSize(dec.h, &w, &hh, -1), -1);
        for (int32_t d = 0; d <= 2; d++) {
            HGLOBAL dib = jbigDecodeToWinDIB(dec.h, -1);
            ASSERT_NE(dib, fail) << d;
            GlobalFree(dib);
            ASSERT_EQ(jbigDecodeGetImageSize(dec.h, &w, &hh, -1), 0);
            EXPECT_EQ(w, layerSize(45, 2, d));
            EXPECT_EQ(hh, layerSize(37, 2, d));
        }
        EXPECT_EQ(jbigDecodeToWinDIB(dec.h, -1), fail);
        EXPECT_EQ(jbigDecodeGetDecodedBytes(dec.h), -1);
    }
    {
        MemoryDecoder dec(stream);
        HGLOBAL dib = jbigDecodeToWinDIB(dec.h, 2 + 5);
        ASSERT_NE(dib, fail);
        GlobalFree(dib);
        JbigImageInfo info;
        jbigDecodeGetImageAddress(dec.h, &info);
        EXPECT_EQ(imageFrom(info), img);
        EXPECT_EQ(jbigDecodeToWinDIB(dec.h, 1), fail);
    }
    {
        MemoryDecoder dec(stream);
        HGLOBAL dib = jbigDecodeToWinDIB(dec.h, 1);
        ASSERT_NE(dib, fail);
        GlobalFree(dib);
        BITMAPINFO bi[2];
        EXPECT_EQ(jbigDecodeToWinDIBits(dec.h, nullptr, &bi[0], 0), 0);  // size queries stay allowed
        std::vector<uint8_t> bits(4096);
        EXPECT_EQ(jbigDecodeToWinDIBits(dec.h, bits.data(), &bi[0], 0), 0);
        EXPECT_EQ(jbigDecodeToWinDIBits(dec.h, bits.data(), &bi[0], 1), 0);
    }
}
