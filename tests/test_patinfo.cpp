// The stripe index: adding and removing it in files, reading it back or
// scanning for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "support.h"

namespace {

bool exists(const std::string &path) { return std::filesystem::exists(path); }

}  // namespace

TEST(PatInfoFiles, RemovingAndAddingRestoresTheEncoderFile) {
    const long live = liveBlocks();
    TempDir dir;
    const std::string a = dir.file("a.jbg"), b = dir.file("b.jbg"), c = dir.file("c.jbg"), x = dir.file("x.jbg");
    Image img = patterned(70, 45, 1);
    JbigEncodeOptions o = defaultOptions(img, 0, 0);
    o.L0 = 10;
    ASSERT_TRUE(encodeToFile(img, o, a));
    const Bytes full = readFile(a);

    EXPECT_EQ(jbigDelPatInfo(b.c_str(), a.c_str()), 0);
    const Bytes bare = readFile(b);
    ASSERT_EQ(bare.size(), full.size() - (10 + 8 * 5));
    EXPECT_TRUE(std::equal(bare.begin(), bare.end(), full.begin()));

    writeFile(c, Bytes(3 * full.size(), 0x33));  // replaced, not appended to
    EXPECT_EQ(jbigAddPatInfo(c.c_str(), b.c_str()), 0);
    EXPECT_EQ(readFile(c), full);
    EXPECT_EQ(readFile(b), bare);  // the source is left alone
    EXPECT_EQ(jbigDelPatInfo(c.c_str(), a.c_str()), 0);
    EXPECT_EQ(readFile(c), bare);
    EXPECT_EQ(jbigAddPatInfo(b.c_str(), b.c_str()), 0);
    EXPECT_EQ(readFile(b), full);

    // Refusals write nothing.
    EXPECT_EQ(jbigAddPatInfo(x.c_str(), a.c_str()), -1);  // already indexed
    EXPECT_FALSE(exists(x));
    EXPECT_EQ(jbigDelPatInfo(b.c_str(), a.c_str()), 0);
    EXPECT_EQ(jbigDelPatInfo(x.c_str(), b.c_str()), -1);  // nothing to remove
    EXPECT_FALSE(exists(x));
    EXPECT_EQ(jbigDelPatInfo(a.c_str(), a.c_str()), -1);  // in place is not offered
    EXPECT_EQ(readFile(a), full);
    EXPECT_EQ(jbigAddPatInfo(x.c_str(), dir.file("missing").c_str()), -1);
    EXPECT_EQ(jbigDelPatInfo(x.c_str(), dir.file("missing").c_str()), -1);
    EXPECT_FALSE(exists(x));
    const std::string tooLong = dir.file(std::string(256, 'n'));
    EXPECT_EQ(jbigAddPatInfo(tooLong.c_str(), b.c_str()), -1);
    EXPECT_EQ(jbigDelPatInfo(tooLong.c_str(), a.c_str()), -1);
    EXPECT_EQ(jbigAddPatInfo(dir.file("no/such/dir").c_str(), b.c_str()), -1);
    EXPECT_EQ(liveBlocks(), live);
}

TEST(StripeIndex, TrailerCutByOneByteIsScanned) {
    Image img = patterned(70, 45, 1);
    JbigEncodeOptions o = defaultOptions(img, 0);
    o.L0 = 10;
    Bytes s = encodeToMemory(img, o);
    const StripeEntries index = trailerEntries(s, 5);
    ASSERT_EQ(index.size(), 5u);
    s.pop_back();
    MemoryDecoder d(s);
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(d.opts.flags & JBIG_FLAG_PATINFO_MISSING);
    EXPECT_EQ(decoderStripeTable(d.h), index);
    EXPECT_TRUE(decodesTo(d.h, img));
}

// SEQ with SMID names no stripe order a scan could follow; a trailer makes
// the order bits irrelevant.
TEST(StripeIndex, OrderBitsMatterOnlyWithoutTrailer) {
    Image img = patterned(70, 45, 1);
    for (uint8_t order : {0x05, 0x07, 0x0D}) {
        for (uint16_t flags : {uint16_t(0), uint16_t(JBIG_FLAG_NO_PATINFO)}) {
            JbigEncodeOptions o = defaultOptions(img, 0, flags);
            o.L0 = 10;
            Bytes s = encodeToMemory(img, o);
            s[18] = order;
            MemoryDecoder d(s);
            if (flags) {
                EXPECT_FALSE(d.ok()) << int(order);
            } else {
                ASSERT_TRUE(d.ok()) << int(order);
                EXPECT_TRUE(d.opts.SEQ && d.opts.SMID);
                EXPECT_TRUE(decodesTo(d.h, img));
            }
        }
    }
}
