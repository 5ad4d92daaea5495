// The streaming decoder: every one-layer stream of the data directories fed
// a byte at a time, in random pieces, and stripe by stripe (each stripe's
// rows out before the next stripe's data is in); hostile input; the sink
// stopping it.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "support.h"

namespace {

struct Rows {
    Image img;
    uint32_t next = 0, stopEvery = 0;
    bool inOrder = true;
};

int32_t keepRow(void *user, uint32_t y, const uint8_t *row, size_t bytes) {
    auto *r = static_cast<Rows *>(user);
    r->inOrder = r->inOrder && y == r->next && bytes == r->img.rowBytes();
    if (y < r->img.height && bytes == r->img.rowBytes()) std::memcpy(r->img.row(y), row, bytes);
    r->next = y + 1;
    return r->stopEvery && r->next % r->stopEvery == 0;
}

// Pushes bytes [from, to), going on whenever the sink stops the decoder.
int32_t pushAll(ZeljbigStreamDecoder *d, const Bytes &s, size_t from, size_t to) {
    int32_t r = 0;
    do {
        size_t taken = 0;
        r = zeljbigStreamDecoderPush(d, s.data() + from, to - from, &taken);
        from += taken;
    } while (r == ZELJBIG_STREAM_STOPPED || (r == 0 && from < to));
    return r;
}

int32_t finish(ZeljbigStreamDecoder *d) {
    int32_t r;
    while ((r = zeljbigStreamDecoderFinish(d)) == ZELJBIG_STREAM_STOPPED) {
    }
    return r;
}

// Decodes s fed in the pieces `cuts` names (ascending ends); the rows.
Image streamed(const Bytes &s, const std::vector<size_t> &cuts, uint32_t w, uint32_t h, uint32_t stopEvery = 0) {
    Rows rows{Image(w, h), 0, stopEvery};
    ZeljbigStreamDecoder *d = zeljbigStreamDecoderCreate(keepRow, &rows);
    size_t at = 0;
    int32_t r = 0;
    for (size_t c : cuts) {
        r = pushAll(d, s, at, c);
        at = c;
        EXPECT_GE(r, 0) << zeljbigLastError();
    }
    if (r != ZELJBIG_STREAM_DONE) {
        EXPECT_EQ(finish(d), ZELJBIG_STREAM_DONE) << zeljbigLastError();
    }
    zeljbigStreamDecoderDestroy(d);
    EXPECT_TRUE(rows.inOrder);
    EXPECT_EQ(rows.next, h);
    return rows.img;
}

// Where the data of the stripe after the one ending at `end` begins: past
// the marker segments there, and the byte that tells so.
size_t nextData(const Bytes &s, size_t p) {
    while (p + 1 < s.size() && s[p] == 0xFF) {
        const uint8_t m = s[p + 1];
        if (m == 0x06) p += 8;
        else if (m == 0x05) p += 6;
        else if (m == 0x07 && p + 6 <= s.size()) p += 6 + (size_t(s[p + 2]) << 24 | s[p + 3] << 16 | s[p + 4] << 8 | s[p + 5]);
        else return p + 2;
    }
    return std::min(s.size(), p + 1);
}

void checkStream(const std::string &dir, const std::string &file, int *checked) {
    SCOPED_TRACE(dir + "/" + file);
    const Bytes s = readFile(dataPath(dir + "/" + file));
    ASSERT_GE(s.size(), 20u);
    if (s[1] != 0 || s[2] != 1) {
        // Several layers or planes: refused with the reason.
        Rows rows;
        ZeljbigStreamDecoder *d = zeljbigStreamDecoderCreate(keepRow, &rows);
        EXPECT_EQ(zeljbigStreamDecoderPush(d, s.data(), s.size(), nullptr), -1);
        EXPECT_NE(std::string(zeljbigLastError()).find("streaming decodes one layer and one plane"), std::string::npos);
        zeljbigStreamDecoderDestroy(d);
        return;
    }
    const Image img = readPbm(imageOf(dir, file));
    const uint32_t w = img.width, h = img.height;
    std::vector<size_t> bytes(s.size());
    for (size_t i = 0; i < s.size(); i++) bytes[i] = i + 1;
    EXPECT_TRUE(streamed(s, bytes, w, h) == img) << "a byte at a time";
    std::mt19937 rng(uint32_t(s.size()));
    std::vector<size_t> random;
    for (size_t at = 0; at < s.size();) random.push_back(at = std::min(s.size(), at + 1 + rng() % 700));
    EXPECT_TRUE(streamed(s, random, w, h, 7) == img) << "random pieces, the sink stopping it every 7 rows";

    // Stripe by stripe: up to the first data byte after stripe k, every
    // row of stripes 0 to k is out.
    ZeljbigReader *reader = zeljbigOpenMemory(s.data(), s.size());
    ASSERT_NE(reader, nullptr) << zeljbigLastError();
    ZeljbigInfo info;
    zeljbigGetInfo(reader, &info);
    Rows rows{Image(w, h)};
    ZeljbigStreamDecoder *d = zeljbigStreamDecoderCreate(keepRow, &rows);
    size_t at = 0;
    for (uint32_t k = 0; k + 1 < info.stripes; k++) {
        uint64_t off, len;
        ASSERT_EQ(zeljbigStripe(reader, 0, 0, k, &off, &len), 0);
        const size_t to = nextData(s, size_t(off + len));
        ASSERT_GE(pushAll(d, s, at, to), 0) << zeljbigLastError();
        at = to;
        EXPECT_GE(rows.next, std::min(h, (k + 1) * info.L0)) << "stripe " << k;
    }
    pushAll(d, s, at, s.size());
    EXPECT_EQ(finish(d), ZELJBIG_STREAM_DONE);
    EXPECT_TRUE(rows.img == img);
    zeljbigStreamDecoderDestroy(d);
    zeljbigClose(reader);
    ++*checked;
}

// Everything the decoder says of bytes s, fed whole: the result of Finish
// (or of Push when that failed) and the reason.
int32_t decodeAll(const Bytes &s, std::string *why = nullptr) {
    Rows rows{Image(1, 1)};
    ZeljbigStreamDecoder *d = zeljbigStreamDecoderCreate(keepRow, &rows);
    int32_t r = zeljbigStreamDecoderPush(d, s.data(), s.size(), nullptr);
    if (r == 0) r = finish(d);
    if (why) *why = zeljbigLastError();
    zeljbigStreamDecoderDestroy(d);
    return r;
}

}  // namespace

