// Shared pieces of the zeljbig command-line tool.
#pragma once

#include <cctype>
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

// What the user may set for every command.
struct Limits {
    uint64_t maxPixels = uint64_t(1) << 30;  // --max-pixels
    bool maxPixelsGiven = false;             // streaming holds no image: only a given limit applies
    bool quiet = false, verbose = false;     // --quiet, --verbose
    bool progress = false;                   // standard error is a terminal, not --quiet
};
Limits &limits();

// "zeljbig: NAME: warning: TEXT" on standard error, unless --quiet.
void warn(const std::string &name, const std::string &text);
// "zeljbig: NAME: TEXT" on standard error with --verbose.
void note(const std::string &name, const std::string &text);
// Seconds since `start` of a steady clock, for --verbose.
double secondsSince(double start);
double now();

// One line on standard error, rewritten in place while work goes on; shown
// only once the work has taken a second, and only on a terminal.
// A batch shows its own line: `perFile` false on its workers.
void progress(const std::string &line, bool batchLine = false);
void progressEnd();
void progressPerFile(bool on);  // for the calling thread
// A line on standard error that the progress line does not garble.
void message(const std::string &line);
// The encoder's and decoder's step of `layer`, for the progress line:
// layers cost by their pixels.
void progressLayer(const char *what, int layer, int first, int last, uint32_t xd, uint32_t yd);
// The file the calling thread works on, for the progress line.
void progressFile(const std::string &name);
const std::string &currentFile();  // "" before any

// Refuses sizes the library cannot code or decode, and images of more than
// --max-pixels pixels, before anything is allocated for them.
void checkImageSize(uint32_t w, uint32_t h, const std::string &name);
// Allocates a w x h all-white bitmap, after checkImageSize.
Bitmap makeBitmap(uint32_t w, uint32_t h, const std::string &name);

// ---- files (io.cpp) ----

// "-" is standard input. gzip'd input is inflated transparently; a JBIG
// input no further than its header's raster makes plausible.
enum class InputKind { Image, Jbig };
// `head`: bytes of standard input already read, which the data begins with.
Bytes readInput(const std::string &path, InputKind kind = InputKind::Image, Bytes head = Bytes());
std::string displayName(const std::string &path);

// Refuses an output that is the input itself (also through a link): it
// would be gone before it was read.
void refuseSameFile(const std::string &in, const std::string &out);

// An existing path that is not a regular file or a directory: a device,
// FIFO or terminal, written in place.
bool isDeviceLike(const std::string &path);

// SIGINT, SIGTERM and SIGHUP remove the temporary files in use and end the
// process with status 128 + signal.
void installSignalHandlers();

// An output that appears only when complete. The temporary file is created
// next to the destination on construction, so an unwritable destination
// fails before any work is done; write() adds to it and commit() closes it
// and renames it over the destination. Without commit() nothing of it
// remains. Standard output gets everything at commit().
// A symbolic link is followed and its target replaced; a replaced file
// keeps its mode and, where allowed, its owner; a file of several hard links
// is overwritten in place once the complete output is ready. A path that is
// not a regular file (device, FIFO, terminal) is written in place as
// `cat > path` would.
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
    // Standard output gets the bytes as they come, for streaming: holding
    // them would grow with the page. A failure then leaves what was written.
    void passThrough() { passThrough_ = true; }
    // A temporary file of ours, which replaceHead() can rewrite.
    bool rewritable() const { return file_ != nullptr && !inPlace_; }
    // The first `old` bytes written become `head`; what follows them moves
    // up behind it. For a header known only at the end, such as a height.
    void replaceHead(size_t old, const std::string &head);

private:
    std::string path_, target_, temp_;
    FILE *file_ = nullptr;
    Bytes held_;  // for standard output
    bool failed_ = false, done_ = false, passThrough_ = false;
    bool inPlace_ = false;  // not a regular file: written as it comes
    bool links_ = false;    // several hard links: copied over at commit()
    int slot_ = -1;         // of the temporary file, for the signal handler
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
    int slot_ = -1;
};

// ---- image formats (formats.cpp) ----

enum class Format { Unknown, Pbm, Bmp, Png, Pgm };
Format formatFromName(const std::string &name);  // by extension
const char *formatName(Format f);

// The numbers of a netpbm header: white space and comments between them.
struct PnmCursor {
    const Bytes &d;
    size_t p;
    void skipSpace() {
        for (;;) {
            while (p < d.size() && std::isspace(d[p])) p++;
            if (p < d.size() && d[p] == '#')
                while (p < d.size() && d[p] != '\n' && d[p] != '\r') p++;
            else
                return;
        }
    }
    bool number(uint32_t *v) {
        skipSpace();
        if (p >= d.size() || !std::isdigit(d[p])) return false;
        uint64_t n = 0;
        while (p < d.size() && std::isdigit(d[p])) {
            n = n * 10 + uint64_t(d[p++] - '0');
            if (n > 0xFFFFFFFFu) return false;
        }
        *v = uint32_t(n);
        return true;
    }
};

// Takes the file's bytes: the rows stay where they are.
Bitmap readPbm(Bytes data, const std::string &name);
// Where the pages of a PBM file lie, [begin, end) each; netpbm writes the
// pages of a document one after another.
std::vector<std::pair<size_t, size_t>> pbmPages(const Bytes &data);
Bitmap readPng(const Bytes &data, const std::string &name, int threshold);
// Any BMP the tool reads, thresholded.
Bitmap readBmp(const Bytes &data, const std::string &name, int threshold);
int greyOf(int r, int g, int b);

// Rows of `stride` bytes, 1 = black, pad bits 0.
std::string pbmHeader(uint32_t w, uint32_t h);
void writePbmHeader(Output &out, uint32_t w, uint32_t h);
void writePbm(Output &out, uint32_t w, uint32_t h, const uint8_t *rows, size_t stride);
Bytes writePng(uint32_t w, uint32_t h, const uint8_t *rows, size_t stride, const std::string &name);
void writeBmp(Output &out, uint32_t w, uint32_t h, const uint8_t *rows, size_t stride);

// A greyscale picture: samples of `bits` bits (1 to 16) in (bits + 7) / 8
// bytes each, most significant byte first, rows one after another.
struct Grey {
    uint32_t width = 0, height = 0, bits = 0;
    Bytes samples;
    size_t stride() const { return size_t(width) * ((bits + 7) / 8); }
    uint32_t sample(uint32_t x, uint32_t y) const {
        const uint8_t *p = samples.data() + stride() * y + size_t(x) * ((bits + 7) / 8);
        return bits > 8 ? uint32_t(p[0]) << 8 | p[1] : p[0];
    }
};
// PGM (P2, P5) and greyscale PNG; `bits` as the maxval or the PNG's depth needs.
Grey readPgm(const Bytes &data, const std::string &name);
Grey readPngGrey(const Bytes &data, const std::string &name);
// One plane from a grey picture: black where the value, scaled to 0..255, is
// below the threshold.
Bitmap thresholdGrey(const Grey &g, int threshold, const std::string &name);
void writePgm(Output &out, const Grey &g);
Bytes writePngGrey(const Grey &g, const std::string &name);

uint32_t le32(const uint8_t *p);
uint16_t le16(const uint8_t *p);
uint32_t be32(const uint8_t *p);

}  // namespace cli
