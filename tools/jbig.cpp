// Encoding and decoding through the library's zeljbig... family: the tool
// only reads and writes its image formats.
#include "jbig.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace cli {

// ---- Decoder ----

Decoder::Decoder(const Bytes &data, const std::string &name) : name_(name) {
    reader_ = zeljbigOpenMemory(data.data(), data.size());
    if (reader_ == nullptr) fail(kInput, name, zeljbigLastError());
    zeljbigGetInfo(reader_, &info_);
}

Decoder::~Decoder() { zeljbigClose(reader_); }

void Decoder::requireEveryLayer() const {
    if (info_.completeLayers <= info_.D) fail(kInput, name_, zeljbigProblem(reader_));
}

void Decoder::writeLayer(int layer, Format format, Output &out, uint32_t plane) {
    ZeljbigRaster view;
    // A layer at a time on a terminal, for the progress line: each goes on
    // from the one below.
    for (int d = decoded_ + 1; limits().progress && d < layer; d++) {
        progressLayer("decoding", d, 0, layer, info_.XD, info_.YD);
        if (zeljbigDecodeView(reader_, d, plane, &view) != 0) break;
    }
    progressLayer("decoding", layer, 0, layer, info_.XD, info_.YD);
    decoded_ = layer;
    if (zeljbigDecodeView(reader_, layer, plane, &view) != 0)
        fail(layer >= info_.completeLayers ? kInput : kInternal, name_, zeljbigLastError());
    if (format == Format::Png) {
        const Bytes png = writePng(view.width, view.height, view.data, view.stride, out.path());
        return out.write(png.data(), png.size());
    }
    if (format == Format::Bmp) return writeBmp(out, view.width, view.height, view.data, view.stride);
    writePbm(out, view.width, view.height, view.data, view.stride);
}

void Decoder::writeGrey(int layer, Format format, bool gray, Output &out) {
    uint32_t w = 0, h = 0;
    zeljbigLayerSize(reader_, uint32_t(layer), &w, &h);
    const uint32_t P = info_.P;
    if (P > 16) fail(kUsage, name_, std::to_string(P) + " bit planes: greyscale holds at most 16; write one with --plane N");
    const size_t row = (size_t(w) + 7) / 8;
    std::vector<Bytes> bits(P);
    std::vector<ZeljbigRaster> planes(P);
    Grey g;
    g.width = w;
    g.height = h;
    g.bits = P;
    try {
        for (uint32_t k = 0; k < P; k++) {
            bits[k].resize(row * h);
            planes[k] = ZeljbigRaster{w, h, row, bits[k].data()};
        }
        g.samples.resize(g.stride() * h);
    } catch (const std::bad_alloc &) {
        fail(kInternal, name_, "out of memory for " + std::to_string(P) + " planes of " + std::to_string(w) + " x " +
                                   std::to_string(h));
    }
    for (uint32_t k = 0; k < P; k++) {
        progressLayer("decoding", layer, 0, layer, info_.XD, info_.YD);
        if (zeljbigDecodeInto(reader_, layer, k, bits[k].data(), row) != 0)
            fail(layer >= info_.completeLayers ? kInput : kInternal, name_, zeljbigLastError());
    }
    decoded_ = -1;
    zeljbigPlanesToGrey(planes.data(), P, gray, g.samples.data(), g.stride());
    if (format == Format::Png) {
        const Bytes png = writePngGrey(g, out.path());
        return out.write(png.data(), png.size());
    }
    writePgm(out, g);
}

// ---- encoding ----

Format sniffImage(const Bytes &d, const std::string &name) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (d.empty()) fail(kInput, name, "empty file");
    if (d.size() >= 8 && std::memcmp(d.data(), kPng, 8) == 0) return Format::Png;
    if (d.size() >= 2 && d[0] == 'B' && d[1] == 'M') return Format::Bmp;
    if (d.size() >= 2 && d[0] == 'P' && (d[1] == '1' || d[1] == '4')) return Format::Pbm;
    if (d.size() >= 2 && d[0] == 'P' && (d[1] == '2' || d[1] == '5')) return Format::Pgm;
    if (d.size() >= 2 && d[0] == 'P' && d[1] >= '2' && d[1] <= '7')
        fail(kInput, name, "a netpbm colour image: PBM (P1, P4) and PGM (P2, P5) are read; PNG takes colour");
    fail(kInput, name, "not a PBM, PGM, BMP or PNG image");
}

