// Encoder: the corpus in every lowest-layer coding variant, the stripe index
// against a scan, the rules of the encoder interface, and the one-call
// encoder's choice of template.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "support.h"

namespace {

const auto kFailInfo = reinterpret_cast<JbigImageInfo *>(~uintptr_t(0));

// Stripe heights chosen so that stripes straddle the 4096-byte output blocks.
struct Variant {
    uint8_t LRLTWO, TPBON;
    uint32_t L0;  // 0: the default (one stripe)
} const kVariants[] = {{1, 1, 0}, {0, 1, 128}, {1, 0, 100}, {0, 0, 1000}};

class Corpus : public ::testing::TestWithParam<std::string> {};

}  // namespace

// Per page and variant: file output (with index) and memory output
// (without) agree up to the index, the index lists what a scan finds, and
// the stream decodes back.
TEST_P(Corpus, EncodesAndDecodesAtLowestLayer) {
    Image img = readPbm(GetParam());
    TempDir dir;
    for (const Variant &var : kVariants) {
        SCOPED_TRACE(::testing::Message() << int(var.LRLTWO) << int(var.TPBON) << " " << var.L0);
        JbigEncodeOptions o = defaultOptions(img, 0);
        o.LRLTWO = var.LRLTWO;
        o.TPBON = var.TPBON;
        if (var.L0) o.L0 = var.L0;
        const uint32_t S = (img.height + o.L0 - 1) / o.L0;
        ASSERT_TRUE(encodeToFile(img, o, dir.file("out.jbg")));
        const Bytes indexed = readFile(dir.file("out.jbg"));
        o.flags |= JBIG_FLAG_NO_PATINFO;
        const Bytes bare = encodeToMemory(img, o);
        ASSERT_EQ(bare.size() + 10 + 8 * S, indexed.size());
        EXPECT_TRUE(std::equal(bare.begin(), bare.end(), indexed.begin()));
        const StripeEntries index = trailerEntries(indexed, S);
        ASSERT_EQ(index.size(), S);
        EXPECT_EQ(index.back().first + index.back().second, bare.size());
        MemoryDecoder scan(bare);
        ASSERT_TRUE(scan.ok());
        EXPECT_EQ(decoderStripeTable(scan.h), index);
        EXPECT_TRUE(decodesTo(scan.h, img));
        EXPECT_EQ(jbigDecodeGetDecodedBytes(scan.h), int32_t(bare.size() - 20));
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, Corpus, ::testing::ValuesIn(corpusPages()),
                         [](const auto &p) { return nameOfFile(p.param); });

TEST(EncoderProlog, RefusesWhatItCannotCode) {
    const long live = liveBlocks();
    auto accepted = [](uint32_t XD, uint32_t YD, uint32_t L0, uint8_t DL, uint8_t D, uint8_t P, uint16_t flags,
                       const char *path = nullptr) {
        JbigEncodeOptions o{};
        jbigEncodeCreatDefaultOptions(&o, XD, YD, D, flags);
        o.L0 = L0;
        o.DL = DL;
        o.P = P;
        JbigHandle h = jbigEncodeProlog(path, &o);
        if (h == JBIG_INVALID_HANDLE) return false;
        jbigEncodeEpilog(h);  // abandoned: nothing coded
        return true;
    };
    const uint16_t M = JBIG_FLAG_MEMORY;
    EXPECT_TRUE(accepted(64, 32, 32, 0, 0, 1, M));
    EXPECT_FALSE(accepted(64, 32, 0, 0, 0, 1, M));
    EXPECT_FALSE(accepted(64, 32, 32, 1, 0, 1, M));      // DL
    EXPECT_FALSE(accepted(64, 32, 32, 0, 0, 0, M));      // P
    EXPECT_FALSE(accepted(64, 32, 32, 0, 0, 2, M));      // P
    EXPECT_FALSE(accepted(0, 32, 32, 0, 0, 1, M));       // XD
    EXPECT_FALSE(accepted(64, 0, 32, 0, 0, 1, M));       // YD
    EXPECT_FALSE(accepted(64, 32, 32, 0, 0, 1, M | 2));  // a flag of the library's
    EXPECT_FALSE(accepted(64, 32, 32, 0, 0, 1, 0));      // file output without a path
    // The stripe count has to fit the table's 16-bit count.
    EXPECT_TRUE(accepted(8, 32767, 1, 0, 0, 1, M));
    EXPECT_FALSE(accepted(8, 32768, 1, 0, 0, 1, M));
    EXPECT_FALSE(accepted(8, 32, 0x80000000u, 0, 1, 1, M));  // L0 << D
    // Row length, raster and row table sizes have to fit 32 bits.
    EXPECT_TRUE(accepted(0xFFFFFFF0u, 1, 1, 0, 0, 1, M));
    EXPECT_FALSE(accepted(0xFFFFFFF1u, 1, 1, 0, 0, 1, M));
    EXPECT_TRUE(accepted(0x7FFFFFF0u, 14, 14, 0, 0, 1, M));  // 15 rows of 0x10000004 bytes
    EXPECT_FALSE(accepted(0x7FFFFFF0u, 15, 15, 0, 0, 1, M));
    // A row table of 0xFFFFFFFC bytes; 32-bit builds cannot address it.
    EXPECT_TRUE(sizeof(void *) < 8 || accepted(1, 0x3FFFFFF6u, 0x3FFFFFF6u, 0, 0, 1, M));
    EXPECT_FALSE(accepted(1, 0x3FFFFFFEu, 0x3FFFFFFEu, 0, 0, 1, M));  // rows fit, their table does not
    EXPECT_FALSE(accepted(1, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 0, 1, M));

    TempDir dir;
    const std::string base = dir.file("");
    EXPECT_TRUE(accepted(64, 32, 32, 0, 0, 1, 0, (base + std::string(255 - base.size(), 'p')).c_str()));
    EXPECT_FALSE(accepted(64, 32, 32, 0, 0, 1, 0, (base + std::string(256 - base.size(), 'q')).c_str()));
    EXPECT_FALSE(accepted(64, 32, 32, 0, 0, 1, 0, dir.file("missing/x.jbg").c_str()));
    EXPECT_EQ(jbigEncodeProlog(nullptr, nullptr), JBIG_INVALID_HANDLE);
    EXPECT_EQ(liveBlocks(), live);
}

TEST(EncoderInterface, CallOrder) {
    const long live = liveBlocks();
    Image img = randomImage(30, 20, 11);
    JbigEncodeOptions o = defaultOptions(img, 0, JBIG_FLAG_MEMORY, 6);
    const Bytes expect = encodeToMemory(img, o);
    ASSERT_FALSE(expect.empty());

    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    ASSERT_NE(h, JBIG_INVALID_HANDLE);
    JbigImageInfo info{}, src = img.info();
    EXPECT_EQ(jbigEncodeGetImageAddress(h, &info), kFailInfo);  // no coded image yet
    EXPECT_EQ(jbigEncode(h), -1);                               // no raster yet
    EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &src), 0);
    EXPECT_EQ(jbigEncodeGetImageAddress(h, &info), kFailInfo);
    EXPECT_EQ(jbigEncode(h), 0);
    EXPECT_EQ(jbigEncode(h), -1);  // the (D + 2)-th call
    ASSERT_EQ(jbigEncodeGetImageAddress(h, &info), &info);
    EXPECT_EQ(imageFrom(info), img);
    EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &src), -1);  // the raster is coded
    EXPECT_EQ(jbigEncodeEpilog(h), 0);
    EXPECT_EQ(Bytes(o.outData, o.outData + o.outLength), expect);
    HeapFree(GetProcessHeap(), 0, o.outData);

    // An epilog before the lowest layer abandons the memory output.
    h = jbigEncodeProlog(nullptr, &o);
    ASSERT_NE(h, JBIG_INVALID_HANDLE);
    EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &src), 0);
    EXPECT_EQ(jbigEncodeEpilog(h), -1);
    EXPECT_EQ(o.outData, nullptr);
    EXPECT_EQ(o.outLength, 0u);
    EXPECT_EQ(liveBlocks(), live);
}

