// Corpus pages and one encode or decode through the exported interface,
// shared by the benchmark and the single-run driver for callgrind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zeljbig.h"

struct Page {
    std::string name;  // file name without its .pbm.gz
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> bits;  // rows of rowBytes(), pad bits 0

    uint32_t rowBytes() const { return (width + 7) / 8; }
    uint64_t pixels() const { return uint64_t(width) * height; }
    size_t rasterBytes() const { return size_t(rowBytes()) * height; }
};

[[noreturn]] void die(const std::string &message);

// A P4 PBM, gzip'd or not; dies on anything else.
Page readPage(const std::string &path);
// The *.pbm.gz files of a directory, sorted.
std::vector<std::string> corpusFiles(const std::string &dir);

// One encode, memory to memory, options from jbigEncodeCreatDefaultOptions
// with `flags` added (JBIG_FLAG_FULL_STANDARD). The stream is a
// process-heap block of the caller (HeapFree).
struct Encoded {
    uint8_t *data = nullptr;
    uint32_t length = 0;
};
Encoded encodePage(const Page &page, uint32_t layers, uint16_t flags = 0);

// The stream in a movable global block, the decoder's memory input.
HGLOBAL globalCopy(const uint8_t *data, uint32_t length);

// Header of a 1-bit DIB: the library fills two colour entries.
struct DibInfo {
    BITMAPINFOHEADER header;
    RGBQUAD colours[2];
};
inline uint32_t dibLineBytes(uint32_t width) { return ((width + 7) / 8 + 3) & ~3u; }

// Decodes layer `layer` of the stream in `block` into `bits` (bottom line
// first, resized as needed). The header comes from the query form of
// jbigDecodeToWinDIBits, or with `sizeOnly` from jbigDecodeGetImageSize so
// that jbigDecodeToWinDIBits runs just once, for the fill.
// `flags` are added to the decoder's (JBIG_FLAG_FULL_STANDARD).
void decodePage(HGLOBAL block, uint32_t length, int32_t layer, bool sizeOnly, std::vector<uint8_t> &bits,
                uint16_t flags = 0);

// Dies unless the bottom-up DIB bits hold exactly the page.
void checkDecoded(const Page &page, const std::vector<uint8_t> &bits);
