// Failures and hostile input: every allocation and every write made to fail
// in turn, truncated and damaged streams, and coders on several threads.
#include <gtest/gtest.h>

#include <thread>

#include "fuzz/harness.h"
#include "platform/testhooks.h"
#include "support.h"

namespace {

const auto kFailDib = reinterpret_cast<HGLOBAL>(~uintptr_t(0));

#if defined(ZELJBIG_HAVE_TESTHOOKS)
// One encoder run from prolog to epilog that stops coding at the first
// failing step (0 prolog, 1 data, 2 encode, 3 epilog; 4: none failed).
// `marks` gets the counter after each step, counted from the start.
struct EncoderRun {
    int failed = 0;
    long marks[4] = {};
    Bytes out;
};

EncoderRun runEncoder(const Image &img, JbigEncodeOptions o, const std::string &path, long (*counter)()) {
    EncoderRun r;
    const long base = counter();
    const bool memory = path.empty();
    o.flags = memory ? uint16_t(o.flags | JBIG_FLAG_MEMORY) : uint16_t(o.flags & ~JBIG_FLAG_MEMORY);
    JbigHandle h = jbigEncodeProlog(memory ? nullptr : path.c_str(), &o);
    JbigImageInfo info = img.info();
    bool ok[4] = {h != JBIG_INVALID_HANDLE};
    r.marks[0] = counter() - base;
    if (ok[0]) {
        ok[1] = jbigEncodeSetOrgDataFromRect(h, &info) == 0;
        r.marks[1] = counter() - base;
        ok[2] = ok[1] && jbigEncode(h) == 0;
        r.marks[2] = counter() - base;
        ok[3] = jbigEncodeEpilog(h) == 0;
        r.marks[3] = counter() - base;
        EXPECT_TRUE(!ok[3] || ok[2]) << "epilog after a failed step";
    }
    r.failed = int(std::find(ok, ok + 4, false) - ok);
    if (memory && ok[0]) {
        EXPECT_EQ(o.outData == nullptr && o.outLength == 0, !ok[3]) << "memory output after a failure";
        if (ok[3]) r.out.assign(o.outData, o.outData + o.outLength);
        HeapFree(GetProcessHeap(), 0, o.outData);
    } else if (ok[3]) {
        r.out = readFile(path);
    }
    return r;
}

// Fails the k-th allocation (or write) for every k a successful run makes
// and checks that exactly the step that made it fails and nothing leaks.
void sweepEncoder(const std::string &path, bool writes) {
    Image img = randomImage(400, 300, 17, 40);
    JbigEncodeOptions o = defaultOptions(img, 0, JBIG_FLAG_MEMORY, 37);
    long (*counter)() = writes ? zjWriteCount : zjAllocCount;
    void (*failAt)(long) = writes ? zjFailWriteAt : zjFailAllocAt;
    const long live = liveBlocks();
    const EncoderRun good = runEncoder(img, o, path, counter);
    ASSERT_EQ(good.failed, 4);
    ASSERT_GT(good.out.size(), 3 * 4096u) << "the page should span several output blocks";
    for (long k = 1; k <= good.marks[3]; k++) {
        int expect = 0;
        while (k > good.marks[expect]) expect++;
        failAt(k);
        EncoderRun r = runEncoder(img, o, path, counter);
        failAt(0);
        EXPECT_EQ(r.failed, expect) << (writes ? "write " : "allocation ") << k;
        EXPECT_EQ(liveBlocks(), live) << (writes ? "write " : "allocation ") << k;
    }
    EXPECT_EQ(runEncoder(img, o, path, counter).out, good.out);
}

#endif

}  // namespace

// Failures made to order exist only over the stand-in platform layer.
#if defined(ZELJBIG_HAVE_TESTHOOKS)
TEST(FailureSweep, EncoderToMemoryAllocations) { sweepEncoder("", false); }

TEST(FailureSweep, EncoderToFile) {
    TempDir dir;
    sweepEncoder(dir.file("out.jbg"), false);
    sweepEncoder(dir.file("out.jbg"), true);
}

