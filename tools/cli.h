// Shared pieces of the zeljbig command-line tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// Exit codes, also listed in --help and the README.
enum Exit : int { kOk = 0, kInternal = 1, kUsage = 2, kInput = 3, kOutput = 4 };

// Every failure travels as one of these up to main, which prints
// "zeljbig: WHAT: REASON" and exits with `code`.
struct Failure {
    int code;
    std::string what;  // usually a file name
    std::string reason;
};

[[noreturn]] void fail(int code, const std::string &what, const std::string &reason);

using Bytes = std::vector<uint8_t>;

// One bit per pixel, most significant bit first, 1 = black, rows of
// (width + 7) / 8 bytes with the pad bits 0.
// The rows start `offset` bytes into `bits`: a PBM file's pixels are used
// where they were read.
struct Bitmap {
    uint32_t width = 0, height = 0;
    Bytes bits;
    size_t offset = 0;
    size_t stride() const { return (size_t(width) + 7) / 8; }
    uint8_t *row(uint32_t y) { return bits.data() + offset + stride() * y; }
    const uint8_t *row(uint32_t y) const { return bits.data() + offset + stride() * y; }
};

// Input files (after gunzip) are held in memory whole.
constexpr uint64_t kMaxInputBytes = (uint64_t(1) << 30) + (uint64_t(1) << 20);

// Refuses sizes the library cannot code or decode.
void checkImageSize(uint32_t w, uint32_t h, const std::string &name);
// Allocates a w x h all-white bitmap, after checkImageSize.
Bitmap makeBitmap(uint32_t w, uint32_t h, const std::string &name);

// ---- files (io.cpp) ----

// "-" is standard input. gzip'd input is inflated transparently.
Bytes readInput(const std::string &path);
std::string displayName(const std::string &path);

// An output that appears only when complete. The temporary file is created
// next to the destination on construction, so an unwritable destination
// fails before any work is done; write() adds to it and commit() closes it
// and renames it over the destination. Without commit() nothing of it
// remains. Standard output gets everything at commit().
class Output {
public:
    explicit Output(const std::string &path);
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    void write(const uint8_t *data, size_t n);
    void commit();
    void commit(const Bytes &data) {
        write(data.data(), data.size());
        commit();
    }
    const std::string &path() const { return path_; }

private:
    std::string path_, temp_;
    FILE *file_ = nullptr;
    Bytes held_;  // for standard output
    bool failed_ = false, done_ = false;
};

// A scratch file in the system's temporary directory, removed on
// destruction; for the library's path-based operations.
class ScratchFile {
public:
    ScratchFile();
    ~ScratchFile();
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    const std::string &path() const { return path_; }
    void write(const Bytes &data) const;
    Bytes read() const;

private:
    std::string path_;
};

// ---- image formats (formats.cpp) ----

enum class Format { Unknown, Pbm, Bmp, Png };
Format formatFromName(const std::string &name);  // by extension

// Takes the file's bytes: the rows stay where they are.
Bitmap readPbm(Bytes data, const std::string &name);
Bitmap readPng(const Bytes &data, const std::string &name, int threshold);
// Any BMP the tool reads, thresholded.
Bitmap readBmp(const Bytes &data, const std::string &name, int threshold);
int greyOf(int r, int g, int b);

// Rows of `stride` bytes, 1 = black, pad bits 0.
void writePbm(Output &out, uint32_t w, uint32_t h, const uint8_t *rows, size_t stride);
Bytes writePng(uint32_t w, uint32_t h, const uint8_t *rows, size_t stride);
void writeBmp(Output &out, uint32_t w, uint32_t h, const uint8_t *rows, size_t stride);

uint32_t le32(const uint8_t *p);
uint16_t le16(const uint8_t *p);

}  // namespace cli
