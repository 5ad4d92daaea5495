// Decoder: streams put together by hand (SDRST between stripes, marker
// segments and reserved markers inside coded data), data embedded in larger
// files, and headers the decoder refuses.
#include <gtest/gtest.h>

#include <set>

#include "frame/jpgLib.h"
#include "reference.h"

namespace {

// Header, stripe data entities and, if wanted, a trailer listing them.
Bytes assemble(const Bytes &header, const std::vector<Bytes> &sdes, bool index) {
    Bytes out(header.begin(), header.begin() + 20);
    StripeEntries entries;
    for (const Bytes &sde : sdes) {
        entries.push_back({uint32_t(out.size()), uint32_t(sde.size())});
        out.insert(out.end(), sde.begin(), sde.end());
    }
    Bytes t = index ? trailerOf(entries) : Bytes();
    out.insert(out.end(), t.begin(), t.end());
    return out;
}

JbigEncodeOptions optionsFor(const Image &img, uint32_t L0, bool two, bool tp, uint16_t flags = 0) {
    JbigEncodeOptions o = defaultOptions(img, 0, flags, L0);
    o.LRLTWO = two;
    o.TPBON = tp;
    return o;
}

// A position inside the coded bytes of `sde` from `from` on that does not
// split an 0xFF 0x00 pair.
size_t codedGap(const Bytes &sde, size_t from) {
    size_t p = std::max<size_t>(from, 1);
    while (p < sde.size() - 2 && sde[p - 1] == 0xFF) p++;
    return p;
}

void insertAt(Bytes &sde, size_t at, const Bytes &what) {
    sde.insert(sde.begin() + long(at), what.begin(), what.end());
}

}  // namespace

// Stripes that end with SDRST: the next stripe must start from fresh states
// and LNTP(previous) = 1, while its templates still see the lines above.
TEST(LowestLayer, SdrstRestartsStatesAndTypicalPrediction) {
    Image img = patterned(45, 50, 77);
    // Stripes of 6 lines: stripes 1 and 6 end on a typical line (a copy of the
    // one above), stripe 3 on a coded one.
    const std::set<uint32_t> resets = {1, 3, 6};
    for (uint32_t y : {11u, 41u}) ASSERT_TRUE(std::equal(img.row(y), img.row(y) + img.rowBytes(), img.row(y - 1)));
    for (int v = 0; v < 4; v++) {
        bool two = v & 1, tp = v & 2;
        SCOPED_TRACE(v);
        Bytes header = encodeToMemory(img, optionsFor(img, 6, two, tp, JBIG_FLAG_NO_PATINFO));
        std::vector<Bytes> sdes = referenceSdes(img, {0, 6, two, tp, false, false, resets});
        for (bool index : {false, true}) {
            MemoryDecoder d(assemble(header, sdes, index));
            ASSERT_TRUE(d.ok());
            EXPECT_EQ(bool(d.opts.flags & JBIG_FLAG_PATINFO_MISSING), !index);
            EXPECT_TRUE(decodesTo(d.h, img));
        }
        // The same data read as SDNORM-ended does not give the image back,
        // so the restart is what made it decode.
        for (uint32_t s : resets) sdes[s].back() = 0x02;
        MemoryDecoder d(assemble(header, sdes, false));
        EXPECT_FALSE(decodesTo(d.h, img));
    }
}

// COMMENT and ATMOVE segments inside coded data are skipped, and ESC 0x08
// stands for one 0 byte; none of them changes the image.
TEST(LowestLayer, MarkerSegmentsInsideCodedData) {
    Image img = randomImage(200, 80, 21, 30);
    const Bytes stream = encodeToMemory(img, optionsFor(img, 20, true, true));
    std::vector<Bytes> sdes;
    for (auto [offset, length] : trailerEntries(stream, 4))
        sdes.emplace_back(stream.begin() + offset, stream.begin() + offset + length);
    ASSERT_EQ(sdes.size(), 4u);
    const std::vector<Bytes> plain = sdes;

    // Scannable ones: a COMMENT (its body full of marker-like bytes) in the
    // middle, an ATMOVE before any data, an empty COMMENT.
    insertAt(sdes[0], codedGap(sdes[0], sdes[0].size() / 2), {0xFF, 0x07, 0, 0, 0, 5, 0xFF, 0x02, 0xFF, 0x03, 0x00});
    insertAt(sdes[1], 0, {0xFF, 0x06, 0, 0, 0, 0, 4, 0});
    insertAt(sdes[2], codedGap(sdes[2], 10), {0xFF, 0x07, 0, 0, 0, 0});
    {
        MemoryDecoder d(assemble(stream, sdes, false));
        ASSERT_TRUE(d.ok());
        StripeEntries table = decoderStripeTable(d.h);
        ASSERT_EQ(table.size(), 4u);
        EXPECT_EQ(table[0].second, plain[0].size() + 11);
        EXPECT_EQ(table[1].second, plain[1].size() + 8);
        EXPECT_EQ(table[2].second, plain[2].size() + 6);
        EXPECT_TRUE(decodesTo(d.h, img));
    }

    // A scan cannot measure an ATMOVE after coded data or a reserved marker:
    // these need the trailer.
    insertAt(sdes[1], codedGap(sdes[1], sdes[1].size() / 3), {0xFF, 0x06, 0, 0, 0, 9, 0xFF, 0x00});
    Bytes &last = sdes[3];
    size_t zero = 1;
    while (zero < last.size() - 2 && (last[zero] != 0 || last[zero - 1] == 0xFF)) zero++;
    ASSERT_LT(zero, last.size() - 2) << "no 0x00 byte to stand in for";
    last[zero] = 0xFF;
    last.insert(last.begin() + long(zero) + 1, 0x08);
    MemoryDecoder d(assemble(stream, sdes, true));
    ASSERT_TRUE(d.ok());
    EXPECT_FALSE(d.opts.flags & JBIG_FLAG_PATINFO_MISSING);
    EXPECT_TRUE(decodesTo(d.h, img));
}