// Rows of 13 pixels arrive in bands with every bit past the last pixel
// set; the last band runs past the last row and then some more.
TEST(EncoderInterface, BandsAndPadBits) {
    Image img = randomImage(13, 10, 5);
    JbigEncodeOptions o = defaultOptions(img, 0, JBIG_FLAG_MEMORY, 4);
    const Bytes expect = encodeToMemory(img, o);
    Bytes dirty(14 * 4, 0xFF);
    for (uint32_t y = 0; y < 10; y++) dirty[4 * y] = img.row(y)[0], dirty[4 * y + 1] = img.row(y)[1] | 0x07;

    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    ASSERT_NE(h, JBIG_INVALID_HANDLE);
    JbigImageInfo band{13, 6, 4, 1, 0, 0, dirty.data()};
    EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &band), 0);
    band.data += 6 * 4;
    band.height = 8;  // four rows missing, four of junk
    EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &band), 0);
    for (uint32_t more : {3u, 0u}) {
        band.height = more;
        EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &band), 0);  // all rows there: copies nothing
    }
    band.depth = 8;
    EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &band), -1);
    EXPECT_EQ(jbigEncode(h), 0);
    JbigImageInfo info;
    ASSERT_EQ(jbigEncodeGetImageAddress(h, &info), &info);
    for (uint32_t y = 0; y < 10; y++) {
        const uint8_t *row = info.data + y * info.bytesPerLine;
        EXPECT_EQ(Bytes(row, row + 3), (Bytes{img.row(y)[0], img.row(y)[1], 0})) << "row " << y;
    }
    EXPECT_EQ(jbigEncodeEpilog(h), 0);
    EXPECT_EQ(Bytes(o.outData, o.outData + o.outLength), expect);
    HeapFree(GetProcessHeap(), 0, o.outData);
}

