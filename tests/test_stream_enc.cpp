// Streaming encoder: the whole-image encoder's bytes on every corpus page,
// an unknown height closed by NEWLEN, and the calls that must fail.
#include <gtest/gtest.h>

#include <cstring>

#include "support.h"

namespace {

struct Sink {
    Bytes bytes;
    int calls = 0, failAt = -1;
};

int32_t toSink(void *user, const uint8_t *b, size_t n) {
    auto *s = static_cast<Sink *>(user);
    if (s->calls++ == s->failAt) return -1;
    s->bytes.insert(s->bytes.end(), b, b + n);
    return 0;
}

ZeljbigEncodeParams params(int two, int tp, uint32_t L0, uint32_t mx, uint32_t flags) {
    ZeljbigEncodeParams p;
    zeljbigEncodeDefaults(&p);
    p.twoLine = two, p.tpbon = tp, p.tpdon = 0, p.stripeLines = L0, p.atMax = mx, p.flags = flags | ZELJBIG_NO_INDEX;
    return p;
}

Bytes whole(const Image &img, const ZeljbigEncodeParams &p) {
    ZeljbigRaster r{img.width, img.height, img.rowBytes(), const_cast<uint8_t *>(img.bits.data())};
    uint8_t *out = nullptr;
    size_t n = 0;
    if (zeljbigEncode(&p, &r, &out, &n) != 0) return {};
    Bytes b(out, out + n);
    zeljbigFree(out);
    return b;
}

// Rows pushed in bands of `band`; the height given or left to Finish.
Bytes streamed(const Image &img, const ZeljbigEncodeParams &p, uint32_t band, bool known) {
    Sink s;
    ZeljbigStreamEncoder *e =
        zeljbigStreamEncoderCreate(&p, img.width, known ? img.height : ZELJBIG_UNKNOWN_HEIGHT, toSink, &s);
    if (e == nullptr) return {};
    for (uint32_t y = 0; y < img.height; y += band)
        if (zeljbigStreamEncoderPushRows(e, img.row(y), img.rowBytes(), std::min(band, img.height - y)) != 0) break;
    const int32_t r = zeljbigStreamEncoderFinish(e);
    zeljbigStreamEncoderDestroy(e);
    return r == 0 ? s.bytes : Bytes{};
}

// The stream of an unknown height: the header's YD 0xFFFFFFFF, a NEWLEN
// after the last stripe and a stripe of no lines.
Bytes withUnknownHeight(Bytes b, uint32_t h) {
    for (int i = 8; i < 12; i++) b[i] = 0xFF;
    b.insert(b.end(), {0xFF, 0x05, uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h), 0xFF, b[b.size() - 1]});
    return b;
}

class StreamCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(StreamCorpus, SameBytesAsWholeImage) {
    const Image img = readPbm(GetParam());
    struct Case {
        int two, tp;
        uint32_t L0, mx, flags, band;
    } cases[] = {{0, 1, 128, 0, 0, 1},   {1, 1, 64, 0, ZELJBIG_SDRST, 100}, {1, 0, 1, 0, 0, 7},
                 {0, 0, 200, 8, 0, 33},  {1, 1, 128, 127, 0, 128},           {0, 1, 37, 16, ZELJBIG_SDRST, 1000},
                 {1, 1, img.height, 0, ZELJBIG_HIGHEST_FIRST, 4096}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "two " << c.two << " tp " << c.tp << " L0 " << c.L0 << " mx " << c.mx
                                          << " flags " << c.flags << " band " << c.band);
        const ZeljbigEncodeParams p = params(c.two, c.tp, c.L0, c.mx, c.flags);
        const Bytes ref = whole(img, p);
        ASSERT_FALSE(ref.empty());
        EXPECT_EQ(streamed(img, p, c.band, true), ref);
        EXPECT_EQ(streamed(img, p, c.band, false), withUnknownHeight(ref, img.height));
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, StreamCorpus, ::testing::ValuesIn(corpusPages()),
                         [](const ::testing::TestParamInfo<std::string> &i) { return nameOfFile(i.param); });