// The decoder's allocations fail in turn: the prolog or the decode step
// reports it, and the epilog releases the rest.
TEST(FailureSweep, DecoderAllocations) {
    TempDir dir;
    Image img = patterned(200, 90, 5);
    const Bytes stream = encodeToMemory(img, defaultOptions(img, 0, JBIG_FLAG_MEMORY, 16));
    writeFile(dir.file("in.jbg"), stream);
    const long live = liveBlocks();
    for (bool memory : {true, false}) {
        for (long k = 1;; k++) {
            GlobalBlock block(stream);
            JbigDecodeOptions d{};
            d.flags = memory ? JBIG_FLAG_MEMORY : 0;
            d.inHandle = block.handle;
            d.inLength = uint32_t(stream.size());
            zjFailAllocAt(k);
            JbigHandle h = jbigDecodeProlog(memory ? nullptr : dir.file("in.jbg").c_str(), &d);
            HGLOBAL dib = kFailDib;
            if (h != JBIG_INVALID_HANDLE) {
                dib = jbigDecodeToWinDIB(h, 0);
                if (dib != kFailDib) GlobalFree(dib);
            }
            zjFailAllocAt(0);
            const bool done = dib != kFailDib;
            JbigImageInfo info;
            EXPECT_TRUE(!done || (jbigDecodeGetImageAddress(h, &info) == &info && imageFrom(info) == img)) << k;
            EXPECT_TRUE(h == JBIG_INVALID_HANDLE || jbigDecodeEpilog(h) == 0) << "allocation " << k;
            EXPECT_EQ(liveBlocks(), live + 1) << "allocation " << k;  // + the input block
            if (done) break;
            ASSERT_LT(k, 50);
        }
    }
}
#endif

// Every cut of a small stream, from memory and as a file whole and in
// regions, through the fuzz targets' steps: refused or decoded completely,
// nothing left allocated. Cut only in its trailer, the stream is scanned
// and gives the image.
TEST(HostileInput, EveryTruncationOfASmallStream) {
    TempDir dir;
    const long live = liveBlocks();
    Image img = patterned(45, 30, 4);
    for (uint16_t flags : {uint16_t(0), uint16_t(JBIG_FLAG_NO_PATINFO)}) {
        JbigEncodeOptions o = defaultOptions(img, 0, flags, 7);
        const Bytes whole = encodeToMemory(img, o);
        const size_t data = whole.size() - (flags ? 0 : 10 + 8 * 5);
        for (size_t n = 0; n <= whole.size(); n++) {
            const Bytes s(whole.begin(), whole.begin() + long(n));
            if (n >= data) {
                MemoryDecoder d(s);
                EXPECT_TRUE(d.ok() && decodesTo(d.h, img)) << n;
            }
            EXPECT_TRUE(harness::decodeMemory(s.data(), s.size())) << n << " bytes: " << harness::failure();
            EXPECT_TRUE(harness::decodeFile(dir.file("cut.jbg"), s.data(), s.size())) << n << " bytes: " << harness::failure();
            EXPECT_EQ(liveBlocks(), live) << n << " bytes";
        }
    }
}

// Coding state lives in each handle: four threads coding different images
// at once get the bytes and images of coding them one after another.
TEST(Threads, ConcurrentHandlesMatchSequentialCoding) {
    std::vector<Image> imgs;
    std::vector<JbigEncodeOptions> opts;
    std::vector<Bytes> expect;
    for (uint32_t i = 0; i < 4; i++) {
        imgs.push_back(patterned(300 + 97 * i, 200 + 31 * i, 100 + i));
        opts.push_back(defaultOptions(imgs[i], 0, JBIG_FLAG_MEMORY, 20 + 30 * i));
        opts[i].LRLTWO = i & 1;
        opts[i].TPBON = (i >> 1) & 1;
        expect.push_back(encodeToMemory(imgs[i], opts[i]));
    }
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 4; i++)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 6; round++) {
                const Bytes s = encodeToMemory(imgs[i], opts[i]);
                Image out;
                failures[i] += s.empty() || s != expect[i] || !decodeMemory(s, &out) || !(out == imgs[i]);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
