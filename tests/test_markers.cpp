// The whole standard (JBIG_FLAG_FULL_STANDARD): streams of other encoders
// with ATMOVE, SDRST, NEWLEN, unknown heights and comments, and streams put
// together here from the reference encoder for what they lack.
#include <gtest/gtest.h>

#include <sstream>

#include "frame/jbgDiff.h"
#include "frame/jpgLib.h"
#include "reference.h"

namespace {

constexpr uint16_t kFull = JBIG_FLAG_FULL_STANDARD;

// Header (order 0x08, MX 127) and entities, a NEWLEN after the entity of
// index k naming newlen[k].
Bytes assemble(const Image &img, const RefOptions &o, uint32_t yd, std::map<size_t, uint32_t> newlen = {}) {
    return referenceStream(img, o, 127, yd, newlen);
}

// The bit planes of a binary PGM (P5), `bits` of them as its maxval needs.
std::vector<Image> pgmPlanes(const std::string &path, bool gray) {
    const Bytes d = readFile(path);
    std::istringstream head(std::string(d.begin(), d.begin() + std::min<size_t>(d.size(), 64)));
    std::string magic;
    uint32_t w = 0, h = 0, maxval = 0;
    head >> magic >> w >> h >> maxval;
    const size_t at = size_t(head.tellg()) + 1;
    uint32_t bits = 0;
    while ((1u << bits) <= maxval) bits++;
    std::vector<Image> planes(bits, Image(w, h));
    std::vector<ZeljbigRaster> r(bits);
    for (uint32_t k = 0; k < bits; k++) r[k] = ZeljbigRaster{w, h, planes[k].rowBytes(), planes[k].bits.data()};
    const size_t stride = size_t(w) * (bits > 8 ? 2 : 1);
    if (magic != "P5" || d.size() < at + stride * h ||
        zeljbigGreyToPlanes(d.data() + at, stride, bits, gray, r.data(), bits) != 0)
        throw std::runtime_error("not a binary PGM: " + path);
    return planes;
}

}  // namespace

// Every stream of the other encoders decodes to its image with the flag,
// which reports the real height; without it the ones that move the AT
// pixel, reset or set a new height do not all come out right.
TEST(WildStreams, DecodeExactlyWithTheFullStandard) {
    const std::vector<std::string> streams = streamFiles("wild");
    int wrongWithout = 0;
    int greys = 0;
    for (const std::string &name : streams) {
        SCOPED_TRACE(name);
        const Bytes stream = readFile(dataPath("wild/" + name));
        if (name.rfind("grey", 0) == 0) {
            // Several bit planes, the image as Gray code unless "binary".
            const std::string pgm = dataPath("wild/" + name.substr(0, name.size() - 4) + ".pgm");
            const std::vector<Image> planes = pgmPlanes(pgm, name.find("binary") == std::string::npos);
            MemoryDecoder d(stream, kFull);
            ASSERT_TRUE(d.ok());
            ASSERT_EQ(d.opts.P, planes.size());
            for (uint32_t k = 0; k < planes.size(); k++) {
                ASSERT_EQ(zeljbigDecodeSelectPlane(d.h, k), 0);
                EXPECT_TRUE(decodesTo(d.h, planes[k])) << "plane " << k;
            }
            EXPECT_EQ(zeljbigDecodeSelectPlane(d.h, uint32_t(planes.size())), -1);
            EXPECT_FALSE(MemoryDecoder(stream).ok());
            greys++;
            continue;
        }
        const Image img = readPbm(imageOf("wild", name));
        MemoryDecoder d(stream, kFull);
        ASSERT_TRUE(d.ok());
        uint32_t w = 0, h = 0;
        EXPECT_EQ(jbigDecodeGetImageSize(d.h, &w, &h, jbigDecodeGetMaxLayer(d.h)), 0);
        EXPECT_EQ(d.opts.YD, img.height);
        EXPECT_EQ(h, img.height);
        EXPECT_TRUE(decodesTo(d.h, img));
        MemoryDecoder plain(stream);
        wrongWithout += !plain.ok() || !decodesTo(plain.h, img);
    }
    EXPECT_EQ(streams.size(), 139u);
    EXPECT_EQ(greys, 14);
    EXPECT_EQ(wrongWithout, 59);
}

