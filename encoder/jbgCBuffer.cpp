// One-call encoding of plain rasters: the options of a stream every decoder
// reads (the lowest layer first, one stripe) and the search for the smaller
// template and AT moves, shared by the tool and the Python package.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "../frame/jbgBIH.h"
#include "../frame/jbgError.h"
#include "../frame/jpgLib.h"
#include "jbgCBase.h"

namespace {

// A stream the encoder wrote to the process heap.
struct Coded {
    uint8_t *data = nullptr;
    size_t size = 0;
    void release() {
        zeljbigFree(data);
        data = nullptr;
        size = 0;
    }
};

// Where the rows come from: the caller's rasters, or its reader. Rows are
// read straight into the encoder's own raster, so that a picture is held
// once. `sample` names the first rows of bands that stand for the picture.
struct RowSource {
    const ZeljbigRaster *rasters;  // one a plane, or null
    ZeljbigRowReader read;
    void *user;
    uint32_t planes, width, height;
    const uint32_t *sample;  // first rows of the sample's bands, or null
    uint32_t bandRows;

    // Rows y .. y + n - 1 of a plane (as the sample counts them) into rows
    // of `stride` bytes, (width + 7) / 8 of them written.
    bool rows(uint32_t plane, uint32_t y, uint32_t n, uint8_t *dest, size_t stride) const {
        while (n > 0) {
            uint32_t from = y, k = n;
            if (sample != nullptr) {
                from = sample[y / bandRows] + y % bandRows;
                k = std::min(n, bandRows - y % bandRows);
            }
            if (rasters != nullptr) {
                const ZeljbigRaster &r = rasters[plane];
                const size_t bytes = (size_t(width) + 7) / 8;
                for (uint32_t i = 0; i < k; i++) std::memcpy(dest + i * stride, r.data + (from + i) * r.stride, bytes);
            } else if (read(user, plane, from, k, dest, stride) != 0) {
                if (errText()[0] == '\0') errSet("the rows could not be read");
                return false;
            }
            y += k;
            n -= k;
            dest += k * stride;
        }
        return true;
    }
};

// One encode, memory to memory, in two steps: read() reads the rows, on the
// thread whose reader it is; code() codes the layers, on any thread; take()
// ends the encoder and hands out the stream. Until then the rows stay in
// place: with one layer the encoder only reads them, so raster() may be
// read while code() runs. False when the library fails, with its reason.
struct Encode {
    JbigEncodeOptions o{};  // the encoder leaves the stream here
    JbigHandle enc = JBIG_INVALID_HANDLE;
    JbigContext *ctx = nullptr;
    bool ok = false;

    Encode() = default;
    Encode(const Encode &) = delete;
    Encode &operator=(const Encode &) = delete;
    ~Encode() { take(nullptr); }

    bool read(const RowSource &src, const JbigEncodeOptions &with, uint32_t stripeFlags) {
        o = with;
        o.P = uint8_t(src.planes);
        enc = jbigEncodeProlog(nullptr, &o);
        if (enc == JBIG_INVALID_HANDLE) return errSet("the encoder failed to start");
        ctx = ctxFromHandle(enc, kModeEncoder);
        ok = ctx != nullptr && (stripeFlags == 0 || encStripeOptions(enc, stripeFlags) == 0);
        constexpr uint32_t kBand = 256;
        for (uint32_t q = 0; ok && q < src.planes; q++) {
            ok = zeljbigEncodeSelectPlane(enc, q) == 0 && encMakeRaster(ctx);
            if (!ok) break;
            JbigLayerImage &img = ctx->cur;
            const uint32_t XD = ctx->bih.XD, bytes = (XD + 7) >> 3;
            const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - (XD & 7)));
            for (uint32_t y = 0; ok && y < img.height; y += kBand) {
                const uint32_t n = std::min(kBand, img.height - y);
                ok = src.rows(q, y, n, img.rows[y], img.stride);
                // The stored form: pad bits clear, a zero byte after the pixels.
                for (uint32_t i = 0; ok && i < n; i++) {
                    if (XD & 7) img.rows[y + i][XD >> 3] &= mask;
                    img.rows[y + i][bytes] = 0;
                }
            }
            img.row = img.height;
        }
        return ok;
    }
    // The rows read, of the plane last read, one after another.
    ZeljbigRaster raster() const {
        const JbigLayerImage &img = ctx->cur;
        return ZeljbigRaster{img.width, img.height, img.stride, img.rows[0]};
    }
    void code() {
        for (int layer = o.D; ok && layer >= 0; layer--) ok = jbigEncode(enc) == 0;
    }
    // The stream into *out; none wanted (out null), the encoder is only
    // let go.
    bool take(Coded *out) {
        if (enc == JBIG_INVALID_HANDLE) return false;
        const bool reason = errText()[0] != '\0';
        const bool done = jbigEncodeEpilog(enc) == 0 && ok && o.outData;
        enc = JBIG_INVALID_HANDLE;
        if (!done || out == nullptr) {
            zeljbigFree(o.outData);
            if (!done && out != nullptr && !reason) errSet("the encoder failed (out of memory?)");
            return false;
        }
        out->data = o.outData;
        out->size = o.outLength;
        return true;
    }
};

