// Encoding and decoding through the library's exported interface, and the
// checks that keep a damaged stream from turning into a wrong image: the
// decoder itself never reports bad data.
#include "jbig.h"

#include <cstring>

#include "../frame/jpgLib.h"

namespace cli {

namespace {

const HGLOBAL kFailedBlock = reinterpret_cast<HGLOBAL>(~uintptr_t(0));

std::string hex2(unsigned v) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", v & 0xFF);
    return s;
}

// A movable global block holding a copy of `data`.
HGLOBAL globalCopy(const uint8_t *data, size_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size ? size : 1);
    if (!block) return nullptr;
    void *p = GlobalLock(block);
    if (!p) {
        GlobalFree(block);
        return nullptr;
    }
    if (size) std::memcpy(p, data, size);
    GlobalUnlock(block);
    return block;
}

// A copy of bytes in a movable global block, freed on destruction.
struct GlobalBlockCopy {
    HGLOBAL handle;
    explicit GlobalBlockCopy(const Bytes &b) : handle(globalCopy(b.data(), b.size())) {}
    ~GlobalBlockCopy() {
        if (handle) GlobalFree(handle);
    }
};

}  // namespace

// Why the library cannot take a header, in the user's words.
std::string headerProblem(const JbigBih &b, BihProblem p) {
    const std::string size = std::to_string(b.XD) + " x " + std::to_string(b.YD);
    switch (p) {
    case kBihLayout:
        return "not a JBIG image: its header has DL " + std::to_string(b.DL) + ", D " + std::to_string(b.D) + ", P " +
               std::to_string(b.P) + " where DL 0, D below 32 and P 1 are expected";
    case kBihEmpty: return "not a JBIG image: its header has a zero width, height or stripe size";
    case kBihStripeHeight: return "not a JBIG image: stripe height too large";
    case kBihStripes: return "unsupported JBIG image: more than 32767 stripes per layer";
    case kBihRaster:
    case kBihTooLarge: return "image too large to decode (" + size + ", at most 1 GiB of pixels)";
    case kBihUsable: break;
    }
    return "";
}

namespace {

// The header of `data`, refused with the reason when the library cannot
// decode it. An unknown height is left to NEWLEN.
JbigBih readHeader(const Bytes &data, const std::string &name) {
    if (data.size() < kBihBytes) fail(kInput, name, "not a JBIG image: shorter than the 20-byte header");
    JbigBih b{};
    bihParse(data.data(), &b);
    JbigBih known = b;
    if (known.YD == kUnknownHeight) known.YD = 1;
    BihProblem p = bihCheck(known, true);
    if (p != kBihUsable) fail(kInput, name, headerProblem(b, p));
    if ((b.options & kDPPRIV) && (b.options & kDPLAST))
        fail(kInput, name, "needs the deterministic-prediction table of an earlier image (DPPRIV with DPLAST)");
    if ((b.options & kDPPRIV) && data.size() < kBihBytes + kDpPrivBytes)
        fail(kInput, name, "truncated: the private deterministic-prediction table is cut short");
    return b;
}

std::string where(int layer, int stripe) {
    return " (layer " + std::to_string(layer) + ", stripe " + std::to_string(stripe) + ")";
}

}  // namespace

// ---- Decoder ----

