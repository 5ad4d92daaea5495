// The stripe index: adding and removing it in files.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/harness.h"
#include "support.h"

// An encoder's file loses exactly its trailer and gets it back, in place
// too; refusals (nothing to add or remove, removal in place, missing or
// unnameable files) write nothing. The fuzz target's step checks the
// inverses; here they run on an encoder's file and on its bare copy.
TEST(PatInfoFiles, RemovingAndAddingRestoresTheEncoderFile) {
    const long live = liveBlocks();
    TempDir dir;
    const std::string a = dir.file("a.jbg"), b = dir.file("b.jbg"), c = dir.file("c.jbg"), x = dir.file("x.jbg");
    Image img = patterned(70, 45, 1);
    JbigEncodeOptions o = defaultOptions(img, 0, 0, 10);
    ASSERT_TRUE(encodeToFile(img, o, a));
    const Bytes full = readFile(a);
    EXPECT_EQ(jbigDelPatInfo(b.c_str(), a.c_str()), 0);
    const Bytes bare = readFile(b);
    ASSERT_EQ(bare.size(), full.size() - (10 + 8 * 5));
    writeFile(c, Bytes(3 * full.size(), 0x33));  // replaced, not appended to
    EXPECT_EQ(jbigAddPatInfo(c.c_str(), b.c_str()), 0);
    EXPECT_EQ(readFile(c), full);
    EXPECT_EQ(readFile(b), bare);  // the source is left alone
    for (const Bytes *s : {&full, &bare})
        EXPECT_TRUE(harness::patInfoFiles(dir.path, s->data(), s->size())) << harness::failure();

    EXPECT_EQ(jbigAddPatInfo(x.c_str(), a.c_str()), -1);  // already indexed
    EXPECT_EQ(jbigDelPatInfo(x.c_str(), b.c_str()), -1);  // nothing to remove
    EXPECT_EQ(jbigDelPatInfo(a.c_str(), a.c_str()), -1);  // in place is not offered
    EXPECT_EQ(jbigAddPatInfo(x.c_str(), dir.file("missing").c_str()), -1);
    EXPECT_EQ(jbigDelPatInfo(x.c_str(), dir.file("missing").c_str()), -1);
    const std::string tooLong = dir.file(std::string(256, 'n'));
    EXPECT_EQ(jbigAddPatInfo(tooLong.c_str(), b.c_str()), -1);
    EXPECT_EQ(jbigDelPatInfo(tooLong.c_str(), a.c_str()), -1);
    EXPECT_EQ(jbigAddPatInfo(dir.file("no/such/dir").c_str(), b.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(x));
    EXPECT_EQ(readFile(a), full);
    EXPECT_EQ(liveBlocks(), live);
}

// SEQ with SMID names no stripe order a scan could follow; a trailer makes
// the order bits irrelevant.
TEST(StripeIndex, OrderBitsMatterOnlyWithoutTrailer) {
    Image img = patterned(70, 45, 1);
    for (uint8_t order : {0x05, 0x07, 0x0D}) {
        for (uint16_t flags : {uint16_t(0), uint16_t(JBIG_FLAG_NO_PATINFO)}) {
            JbigEncodeOptions o = defaultOptions(img, 0, flags, 10);
            Bytes s = encodeToMemory(img, o);
            s[18] = order;
            MemoryDecoder d(s);
            EXPECT_EQ(d.ok(), !flags) << int(order);
            EXPECT_TRUE(flags || (d.opts.SEQ && d.opts.SMID && decodesTo(d.h, img))) << int(order);
        }
    }
}
