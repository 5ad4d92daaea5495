// The steps of the fuzz targets, shared with the regression tests that replay
// their findings. Each step returns false when the library breaks one of its
// promises; leaks are checked by the callers, which own the counters.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "zeljbig.h"

namespace harness {

// Rasters above this many pixels are opened and queried but not decoded:
// the library accepts up to 1 GiB, and a fuzzing loop needs thousands of
// inputs a second. Size-dependent paths are reached with small pictures too.
constexpr uint64_t kMaxDecodePixels = uint64_t(1) << 12;

// What the last failed step found wrong.
inline const char *&failure() {
    static const char *why = "";
    return why;
}
inline bool fail(const char *why) {
    failure() = why;
    return false;
}

inline uint32_t dibLineBytes(uint32_t width) { return ((width + 31) / 32) * 4; }

// Queries an open decoder and decodes every layer through the DIB-bits form.
// Damaged data never fails decoding, so every layer must come out complete.
inline bool exerciseDecoder(JbigHandle h, const JbigDecodeOptions &o) {
    // Of data cut short the whole standard names the highest complete layer.
    const int32_t D = o.D, top = jbigDecodeGetMaxLayer(h);
    if (top != D && !((o.flags & JBIG_FLAG_FULL_STANDARD) && top >= 0 && top < D))
        return fail("maximum layer differs from the header");
    uint32_t w = 0, ht = 0;
    for (int32_t k = -2; k <= D + 1; k++) {
        int32_t r = jbigDecodeGetImageSize(h, &w, &ht, k);
        if ((r == 0) != (k >= 0 && k <= D)) return fail("layer size query");
        if (r == 0 && (w == 0 || ht == 0)) return fail("empty layer");
    }
    if (jbigDecodeGetImageSize(h, &w, &ht, D) != 0 || w != o.XD || ht != o.YD) return fail("top layer size");
    JbigImageInfo info;
    if (jbigDecodeGetImageAddress(h, &info) != reinterpret_cast<JbigImageInfo *>(~uintptr_t(0)))
        return fail("a raster before decoding");
    if (jbigDecodeGetDecodedBytes(h) != 0) return fail("decoded bytes before decoding");
    if (uint64_t(w) * ht > kMaxDecodePixels) return true;

    BITMAPINFO header[2];
    std::vector<uint8_t> bits;
    // Every plane (a few of many), each from its lowest layer up.
    if (zeljbigDecodeSelectPlane(h, o.P) != -1) return fail("a plane past the last");
    for (uint32_t plane = 0; plane < o.P && plane < 4; plane++) {
    if (zeljbigDecodeSelectPlane(h, plane) != 0) return fail("selecting a plane");
    for (int32_t k = 0; k <= D; k++) {
        if (jbigDecodeToWinDIBits(h, nullptr, header, k) != 0) return fail("DIB header");
        const uint32_t lw = uint32_t(header->bmiHeader.biWidth), lh = uint32_t(header->bmiHeader.biHeight);
        bits.assign(size_t(dibLineBytes(lw)) * lh, 0);
        if (jbigDecodeToWinDIBits(h, bits.data(), header, k) != int32_t(lh)) return fail("decoding a layer");
        if (jbigDecodeGetImageAddress(h, &info) != &info || info.width != lw || info.height != lh)
            return fail("decoded raster");
        // Stored form: nothing right of the last pixel, a zero byte after it.
        const uint32_t n = (lw + 7) / 8;
        const uint8_t pad = uint8_t(0xFF >> (lw & 7 ? lw & 7 : 8));
        for (uint32_t y = 0; y < lh; y++) {
            const uint8_t *row = info.data + size_t(y) * info.bytesPerLine;
            if ((row[n - 1] & pad) != 0 || row[n] != 0) return fail("bits past the last pixel");
        }
        if (jbigDecodeGetDecodedBytes(h) == -1) return fail("decoded bytes");
    }
    // A decoder moves upwards only.
    if (jbigDecodeToWinDIBits(h, bits.data(), header, D) != 0) return fail("decoding a layer again");
    }
    return true;
}

// The whole standard, or not: bit 0 of the header's fill byte, which no
// decoder reads, chooses.
inline uint16_t chosenFlags(const uint8_t *data, size_t size) {
    return size > 3 && (data[3] & 1) ? JBIG_FLAG_FULL_STANDARD : 0;
}

// A decoder on a copy of the bytes in a movable block, which the caller
// frees (null: no memory).
inline JbigHandle openMemory(const uint8_t *data, size_t size, uint16_t flags, HGLOBAL *block, JbigDecodeOptions *o) {
    *block = GlobalAlloc(GMEM_MOVEABLE, size ? size : 1);
    if (*block == nullptr) return JBIG_INVALID_HANDLE;
    if (size) std::memcpy(GlobalLock(*block), data, size);
    GlobalUnlock(*block);
    *o = JbigDecodeOptions{};
    o->flags = JBIG_FLAG_MEMORY | flags;
    o->inHandle = *block;
    o->inLength = uint32_t(size);
    return jbigDecodeProlog(nullptr, o);
}

// A reader on the bytes: refused with a reason, or every complete layer
// decodes, from the top down, and the layers past them are refused.
inline bool readPlainBuffer(const uint8_t *data, size_t size) {
    ZeljbigReader *r = zeljbigOpenMemory(data, size);
    if (r == nullptr) return zeljbigLastError()[0] != '\0' || fail("a refusal without a reason");
    ZeljbigInfo in;
    ZeljbigRaster view;
    bool ok = zeljbigGetInfo(r, &in) == 0 && in.completeLayers >= 1 && in.completeLayers <= in.D + 1;
    if (ok && uint64_t(in.XD) * in.YD <= kMaxDecodePixels)
        for (int32_t k = in.D; ok && k >= 0; k--)
            ok = (zeljbigDecodeView(r, k, 0, &view) == 0) == (k < in.completeLayers) &&
                 (k >= in.completeLayers || view.height != 0);
    zeljbigClose(r);
    return ok || fail("reader");
}

// Target (a): the bytes as a memory block.
inline bool decodeMemory(const uint8_t *data, size_t size) {
    HGLOBAL block;
    JbigDecodeOptions o;
    JbigHandle h = openMemory(data, size, chosenFlags(data, size), &block, &o);
    if (block == nullptr) return fail("no memory");
    bool ok = true;
    if (h != JBIG_INVALID_HANDLE) {
        ok = exerciseDecoder(h, o);
        ok = jbigDecodeEpilog(h) == 0 && ok;
    }
    ok = readPlainBuffer(data, size) && ok;
    return GlobalFree(block) == nullptr && ok;
}

inline bool writeFile(const std::string &path, const uint8_t *data, size_t size) {
    std::ofstream f(path, std::ios::binary);
    if (size) f.write(reinterpret_cast<const char *>(data), std::streamsize(size));  // data may be null when empty
    f.close();
    return !f.fail();
}

inline bool readFile(const std::string &path, std::vector<uint8_t> *out) {
    std::ifstream f(path, std::ios::binary);
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return f.is_open();
}

inline bool fileExists(const std::string &path) { return std::ifstream(path).is_open(); }

// Opens a file, or a region of it; `decode` false stops after the queries.
inline bool decodeRegion(const std::string &path, uint16_t flags, uint32_t offset, uint32_t length,
                         bool decode = true) {
    JbigDecodeOptions o{};
    o.flags = flags;
    o.dataOffset = offset;
    o.dataLength = length;
    JbigHandle h = jbigDecodeProlog(path.c_str(), &o);
    if (h == JBIG_INVALID_HANDLE) return true;
    bool ok = decode ? exerciseDecoder(h, o) : jbigDecodeGetMaxLayer(h) <= o.D && jbigDecodeGetMaxLayer(h) >= 0;
    return jbigDecodeEpilog(h) == 0 && ok;
}

// Target (b): the bytes as a file, whole and as regions (flag 0x0040). The
// first byte places the region's header, the second cuts bytes off its end.
// Regions holding the same bytes as the whole file are only opened.
inline bool decodeFile(const std::string &path, const uint8_t *data, size_t size) {
    if (!writeFile(path, data, size)) return fail("cannot write the file");
    const uint32_t n = uint32_t(size);
    const uint32_t offset = size ? data[0] : 0, cut = size > 1 ? data[1] : 0;
    const uint16_t region = JBIG_FLAG_DATA_OFFSET | chosenFlags(data, size);
    bool ok = decodeRegion(path, chosenFlags(data, size), 0, 0);
    ok = decodeRegion(path, region, offset, 0, offset != 0) && ok;
    if (offset < n && n - offset > cut) ok = decodeRegion(path, region, offset, n - offset - cut, cut != 0) && ok;
    // Regions running past the end of the file.
    if (offset <= n) ok = decodeRegion(path, region, offset, n - offset + 1 + cut) && ok;
    ok = decodeRegion(path, region, offset, 0xFFFFFFFFu) && ok;
    std::remove(path.c_str());
    return ok;
}

// Target (d): the stripe-index operations on the bytes as a file. `dir` is a
// scratch directory of the caller's. Headers asking for an index of more
// than kMaxIndexEntries entries are skipped: writing and comparing megabytes
// of index for every input would slow the target many times over, and the
// same code runs for an index of a few blocks.
constexpr uint64_t kMaxIndexEntries = uint64_t(1) << 11;

inline bool patInfoFiles(const std::string &dir, const uint8_t *data, size_t size) {
    if (size >= 20 && data[1] < 32) {
        const uint64_t height = (uint64_t(data[12]) << 24 | data[13] << 16 | data[14] << 8 | data[15]) << data[1];
        const uint64_t rows = uint64_t(data[8]) << 24 | data[9] << 16 | data[10] << 8 | data[11];
        if (height && (data[1] + 1) * ((rows + height - 1) / height) > kMaxIndexEntries) return true;
    }
    const std::string src = dir + "/src.jbg", added = dir + "/added.jbg", inPlace = dir + "/inplace.jbg",
                      back = dir + "/back.jbg", removed = dir + "/removed.jbg";
    const std::vector<uint8_t> source(data, data + size);
    auto check = [&]() -> bool {
        if (!writeFile(src, data, size) || !writeFile(inPlace, data, size)) return fail("cannot write the file");
        if (jbigDelPatInfo(src.c_str(), src.c_str()) != -1) return fail("removing in place");
        std::vector<uint8_t> a, b;
        // A copy with an index is the source and more; removing it gives the
        // source back and adding in place the same copy. A refusal writes
        // nothing and leaves the source alone.
        const int32_t add = jbigAddPatInfo(added.c_str(), src.c_str());
        const int32_t addInPlace = jbigAddPatInfo(inPlace.c_str(), inPlace.c_str());
        if (add != addInPlace || (add != 0 && (add != -1 || fileExists(added)))) return fail("adding an index");
        if (!readFile(inPlace, &b) || (add == 0 ? !readFile(added, &a) || a != b : b != source))
            return fail("index added in place");
        if (add == 0 && (a.size() <= size || (size && std::memcmp(a.data(), data, size) != 0) ||
                         jbigDelPatInfo(back.c_str(), added.c_str()) != 0 || !readFile(back, &b) || b != source))
            return fail("copy with index");
        const int32_t del = jbigDelPatInfo(removed.c_str(), src.c_str());
        if (del != 0 && (del != -1 || fileExists(removed))) return fail("refused removal left a file");
        if (del == 0 && (add == 0 || !readFile(removed, &b) || b.size() >= size ||
                         (!b.empty() && std::memcmp(b.data(), data, b.size()) != 0)))
            return fail("copy without index");
        return true;
    };
    auto clean = [&] {
        for (const std::string *p : {&src, &added, &inPlace, &back, &removed}) std::remove(p->c_str());
    };
    clean();
    const bool ok = check();
    clean();
    return ok;
}

// Target (c): a small image and coding options taken from the bytes (width,
// height, D, option bits, order bits, L0, band split, then pixels), encoded
// to memory and decoded again: every layer must come back as the encoder
// made it, the top layer equal to the image.
inline bool roundTrip(const uint8_t *data, size_t size) {
    if (size < 7) return true;
    const uint32_t w = 1 + data[0] % 64, ht = 1 + data[1] % 64, D = data[2] % 5;
    const uint8_t opt = data[3], order = data[4];
    JbigEncodeOptions o;
    jbigEncodeCreatDefaultOptions(&o, w, ht, D, JBIG_FLAG_MEMORY);
    if (data[5] != 0) o.L0 = data[5] % 70 + 1;
    o.LRLTWO = opt & 1;
    o.TPBON = (opt >> 1) & 1;
    o.TPDON = (opt >> 2) & 1;
    o.DPON = (opt >> 3) & 1;
    o.MX = (opt >> 5) & 1 ? 0 : 8;
    const bool index = !((opt >> 4) & 1), full = (opt >> 6) & 1;
    if (!index) o.flags |= JBIG_FLAG_NO_PATINFO;
    if (full) {
        // The stripes in the announced order, the AT pixel free to move.
        o.flags |= JBIG_FLAG_FULL_STANDARD;
        o.MX = (opt >> 7) & 1 ? 127 : o.MX;
    }
    if (index || full) {
        // With an index the order bits are only recorded; under the whole
        // standard the stripes follow them (SMID names an order only with
        // one of SEQ and ILEAVE).
        o.HITOLO = order & 1;
        o.SEQ = (order >> 1) & 1;
        o.ILEAVE = (order >> 2) & 1;
        o.SMID = (order >> 3) & 1 && !(full && o.SEQ == o.ILEAVE);
    }
    const uint32_t rowBytes = (w + 7) / 8;
    std::vector<uint8_t> pixels(size_t(rowBytes) * ht, 0);
    for (size_t i = 0; i < pixels.size() && 7 + i < size; i++) pixels[i] = data[7 + i];
    if (w & 7)
        for (uint32_t y = 0; y < ht; y++) pixels[size_t(y) * rowBytes + rowBytes - 1] &= uint8_t(0xFF << (8 - (w & 7)));

    // A layer as its rows' bytes, then its width and height.
    auto take = [](const JbigImageInfo &info) {
        std::vector<uint8_t> l;
        for (uint32_t y = 0; y < info.height; y++) {
            const uint8_t *row = info.data + size_t(y) * info.bytesPerLine;
            l.insert(l.end(), row, row + (info.width + 7) / 8);
        }
        for (uint32_t v : {info.width, info.height}) l.insert(l.end(), {uint8_t(v), uint8_t(v >> 8)});
        return l;
    };
    std::vector<std::vector<uint8_t>> expect(D + 1);
    expect[D] = take(JbigImageInfo{w, ht, rowBytes, 1, 0, 0, pixels.data()});
    const std::vector<uint8_t> top = expect[D];

    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    if (h == JBIG_INVALID_HANDLE) return fail("encoder refused");
    // Rows in two bands, split where the bytes say.
    const uint32_t band = data[6] % (ht + 1);
    JbigImageInfo src{w, band, rowBytes, 1, 0, 0, pixels.data()};
    bool ok = jbigEncodeSetOrgDataFromRect(h, &src) == 0;
    src.height = ht - band;
    src.data = pixels.data() + size_t(band) * rowBytes;
    ok = ok && jbigEncodeSetOrgDataFromRect(h, &src) == 0;
    for (int32_t d = int32_t(D); ok && d >= 0; d--) {
        // After layer d the encoder holds layer d - 1 (layer 0 at the end).
        JbigImageInfo info;
        ok = jbigEncode(h) == 0 && jbigEncodeGetImageAddress(h, &info) == &info;
        if (ok) expect[d > 0 ? d - 1 : 0] = take(info);
    }
    if (jbigEncodeEpilog(h) != 0 || !ok) return fail("encoding");
    std::vector<uint8_t> stream(o.outData, o.outData + o.outLength);
    HeapFree(GetProcessHeap(), 0, o.outData);
    if (expect[D] != top) return fail("encoder's top layer");

    HGLOBAL block;
    JbigDecodeOptions in;
    JbigHandle dec = openMemory(stream.data(), stream.size(), full ? JBIG_FLAG_FULL_STANDARD : 0, &block, &in);
    if (block == nullptr) return fail("no memory");
    ok = dec != JBIG_INVALID_HANDLE || fail("decoder refused the encoder's stream");
    if (ok && ((in.flags & JBIG_FLAG_PATINFO_MISSING) != 0) == index) ok = fail("index found or missed");
    for (uint32_t d = 0; ok && d <= D; d++) {
        HGLOBAL dib = jbigDecodeToWinDIB(dec, int32_t(d));
        if (dib == reinterpret_cast<HGLOBAL>(~uintptr_t(0))) {
            ok = fail("decoding a layer");
            break;
        }
        GlobalFree(dib);
        JbigImageInfo info;
        if (jbigDecodeGetImageAddress(dec, &info) != &info || take(info) != expect[d])
            ok = fail("decoded layer differs from the encoder's");
    }
    if (dec != JBIG_INVALID_HANDLE && jbigDecodeEpilog(dec) != 0) ok = fail("decoder epilog");
    return GlobalFree(block) == nullptr && ok;
}

// The streaming decoder fed all at once, a byte at a time and in pieces
// sized by the data: where the input is cut must not change the rows of a
// stream that decodes. The sink stops a run at kStreamRows rows (a
// small stripe may claim billions of white rows).
constexpr uint32_t kStreamRows = 4096;

struct StreamRun {
    int32_t result = 0;
    uint32_t rows = 0;
    uint64_t hash = 1469598103934665603u;
    bool capped = false, ordered = true;
};

inline int32_t streamSink(void *user, uint32_t y, const uint8_t *row, size_t bytes) {
    auto *r = static_cast<StreamRun *>(user);
    r->ordered = r->ordered && y == r->rows;
    for (size_t i = 0; i < bytes; i++) r->hash = (r->hash ^ row[i]) * 1099511628211u;
    r->capped = ++r->rows >= kStreamRows;
    return r->capped;
}

inline StreamRun streamRun(const uint8_t *data, size_t size, size_t piece) {
    StreamRun run;
    ZeljbigStreamDecoder *d = zeljbigStreamDecoderCreate(streamSink, &run);
    if (!d) {
        run.result = -2;
        return run;
    }
    uint32_t seed = uint32_t(size) * 2654435761u;
    size_t at = 0;
    while (at < size && run.result == ZELJBIG_STREAM_MORE) {
        size_t n = piece;
        if (n == 0) {
            seed = seed * 1103515245u + 12345u;
            n = 1 + (seed >> 16) % 64;
        }
        n = std::min(n, size - at);
        size_t taken = 0;
        run.result = zeljbigStreamDecoderPush(d, data + at, n, &taken);
        at += taken;
    }
    if (run.result == ZELJBIG_STREAM_MORE) run.result = zeljbigStreamDecoderFinish(d);
    if (run.result == ZELJBIG_STREAM_STOPPED && !run.capped) run.result = -3;
    ZeljbigInfo info;
    if (run.result == ZELJBIG_STREAM_DONE && zeljbigStreamDecoderInfo(d, &info) != 0) run.result = -4;
    if (run.result == ZELJBIG_STREAM_DONE && (info.YD != run.rows || zeljbigStreamDecoderRows(d) != run.rows))
        run.result = -5;
    zeljbigStreamDecoderDestroy(d);
    return run;
}

inline bool streamDecode(const uint8_t *data, size_t size) {
    // Wide rows cost a fuzzing loop time and say nothing new.
    if (size >= 8 && ((uint32_t(data[4]) << 24 | uint32_t(data[5]) << 16 | uint32_t(data[6]) << 8 | data[7]) > 1u << 14))
        return true;
    const StreamRun whole = streamRun(data, size, size ? size : 1), bytes = streamRun(data, size, 1),
                    pieces = streamRun(data, size, 0);
    for (const StreamRun *r : {&whole, &bytes, &pieces}) {
        if (r->result < -1) return fail("a stream decoder result out of its range");
        if (!r->ordered) return fail("rows out of order");
    }
    // Damaged streams may fail at different rows (or not at all, once the
    // last row is out before the damage arrives); whole streams may not.
    if (whole.capped || bytes.capped || pieces.capped || whole.result != ZELJBIG_STREAM_DONE) return true;
    for (const StreamRun *r : {&bytes, &pieces})
        if (r->result == ZELJBIG_STREAM_DONE && (r->rows != whole.rows || r->hash != whole.hash))
            return fail("the rows depend on where the input was cut");
    return true;
}

}  // namespace harness