Decoder::Decoder(const Bytes &data, const std::string &name) : name_(name), size_(data.size()) {
    const JbigBih header = readHeader(data, name);
    announced_ = header.YD;
    block_ = globalCopy(data.data(), data.size());
    if (!block_) fail(kInternal, name, "out of memory for the input");
    opts_.flags = JBIG_FLAG_MEMORY | JBIG_FLAG_FULL_STANDARD;
    opts_.inHandle = block_;
    opts_.inLength = uint32_t(data.size());
    handle_ = jbigDecodeProlog(nullptr, &opts_);
    if (handle_ == JBIG_INVALID_HANDLE) {
        GlobalFree(block_);
        block_ = nullptr;
        if (header.YD == kUnknownHeight)
            fail(kInput, name, "the height is unknown (YD 0xFFFFFFFF) and no NEWLEN gives it");
        if (stripeOrderOf(header.order) == kNoOrder)
            fail(kInput, name, "stripes cannot be located: no stripe index and order bits SEQ and SMID both set");
        const uint64_t head = kBihBytes + ((header.options & kDPPRIV) ? kDpPrivBytes : 0);
        if (data.size() <= head)
            fail(kInput, name, "truncated: the " + std::to_string(head) + "-byte header is followed by no stripe data");
        fail(kInternal, name, "the decoder cannot open this stream (out of memory?)");
    }
    // The library decodes damaged data without complaint: look at every
    // stripe first.
    JbigContext *ctx = ctxFromHandle(handle_, kModeDecoder);
    stripeSurvey(ctx, &survey_);
    std::string why;
    const uint32_t *columns = survey_.markers.atColumns;
    const int d = survey_.badLayer, k = survey_.badStripe;
    if (d >= 0 && indexFound()) {
        why = "damaged stripe index: layer " + std::to_string(d) + " stripe " + std::to_string(k) +
              " does not point at stripe data";
    } else if (d >= 0) {
        const uint32_t *e = stripeEntry(ctx, uint32_t(d), uint32_t(k));
        const uint32_t at = e[0] + survey_.problem.at, code = survey_.problem.problem - kSdeMarker;
        if (survey_.problem.problem == kSdeDataEnded && d > 0) {
            // Cut short after complete layers: those stay readable.
            complete_ = d;
            cut_ = "the stripe data ends early" + where(d, k);
        } else if (survey_.problem.problem == kSdeDataEnded)
            why = "truncated: the stripe data ends early" + where(d, k);
        else if (code == kAtmove)
            why = "damaged stripe data: ATMOVE after coded data at byte " + std::to_string(at) + where(d, k);
        else
            why = "damaged stripe data: marker 0xFF " + hex2(code) + " at byte " + std::to_string(at) + where(d, k);
    } else if (ctx->dec.newlenIgnored) {
        why = "damaged stream: a NEWLEN names no fewer rows than the " + std::to_string(ctx->bih.YD) + " there are";
    } else if (survey_.markers.atRowsBackwards) {
        why = "damaged stream: ATMOVE segments of a stripe name their lines out of order";
    } else {
        for (uint32_t tx = uint32_t(ctx->bih.MX) + 1; tx < 256 && why.empty(); tx++)
            if (columns[tx >> 5] >> (tx & 31) & 1)
                why = "damaged stream: an ATMOVE moves the AT pixel " + std::to_string(tx) +
                      " columns, more than MX " + std::to_string(ctx->bih.MX);
    }
    if (why.empty()) return;
    jbigDecodeEpilog(handle_);
    GlobalFree(block_);
    handle_ = JBIG_INVALID_HANDLE;
    block_ = nullptr;
    fail(kInput, name, why);
}

uint32_t Decoder::announcedHeight() const { return announced_; }
uint32_t Decoder::newlenHeight() const { return ctxFromHandle(handle_, kModeDecoder)->dec.newlenYD; }

uint32_t Decoder::stripes() const { return uint32_t(ctxFromHandle(handle_, kModeDecoder)->tableStripes); }

uint64_t Decoder::indexBytes() const {
    return indexFound() ? patInfoBytes(ctxFromHandle(handle_, kModeDecoder)) : 0;
}

uint64_t Decoder::trailingBytes() const {
    const uint64_t end = size_ - indexBytes();
    return end > survey_.dataEnd ? end - survey_.dataEnd : 0;
}

uint64_t Decoder::layerBytes(int layer) const {
    JbigContext *ctx = ctxFromHandle(handle_, kModeDecoder);
    uint64_t sum = 0;
    for (int32_t k = 0; k < ctx->tableStripes; k++) sum += stripeEntry(ctx, uint32_t(layer), uint32_t(k))[1];
    return sum;
}

Decoder::~Decoder() {
    if (handle_ != JBIG_INVALID_HANDLE) jbigDecodeEpilog(handle_);
    if (block_) GlobalFree(block_);
}