// NEWLEN in a stream with layers: the real height, from a taller one or an
// unknown one; a larger NEWLEN is not taken, and an unknown height without
// NEWLEN is refused.
TEST(FullStandard, NewlenSetsTheHeight) {
    const Image img = randomImage(40, 30, 8, 20);
    RefOptions o{2, 2, true, true, true, false};  // stripes of 8 rows: 4 of them
    // After the last stripe of the highest layer, before any other.
    for (auto [announced, newlen] : {std::pair{37u, 30u}, {0xFFFFFFFFu, 30u}, {30u, 45u}}) {
        MemoryDecoder d(assemble(img, o, announced, {{3, newlen}}), kFull);
        ASSERT_TRUE(d.ok()) << announced;
        EXPECT_EQ(d.opts.YD, 30u);
        EXPECT_TRUE(decodesTo(d.h, img)) << announced;
    }
    EXPECT_FALSE(MemoryDecoder(assemble(img, o, 0xFFFFFFFFu), kFull).ok());
}

// A private table (the built-in one with every third entry left to coding)
// at three layers; DPLAST, and a table cut short, are refused.
TEST(FullStandard, PrivateDeterministicPredictionTable) {
    const Image img = patterned(90, 64, 3);
    std::vector<uint8_t> table[4];
    RefOptions o{2, 4, true, true, true, true};
    // The built-in table as a stream carries it: the bytes another encoder
    // writes after DPPRIV.
    Bytes packed(kDpPackedBytes);
    dpTablePack(zjDpTable, packed.data());
    const Bytes theirs = readFile(dataPath("wild/text-320x240_dppriv-d2.jbg"));
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), theirs.begin() + 20));
    // A table of our own, different from the built-in one.
    const uint32_t sizes[4] = {256, 512, 2048, 4096};
    for (uint32_t p = 0, n = 0; p < 4; p++) {
        table[p].assign(zjDpTable[p], zjDpTable[p] + sizes[p]);
        for (uint32_t i = 0; i < table[p].size(); i++, n++)
            if (n % 3 == 0) table[p][i] = 2;
        o.dp[p] = table[p].data();
    }
    dpTablePack(o.dp, packed.data());
    Bytes s = assemble(img, o, img.height);
    s[19] |= 0x02;  // DPPRIV
    s.insert(s.begin() + 20, packed.begin(), packed.end());
    MemoryDecoder d(s, kFull);
    EXPECT_TRUE(decodesTo(d.h, img));
    Bytes last = s;
    last[19] |= 0x01;  // DPLAST
    EXPECT_FALSE(MemoryDecoder(last, kFull).ok());
    EXPECT_FALSE(MemoryDecoder(Bytes(s.begin(), s.begin() + 20 + 1727), kFull).ok());
}

// ABORT between stripes and inside one: what was coded before it decodes,
// the rest is white.
TEST(FullStandard, AbortLeavesTheRestWhite) {
    const Image img = randomImage(30, 40, 2, 40);
    RefOptions o{0, 10, true, true, false, false};
    std::vector<Bytes> sdes = referenceSdes(img, o);
    Bytes s = jbigHeader(30, 40, 10, 0, 0x08, refOptionsByte(o));
    for (int k = 0; k < 2; k++) s.insert(s.end(), sdes[k].begin(), sdes[k].end());
    s.insert(s.end(), {0xFF, 0x04});
    s.insert(s.end(), sdes[2].begin(), sdes[2].end());
    Image expect = img;
    std::fill(expect.row(20), expect.row(40), 0);
    MemoryDecoder d(s, kFull);
    EXPECT_TRUE(decodesTo(d.h, expect));
}