bool encodeOnce(const RowSource &src, const JbigEncodeOptions &o, Coded *out, uint32_t stripeFlags = 0) {
    *out = Coded{};
    Encode e;
    if (e.read(src, o, stripeFlags)) e.code();
    return e.take(out);
}

// An encode that may be coded on a second thread: start() begins it there
// where one can be started, finish() waits for it or, if it never began,
// codes it here. The library's error text is its own thread's, so the job
// keeps the coding thread's.
struct Job {
    Encode e;
    char reason[256] = "";  // no allocation on the coding thread
    std::thread thread;

    void run() {
        e.code();
        if (!e.ok) std::snprintf(reason, sizeof reason, "%s", errText());
    }
    bool start() {
        try {
            thread = std::thread(&Job::run, this);
            return true;
        } catch (const std::system_error &) {
            return false;
        }
    }
    void wait() {
        if (thread.joinable()) thread.join();
    }
    // The stream, or false with the reason as this thread's.
    bool finish(Coded *out) {
        *out = Coded{};
        if (thread.joinable())
            thread.join();
        else if (e.ok)
            run();
        if (!e.ok && reason[0] != '\0') errSet("%s", reason);
        return e.take(out);
    }
};

// The picture (in memory) coded with each template, at once when
// `parallel`.
bool encodeBoth(const RowSource &src, JbigEncodeOptions o, bool parallel, Coded *two, Coded *three) {
    Job withTwo;
    o.LRLTWO = 1;
    if (!withTwo.e.read(src, o, 0)) return false;
    if (parallel) withTwo.start();
    o.LRLTWO = 0;
    const bool threeOk = encodeOnce(src, o, three);
    const bool twoOk = withTwo.finish(two);
    if (threeOk && twoOk) return true;
    two->release();
    three->release();
    return false;
}

// LRLTWO for the template that codes `sample` (one plane, in memory)
// smaller under options t.
bool chooseTemplate(const RowSource &sample, JbigEncodeOptions t, bool parallel, uint8_t *two) {
    Coded withTwo, withThree;
    if (!encodeBoth(sample, t, parallel, &withTwo, &withThree)) return false;
    *two = withTwo.size < withThree.size;
    withTwo.release();
    withThree.release();
    return true;
}

// Rows of a source (one plane) read once into memory, on the calling
// thread.
struct Held {
    std::vector<uint8_t> bytes;
    ZeljbigRaster raster{};

    bool read(const RowSource &src) {
        raster = ZeljbigRaster{src.width, src.height, (size_t(src.width) + 7) / 8, nullptr};
        try {
            bytes.resize(raster.stride * src.height);
        } catch (const std::bad_alloc &) {
            return errSet("out of memory for the template sample");
        }
        raster.data = bytes.data();
        return src.rows(0, 0, src.height, raster.data, raster.stride);
    }
};

