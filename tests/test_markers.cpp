// The whole standard (JBIG_FLAG_FULL_STANDARD): streams of other encoders
// with ATMOVE, SDRST, NEWLEN, unknown heights and comments, and streams put
// together here from the reference encoder for what they lack.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "frame/jpgLib.h"
#include "reference.h"

namespace {

constexpr uint16_t kFull = JBIG_FLAG_FULL_STANDARD;

struct WildEntry {
    std::string file, image;
    uint32_t D;
    std::string markers;
};

std::vector<WildEntry> wildManifest() {
    std::ifstream f(dataPath("wild/MANIFEST.tsv"));
    std::vector<WildEntry> out;
    std::string line, skip;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream s(line);
        WildEntry e;
        s >> e.file >> e.image >> skip >> skip >> e.D >> skip >> skip >> skip >> skip >> skip >> skip >> e.markers;
        out.push_back(e);
    }
    return out;
}

// Header (order 0x08), SDEs and NEWLEN segments where `newlen` puts them:
// after the SDE of that index, naming `height`.
Bytes assemble(const Image &img, const RefOptions &o, uint32_t yd, uint8_t options,
               std::map<size_t, uint32_t> newlen = {}) {
    Bytes s = jbigHeader(img.width, yd, o.L0, uint8_t(o.D), 0x08, options);
    s[16] = 127;  // MX
    std::vector<Bytes> sdes = referenceSdes(img, o);
    for (size_t k = 0; k < sdes.size(); k++) {
        s.insert(s.end(), sdes[k].begin(), sdes[k].end());
        if (newlen.count(k)) s.insert(s.end(), {0xFF, 0x05, uint8_t(newlen[k] >> 24), uint8_t(newlen[k] >> 16),
                                                uint8_t(newlen[k] >> 8), uint8_t(newlen[k])});
    }
    return s;
}

uint8_t optionsOf(const RefOptions &o) {
    return uint8_t(o.two * 0x40 | 0x20 | o.tpdon * 0x10 | o.tpbon * 0x08 | o.dpon * 0x04);
}

}  // namespace

// Every stream of the other encoders decodes to its image with the flag,
// which reports the real height; without it the ones that move the AT
// pixel, reset or set a new height do not all come out right.
TEST(WildStreams, DecodeExactlyWithTheFullStandard) {
    const std::vector<WildEntry> entries = wildManifest();
    ASSERT_EQ(entries.size(), 115u);
    int wrongWithout = 0;
    for (const WildEntry &e : entries) {
        SCOPED_TRACE(e.file);
        const Image img = readPbm(dataPath("wild/" + e.image));
        const Bytes stream = readFile(dataPath("wild/" + e.file));
        MemoryDecoder d(stream, kFull);
        ASSERT_TRUE(d.ok());
        EXPECT_EQ(d.opts.YD, img.height);
        uint32_t w = 0, h = 0;
        EXPECT_EQ(jbigDecodeGetImageSize(d.h, &w, &h, int32_t(e.D)), 0);
        EXPECT_EQ(h, img.height);
        EXPECT_TRUE(decodesTo(d.h, img));
        MemoryDecoder plain(stream);
        wrongWithout += !plain.ok() || !decodesTo(plain.h, img);
    }
    EXPECT_EQ(wrongWithout, 51);
}

// AT moves in every layer and both templates: several in one stripe, back
// to the default place, a row up, past the left edge; with the flag the
// stream decodes, without it the moves are skipped and it does not.
TEST(FullStandard, AtMovesInEveryLayer) {
    const Image img = randomImage(70, 48, 4, 30);
    for (bool two : {true, false}) {
        RefOptions o{2, 3, two, true, true, false};
        o.moves = {{2, 0, 2, 5, 0},  {2, 0, 7, 0, 0},  {2, 0, 9, 17, 0}, {2, 1, 0, 127, 0}, {2, 1, 4, 2, 1},
                   {1, 1, 3, 40, 0}, {1, 2, 5, 1, 0},  {0, 0, 1, 3, 0},   {0, 1, 0, 9, 0},   {0, 2, 2, 70, 0},
                   {0, 3, 1, 1, 2}};
        const Bytes s = assemble(img, o, img.height, optionsOf(o));
        MemoryDecoder d(s, kFull);
        ASSERT_TRUE(d.ok()) << two;
        EXPECT_TRUE(decodesTo(d.h, img)) << two;
        MemoryDecoder plain(s);
        EXPECT_FALSE(decodesTo(plain.h, img)) << two;
    }
}