namespace {

// The ATMOVE segments in front of each stripe of an open decoder's stream,
// as moves for the reference encoder.
std::vector<RefAtMove> movesOf(const Bytes &s, JbigHandle h, uint32_t D) {
    std::vector<RefAtMove> moves;
    for (uint32_t d = 0; d <= D; d++) {
        const StripeEntries table = decoderStripeTable(h, d);
        for (uint32_t k = 0; k < table.size(); k++)
            for (size_t at = table[k].first; s[at] == 0xFF && s[at + 1] == 0x06; at += 8)
                moves.push_back({d, k, getBE(&s[at + 2], 4), s[at + 6], s[at + 7]});
    }
    return moves;
}

// A picture that repeats every `period` columns, with some noise.
Image periodic(uint32_t w, uint32_t h, uint32_t period, uint32_t seed) {
    Image tile = randomImage(period, h, seed, 40), img(w, h);
    Image noise = randomImage(w, h, seed + 1, 2);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) img.set(x, y, tile.get(x % period, y) ^ noise.get(x, y));
    return img;
}

}  // namespace

// The encoder moves the AT pixel to the period of a picture, in every layer
// and template, at every column it may: the stream is the reference
// encoder's with the same moves, and decodes; without moves (MX 0, or
// without the flag) it carries no ATMOVE.
TEST(FullStandardEncoder, AtMovesAtEveryColumn) {
    int moved = 0;
    std::set<uint32_t> columns;
    for (uint32_t period = 3; period <= 127; period += 1 + period / 8) {
        const uint32_t D = period % 3, two = period % 2;
        SCOPED_TRACE(::testing::Message() << "period " << period << " D " << D << " two " << two);
        const Image img = periodic(period * 3 + 17, 90 + period % 7, period, period);
        RefOptions ro{D, 24, two != 0, true, true, true};
        JbigEncodeOptions o = defaultOptions(img, D, JBIG_FLAG_MEMORY | kFull | JBIG_FLAG_NO_PATINFO);
        o.MX = 127;
        o.L0 = 24;
        setOrderAndOptions(&o, 0x00, refOptionsByte(ro));
        const Bytes s = encodeToMemory(img, o);
        MemoryDecoder d(s, kFull);
        ASSERT_TRUE(d.ok());
        ro.moves = movesOf(s, d.h, D);
        moved += !ro.moves.empty();
        for (const RefAtMove &m : ro.moves) {
            EXPECT_TRUE(m.tx == 0 || m.tx >= (m.layer == 0 && two ? 5 : 3));
            columns.insert(m.tx);
        }
        EXPECT_EQ(s, referenceStream(img, ro, 127, img.height, {}, 0x00));
        EXPECT_TRUE(decodesTo(d.h, img));
    }
    EXPECT_GE(moved, 20);
    // Near columns (the decoder finds them in its own register) and far ones.
    EXPECT_LT(*columns.upper_bound(0), 8u);
    EXPECT_GT(*columns.rbegin(), 64u);
}

// The decoder takes the AT pixel to every column it can stand in, in every
// layer and both templates, as the reference encoder moves it: to the
// left of the image and back to its place, twice in one stripe, and a row
// or two up. Without the flag the moves are skipped and the image is wrong.
TEST(FullStandard, AtMovesToEveryColumn) {
    const Image img = randomImage(45, 24, 6, 35);
    for (uint32_t tx = 0; tx <= 127; tx++) {
        RefOptions o{tx % 3, 2, tx % 2 == 0, true, tx % 4 < 2, tx % 5 < 3};
        const uint8_t ty = uint8_t(tx % 7 == 3 ? tx % 3 : 0);
        for (uint32_t layer = 0; layer <= o.D; layer++)
            o.moves.insert(o.moves.end(), {{layer, 0, 1, uint8_t(tx), ty}, {layer, 1, 0, 0, 0}, {layer, 1, 1, uint8_t(tx), 0}});
        const Bytes s = assemble(img, o, img.height);
        MemoryDecoder d(s, kFull);
        EXPECT_TRUE(decodesTo(d.h, img)) << tx;
        if (tx == 40 || tx == 127) {
            EXPECT_FALSE(decodesTo(MemoryDecoder(s).h, img)) << tx;
        }
    }
}