void Decoder::writeLayer(int layer, Format format, Output &out) {
    if (format == Format::Bmp) {
        HGLOBAL dib = jbigDecodeToWinDIB(handle_, layer);
        if (dib == kFailedBlock || dib == nullptr)
            fail(kInternal, name_, "the decoder failed on layer " + std::to_string(layer));
        auto *p = static_cast<const uint8_t *>(GlobalLock(dib));
        size_t size = GlobalSize(dib);
        bool written = false;
        if (p && size >= 48) {
            // The packed DIB is a BMP file without its 14-byte file header.
            uint32_t w = le32(p + 4), h = le32(p + 8);
            uint64_t bytes = 48 + uint64_t((w + 7) / 8 + 3) / 4 * 4 * h;
            if (bytes <= size && bytes + 14 <= 0xFFFFFFFFu) {
                uint8_t head[14] = {'B', 'M'};
                for (int i = 0; i < 4; i++) {
                    head[2 + i] = uint8_t((bytes + 14) >> (8 * i));
                    head[10 + i] = uint8_t((14 + 48) >> (8 * i));
                }
                out.write(head, sizeof head);
                out.write(p, size_t(bytes));
                written = true;
            }
        }
        if (p) GlobalUnlock(dib);
        GlobalFree(dib);
        if (!written) fail(kInternal, name_, "the decoder delivered no usable bitmap for layer " + std::to_string(layer));
        return;
    }
    // PBM and PNG straight from the decoder's own rows.
    JbigContext *ctx = ctxFromHandle(handle_, kModeDecoder);
    // A layer at a time, for the progress line: each goes on from the last.
    bool decoded = layer > ctx->layerCursor;
    for (int d = ctx->layerCursor + 1; decoded && d <= layer; d++) {
        progressLayer("decoding", d, 0, layer, opts_.XD, opts_.YD);
        decoded = decodeToLayer(handle_, d) != -1;
    }
    ctxCloseFile(ctx);
    JbigImageInfo info{};
    if (!decoded || jbigDecodeGetImageAddress(handle_, &info) == reinterpret_cast<JbigImageInfo *>(~uintptr_t(0)))
        fail(kInternal, name_, "the decoder failed on layer " + std::to_string(layer));
    if (format == Format::Png) {
        const Bytes png = writePng(info.width, info.height, info.data, info.bytesPerLine, out.path());
        return out.write(png.data(), png.size());
    }
    writePbm(out, info.width, info.height, info.data, info.bytesPerLine);
}

// ---- encoding ----

Format sniffImage(const Bytes &d, const std::string &name) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (d.empty()) fail(kInput, name, "empty file");
    if (d.size() >= 8 && std::memcmp(d.data(), kPng, 8) == 0) return Format::Png;
    if (d.size() >= 2 && d[0] == 'B' && d[1] == 'M') return Format::Bmp;
    if (d.size() >= 2 && d[0] == 'P' && (d[1] == '1' || d[1] == '4')) return Format::Pbm;
    if (d.size() >= 2 && d[0] == 'P' && d[1] >= '2' && d[1] <= '7')
        fail(kInput, name, "a netpbm grey or colour image: only PBM (P1, P4) is read; PNG takes grey and colour");
    fail(kInput, name, "not a PBM, BMP or PNG image");
}