RowSource inMemory(const ZeljbigRaster *r, const RowSource &like) {
    return RowSource{r, nullptr, nullptr, like.planes, like.width, like.height, nullptr, 0};
}

constexpr uint64_t kSpeculateBytes = uint64_t(64) << 20;

// The stream with the template that codes a sample of the first plane
// smaller (`o` otherwise as given): bands of rows spread over the
// picture, or the picture itself when it is small.
bool encodeChoosing(const RowSource &src, JbigEncodeOptions o, uint32_t stripeFlags, Coded *out) {
    constexpr uint32_t kBands = 8, kRows = 32, kGuessRows = 16;
    const bool whole = src.height <= kBands * kRows * 2;
    JbigEncodeOptions t = o;
    t.D = 0;
    t.flags |= JBIG_FLAG_NO_PATINFO;
    if (whole) {
        Held held;
        RowSource sample = src;
        sample.planes = 1;
        if (src.rasters == nullptr) {
            if (!held.read(sample)) return false;
            sample = inMemory(&held.raster, sample);
        }
        // One plane, one layer, one stripe: the sample's two encodes are
        // the candidates themselves.
        if (src.planes == 1 && o.D == 0 && o.L0 >= src.height && stripeFlags == 0) {
            Coded two, three;
            if (!encodeBoth(sample, o, true, &two, &three)) return false;
            const bool takeTwo = two.size < three.size;
            (takeTwo ? three : two).release();
            *out = takeTwo ? two : three;
            return true;
        }
        t.XD = sample.width;
        t.YD = t.L0 = sample.height;
        return chooseTemplate(sample, t, true, &o.LRLTWO) && encodeOnce(src, o, out, stripeFlags);
    }
    uint32_t starts[kBands];
    for (uint32_t k = 0; k < kBands; k++) starts[k] = uint32_t(uint64_t(src.height - kRows) * k / (kBands - 1));
    RowSource sample = src;
    sample.planes = 1;
    sample.sample = starts;
    sample.bandRows = kRows;
    sample.height = kBands * kRows;
    t.XD = sample.width;
    t.YD = t.L0 = kBands * kRows;
    // With two cores, the picture is coded on a second thread while this one
    // codes the sample with both templates, with the template that codes
    // the first band smaller; a wrong guess is coded again here. The
    // sample decides, as always. The coding thread reads no rows: they are
    // the caller's rasters, or already in the encoder (one plane and one
    // layer, which leave them in place). A wrong guess holds two encoders'
    // rows at once, so only pictures of up to kSpeculateBytes are coded so.
    const uint64_t bytes = (uint64_t(src.width) + 7) / 8 * src.height * src.planes;
    const bool speculate = std::thread::hardware_concurrency() >= 2 && bytes <= kSpeculateBytes &&
                           (src.rasters != nullptr || (src.planes == 1 && o.D == 0));
    if (!speculate) {
        Held held;
        if (!held.read(sample)) return false;
        return chooseTemplate(inMemory(&held.raster, sample), t, true, &o.LRLTWO) &&
               encodeOnce(src, o, out, stripeFlags);
    }
    Held first;
    RowSource band = sample;
    band.height = kGuessRows;
    if (src.rasters == nullptr) {
        if (!first.read(band)) return false;
        band = inMemory(&first.raster, band);
    }
    JbigEncodeOptions b = t;
    b.YD = b.L0 = kGuessRows;
    if (!chooseTemplate(band, b, false, &o.LRLTWO)) return false;
    Job coded;
    if (!coded.e.read(src, o, stripeFlags)) return false;
    const uint8_t guess = o.LRLTWO;
    const ZeljbigRaster rows = coded.e.raster();
    if (src.rasters == nullptr) sample.rasters = &rows;
    coded.start();
    const bool chose = chooseTemplate(sample, t, false, &o.LRLTWO);
    if (chose && o.LRLTWO == guess) return coded.finish(out);
    bool ok = false;
    if (chose) {
        // The rows from the encoder that has them, as the reader's are
        // read on this thread only.
        ok = encodeOnce(src.rasters != nullptr ? src : inMemory(&rows, src), o, out, stripeFlags);
    }
    coded.wait();  // then let go with its stream
    return ok;
}