// Every order byte T.82 allows, at one to four layers: the stripes stand
// in the announced order (the index lists them by layer, the scan finds
// them by the order bits), and the stream decodes with and without the
// flag.
TEST(FullStandardEncoder, StripesInTheAnnouncedOrder) {
    const Image img = patterned(61, 45, 9);
    for (uint32_t D = 0; D <= 3; D++) {
        for (uint8_t order : {0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E}) {
            SCOPED_TRACE(::testing::Message() << "D " << D << " order " << int(order));
            JbigEncodeOptions o = defaultOptions(img, D, JBIG_FLAG_MEMORY | kFull, 2);
            o.HITOLO = order >> 3 & 1, o.SEQ = order >> 2 & 1, o.ILEAVE = order >> 1 & 1, o.SMID = order & 1;
            const Bytes s = encodeToMemory(img, o);
            ASSERT_FALSE(s.empty());
            const uint32_t S = (45 + (2u << D) - 1) / (2u << D);
            const StripeEntries index = trailerEntries(s, S * (D + 1));
            ASSERT_EQ(index.size(), S * (D + 1));
            // Where each stripe stands in the stream, by the order bits.
            const bool stripeOuter = (order & 7) >= 4;
            uint32_t next = 20;
            for (uint32_t k = 0; k < S * (D + 1); k++) {
                const uint32_t pos = stripeOuter ? k % (D + 1) : k / S, st = stripeOuter ? k / (D + 1) : k % S;
                const uint32_t layer = (order & 8) ? D - pos : pos;
                EXPECT_EQ(index[layer * S + st].first, next) << k;
                next += index[layer * S + st].second;
            }
            for (uint16_t flags : {uint16_t(0), kFull}) {
                MemoryDecoder d(s, flags);
                EXPECT_TRUE(decodesTo(d.h, img));
            }
            Bytes bare(s.begin(), s.begin() + next);
            MemoryDecoder scanned(bare, kFull);
            EXPECT_EQ(decoderStripeTable(scanned.h, D), decoderStripeTable(MemoryDecoder(s).h, D));
            EXPECT_TRUE(decodesTo(scanned.h, img));
        }
    }
}

// P planes in one stream, plane 0 first. Empty when the encoder refuses.
Bytes encodePlanes(const std::vector<Image> &planes, JbigEncodeOptions o) {
    o.P = uint8_t(planes.size());
    o.flags |= JBIG_FLAG_MEMORY;
    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    if (h == JBIG_INVALID_HANDLE) return {};
    bool ok = true;
    for (uint32_t k = 0; k < planes.size(); k++) {
        JbigImageInfo info{planes[k].width, planes[k].height, planes[k].rowBytes(), 1, 0, 0,
                           const_cast<uint8_t *>(planes[k].bits.data())};
        ok = ok && zeljbigEncodeSelectPlane(h, k) == 0 && jbigEncodeSetOrgDataFromRect(h, &info) == 0;
    }
    for (int d = o.D; d >= 0 && ok; d--) ok = jbigEncode(h) == 0;
    ok = jbigEncodeEpilog(h) == 0 && ok;
    Bytes out;
    if (ok) out.assign(o.outData, o.outData + o.outLength);
    HeapFree(GetProcessHeap(), 0, o.outData);
    return out;
}

bool decodesToPlanes(const Bytes &s, const std::vector<Image> &planes) {
    MemoryDecoder d(s, kFull);
    if (!d.ok() || d.opts.P != planes.size()) return false;
    for (uint32_t k = 0; k < planes.size(); k++)
        if (zeljbigDecodeSelectPlane(d.h, k) != 0 || !decodesTo(d.h, planes[k])) return false;
    return true;
}

