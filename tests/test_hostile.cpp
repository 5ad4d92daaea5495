// Hostile streams: headers announcing huge images, stripes full of marker
// segments, indexes whose stripes overlap, and the inputs the fuzz targets
// found, replayed through the targets' own steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "fuzz/harness.h"
#include "platform/testhooks.h"
#include "support.h"

namespace {

#if defined(ZELJBIG_HAVE_TESTHOOKS)

// Opens `stream` from a file and decodes its top layer; the ReadFile calls
// this took, or -1 when it could not be opened or decoded.
long readsToDecode(const TempDir &dir, const Bytes &stream) {
    const std::string path = dir.file("hostile.jbg");
    writeFile(path, stream);
    const long before = zjReadCount();
    FileDecoder dec(path);
    if (!dec.ok()) return -1;
    HGLOBAL dib = jbigDecodeToWinDIB(dec.h, jbigDecodeGetMaxLayer(dec.h));
    if (dib == reinterpret_cast<HGLOBAL>(~uintptr_t(0))) return -1;
    GlobalFree(dib);
    return zjReadCount() - before;
}

// Bytes the prolog allocated at its peak, opening `stream` from memory.
size_t prologPeak(const Bytes &stream, bool *opened) {
    GlobalBlock block(stream);
    JbigDecodeOptions o{};
    o.flags = JBIG_FLAG_MEMORY;
    o.inHandle = block.handle;
    o.inLength = uint32_t(stream.size());
    const size_t base = zjLiveBytes();
    zjResetPeak();
    JbigHandle h = jbigDecodeProlog(nullptr, &o);
    const size_t peak = zjPeakBytes() - base;
    *opened = h != JBIG_INVALID_HANDLE;
    if (*opened) jbigDecodeEpilog(h);
    return peak;
}

// A stripe that ends at once, so that only the header can be refused.
const Bytes kStripe = {0x00, 0xFF, 0x02};

Bytes withStripe(Bytes h) {
    h.insert(h.end(), kStripe.begin(), kStripe.end());
    return h;
}

// Huge headers are refused before allocating, from memory and from a file.
// The limit: (YD + 1) rows of ((XD + 15) / 8 + 5) & ~3 bytes and a row
// address of 8 bytes, and under differential layers a work line of 2 bytes
// per pixel of the layer below, at most 1 GiB. Opening allocates little.
TEST(HostileHeaders, RasterLimitIsOneGibibyte) {
    const long live = liveBlocks();
    TempDir dir;
    bool opened;
    for (const Bytes &h : {jbigHeader(100000, 100000, 100000), jbigHeader(100000, 100000, 128),  // 1.25 GB of raster
                           jbigHeader(1, 0x80000000u, 0x80000000u), jbigHeader(1, 0x80000000u, 0x20000),  // 2^31 rows
                           jbigHeader(0xFFFFFFF0u, 0xFFFFFFF0u, 0xFFFFFFF0u)}) {
        for (const Bytes &s : {h, withStripe(h)}) {
            EXPECT_LT(prologPeak(s, &opened), size_t(64) << 10);
            EXPECT_FALSE(opened);
            JbigDecodeOptions o{};
            writeFile(dir.file("huge.jbg"), s);
            EXPECT_EQ(jbigDecodeProlog(dir.file("huge.jbg").c_str(), &o), JBIG_INVALID_HANDLE);
        }
    }
    EXPECT_EQ(liveBlocks(), live);
    // 32 pixels: rows of 8 + 8 bytes, 2^26 of them fill 1 GiB.
    EXPECT_LT(prologPeak(withStripe(jbigHeader(32, (1u << 26) - 1, 1u << 26)), &opened), size_t(64) << 10);
    EXPECT_TRUE(opened);
    prologPeak(withStripe(jbigHeader(32, 1u << 26, 1u << 26)), &opened);
    EXPECT_FALSE(opened);
    // Two rows of 2^30 - 64 pixels take 256 MB; their work line would add 1 GiB.
    prologPeak(withStripe(jbigHeader((1u << 30) - 64, 1, 1, 0)), &opened);
    EXPECT_TRUE(opened);
    prologPeak(withStripe(jbigHeader((1u << 30) - 64, 1, 1, 1)), &opened);
    EXPECT_FALSE(opened);
    prologPeak(withStripe(jbigHeader(1u << 29, 1, 1, 1)), &opened);
    EXPECT_TRUE(opened);
    // The largest stripe table a header can then ask for: 12 layers of
    // 32767 stripes, a few megabytes.
    EXPECT_LT(prologPeak(withStripe(jbigHeader(8, 32767u << 11, 1, 11)), &opened), size_t(8) << 20);
    EXPECT_TRUE(opened);
}

// One stripe with 100000 comment segments between its coded bytes decodes
// to the picture, reading the file about once when indexed and twice when
// scanned.
TEST(HostileStreams, StripeOfManyCommentsDecodesInOnePass) {
    const long live = liveBlocks();
    TempDir dir;
    Image img = randomImage(64, 16, 5);
    JbigEncodeOptions o = defaultOptions(img, 0, JBIG_FLAG_MEMORY | JBIG_FLAG_NO_PATINFO, 16);
    const Bytes plain = encodeToMemory(img, o);
    size_t at = 21;
    while (plain[at - 1] == 0xFF) at++;
    ASSERT_LT(at + 2, plain.size());
    Bytes comments;
    for (int i = 0; i < 100000; i++) {
        const bool text = i % 1000 == 0;
        comments.insert(comments.end(), {0xFF, 0x07, 0, 0, 0, uint8_t(text ? 3 : 0)});
        if (text) comments.insert(comments.end(), {'a', 'b', 'c'});
    }
    Bytes scanned(plain.begin(), plain.begin() + long(at));
    scanned.insert(scanned.end(), comments.begin(), comments.end());
    scanned.insert(scanned.end(), plain.begin() + long(at), plain.end());
    Bytes indexed = scanned;
    const Bytes one = trailerOf({{20, uint32_t(scanned.size() - 20)}});
    indexed.insert(indexed.end(), one.begin(), one.end());

    for (const Bytes *s : {&scanned, &indexed}) {
        MemoryDecoder dec(*s);
        ASSERT_TRUE(dec.ok());
        EXPECT_EQ((dec.opts.flags & JBIG_FLAG_PATINFO_MISSING) != 0, s == &scanned);
        EXPECT_TRUE(decodesTo(dec.h, img));
        const long blocks = long(s->size() / 4096) + 1;
        EXPECT_LE(readsToDecode(dir, *s), (s == &scanned ? 2 : 1) * blocks + 8);
    }
    EXPECT_EQ(liveBlocks(), live);
}

// Stripes that all begin at one long run of marker segments: each would
// walk the whole run. A layer's stripes skip no more marker bytes in total
// than the data holds, so the reads stay about one per stripe.
TEST(HostileStreams, StripesSharingMarkersAreNotQuadratic) {
    TempDir dir;
    const uint32_t stripes = 20000;
    // Through an index: every stripe is the same 48 KB of empty comments.
    Bytes shared = jbigHeader(8, stripes, 1);
    for (int i = 0; i < 8000; i++) shared.insert(shared.end(), {0xFF, 0x07, 0, 0, 0, 0});
    shared.insert(shared.end(), {0x00, 0xFF, 0x02});
    const Bytes all = trailerOf(StripeEntries(stripes, {20, uint32_t(shared.size() - 20)}));
    shared.insert(shared.end(), all.begin(), all.end());
    // Through the scan: ESC ATMOVE after coded data ends a measured stripe
    // after two bytes, and the next one begins among its parameters; each
    // parameter set hides a further ATMOVE, so the decoder of every stripe
    // finds a chain of them running to the end.
    Bytes chain = jbigHeader(8, stripes, 1);
    chain.push_back(0x00);
    for (uint32_t i = 0; i < stripes / 2; i++) chain.insert(chain.end(), {0xFF, 0x06, 0x00, 0xFF, 0x06, 0, 0, 0});
    for (const Bytes *s : {&shared, &chain}) {
        const long reads = readsToDecode(dir, *s);
        EXPECT_GT(reads, 0);
        EXPECT_LT(reads, long(2 * stripes));
    }
}

// A region running past the end of a short file whose header announces
// many stripes: once the data has ended the scan reads no more.
TEST(HostileStreams, ScanStopsReadingAtTheEndOfTheData) {
    TempDir dir;
    writeFile(dir.file("short.jbg"), withStripe(jbigHeader(8, 32767, 1)));
    const long before = zjReadCount();
    FileDecoder dec(dir.file("short.jbg"), JBIG_FLAG_DATA_OFFSET, 0, 1000);
    ASSERT_TRUE(dec.ok());
    EXPECT_TRUE(dec.opts.flags & JBIG_FLAG_PATINFO_MISSING);
    EXPECT_LT(zjReadCount() - before, 10);
}
#endif

// Every input a fuzz target found, through that target's steps.
TEST(HostileStreams, FuzzFindingsReplay) {
    TempDir dir;
    std::vector<std::string> files;
    for (const auto &e : std::filesystem::directory_iterator(dataPath("regress"))) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    for (const std::string &path : files) {
        SCOPED_TRACE(path);
        Bytes in;
        ASSERT_TRUE(harness::readFile(path, &in));
        const long live = liveBlocks();
        if (path.find("roundtrip-") != std::string::npos) {
            EXPECT_TRUE(harness::roundTrip(in.data(), in.size())) << harness::failure();
        } else {
            EXPECT_TRUE(harness::decodeMemory(in.data(), in.size())) << harness::failure();
            EXPECT_TRUE(harness::decodeFile(dir.file("in.jbg"), in.data(), in.size())) << harness::failure();
            EXPECT_TRUE(harness::patInfoFiles(dir.path, in.data(), in.size())) << harness::failure();
            EXPECT_TRUE(harness::streamDecode(in.data(), in.size())) << harness::failure();
        }
        EXPECT_EQ(liveBlocks(), live);
    }
}

}  // namespace