TEST(StreamDecoder, EveryOneLayerStreamOfTheDataFiles) {
    int checked = 0;
    for (const char *dir : {"wild", "conformance"})
        for (const std::string &f : streamFiles(dir)) checkStream(dir, f, &checked);
    EXPECT_GE(checked, 100);
}

TEST(StreamDecoder, HostileInput) {
    const long blocks = liveBlocks();
    const Bytes s = readFile(dataPath("wild/fax-1728x90_t85-unknown-height.jbg"));
    std::string why;
    // Cut anywhere: an error at Finish, never a crash or a hang.
    for (size_t n = 0; n + 8 < s.size(); n += 1 + n / 16) EXPECT_EQ(decodeAll(Bytes(s.begin(), s.begin() + long(n))), -1) << n;
    EXPECT_EQ(decodeAll(Bytes(s.begin(), s.begin() + 300), &why), -1);
    EXPECT_NE(why.find("truncated"), std::string::npos) << why;
    // An unknown height that no NEWLEN gives.
    Bytes noNewlen = jbigHeader(8, 0xFFFFFFFF, 2, 0, 0, 0x20);
    for (uint8_t b : {0x00, 0xFF, 0x02}) noNewlen.push_back(b);
    EXPECT_EQ(decodeAll(noNewlen, &why), -1);
    EXPECT_NE(why.find("no NEWLEN"), std::string::npos) << why;
    // A NEWLEN naming more rows, a marker out of place, sizes too large.
    Bytes longer = jbigHeader(8, 4, 2, 0, 0, 0x20);
    for (uint8_t b : {0x00, 0xFF, 0x02, 0xFF, 0x05, 0, 0, 0, 9}) longer.push_back(b);
    EXPECT_EQ(decodeAll(longer, &why), -1);
    EXPECT_NE(why.find("NEWLEN names 9 rows"), std::string::npos) << why;
    Bytes reserved = jbigHeader(8, 4, 2);
    for (uint8_t b : {0x12, 0xFF, 0x01}) reserved.push_back(b);
    EXPECT_EQ(decodeAll(reserved, &why), -1);
    EXPECT_NE(why.find("marker 0xFF 0x01"), std::string::npos) << why;
    EXPECT_EQ(decodeAll(jbigHeader(0xFFFFFFFF, 10, 2), &why), -1);
    EXPECT_NE(why.find("too large"), std::string::npos) << why;
    // Garbage after a header: decoded or refused, in bounded time.
    std::mt19937 rng(5);
    for (int k = 0; k < 200; k++) {
        Bytes g = jbigHeader(1 + rng() % 300, 1 + rng() % 50, 1 + rng() % 9, 0, 0, uint8_t(rng() & 0x68));
        for (int i = int(rng() % 3000); i > 0; i--) g.push_back(uint8_t(rng() % 5 ? rng() : 0xFF));
        decodeAll(g);
    }
    // ABORT: what came before it, then white rows.
    Bytes abort = jbigHeader(8, 6, 2);
    for (uint8_t b : {0x00, 0xFF, 0x02, 0xFF, 0x04}) abort.push_back(b);
    EXPECT_EQ(decodeAll(abort), ZELJBIG_STREAM_DONE);
    EXPECT_EQ(liveBlocks(), blocks);
}
