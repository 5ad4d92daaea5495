// Exact byte sequences: the QM coder, the header, and the smallest stream
// with its trailer.
#include <gtest/gtest.h>

#include "decoder/jbgDQM.h"
#include "encoder/jbgCQM.h"
#include "support.h"

namespace {

using Decisions = std::vector<std::pair<uint32_t, uint32_t>>;

// One stripe data entity of the decisions, from fresh states.
Bytes qmEncodeAll(const Decisions &decisions) {
    JbigContext *ctx = ctxCreate(nullptr, kModeEncoder);
    ctx->stream.streamFlags |= kStreamMemory;
    streamOpenWrite(&ctx->stream);
    qmEncInit(ctx);
    QmEncoder q(ctx);
    for (auto [cx, pix] : decisions) q.code(cx, pix);
    q.store();
    EXPECT_EQ(qmEncFlush(ctx), 0u);
    EXPECT_EQ(qmEncWriteRest(ctx), 0);
    Bytes out(ctx->stream.memPtr, ctx->stream.memPtr + ctx->stream.memLength);
    HeapFree(GetProcessHeap(), 0, ctx->stream.memPtr);
    ctxDestroy(ctx);
    return out;
}

// n decisions in context cx from the entity `sde`, read as stripe 0 of a
// memory stream.
std::vector<uint32_t> qmDecodeAll(const Bytes &sde, uint32_t cx, size_t n) {
    Bytes stream = jbigHeader(8, 1, 1);
    stream.insert(stream.end(), sde.begin(), sde.end());
    MemoryDecoder d(stream);
    JbigContext *ctx = ctxFromHandle(d.h, kModeDecoder);
    ctx->cur.layer = ctx->cur.stripe = 0;
    qmDecInit(ctx);
    QmDecoder q(ctx);
    std::vector<uint32_t> out;
    for (size_t i = 0; i < n; i++) out.push_back(q.decode(cx));
    return out;
}

}  // namespace

TEST(QmCoder, ThousandZerosAndAlternatingDecisions) {
    EXPECT_EQ(qmEncodeAll(Decisions(1000, {0, 0})), (Bytes{0x4C, 0xFF, 0x02}));
    EXPECT_EQ(qmDecodeAll({0x4C, 0xFF, 0x02}, 0, 1000), std::vector<uint32_t>(1000, 0));

    const Bytes alternating = {0x48, 0x5E, 0x5F, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                               0xFF, 0x00, 0xFF, 0x00, 0x80, 0xFF, 0x02};
    Decisions d;
    std::vector<uint32_t> expect;
    for (uint32_t i = 0; i < 64; i++) {
        d.push_back({5, i & 1});
        expect.push_back(i & 1);
    }
    EXPECT_EQ(qmEncodeAll(d), alternating);
    EXPECT_EQ(qmDecodeAll(alternating, 5, 64), expect);
}

// The prolog writes the header to a file at once; an epilog before coding
// leaves it there.
TEST(Header, WrittenForFaxPageWithTwoLayers) {
    TempDir dir;
    JbigEncodeOptions o{};
    jbigEncodeCreatDefaultOptions(&o, 1728, 2376, 2, 0);
    o.L0 = 8;
    o.HITOLO = o.LRLTWO = o.VLENGTH = o.TPDON = o.TPBON = 1;
    o.DPON = 0;
    JbigHandle h = jbigEncodeProlog(dir.file("h.jbg").c_str(), &o);
    ASSERT_NE(h, JBIG_INVALID_HANDLE);
    EXPECT_EQ(jbigEncodeEpilog(h), -1);  // abandoned before coding
    EXPECT_EQ(readFile(dir.file("h.jbg")), (Bytes{0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x06, 0xC0, 0x00, 0x00, 0x09,
                                                  0x48, 0x00, 0x00, 0x00, 0x08, 0x08, 0x00, 0x08, 0x78}));
}

TEST(Header, ReadDropsHighOrderAndOptionBits) {
    MemoryDecoder d({0, 0, 1, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0xF8, 0xFF, 0xFF, 0x02});
    ASSERT_TRUE(d.ok());
    const JbigDecodeOptions &o = d.opts;
    EXPECT_EQ(std::vector<uint8_t>({o.HITOLO, o.SEQ, o.ILEAVE, o.SMID}), std::vector<uint8_t>({1, 0, 0, 0}));
    for (uint8_t f : {o.LRLTWO, o.VLENGTH, o.TPDON, o.TPBON, o.DPON, o.DPPRIV, o.DPLAST}) EXPECT_EQ(f, 1);
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
    const JbigDecodeOptions &d = dec.opts;
    EXPECT_EQ(std::vector<uint32_t>({d.XD, d.YD, d.L0, d.D, d.flags & JBIG_FLAG_PATINFO_MISSING}),
              std::vector<uint32_t>({8, 2, 2, 0, 0}));
    EXPECT_TRUE(decodesTo(dec.h, img));
    EXPECT_EQ(jbigDecodeGetDecodedBytes(dec.h), 2);
}