// A known height cut short: NEWLEN after the stripe being filled when it is
// asked, which ends where the image does if that is in it; comments wait
// for the stripe being filled too.
TEST(StreamEncoder, NewLengthAndComments) {
    const Image img = patterned(61, 50, 3);
    Image cut(61, 45);
    std::memcpy(cut.bits.data(), img.bits.data(), cut.bits.size());
    const ZeljbigEncodeParams p = params(0, 1, 16, 0, 0);
    const Bytes ref = whole(cut, p);
    Sink s;
    ZeljbigStreamEncoder *e = zeljbigStreamEncoderCreate(&p, 61, 50, toSink, &s);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(zeljbigStreamEncoderComment(e, reinterpret_cast<const uint8_t *>("ab"), 2), 0);
    ASSERT_EQ(zeljbigStreamEncoderPushRows(e, img.bits.data(), img.rowBytes(), 20), 0);
    ASSERT_EQ(zeljbigStreamEncoderComment(e, nullptr, 0), 0);
    ASSERT_EQ(zeljbigStreamEncoderNewLength(e, 45), 0);
    EXPECT_EQ(zeljbigStreamEncoderNewLength(e, 44), -1);
    ASSERT_EQ(zeljbigStreamEncoderPushRows(e, img.row(20), img.rowBytes(), 25), 0);
    EXPECT_EQ(zeljbigStreamEncoderPushRows(e, img.row(45), img.rowBytes(), 1), -1) << "past the new height";
    EXPECT_EQ(zeljbigStreamEncoderFinish(e), 0);
    zeljbigStreamEncoderDestroy(e);
    // Header, COMMENT "ab", stripes 0 and 1, COMMENT of nothing, NEWLEN 45, stripe 2.
    ZeljbigReader *r = zeljbigOpenMemory(ref.data(), ref.size());
    uint64_t at2 = 0, len = 0;
    ASSERT_EQ(zeljbigStripe(r, 0, 0, 2, &at2, &len), 0);
    zeljbigClose(r);
    Bytes want(ref.begin(), ref.begin() + 20);
    want[11] = 50;
    want.insert(want.end(), {0xFF, 0x07, 0, 0, 0, 2, 'a', 'b'});
    want.insert(want.end(), ref.begin() + 20, ref.begin() + long(at2));
    want.insert(want.end(), {0xFF, 0x07, 0, 0, 0, 0, 0xFF, 0x05, 0, 0, 0, 45});
    want.insert(want.end(), ref.begin() + long(at2), ref.end());
    EXPECT_EQ(s.bytes, want);
    // And it decodes to the cut image.
    ZeljbigRaster out{};
    ASSERT_EQ(zeljbigDecode(s.bytes.data(), s.bytes.size(), -1, 0, &out), 0) << zeljbigLastError();
    EXPECT_EQ(imageFrom(JbigImageInfo{out.width, out.height, uint32_t(out.stride), 1, 0, 0, out.data}), cut);
    zeljbigFree(out.data);
}

// Each stripe leaves as its last row comes in; an ABORT ends early.
TEST(StreamEncoder, StripesLeaveAsTheyComplete) {
    const Image img = patterned(40, 30, 9);
    const ZeljbigEncodeParams p = params(1, 1, 10, 0, 0);
    Sink s;
    ZeljbigStreamEncoder *e = zeljbigStreamEncoderCreate(&p, 40, ZELJBIG_UNKNOWN_HEIGHT, toSink, &s);
    ASSERT_EQ(zeljbigStreamEncoderPushRows(e, img.bits.data(), img.rowBytes(), 9), 0);
    EXPECT_EQ(s.bytes.size(), 20u);
    ASSERT_EQ(zeljbigStreamEncoderPushRows(e, img.row(9), img.rowBytes(), 1), 0);
    ASSERT_GE(s.bytes.size(), 24u);
    EXPECT_EQ(s.bytes[s.bytes.size() - 2], 0xFF);
    EXPECT_EQ(s.bytes.back(), 0x02);
    ASSERT_EQ(zeljbigStreamEncoderPushRows(e, img.row(10), img.rowBytes(), 3), 0);
    ASSERT_EQ(zeljbigStreamEncoderAbort(e), 0);
    EXPECT_EQ(s.bytes[s.bytes.size() - 1], 0x04);
    EXPECT_EQ(s.bytes[s.bytes.size() - 3], 0x02) << "the three rows end their stripe first";
    EXPECT_EQ(zeljbigStreamEncoderPushRows(e, img.row(13), img.rowBytes(), 1), -1);
    EXPECT_EQ(zeljbigStreamEncoderFinish(e), 0);
    zeljbigStreamEncoderDestroy(e);
}