namespace {

// A 1-bit BMP that the library's DIB operation takes as it stands: bottom-up,
// uncompressed, with one dark and one light colour. The library reads the
// bits as colour indices, so the polarity flag follows the colour table.
struct Dib {
    HGLOBAL block = nullptr;
    uint32_t width = 0, height = 0;
    uint16_t polarity = 0;
    ~Dib() {
        if (block) GlobalFree(block);
    }
};

bool oneBitDib(const Bytes &d, int threshold, Dib *dib) {
    if (d.size() < 14 + 40) return false;
    uint32_t offBits = le32(&d[10]), hsize = le32(&d[14]);
    int32_t w = int32_t(le32(&d[18])), h = int32_t(le32(&d[22]));
    uint32_t bpp = le16(&d[28]), compression = le32(&d[30]), clrUsed = le32(&d[46]);
    if (hsize < 40 || hsize > 1024 || bpp != 1 || compression != 0 || w <= 0 || h <= 0) return false;
    if (clrUsed != 0 && clrUsed != 2) return false;
    uint64_t table = 14 + uint64_t(hsize), line = (uint64_t(w) + 31) / 32 * 4;
    if (d.size() < table + 8 || offBits > d.size() || (d.size() - offBits) / line < uint64_t(h)) return false;
    bool dark0 = greyOf(d[table + 2], d[table + 1], d[table]) < threshold;
    bool dark1 = greyOf(d[table + 6], d[table + 5], d[table + 4]) < threshold;
    if (dark0 == dark1) return false;
    // Header and table as the library expects them, then the pixel rows
    // from wherever the file keeps them.
    Bytes packed(d.begin() + 14, d.begin() + long(table) + 8);
    packed.insert(packed.end(), d.begin() + offBits, d.begin() + long(offBits + line * uint64_t(h)));
    dib->block = globalCopy(packed.data(), packed.size());
    if (!dib->block) return false;
    dib->width = uint32_t(w);
    dib->height = uint32_t(h);
    dib->polarity = dark1 ? JBIG_FLAG_POLARITY : 0;
    return true;
}

}  // namespace

namespace {

// The picture to code: a 1-bit DIB the library takes as it stands, or rows.
struct Source {
    Dib dib;
    Bitmap bitmap;
    uint32_t width = 0, height = 0;
};

// One encode, memory to memory; empty when the library fails.
Bytes encodeOnce(const Source &src, JbigEncodeOptions o) {
    JbigHandle enc = jbigEncodeProlog(nullptr, &o);
    if (enc == JBIG_INVALID_HANDLE) return {};
    bool ok;
    if (src.dib.block) {
        ok = jbigEncodeSetOrgDataFromWinDIB(enc, src.dib.block) == 0;
    } else {
        JbigImageInfo info{src.width, src.height, uint32_t(src.bitmap.stride()), 1, 0, 0,
                           const_cast<uint8_t *>(src.bitmap.row(0))};
        ok = jbigEncodeSetOrgDataFromRect(enc, &info) == 0;
    }
    for (int layer = o.D; ok && layer >= 0; layer--) {
        progressLayer("encoding", layer, o.D, 0, o.XD, o.YD);
        ok = jbigEncode(enc) == 0;
    }
    ok = jbigEncodeEpilog(enc) == 0 && ok && o.outData;
    Bytes out;
    if (ok) out.assign(o.outData, o.outData + o.outLength);
    if (o.outData) HeapFree(GetProcessHeap(), 0, o.outData);
    return out;
}

// Bands of rows spread over the picture: a sample that codes like it.
Source sampleOf(const Bitmap &b) {
    constexpr uint32_t kBands = 8, kRows = 32;
    Source s;
    s.width = b.width;
    if (b.height <= kBands * kRows * 2) {
        s.bitmap = b;
    } else {
        s.bitmap.width = b.width;
        for (uint32_t k = 0; k < kBands; k++) {
            const uint8_t *from = b.row(uint32_t(uint64_t(b.height - kRows) * k / (kBands - 1)));
            s.bitmap.bits.insert(s.bitmap.bits.end(), from, from + b.stride() * kRows);
        }
        s.bitmap.height = kBands * kRows;
    }
    s.height = s.bitmap.height;
    return s;
}

// The ATMOVE segments of a stream this tool made.
uint32_t atMovesOf(const Bytes &stream) {
    GlobalBlockCopy block(stream);
    JbigDecodeOptions o{};
    o.flags = JBIG_FLAG_MEMORY | JBIG_FLAG_FULL_STANDARD;
    o.inHandle = block.handle;
    o.inLength = uint32_t(stream.size());
    JbigHandle h = jbigDecodeProlog(nullptr, &o);
    if (h == JBIG_INVALID_HANDLE) return 0;
    StripeSurvey survey;
    stripeSurvey(ctxFromHandle(h, kModeDecoder), &survey);
    jbigDecodeEpilog(h);
    return survey.markers.atmoves;
}

}  // namespace