// Data at an offset inside a larger file: with its length, or to the end of
// the file (then the trailer is found only when nothing follows it).
TEST(DecoderSources, EmbeddedData) {
    TempDir dir;
    Image img = patterned(90, 40, 8);
    const Bytes stream = encodeToMemory(img, optionsFor(img, 9, true, true));
    auto embed = [&](const std::string &name, size_t after) {
        Bytes f(100 + stream.size() + after, 0xEE);
        std::fill(f.begin(), f.begin() + 100, 0x77);
        std::copy(stream.begin(), stream.end(), f.begin() + 100);
        writeFile(dir.file(name), f);
        return dir.file(name);
    };
    const std::string tight = embed("tight.bin", 0), loose = embed("loose.bin", 300);
    struct Case {
        std::string path;
        uint32_t length;
        bool scanned;
    } cases[] = {{tight, 0, false}, {loose, 0, true}, {loose, uint32_t(stream.size()), false}};
    for (const Case &c : cases) {
        FileDecoder d(c.path, JBIG_FLAG_DATA_OFFSET, 100, c.length);
        ASSERT_TRUE(d.ok());
        EXPECT_EQ(bool(d.opts.flags & JBIG_FLAG_PATINFO_MISSING), c.scanned) << c.path << " " << c.length;
        EXPECT_EQ(decoderStripeTable(d.h).front().first, 120u);
        EXPECT_TRUE(decodesTo(d.h, img));
    }
    EXPECT_FALSE(FileDecoder(tight, JBIG_FLAG_DATA_OFFSET, uint32_t(stream.size()) + 101, 0).ok());
}

TEST(DecoderProlog, RefusesWhatItCannotDecode) {
    const long live = liveBlocks();
    Image img = patterned(16, 8, 3);
    const Bytes good = encodeToMemory(img, optionsFor(img, 8, true, true, JBIG_FLAG_NO_PATINFO));
    auto opens = [&](std::initializer_list<std::pair<size_t, Bytes>> patches) {
        Bytes s = good;
        for (auto &[at, value] : patches) std::copy(value.begin(), value.end(), s.begin() + long(at));
        return MemoryDecoder(s).ok();
    };
    EXPECT_TRUE(opens({}));
    EXPECT_FALSE(opens({{0, {1}}}));                                     // DL
    EXPECT_FALSE(opens({{2, {0}}}));                                     // P
    EXPECT_FALSE(opens({{2, {2}}}));                                     // P
    EXPECT_FALSE(opens({{4, {0, 0, 0, 0}}}));                            // XD
    EXPECT_FALSE(opens({{8, {0, 0, 0, 0}}}));                            // YD
    EXPECT_FALSE(opens({{12, {0, 0, 0, 0}}}));                           // L0
    EXPECT_FALSE(opens({{1, {32}}}));                                    // L0 << D past 32 bits
    EXPECT_FALSE(opens({{4, {0x40, 0, 0, 0}}}));                         // a raster above 1 GiB
    EXPECT_TRUE(opens({{8, {0, 0, 0x7F, 0xFF}}, {12, {0, 0, 0, 1}}}));   // 32767 stripes
    EXPECT_FALSE(opens({{8, {0, 0, 0x80, 0x00}}, {12, {0, 0, 0, 1}}}));  // 32768 stripes
    EXPECT_EQ(liveBlocks(), live);

    // A flag of the library's, file offsets on memory input, a length past the block.
    EXPECT_FALSE(MemoryDecoder(good, 0x0001).ok());
    EXPECT_FALSE(MemoryDecoder(good, JBIG_FLAG_DATA_OFFSET).ok());
    {
        GlobalBlock block(good);
        JbigDecodeOptions o{};
        o.flags = JBIG_FLAG_MEMORY, o.inHandle = block.handle, o.inLength = uint32_t(good.size() + 1);
        EXPECT_EQ(jbigDecodeProlog(nullptr, &o), JBIG_INVALID_HANDLE);
    }
    EXPECT_EQ(jbigDecodeProlog(nullptr, nullptr), JBIG_INVALID_HANDLE);
    TempDir dir;
    EXPECT_FALSE(FileDecoder(dir.file("missing.jbg")).ok());
    EXPECT_FALSE(FileDecoder(dir.file(std::string(260, 'x'))).ok());
    EXPECT_FALSE(FileDecoder(dir.path).ok());  // a directory
    EXPECT_EQ(liveBlocks(), live);
}
