// Encoding and decoding through the library's zeljbig... family: the tool
// only reads and writes its image formats.
#include "jbig.h"

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

void Decoder::writeLayer(int layer, Format format, Output &out) {
    ZeljbigRaster view;
    if (zeljbigDecodeView(reader_, layer, 0, &view) != 0)
        fail(layer >= info_.completeLayers ? kInput : kInternal, name_, zeljbigLastError());
    if (format == Format::Png) {
        const Bytes png = writePng(view.width, view.height, view.data, view.stride);
        return out.write(png.data(), png.size());
    }
    if (format == Format::Bmp) return writeBmp(out, view.width, view.height, view.data, view.stride);
    writePbm(out, view.width, view.height, view.data, view.stride);
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

Bytes encodeImage(Bytes data, const std::string &name, const EncodeSettings &s) {
    const Format format = sniffImage(data, name);
    const Bitmap b = format == Format::Bmp   ? readBmp(data, name, s.threshold)
                     : format == Format::Png ? readPng(data, name, s.threshold)
                                             : readPbm(std::move(data), name);
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
    // The picture is known to fit (checkImageSize): what is left is the
    // user's choice of layers and stripes.
    if (zeljbigEncodeCheck(&p, b.width, b.height) != 0) {
        const std::string why = zeljbigLastError();
        fail(why.rfind("image", 0) == 0 ? kInput : kUsage, name, why);
    }
    const ZeljbigRaster raster{b.width, b.height, b.stride(), const_cast<uint8_t *>(b.row(0))};
    uint8_t *out = nullptr;
    size_t size = 0;
    if (zeljbigEncode(&p, &raster, &out, &size) != 0) fail(kInternal, name, zeljbigLastError());
    Bytes stream(out, out + size);
    zeljbigFree(out);
    return stream;
}

}  // namespace cli