namespace {

ZeljbigEncodeParams paramsOf(const EncodeSettings &s, uint32_t planes) {
    ZeljbigEncodeParams p;
    zeljbigEncodeDefaults(&p);
    p.layers = uint32_t(s.layers);
    p.stripeLines = s.stripeLines > 0 ? uint32_t(s.stripeLines) : 0;
    p.twoLine = s.lrltwo;
    p.tpbon = s.tpbon;
    p.tpdon = s.tpdon;
    p.dpon = s.dpon;
    p.atMax = uint32_t(s.atMax);
    p.flags = (s.best ? ZELJBIG_BEST : 0) | (s.noIndex ? ZELJBIG_NO_INDEX : 0);
    p.planes = planes;
    return p;
}

// The picture is known to fit (checkImageSize): what is left is the user's
// choice of layers and stripes.
void checkParams(const ZeljbigEncodeParams &p, uint32_t w, uint32_t h, const std::string &name) {
    if (zeljbigEncodeCheck(&p, w, h) != 0) {
        const std::string why = zeljbigLastError();
        fail(why.rfind("image", 0) == 0 ? kInput : kUsage, name, why);
    }
}

Bytes takeStream(uint8_t *out, size_t size) {
    Bytes stream(out, out + size);
    zeljbigFree(out);
    return stream;
}

// Every bit of the samples a plane, the most significant in plane 0.
Bytes encodeGrey(const Grey &g, const std::string &name, const EncodeSettings &s) {
    const ZeljbigEncodeParams p = paramsOf(s, g.bits);
    checkParams(p, g.width, g.height, name);
    const size_t row = (size_t(g.width) + 7) / 8;
    std::vector<Bytes> bits(g.bits);
    std::vector<ZeljbigRaster> planes(g.bits);
    for (uint32_t k = 0; k < g.bits; k++) {
        bits[k].resize(row * g.height);
        planes[k] = ZeljbigRaster{g.width, g.height, row, bits[k].data()};
    }
    zeljbigGreyToPlanes(g.samples.data(), g.stride(), g.bits, !s.binary, planes.data(), g.bits);
    uint8_t *out = nullptr;
    size_t size = 0;
    if (zeljbigEncode(&p, planes.data(), &out, &size) != 0) fail(kInternal, name, zeljbigLastError());
    return takeStream(out, size);
}

// A PBM file's rows, read where the file holds them.
struct PbmFile {
    FILE *f;
    uint64_t offset;
    size_t rowBytes;
};

int32_t readPbmRows(void *user, uint32_t, uint32_t first, uint32_t count, uint8_t *rows, size_t stride) {
    auto *pf = static_cast<PbmFile *>(user);
    if (std::fseek(pf->f, long(pf->offset + uint64_t(first) * pf->rowBytes), SEEK_SET) != 0) return -1;
    for (uint32_t i = 0; i < count; i++)
        if (std::fread(rows + i * stride, 1, pf->rowBytes, pf->f) != pf->rowBytes) {
            zeljbigSetError("cannot read the PBM rows (the file changed or a read failed)");
            return -1;
        }
    return 0;
}

}  // namespace

bool encodePbmFile(const std::string &path, const std::string &name, const EncodeSettings &s, Bytes *stream) {
    if (path == "-" || s.planes) return false;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    struct Closer {
        FILE *f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    Bytes head(4096);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    if (head.size() < 3 || head[0] != 'P' || head[1] != '4') return false;
    // The header: "P4", width and height (comments and white space
    // between), one white space character, then exactly one page of rows.
    PnmCursor c{head, 2};
    uint32_t v[2] = {0, 0};
    if (!c.number(&v[0]) || !c.number(&v[1])) return false;
    const size_t at = c.p;
    if (at >= head.size() || !std::isspace(head[at])) return false;
    Bitmap b;
    b.width = v[0];
    b.height = v[1];
    b.offset = at + 1;
    checkImageSize(b.width, b.height, name);
    if (std::fseek(f, 0, SEEK_END) != 0) return false;
    const uint64_t end = uint64_t(std::ftell(f)), rows = uint64_t(b.stride()) * b.height;
    if (end != b.offset + rows) return false;  // more pages, or too short: the whole file decides
    const ZeljbigEncodeParams p = paramsOf(s, 1);
    checkParams(p, b.width, b.height, name);
    PbmFile pf{f, b.offset, b.stride()};
    uint8_t *out = nullptr;
    size_t size = 0;
    if (zeljbigEncodeRows(&p, b.width, b.height, readPbmRows, &pf, &out, &size) != 0)
        fail(std::string(zeljbigLastError()).rfind("cannot read", 0) == 0 ? kInput : kInternal, name,
             zeljbigLastError());
    *stream = takeStream(out, size);
    return true;
}

Bytes encodeImage(Bytes data, const std::string &name, const EncodeSettings &s) {
    const Format format = sniffImage(data, name);
    if (s.planes && format == Format::Pgm) return encodeGrey(readPgm(data, name), name, s);
    if (s.planes && format == Format::Png) return encodeGrey(readPngGrey(data, name), name, s);
    if (s.planes) fail(kUsage, name, "--planes takes a PGM or greyscale PNG picture");
    const Bitmap b = format == Format::Bmp   ? readBmp(data, name, s.threshold)
                     : format == Format::Png ? readPng(data, name, s.threshold)
                     : format == Format::Pgm ? thresholdGrey(readPgm(data, name), s.threshold, name)
                                             : readPbm(std::move(data), name);
    const ZeljbigEncodeParams p = paramsOf(s, 1);
    checkParams(p, b.width, b.height, name);
    const ZeljbigRaster raster{b.width, b.height, b.stride(), const_cast<uint8_t *>(b.row(0))};
    uint8_t *out = nullptr;
    size_t size = 0;
    if (zeljbigEncode(&p, &raster, &out, &size) != 0) fail(kInternal, name, zeljbigLastError());
    return takeStream(out, size);
}

}  // namespace cli