// ATMOVE segments of a stream this library made.
uint32_t atMovesOf(const Coded &c) {
    ZeljbigReader *r = zeljbigOpenMemory(c.data, c.size);
    ZeljbigInfo info{};
    if (r != nullptr) zeljbigGetInfo(r, &info);
    zeljbigClose(r);
    return info.atmoves;
}

// The options of the jbig... encoder for the parameters and a picture's
// size; false, with the reason, for parameters it cannot code.
bool encodeOptions(const ZeljbigEncodeParams &p, uint32_t w, uint32_t h, JbigEncodeOptions *o) {
    auto tristate = [](int32_t v) { return v >= -1 && v <= 1; };
    if (p.layers > 31) return errSet("%lu differential layers: 0 to 31 are possible", (unsigned long)p.layers);
    if (p.atMax > 127) return errSet("AT moves of up to %lu columns: at most 127 are possible", (unsigned long)p.atMax);
    if (!tristate(p.twoLine) || !tristate(p.tpbon) || !tristate(p.tpdon) || !tristate(p.dpon))
        return errSet("template and prediction choices are 1, 0 or -1");
    if (p.flags & ~uint32_t(ZELJBIG_BEST | ZELJBIG_NO_INDEX | ZELJBIG_HIGHEST_FIRST | ZELJBIG_SDRST))
        return errSet("unknown flags 0x%lX", (unsigned long)p.flags);
    if (p.planes > kMaxPlanes) return errSet("%lu bit planes: 1 to 255 are possible", (unsigned long)p.planes);
    if (w == 0 || h == 0) return errSet("image has no pixels (%lu x %lu)", (unsigned long)w, (unsigned long)h);
    // The whole standard, for the stripes in the announced order: by
    // default the lowest layer first, as decoders that read stripes in
    // stream order need.
    const uint16_t flags = JBIG_FLAG_MEMORY | JBIG_FLAG_FULL_STANDARD |
                           ((p.flags & ZELJBIG_NO_INDEX) ? JBIG_FLAG_NO_PATINFO : 0);
    jbigEncodeCreatDefaultOptions(o, w, h, p.layers, flags);
    o->HITOLO = (p.flags & ZELJBIG_HIGHEST_FIRST) ? 1 : 0;
    o->MX = uint8_t(p.atMax);
    // One stripe and, with layers, deterministic prediction: both code smaller.
    o->L0 = p.stripeLines > 0 ? p.stripeLines
                              : std::max<uint32_t>(1, uint32_t((uint64_t(h) + (1ull << p.layers) - 1) >> p.layers));
    o->DPON = uint8_t(p.dpon >= 0 ? p.dpon : p.layers > 0);
    if (p.tpbon >= 0) o->TPBON = uint8_t(p.tpbon);
    if (p.tpdon >= 0) o->TPDON = uint8_t(p.tpdon);
    if (p.twoLine >= 0) o->LRLTWO = uint8_t(p.twoLine);
    // The decoder's limits, so that whatever is encoded can be decoded.
    JbigBih b{};
    b.P = uint8_t(p.planes ? p.planes : 1);
    b.D = o->D;
    b.XD = w;
    b.YD = h;
    b.L0 = o->L0;
    switch (BihProblem problem = bihCheck(b, true, true)) {
    case kBihUsable: return true;
    case kBihStripeHeight:
        return errSet("lines per stripe too large for %lu layers", (unsigned long)p.layers);
    case kBihStripes:
        return errSet("%llu stripes per layer, at most 32767 are possible: give more lines per stripe",
                      (unsigned long long)stripesOf(b));
    default: return bihReason(b, problem);
    }
}