TEST(StreamEncoder, RefusesAndFails) {
    ZeljbigEncodeParams p = params(0, 1, 0, 0, 0);
    Sink s;
    const uint8_t row[8] = {0xFF, 0x0F};
    p.layers = 2;
    EXPECT_EQ(zeljbigStreamEncoderCreate(&p, 8, 8, toSink, &s), nullptr);
    EXPECT_NE(std::strstr(zeljbigLastError(), "one layer"), nullptr) << zeljbigLastError();
    p.layers = 0, p.planes = 2;
    EXPECT_EQ(zeljbigStreamEncoderCreate(&p, 8, 8, toSink, &s), nullptr);
    p.planes = 1, p.flags = ZELJBIG_BEST;
    EXPECT_EQ(zeljbigStreamEncoderCreate(&p, 8, 8, toSink, &s), nullptr);
    p.flags = 0;
    EXPECT_EQ(zeljbigStreamEncoderCreate(&p, 0, 8, toSink, &s), nullptr);
    EXPECT_EQ(zeljbigStreamEncoderCreate(&p, 8, 8, nullptr, nullptr), nullptr);
    p.stripeLines = 0xFFFFFFF0u;
    EXPECT_EQ(zeljbigStreamEncoderCreate(&p, 100000, 8, toSink, &s), nullptr);
    p.stripeLines = 2;
    // Too many rows, too few, none at all, no VLENGTH-free way around.
    ZeljbigStreamEncoder *e = zeljbigStreamEncoderCreate(&p, 12, 3, toSink, &s);
    EXPECT_EQ(zeljbigStreamEncoderPushRows(e, row, 1, 1), -1) << "rows shorter than the width";
    EXPECT_EQ(zeljbigStreamEncoderPushRows(e, row, 2, 4), -1);
    EXPECT_EQ(zeljbigStreamEncoderPushRows(e, row, 2, 2), 0);
    EXPECT_EQ(zeljbigStreamEncoderFinish(e), -1);
    EXPECT_EQ(zeljbigStreamEncoderNewLength(e, 1), -1) << "below the rows in";
    EXPECT_EQ(zeljbigStreamEncoderNewLength(e, 3), -1) << "not below the known height";
    zeljbigStreamEncoderDestroy(e);
    e = zeljbigStreamEncoderCreate(&p, 12, ZELJBIG_UNKNOWN_HEIGHT, toSink, &s);
    EXPECT_EQ(zeljbigStreamEncoderFinish(e), -1) << "no rows";
    zeljbigStreamEncoderDestroy(e);
    // A sink that fails: at the header, at a stripe; nothing works after.
    for (int at = 0; at < 2; at++) {
        Sink bad;
        bad.failAt = at;
        e = zeljbigStreamEncoderCreate(&p, 12, ZELJBIG_UNKNOWN_HEIGHT, toSink, &bad);
        EXPECT_EQ(zeljbigStreamEncoderPushRows(e, row, 2, 3), -1);
        EXPECT_NE(std::strstr(zeljbigLastError(), "could not be written"), nullptr) << zeljbigLastError();
        EXPECT_EQ(zeljbigStreamEncoderFinish(e), -1);
        zeljbigStreamEncoderDestroy(e);
    }
    EXPECT_EQ(zeljbigStreamEncoderPushRows(nullptr, row, 2, 1), -1);
    zeljbigStreamEncoderDestroy(nullptr);
}

}  // namespace