// Null, all-ones, garbage and wrong-kind handles are refused by
// every exported operation, and the real handles still work afterwards.
TEST(Handles, RefusedUnlessRightKind) {
    Image img = randomImage(16, 8, 2);
    JbigEncodeOptions eo = defaultOptions(img, 0);
    JbigHandle enc = jbigEncodeProlog(nullptr, &eo);
    ASSERT_NE(enc, JBIG_INVALID_HANDLE);
    MemoryDecoder dec(encodeToMemory(img, eo));
    ASSERT_TRUE(dec.ok());

    std::vector<uint8_t> garbage(4096, 0xA5);
    GlobalBlock dib(Bytes(64, 0));
    JbigImageInfo src = img.info(), info{};
    uint32_t w, hgt;
    BITMAPINFO bi[2];
    Bytes bits(256);
    auto refused = [&](JbigHandle h, bool asEncoder, bool asDecoder) {
        if (asEncoder) {
            EXPECT_EQ(jbigEncodeSetOrgDataFromRect(h, &src), -1);
            EXPECT_EQ(jbigEncodeSetOrgDataFromWinBitmap(h, nullptr), -1);
            EXPECT_EQ(jbigEncodeSetOrgDataFromWinDIB(h, dib.handle), -1);
            EXPECT_EQ(jbigEncode(h), -1);
            EXPECT_EQ(jbigEncodeGetImageAddress(h, &info), kFailInfo);
            EXPECT_EQ(jbigEncodeEpilog(h), -1);
        }
        if (asDecoder) {
            EXPECT_EQ(jbigDecodeGetMaxLayer(h), -1);
            EXPECT_EQ(jbigDecodeGetImageSize(h, &w, &hgt, 0), -1);
            EXPECT_EQ(jbigDecodeGetImageAddress(h, &info), kFailInfo);
            EXPECT_EQ(jbigDecodeGetDecodedBytes(h), -1);
            EXPECT_EQ(jbigDecodeToWinBitmap(h, 0), reinterpret_cast<HBITMAP>(~uintptr_t(0)));
            EXPECT_EQ(jbigDecodeToWinDIB(h, 0), reinterpret_cast<HGLOBAL>(~uintptr_t(0)));
            EXPECT_EQ(jbigDecodeToWinDIBits(h, nullptr, bi, 0), 0);
            EXPECT_EQ(jbigDecodeToWinDIBits(h, bits.data(), bi, 0), 0);
            EXPECT_EQ(jbigDecodeEpilog(h), -1);
        }
    };
    for (JbigHandle h : {JbigHandle(0), JBIG_INVALID_HANDLE, reinterpret_cast<JbigHandle>(garbage.data())})
        refused(h, true, true);
    refused(dec.h, true, false);
    refused(enc, false, true);

    EXPECT_EQ(jbigEncodeSetOrgDataFromRect(enc, &src), 0);
    EXPECT_EQ(jbigEncode(enc), 0);
    EXPECT_EQ(jbigEncodeEpilog(enc), 0);
    HeapFree(GetProcessHeap(), 0, eo.outData);
    EXPECT_TRUE(decodesTo(dec.h, img));

    // Handles past their epilog, a second epilog included, and one whose
    // address a new context took: refused without reading freed memory.
    // A 32-bit handle is the bare address: it then names the new context.
    EXPECT_EQ(jbigDecodeEpilog(dec.h), 0);
    refused(dec.h, true, true);
    refused(enc, true, true);
    JbigHandle again = jbigEncodeProlog(nullptr, &eo);
    ASSERT_NE(again, JBIG_INVALID_HANDLE);
    if (sizeof(void *) == 8 || again != enc) refused(enc, true, true);
    EXPECT_EQ(jbigEncodeEpilog(again), -1);  // nothing coded: abandoned
    refused(again, true, true);
}

