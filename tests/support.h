// Helpers shared by the tests: images, files, and encoding and decoding
// through the exported interface.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zeljbig.h"

using Bytes = std::vector<uint8_t>;

struct Image {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> bits;  // rows of (width + 7) / 8 bytes, pad bits 0

    Image() = default;
    Image(uint32_t w, uint32_t h) : width(w), height(h), bits(size_t(rowBytes()) * h) {}
    uint32_t rowBytes() const { return (width + 7) / 8; }
    const uint8_t *row(uint32_t y) const { return bits.data() + size_t(y) * rowBytes(); }
    uint8_t *row(uint32_t y) { return bits.data() + size_t(y) * rowBytes(); }
    int get(uint32_t x, uint32_t y) const { return (row(y)[x >> 3] >> (7 - (x & 7))) & 1; }
    void set(uint32_t x, uint32_t y, int v) {
        uint8_t m = uint8_t(0x80 >> (x & 7));
        row(y)[x >> 3] = uint8_t(v ? row(y)[x >> 3] | m : row(y)[x >> 3] & ~m);
    }
    bool operator==(const Image &o) const { return width == o.width && height == o.height && bits == o.bits; }
    JbigImageInfo info() const;
};

std::string dataPath(const std::string &rel);
// A whole file, gunzipped if need be.
Bytes readFile(const std::string &path);
void writeFile(const std::string &path, const Bytes &bytes);
// A binary PBM (P4), gzip'd or not.
Image readPbm(const std::string &path);
std::vector<std::string> corpusPages();
// The streams in a data directory, each named for its image ("page_...jbg"):
// file names, sorted, and the image of one.
std::vector<std::string> streamFiles(const std::string &dir);
std::string imageOf(const std::string &dir, const std::string &stream);
// A test name for a file: its name up to the first dot, other than letters
// and digits as '_'.
std::string nameOfFile(const std::string &path);
// The image a JbigImageInfo describes, pad bits cleared.
Image imageFrom(const JbigImageInfo &info);
// Random image with roughly `density` percent black pixels.
Image randomImage(uint32_t w, uint32_t h, uint32_t seed, int density = 50);
// A random image with repeated and blank rows mixed in, so that typical
// prediction has lines to skip.
Image patterned(uint32_t w, uint32_t h, uint32_t seed);

// A unique scratch directory, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// A movable global block holding bytes, freed on destruction.
struct GlobalBlock {
    HGLOBAL handle = nullptr;
    explicit GlobalBlock(const Bytes &bytes);
    ~GlobalBlock();
};

// L0 0 keeps the default stripe height.
JbigEncodeOptions defaultOptions(const Image &img, uint32_t layers, uint16_t flags = JBIG_FLAG_MEMORY, uint32_t L0 = 0);
// The order and options bytes of a header, bit by bit into o.
void setOrderAndOptions(JbigEncodeOptions *o, uint8_t order, uint8_t options);
// Encodes through the exported interface; empty (false) on any failure.
Bytes encodeToMemory(const Image &img, JbigEncodeOptions opts);
bool encodeToFile(const Image &img, JbigEncodeOptions opts, const std::string &path);

// A decoder opened on a copy of `stream` in a movable global block, or on a
// file (with a data offset and length under JBIG_FLAG_DATA_OFFSET); `h` is
// JBIG_INVALID_HANDLE when the prolog refused. Closed on destruction.
struct MemoryDecoder {
    GlobalBlock block;
    JbigDecodeOptions opts{};
    JbigHandle h;
    explicit MemoryDecoder(const Bytes &stream, uint16_t flags = 0);
    ~MemoryDecoder();
    bool ok() const { return h != JBIG_INVALID_HANDLE; }
    Image image() const;  // the raster decoded last
};
struct FileDecoder {
    JbigDecodeOptions opts{};
    JbigHandle h;
    explicit FileDecoder(const std::string &path, uint16_t flags = 0, uint32_t offset = 0, uint32_t length = 0);
    ~FileDecoder();
    bool ok() const { return h != JBIG_INVALID_HANDLE; }
};

// Decodes layer `layer` (-2: the top one) of an open decoder through the
// DIB-bits form.
bool decodeLayer(JbigHandle h, Image *out, int32_t layer = -2);
// The same from memory; out flags in *flags.
bool decodeMemory(const Bytes &stream, Image *out, int32_t layer = -2, uint16_t *flags = nullptr);
// Decodes up to the top layer of an open decoder and compares the raster
// with `img`, pad bits and the zero byte after each row included.
bool decodesTo(JbigHandle h, const Image &img);

// ---- stripe tables ----

using StripeEntries = std::vector<std::pair<uint32_t, uint32_t>>;
// Offset and length of every stripe of layer `layer` as an open decoder
// holds them (positions in the stream it reads).
StripeEntries decoderStripeTable(JbigHandle h, uint32_t layer = 0);
// The `count` (offset, length) entries of the trailer that ends `stream`;
// empty when its last bytes are not a trailer of that size.
StripeEntries trailerEntries(const Bytes &stream, uint32_t count);
// A trailer listing `entries`, and a 20-byte header.
Bytes trailerOf(const StripeEntries &entries);
Bytes jbigHeader(uint32_t XD, uint32_t YD, uint32_t L0, uint8_t D = 0, uint8_t order = 0, uint8_t options = 0);

// Blocks the library holds now; compare before and after a test step.
long liveBlocks();