// Bit planes: every order byte T.82 allows, 2 to 12 planes, 0 to 3 layers,
// with and without a private table; with and without the stripe index. And
// the streams another encoder made of a greyscale image without AT moves:
// ours are the same bytes.
TEST(FullStandardEncoder, BitPlanes) {
    int k = 0;
    for (uint8_t order : {0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x08, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E}) {
        const uint32_t P = 2 + k % 11, D = k % 4;
        SCOPED_TRACE(::testing::Message() << "order " << int(order) << " P " << P << " D " << D);
        std::vector<Image> planes;
        for (uint32_t p = 0; p < P; p++) planes.push_back(p % 3 ? randomImage(37, 29, p + k, 30) : patterned(37, 29, p));
        JbigEncodeOptions o = defaultOptions(planes[0], D, kFull, 3);
        o.HITOLO = order >> 3 & 1, o.SEQ = order >> 2 & 1, o.ILEAVE = order >> 1 & 1, o.SMID = order & 1;
        o.DPON = 1;
        o.DPPRIV = k++ % 2;
        const Bytes s = encodePlanes(planes, o);
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(s[2], P);
        EXPECT_TRUE(decodesToPlanes(s, planes));
        o.flags |= JBIG_FLAG_NO_PATINFO;
        EXPECT_TRUE(decodesToPlanes(encodePlanes(planes, o), planes));
        EXPECT_FALSE(MemoryDecoder(s).ok());  // several planes only with the flag
    }
    const std::vector<Image> grey = pgmPlanes(dataPath("planes/grey4-123x77.pgm"), true);
    for (const std::string &name : streamFiles("planes")) {
        SCOPED_TRACE(name);
        const Bytes theirs = readFile(dataPath("planes/" + name));
        const std::vector<Image> planes =
            name.find("binary") == std::string::npos ? grey : pgmPlanes(dataPath("planes/grey4-123x77.pgm"), false);
        EXPECT_TRUE(decodesToPlanes(theirs, planes));
        if (name.find("sdrst") != std::string::npos) continue;  // we end stripes with SDNORM only
        JbigEncodeOptions o = defaultOptions(planes[0], theirs[1], kFull | JBIG_FLAG_NO_PATINFO, getBE(&theirs[12], 4));
        o.MX = 0;
        setOrderAndOptions(&o, theirs[18], theirs[19]);
        EXPECT_TRUE(encodePlanes(planes, o) == theirs);
    }
}

// BIEs that continue each other (another encoder's, its layers sent in two
// or three parts): the image of the whole; the later ones alone are refused,
// bytes after the last one do not matter.
TEST(FullStandard, ContinuedBies) {
    for (const std::string &name : streamFiles("bies")) {
        SCOPED_TRACE(name);
        Bytes s = readFile(dataPath("bies/" + name));
        const std::string stem = dataPath("bies/" + name.substr(0, name.find('_')));
        std::vector<Image> planes;
        if (name.rfind("grey", 0) == 0)
            planes = pgmPlanes(stem + ".pgm", true);
        else
            planes.push_back(readPbm(stem + ".pbm"));
        EXPECT_TRUE(decodesToPlanes(s, planes));
        EXPECT_GT(MemoryDecoder(s, kFull).opts.D, s[1]);
        // The BIE after the first alone: its DL is above 0.
        uint32_t second = 0;
        for (uint32_t at = 20; at + 20 < s.size() && !second; at++)
            if (s[at] == s[1] + 1 && std::equal(s.begin() + 2, s.begin() + 4, s.begin() + at + 2)) second = at;
        ASSERT_NE(second, 0u);
        EXPECT_FALSE(MemoryDecoder(Bytes(s.begin() + second, s.end()), kFull).ok());
        s.insert(s.end(), {0x00, 0x01, 0x02});
        EXPECT_TRUE(decodesToPlanes(s, planes));
    }
}

// Data cut short after whole layers: with the flag the highest complete
// layer is the maximum, and it decodes exactly.
TEST(FullStandard, CutStreamNamesItsLastCompleteLayer) {
    const Image img = patterned(64, 48, 5);
    JbigEncodeOptions o = defaultOptions(img, 2, JBIG_FLAG_MEMORY | kFull | JBIG_FLAG_NO_PATINFO, 6);
    o.HITOLO = 0;
    const Bytes s = encodeToMemory(img, o);
    MemoryDecoder whole(s, kFull);
    const StripeEntries layer1 = decoderStripeTable(whole.h, 1);
    const Bytes cut(s.begin(), s.begin() + layer1.back().first + layer1.back().second + 1);
    MemoryDecoder d(cut, kFull);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(jbigDecodeGetMaxLayer(d.h), 1);
    EXPECT_EQ(jbigDecodeGetMaxLayer(MemoryDecoder(cut).h), 2);
    EXPECT_EQ(jbigDecodeGetMaxLayer(whole.h), 2);
}