ZeljbigEncodeParams paramsOrDefaults(const ZeljbigEncodeParams *params) {
    ZeljbigEncodeParams p;
    if (params != nullptr) return *params;
    zeljbigEncodeDefaults(&p);
    return p;
}

}  // namespace

void zeljbigEncodeDefaults(ZeljbigEncodeParams *params) {
    if (params == nullptr) return;
    *params = ZeljbigEncodeParams{};
    params->twoLine = params->tpbon = params->tpdon = params->dpon = -1;
    params->planes = 1;
}

int32_t zeljbigEncodeCheck(const ZeljbigEncodeParams *params, uint32_t width, uint32_t height) {
    errClear();
    JbigEncodeOptions o{};
    return encodeOptions(paramsOrDefaults(params), width, height, &o) ? 0 : -1;
}

namespace {

int32_t encodeFrom(const ZeljbigEncodeParams *params, RowSource src, uint8_t **out, size_t *outSize) {
    if (out == nullptr || outSize == nullptr) return errSet("nowhere to put the stream"), -1;
    *out = nullptr;
    *outSize = 0;
    const ZeljbigEncodeParams p = paramsOrDefaults(params);
    JbigEncodeOptions o{};
    if (!encodeOptions(p, src.width, src.height, &o)) return -1;

    Coded best;
    bool failed = false;
    const uint32_t stripeFlags = (p.flags & ZELJBIG_SDRST) ? kEncSdrst : 0;
    // Keeps the candidate if it is the smallest yet; true then.
    auto consider = [&](const JbigEncodeOptions &with) {
        Coded c;
        if (failed || !encodeOnce(src, with, &c, stripeFlags)) return failed = true, false;
        if (best.data != nullptr && c.size >= best.size) return c.release(), false;
        best.release();
        best = c;
        return true;
    };
    if (p.flags & ZELJBIG_BEST) {
        // Every template with the AT pixel free to move up to 127 columns;
        // then the better of them with it kept in place, if it did move:
        // the smallest wins.
        uint8_t better = 0;
        for (int two = 0; two < 2; two++) {
            if (p.twoLine >= 0 && two != p.twoLine) continue;
            o.LRLTWO = uint8_t(two);
            o.MX = 127;
            if (consider(o)) better = uint8_t(two);
        }
        o.LRLTWO = better;
        if (!failed && atMovesOf(best) > 0) {
            o.MX = 0;
            consider(o);
        }
    } else {
        if (p.twoLine < 0) {
            failed = !encodeChoosing(src, o, stripeFlags, &best);
        } else {
            consider(o);
        }
    }
    if (failed) {
        best.release();
        return -1;
    }
    *out = best.data;
    *outSize = best.size;
    return 0;
}

}  // namespace

int32_t zeljbigEncode(const ZeljbigEncodeParams *params, const ZeljbigRaster *planes, uint8_t **out, size_t *outSize) {
    errClear();
    if (planes == nullptr) return errSet("no raster"), -1;
    const uint32_t n = params && params->planes ? std::min<uint32_t>(params->planes, kMaxPlanes) : 1;
    for (uint32_t q = 0; q < n; q++) {
        const ZeljbigRaster &r = planes[q];
        if (r.data == nullptr || r.stride < (size_t(r.width) + 7) / 8 || r.width != planes[0].width ||
            r.height != planes[0].height)
            return errSet("the rasters are not all of one size with rows of (width + 7) / 8 bytes"), -1;
    }
    return encodeFrom(params, RowSource{planes, nullptr, nullptr, n, planes[0].width, planes[0].height, nullptr, 0},
                      out, outSize);
}

int32_t zeljbigEncodeRows(const ZeljbigEncodeParams *params, uint32_t width, uint32_t height, ZeljbigRowReader read,
                          void *user, uint8_t **out, size_t *outSize) {
    errClear();
    if (read == nullptr) return errSet("no row reader"), -1;
    const uint32_t n = params && params->planes ? std::min<uint32_t>(params->planes, kMaxPlanes) : 1;
    return encodeFrom(params, RowSource{nullptr, read, user, n, width, height, nullptr, 0}, out, outSize);
}
