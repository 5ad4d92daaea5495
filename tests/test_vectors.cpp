// Exact byte sequences: header, trailer, the smallest stream, the QM coder.
#include <gtest/gtest.h>

#include "decoder/jbgDQM.h"
#include "encoder/jbgCQM.h"
#include "support.h"

namespace {

// A memory-output encoder context for driving the internals directly.
struct MemoryEncoder {
    JbigContext *ctx;
    MemoryEncoder() {
        ctx = ctxCreate(nullptr, kModeEncoder | kFlagMemory);
        ctx->stream.streamFlags |= kStreamMemory;
        streamOpenWrite(&ctx->stream);
    }
    ~MemoryEncoder() {
        HeapFree(GetProcessHeap(), 0, ctx->stream.memPtr);
        ctxDestroy(ctx);
    }
    Bytes bytes() const { return Bytes(ctx->stream.memPtr, ctx->stream.memPtr + ctx->stream.memLength); }
};

Bytes qmEncodeAll(const std::vector<std::pair<uint32_t, uint32_t>> &decisions) {
    MemoryEncoder e;
    e.ctx->cur.stripe = 0;
    qmEncInit(e.ctx);
    for (auto [cx, pix] : decisions) qmEncode(e.ctx, (cx << 1) | pix);
    EXPECT_EQ(qmEncFlush(e.ctx), 0u);
    EXPECT_EQ(qmEncWriteRest(e.ctx), 0);
    return e.bytes();
}

std::vector<uint32_t> qmDecodeAll(const Bytes &sde, uint32_t cx, size_t n) {
    GlobalBlock block(sde);
    JbigContext *ctx = ctxCreate(nullptr, kModeDecoder);
    ctx->stream.streamFlags |= kStreamMemory;
    ctx->stream.memBase = static_cast<uint8_t *>(GlobalLock(block.handle));
    ctx->stream.memLength = uint32_t(sde.size());
    streamOpenRead(&ctx->stream);
    ctx->bih.D = 0;
    ctx->tableLayers = 1;
    ctx->tableStripes = 1;
    ctx->stripeTable = rowArrayAlloc(1, 8);
    stripeEntry(ctx, 0, 0)[0] = 0;
    stripeEntry(ctx, 0, 0)[1] = uint32_t(sde.size());
    ctx->cur.layer = 0;
    ctx->cur.stripe = 0;
    qmDecInit(ctx);
    std::vector<uint32_t> out;
    for (size_t i = 0; i < n; i++) out.push_back(qmDecode(ctx, cx));
    GlobalUnlock(block.handle);
    ctxDestroy(ctx);
    return out;
}

const Bytes kAlternating = {0x48, 0x5E, 0x5F, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                            0xFF, 0x00, 0xFF, 0x00, 0x80, 0xFF, 0x02};

}  // namespace

TEST(QmCoder, ThousandZerosInContextZero) {
    std::vector<std::pair<uint32_t, uint32_t>> d(1000, {0, 0});
    EXPECT_EQ(qmEncodeAll(d), (Bytes{0x4C, 0xFF, 0x02}));
    EXPECT_EQ(qmDecodeAll({0x4C, 0xFF, 0x02}, 0, 1000), std::vector<uint32_t>(1000, 0));
}

TEST(QmCoder, AlternatingDecisionsInContextFive) {
    std::vector<std::pair<uint32_t, uint32_t>> d;
    std::vector<uint32_t> expect;
    for (uint32_t i = 0; i < 64; i++) {
        d.push_back({5, i & 1});
        expect.push_back(i & 1);
    }
    EXPECT_EQ(qmEncodeAll(d), kAlternating);
    EXPECT_EQ(qmDecodeAll(kAlternating, 5, 64), expect);
}

TEST(QmCoder, OutputBlocksAndStuffing) {
    // Enough random decisions to pass several 4096-byte blocks: every 0xFF
    // is stuffed, the data never ends in 0x00, and the position is exact.
    std::vector<std::pair<uint32_t, uint32_t>> d;
    uint32_t x = 12345;
    for (int i = 0; i < 200000; i++) {
        x = x * 1103515245 + 12345;
        d.push_back({(x >> 8) & 0xFFF, (x >> 20) & 1});
    }
    Bytes out = qmEncodeAll(d);
    ASSERT_GT(out.size(), 3 * 4096u);
    for (size_t i = 0; i + 2 < out.size(); i++) {
        if (out[i] == 0xFF) {
            EXPECT_EQ(out[++i], 0x00) << "at " << i;
        }
    }
    EXPECT_EQ(out[out.size() - 2], 0xFF);
    EXPECT_EQ(out[out.size() - 1], 0x02);
    EXPECT_NE(out[out.size() - 3], 0x00);
}