Bytes encodeImage(Bytes data, const std::string &name, const EncodeSettings &s) {
    Format format = sniffImage(data, name);
    Source src;
    if (format == Format::Bmp && oneBitDib(data, s.threshold, &src.dib))
        checkImageSize(src.dib.width, src.dib.height, name);
    else if (format == Format::Bmp)
        src.bitmap = readBmp(data, name, s.threshold);
    else if (format == Format::Png)
        src.bitmap = readPng(data, name, s.threshold);
    else
        src.bitmap = readPbm(std::move(data), name);
    const uint32_t w = src.width = src.dib.block ? src.dib.width : src.bitmap.width;
    const uint32_t h = src.height = src.dib.block ? src.dib.height : src.bitmap.height;

    // The whole standard, for the stripes in the announced order: the
    // lowest layer first, as decoders that read stripes in stream order need.
    JbigEncodeOptions o{};
    uint16_t flags = JBIG_FLAG_MEMORY | JBIG_FLAG_FULL_STANDARD | src.dib.polarity |
                     (s.noIndex ? JBIG_FLAG_NO_PATINFO : 0);
    jbigEncodeCreatDefaultOptions(&o, w, h, uint32_t(s.layers), flags);
    o.HITOLO = 0;
    o.MX = uint8_t(s.atMax);
    // One stripe and, with layers, deterministic prediction: both code smaller.
    o.L0 = s.stripeLines > 0 ? uint32_t(s.stripeLines) : std::max<uint32_t>(1, uint32_t((uint64_t(h) + (1ull << s.layers) - 1) >> s.layers));
    o.DPON = uint8_t(s.dpon >= 0 ? s.dpon : s.layers > 0);
    if (s.tpbon >= 0) o.TPBON = uint8_t(s.tpbon);
    if (s.tpdon >= 0) o.TPDON = uint8_t(s.tpdon);
    if (s.lrltwo >= 0) o.LRLTWO = uint8_t(s.lrltwo);
    JbigBih b{};
    b.P = 1;
    b.D = o.D;
    b.XD = w;
    b.YD = h;
    b.L0 = o.L0;
    switch (BihProblem p = bihCheck(b, true)) {
    case kBihUsable: break;
    case kBihStripeHeight:
        fail(kUsage, name, "lines per stripe too large for " + std::to_string(s.layers) + " layers");
    case kBihStripes:
        fail(kUsage, name,
             std::to_string(stripesOf(b)) + " stripes per layer, at most 32767 are possible: give more lines per stripe");
    default: fail(kInput, name, headerProblem(b, p));
    }

    Bytes best;
    // Keeps the candidate if it is the smallest yet; true then.
    auto consider = [&](Bytes candidate) {
        if (candidate.empty()) fail(kInternal, name, "the encoder failed");
        if (!best.empty() && candidate.size() >= best.size()) return false;
        best = std::move(candidate);
        return true;
    };
    if (s.best) {
        // Every template with the AT pixel free to move up to 127 columns;
        // then the better of them with it kept in place, if it did move:
        // the smallest wins.
        uint8_t better = 0;
        for (int two = 0; two < 2; two++) {
            if (s.lrltwo >= 0 && two != s.lrltwo) continue;
            o.LRLTWO = uint8_t(two);
            o.MX = 127;
            if (consider(encodeOnce(src, o))) better = uint8_t(two);
        }
        o.LRLTWO = better;
        if (atMovesOf(best) > 0) {
            o.MX = 0;
            consider(encodeOnce(src, o));
        }
        return best;
    }
    if (s.lrltwo < 0) {
        // The template that codes a sample of the picture smaller.
        const Source sample = src.dib.block ? sampleOf(readBmp(data, name, s.threshold)) : sampleOf(src.bitmap);
        JbigEncodeOptions t = o;
        t.XD = sample.width;
        t.YD = t.L0 = sample.height;
        t.D = 0;
        t.flags |= JBIG_FLAG_NO_PATINFO;
        t.LRLTWO = 1;
        const size_t two = encodeOnce(sample, t).size();
        t.LRLTWO = 0;
        o.LRLTWO = two < encodeOnce(sample, t).size();
    }
    consider(encodeOnce(src, o));
    return best;
}

}  // namespace cli