namespace {

// Rows for zeljbigEncodeRows, noting a call from another thread and
// failing at call `failAt`.
struct Feed {
    const Image *img;
    std::thread::id caller = std::this_thread::get_id();
    int calls = 0, failAt = -1;
    bool elsewhere = false;
};

int32_t feedRows(void *user, uint32_t, uint32_t first, uint32_t count, uint8_t *rows, size_t stride) {
    auto *f = static_cast<Feed *>(user);
    f->elsewhere |= std::this_thread::get_id() != f->caller;
    if (f->calls++ == f->failAt) return zeljbigSetError("the feed stopped"), -1;
    for (uint32_t i = 0; i < count; i++) std::memcpy(rows + i * stride, f->img->row(first + i), f->img->rowBytes());
    return 0;
}

// One call, from rasters or (feed) a reader; empty when it fails.
Bytes oneCall(const Image &img, int two, uint32_t layers, Feed *feed = nullptr) {
    ZeljbigEncodeParams p;
    zeljbigEncodeDefaults(&p);
    p.twoLine = two;
    p.layers = layers;
    const ZeljbigRaster r{img.width, img.height, img.rowBytes(), const_cast<uint8_t *>(img.bits.data())};
    uint8_t *out = nullptr;
    size_t n = 0;
    const int32_t rc = feed ? zeljbigEncodeRows(&p, img.width, img.height, feedRows, feed, &out, &n)
                            : zeljbigEncode(&p, &r, &out, &n);
    Bytes b(out, out + n);
    zeljbigFree(out);
    return rc == 0 ? b : Bytes{};
}

}  // namespace

// The template is the sample's, by rasters and by reader alike, the reader
// called on the caller's thread only. lineart300's first rows favour the
// two-line template, its sample the three-line one; halftone-fs takes two
// lines throughout. A picture of up to 512 rows is its own sample.
TEST(OneCall, TemplateAsTheSampleChooses) {
    const struct {
        const char *page;
        int two;
    } pages[] = {{"lineart300", 0}, {"halftone-fs", 1}};
    for (const auto &c : pages) {
        const Image page = readPbm(dataPath(std::string("corpus/") + c.page + ".pbm.gz"));
        Image top(page.width, 300);
        std::memcpy(top.bits.data(), page.bits.data(), top.bits.size());
        for (uint32_t layers : {0u, 1u}) {
            SCOPED_TRACE(::testing::Message() << c.page << " D " << layers);
            const Bytes want = oneCall(page, c.two, layers);
            ASSERT_FALSE(want.empty());
            EXPECT_EQ(oneCall(page, -1, layers), want);
            Feed feed{&page};
            EXPECT_EQ(oneCall(page, -1, layers, &feed), want);
            EXPECT_FALSE(feed.elsewhere);
            const Bytes two = oneCall(top, 1, layers), three = oneCall(top, 0, layers);
            Feed topFeed{&top};
            EXPECT_EQ(oneCall(top, -1, layers, &topFeed), two.size() < three.size() ? two : three);
            EXPECT_FALSE(topFeed.elsewhere);
        }
        // A reader that stops, at the first rows and later: the call fails
        // with its reason.
        for (int at : {0, 1, 5}) {
            Feed feed{&page};
            feed.failAt = at;
            EXPECT_TRUE(oneCall(page, -1, 0, &feed).empty());
            EXPECT_STREQ(zeljbigLastError(), "the feed stopped");
        }
    }
}