TEST(Header, WrittenForFaxPageWithTwoLayers) {
    JbigEncodeOptions o{};
    o.XD = 1728;
    o.YD = 2376;
    o.L0 = 8;
    o.D = 2;
    o.P = 1;
    o.MX = 8;
    o.HITOLO = o.LRLTWO = o.VLENGTH = o.TPDON = o.TPBON = 1;
    o.flags = JBIG_FLAG_MEMORY;
    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    ASSERT_NE(h, JBIG_INVALID_HANDLE);
    auto *ctx = reinterpret_cast<JbigContext *>(h);
    EXPECT_EQ(ctx->stripeCount, 75);
    Bytes head(ctx->stream.memPtr, ctx->stream.memPtr + ctx->stream.memLength);
    EXPECT_EQ(head, (Bytes{0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x06, 0xC0, 0x00, 0x00, 0x09, 0x48, 0x00, 0x00, 0x00,
                           0x08, 0x08, 0x00, 0x08, 0x78}));
    EXPECT_EQ(jbigEncodeEpilog(h), -1);  // abandoned before coding
    EXPECT_EQ(o.outData, nullptr);
}

TEST(Header, ReadDropsHighOrderAndOptionBits) {
    MemoryDecoder d({0, 0, 1, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0xF8, 0xFF, 0xFF, 0x02});
    ASSERT_TRUE(d.ok());
    auto *ctx = reinterpret_cast<JbigContext *>(d.h);
    EXPECT_EQ(ctx->bih.order, 0x08u);
    EXPECT_EQ(ctx->bih.options, 0x7Fu);
    const JbigDecodeOptions &o = d.opts;
    for (uint8_t f : {o.HITOLO, o.SEQ, o.ILEAVE, o.SMID, o.LRLTWO, o.VLENGTH, o.TPDON, o.TPBON, o.DPON, o.DPPRIV,
                      o.DPLAST})
        EXPECT_LE(f, 1);
}

TEST(Stream, SmallestImageGivesFortyBytes) {
    const Bytes expect = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
                          0x00, 0x02, 0x08, 0x00, 0x08, 0x78, 0xFF, 0x02, 0xFF, 0x07, 0x00, 0x00, 0x00, 0x0C,
                          0x43, 0x50, 0x61, 0x74, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x02};
    Image img(8, 2);
    JbigEncodeOptions o{};
    jbigEncodeCreatDefaultOptions(&o, 8, 2, 0, 0x0080);
    EXPECT_EQ(encodeToMemory(img, o), expect);

    // And back: header fields, no scan, an all-zero raster, 2 bytes decoded.
    MemoryDecoder dec(expect);
    ASSERT_TRUE(dec.ok());
    const JbigHandle h = dec.h;
    const JbigDecodeOptions &d = dec.opts;
    EXPECT_EQ(d.XD, 8u);
    EXPECT_EQ(d.YD, 2u);
    EXPECT_EQ(d.L0, 2u);
    EXPECT_EQ(d.D, 0);
    EXPECT_EQ(d.flags & JBIG_FLAG_PATINFO_MISSING, 0);
    HGLOBAL dib = jbigDecodeToWinDIB(h, 0);
    ASSERT_NE(dib, reinterpret_cast<HGLOBAL>(~uintptr_t(0)));
    GlobalFree(dib);
    JbigImageInfo info;
    ASSERT_EQ(jbigDecodeGetImageAddress(h, &info), &info);
    EXPECT_EQ(imageFrom(info), img);
    EXPECT_EQ(jbigDecodeGetDecodedBytes(h), 2);
    EXPECT_EQ(jbigDecodeEpilog(h), 0);
    dec.h = JBIG_INVALID_HANDLE;
}

TEST(Stream, TrailerForOneStripeAndForThreeStripesOfTwoLayers) {
    Image img = randomImage(40, 24, 7);
    JbigEncodeOptions o = defaultOptions(img, 0);
    o.L0 = 24;
    Bytes s = encodeToMemory(img, o);
    ASSERT_GE(s.size(), 38u);
    const uint8_t head[] = {0xFF, 0x07, 0x00, 0x00, 0x00, 0x0C, 0x43, 0x50, 0x61, 0x74, 0x00, 0x00, 0x00, 0x14};
    EXPECT_TRUE(std::equal(head, head + 14, s.end() - 18));
    EXPECT_EQ(getBE(&s[s.size() - 4], 4), s.size() - 18 - 20);
}
