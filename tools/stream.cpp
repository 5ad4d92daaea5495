// Single-layer pages through the library's streaming coders: rows and
// bytes go through in blocks, so memory does not grow with the height.
#include "jbig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace cli {

namespace {

constexpr size_t kBlock = size_t(1) << 16;

// An input read in blocks: a file, or standard input.
class Input {
public:
    Input(const std::string &path, const std::string &name)
        : name_(name), f_(path == "-" ? stdin : std::fopen(path.c_str(), "rb")), own_(path != "-") {}
    ~Input() {
        if (own_ && f_) std::fclose(f_);
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    bool open() const { return f_ != nullptr; }
    bool isStdin() const { return !own_; }
    // Up to n bytes; fewer only at the end.
    size_t read(uint8_t *to, size_t n) {
        size_t got = 0;
        while (got < n) {
            const size_t k = std::fread(to + got, 1, n - got, f_);
            if (k == 0) break;
            got += k;
        }
        if (std::ferror(f_)) fail(kInput, name_, std::string("cannot read: ") + std::strerror(errno));
        total_ += got;
        return got;
    }
    // Reads to the end, so that a pipe's writer is not cut off.
    void drain() {
        uint8_t buf[4096];
        if (isStdin())
            while (read(buf, sizeof buf) == sizeof buf) {
            }
    }
    uint64_t total() const { return total_; }

private:
    std::string name_;
    FILE *f_;
    bool own_;
    uint64_t total_ = 0;
};

// The library calls back through C: a failure of ours waits here until the
// call has returned.
struct Pending {
    bool set = false;
    Failure failure;
    template <class F>
    int32_t guard(F f) {
        try {
            f();
            return 0;
        } catch (const Failure &e) {
            failure = e;
        } catch (const std::bad_alloc &) {
            failure = Failure{kInternal, currentFile(), "out of memory"};
        }
        set = true;
        return -1;
    }
    void rethrow() const {
        if (set) throw failure;
    }
};

// ---- decoding ----

// Where the rows go: straight to the output after the PBM header, or, while
// the height is unknown (or VLENGTH may change it on a pipe or device), to
// a scratch file that follows the header once the height is known.
struct RowSink {
    Output *out;
    FILE *spool = nullptr;
    uint32_t width = 0;
    std::string name;
    Pending pending;
};

// Streaming holds `held` rows, not the image: without a --max-pixels of
// the user's, the limit is on what is held.
void checkStreamSize(uint32_t w, uint64_t h, uint64_t held, const std::string &name) {
    if (w == 0 || h == 0) fail(kInput, name, "image has no pixels (" + std::to_string(w) + " x " + std::to_string(h) + ")");
    if (w * (limits().maxPixelsGiven ? h : std::min(h, held)) > limits().maxPixels)
        fail(kInput, name,
             "image of " + std::to_string(w) + " x " + std::to_string(h) + " pixels, more than --max-pixels " +
                 std::to_string(limits().maxPixels));
}

// The decoder's rows: the two above, or up to MY (255) when the AT pixel
// moves up.
constexpr uint64_t kDecoderRows = 258;

int32_t takeRow(void *user, uint32_t y, const uint8_t *row, size_t bytes) {
    auto *s = static_cast<RowSink *>(user);
    return s->pending.guard([&] {
        checkStreamSize(s->width, uint64_t(y) + 1, kDecoderRows, s->name);
        if (!s->spool) return s->out->write(row, bytes);
        if (std::fwrite(row, 1, bytes, s->spool) != bytes)
            fail(kOutput, "temporary file", std::string("cannot write: ") + std::strerror(errno));
    }) == 0 ? 0 : 1;
}

struct DecoderFree {
    void operator()(ZeljbigStreamDecoder *d) const { zeljbigStreamDecoderDestroy(d); }
};

}  // namespace

// Above this the whole-image reader refuses a picture; streamed, it has no limit.
constexpr uint64_t kMaxReaderPixels = uint64_t(1) << 30;

bool decodeStream(const std::string &path, const std::string &outName, const std::string &name, Bytes *head,
                  uint64_t *inBytes) {
    Input in(path, name);
    if (!in.open()) return false;  // the whole-image way says why
    head->resize(20);
    head->resize(in.read(head->data(), head->size()));
    const Bytes &h = *head;
    // One BIE of one layer and one plane (DL 0, D 0, P 1), not gzip'd.
    // DPON predicts differential layers: with D 0 it is the first BIE of
    // a stream whose higher layers follow in another, which the whole-image
    // way reads.
    if (h.size() < 20 || h[0] != 0 || h[1] != 0 || h[2] != 1 || (h[19] & 0x04)) {
        if (!in.isStdin()) head->clear();
        return false;
    }
    const uint32_t XD = be32(&h[4]), YD = be32(&h[8]);
    const bool unknown = YD == 0xFFFFFFFFu;
    if (!in.isStdin() && (unknown || uint64_t(XD) * YD <= kMaxReaderPixels)) {
        // A file the reader takes gets its verdict first: what it refuses,
        // it refuses with the reason the whole-image way gives.
        ZeljbigReader *r = zeljbigOpenFile(path.c_str());
        ZeljbigInfo info{};
        if (r) zeljbigGetInfo(r, &info);
        zeljbigClose(r);
        if (!r || info.completeLayers < 1) {
            head->clear();
            return false;
        }
        if (info.trailingBytes)
            warn(name, std::to_string(info.trailingBytes) + " bytes after the image data are not part of it");
    }
    checkStreamSize(XD, unknown ? 1 : YD, kDecoderRows, name);
    RowSink sink;
    sink.width = XD;
    sink.name = name;
    Output out(outName);
    if (outName == "-") out.passThrough();
    sink.out = &out;
    std::unique_ptr<ScratchFile> scratch;
    struct Closer {
        FILE *f = nullptr;
        ~Closer() {
            if (f) std::fclose(f);
        }
    } spool;
    // VLENGTH: a NEWLEN may shorten the page. A file of ours gets its
    // header again then; anything else waits for the height.
    const bool vlength = h[19] & 0x20;
    const std::string declared = unknown ? "" : pbmHeader(XD, YD);
    if (unknown || (vlength && !out.rewritable())) {
        scratch = std::make_unique<ScratchFile>();
        spool.f = sink.spool = std::fopen(scratch->path().c_str(), "w+b");
        if (!spool.f) fail(kOutput, scratch->path(), std::string("cannot open a temporary file: ") + std::strerror(errno));
    } else {
        out.write(reinterpret_cast<const uint8_t *>(declared.data()), declared.size());
    }
    std::unique_ptr<ZeljbigStreamDecoder, DecoderFree> dec(zeljbigStreamDecoderCreate(takeRow, &sink));
    if (!dec) fail(kInternal, name, zeljbigLastError());
    auto check = [&](int32_t rc) {
        sink.pending.rethrow();
        if (rc < 0) fail(kInput, name, zeljbigLastError());
        return rc;
    };
    int32_t rc = check(zeljbigStreamDecoderPush(dec.get(), h.data(), h.size(), nullptr));
    Bytes buf(kBlock);
    while (rc != ZELJBIG_STREAM_DONE) {
        const size_t n = in.read(buf.data(), buf.size());
        if (n == 0) break;
        rc = check(zeljbigStreamDecoderPush(dec.get(), buf.data(), n, nullptr));
    }
    if (rc != ZELJBIG_STREAM_DONE && check(zeljbigStreamDecoderFinish(dec.get())) != ZELJBIG_STREAM_DONE)
        fail(kInput, name, "the stream ends before its last row");
    in.drain();
    const uint32_t rows = zeljbigStreamDecoderRows(dec.get());
    if (!sink.spool && rows != YD) {
        if (!vlength) fail(kInput, name, "NEWLEN changes the height, but VLENGTH is not set");
        out.replaceHead(declared.size(), pbmHeader(XD, rows));
    } else if (sink.spool) {
        writePbmHeader(out, XD, rows);
        bool ok = std::fflush(spool.f) == 0 && std::fseek(spool.f, 0, SEEK_SET) == 0;
        size_t n;
        while (ok && (n = std::fread(buf.data(), 1, buf.size(), spool.f)) > 0) out.write(buf.data(), n);
        if (!ok || std::ferror(spool.f)) fail(kOutput, scratch->path(), "cannot read a temporary file");
    }
    out.commit();
    note(name, "streamed, " + std::to_string(XD) + " x " + std::to_string(rows) + " pixels, as PBM to " + out.path());
    *inBytes = in.total();
    return true;
}

// ---- encoding ----

bool streamable(const EncodeSettings &s) {
    // What the streaming encoder writes byte for byte as zeljbigEncode does:
    // one layer, its stripes and template given, nothing that looks at the
    // whole picture (the template sample, --best, AT moves, the index).
    return s.layers == 0 && !s.planes && !s.best && s.atMax == 0 && s.stripeLines > 0 && s.lrltwo >= 0 && s.noIndex &&
           s.dpon != 1;
}

namespace {

struct ByteSink {
    Output *out;
    Pending pending;
};

int32_t takeBytes(void *user, const uint8_t *bytes, size_t size) {
    auto *s = static_cast<ByteSink *>(user);
    return s->pending.guard([&] { s->out->write(bytes, size); });
}

struct EncoderFree {
    void operator()(ZeljbigStreamEncoder *e) const { zeljbigStreamEncoderDestroy(e); }
};

}  // namespace

bool encodeStream(const std::string &path, const std::string &outName, const std::string &name,
                  const EncodeSettings &s, Bytes *head, uint64_t *inBytes) {
    Input in(path, name);
    if (!in.open()) return false;
    Bytes &b = *head;
    b.resize(kBlock);
    b.resize(in.read(b.data(), b.size()));
    // A raw PBM whose header lies in the first block; anything else the
    // whole-image way.
    PnmCursor c{b, 2};
    uint32_t w = 0, h = 0;
    if (b.size() < 3 || b[0] != 'P' || b[1] != '4' || !c.number(&w) || !c.number(&h) || c.p >= b.size() ||
        !std::isspace(b[c.p])) {
        if (!in.isStdin()) b.clear();
        return false;
    }
    checkStreamSize(w, h, uint64_t(s.stripeLines) + 2, name);  // a stripe and the two rows above
    ZeljbigEncodeParams p;
    zeljbigEncodeDefaults(&p);
    p.stripeLines = uint32_t(s.stripeLines);
    p.twoLine = s.lrltwo;
    p.tpbon = s.tpbon;
    p.tpdon = s.tpdon == 0 ? 0 : 1;  // the whole-image encoder sets TPDON by default
    p.flags = ZELJBIG_NO_INDEX;
    Output out(outName);
    if (outName == "-") out.passThrough();
    ByteSink sink{&out, {}};
    std::unique_ptr<ZeljbigStreamEncoder, EncoderFree> enc(zeljbigStreamEncoderCreate(&p, w, h, takeBytes, &sink));
    if (!enc) fail(kUsage, name, zeljbigLastError());
    auto check = [&](int32_t rc) {
        sink.pending.rethrow();
        if (rc != 0) fail(kInternal, name, zeljbigLastError());
    };
    const size_t stride = (size_t(w) + 7) / 8;
    const uint64_t need = uint64_t(stride) * h;
    const size_t blockRows = std::max<size_t>(1, kBlock / stride);
    // The rows of the first block, then blocks of whole rows.
    size_t at = c.p + 1, have = b.size() - at;
    Bytes rows(blockRows * stride);
    uint64_t done = 0;  // rows pushed
    while (done < h) {
        const size_t want = size_t(std::min<uint64_t>(blockRows, h - done)) * stride;
        size_t fill = std::min(want, have);
        std::memcpy(rows.data(), b.data() + at, fill);
        at += fill;
        have -= fill;
        if (fill < want) fill += in.read(rows.data() + fill, want - fill);
        if (fill < want)
            fail(kInput, name,
                 "truncated PBM: " + std::to_string(done * stride + fill) + " of " + std::to_string(need) +
                     " bytes of pixels");
        const uint32_t count = uint32_t(want / stride);
        check(zeljbigStreamEncoderPushRows(enc.get(), rows.data(), stride, count));
        done += count;
    }
    check(zeljbigStreamEncoderFinish(enc.get()));
    // Another page after this one: the whole-image way warns of it too.
    Bytes next(b.begin() + long(at), b.end());
    while (next.size() < 64) {
        uint8_t more[64];
        const size_t n = in.read(more, sizeof more);
        if (n == 0) break;
        next.insert(next.end(), more, more + n);
    }
    PnmCursor after{next, 0};
    after.skipSpace();
    if (next.size() - after.p >= 2 && next[after.p] == 'P' && (next[after.p + 1] == '1' || next[after.p + 1] == '4'))
        warn(name, "holds more than one page: only page 1 is encoded (--all-pages encodes each into its own stream)");
    in.drain();
    out.commit();
    note(name, "streamed, " + std::to_string(w) + " x " + std::to_string(h) + " pixels to " + out.path());
    *inBytes = in.total();
    return true;
}

}  // namespace cli