// SDRST in every layer under DP and TP: the next stripe starts afresh with
// white rows above it and the AT pixel in its place.
TEST(FullStandard, SdrstWithDeterministicPrediction) {
    const Image img = patterned(66, 50, 12);
    RefOptions o{2, 2, true, true, true, true};
    o.resets = {0, 2, 3, 5};
    o.whiteAbove = true;
    o.moves = {{2, 2, 1, 6, 0}, {0, 3, 0, 4, 0}};
    const Bytes s = assemble(img, o, img.height, optionsOf(o));
    MemoryDecoder d(s, kFull);
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(decodesTo(d.h, img));
}

// NEWLEN in a stream with layers: the real height, from a taller one or an
// unknown one; a larger NEWLEN is not taken, and an unknown height without
// NEWLEN is refused.
TEST(FullStandard, NewlenSetsTheHeight) {
    const Image img = randomImage(40, 30, 8, 20);
    RefOptions o{2, 2, true, true, true, false};  // stripes of 8 rows: 4 of them
    for (uint32_t announced : {37u, 0xFFFFFFFFu}) {
        // After the last stripe of the highest layer, before any other.
        const Bytes s = assemble(img, o, announced, optionsOf(o), {{3, 30}});
        MemoryDecoder d(s, kFull);
        ASSERT_TRUE(d.ok()) << announced;
        EXPECT_EQ(d.opts.YD, 30u);
        EXPECT_TRUE(decodesTo(d.h, img)) << announced;
    }
    MemoryDecoder larger(assemble(img, o, 30, optionsOf(o), {{3, 45}}), kFull);
    ASSERT_TRUE(larger.ok());
    EXPECT_EQ(larger.opts.YD, 30u);
    EXPECT_TRUE(decodesTo(larger.h, img));
    EXPECT_FALSE(MemoryDecoder(assemble(img, o, 0xFFFFFFFFu, optionsOf(o)), kFull).ok());
}

// A private table (the built-in one with every third entry left to coding)
// at three layers; DPLAST, and a table cut short, are refused.
TEST(FullStandard, PrivateDeterministicPredictionTable) {
    const Image img = patterned(90, 64, 3);
    std::vector<uint8_t> table[4];
    RefOptions o{2, 4, true, true, true, true};
    Bytes packed(1728, 0);
    JbigContext *ctx = ctxCreate(nullptr, kModeDecoder);
    const uint32_t sizes[4] = {256, 512, 2048, 4096};
    for (uint32_t p = 0, n = 0; p < 4; p++) {
        table[p].assign(ctx->dp[p], ctx->dp[p] + sizes[p]);
        for (uint32_t i = 0; i < table[p].size(); i++, n++) {
            if (n % 3 == 0) table[p][i] = 2;
            packed[n / 4] |= uint8_t(table[p][i] << (6 - 2 * (n % 4)));
        }
        o.dp[p] = table[p].data();
    }
    ctxDestroy(ctx);
    Bytes s = assemble(img, o, img.height, optionsOf(o) | 0x02);
    s.insert(s.begin() + 20, packed.begin(), packed.end());
    MemoryDecoder d(s, kFull);
    ASSERT_TRUE(d.ok());
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
    Bytes s = jbigHeader(30, 40, 10, 0, 0x08, optionsOf(o));
    for (int k = 0; k < 2; k++) s.insert(s.end(), sdes[k].begin(), sdes[k].end());
    s.insert(s.end(), {0xFF, 0x04});
    s.insert(s.end(), sdes[2].begin(), sdes[2].end());
    Image expect = img;
    std::fill(expect.row(20), expect.row(40), 0);
    MemoryDecoder d(s, kFull);
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(decodesTo(d.h, expect));
}
