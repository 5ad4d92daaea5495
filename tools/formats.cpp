// PBM, PNG and BMP in and out. Colour and grey pixels become black when
// their grey value is below the threshold.
#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#ifndef ZELJBIG_NO_PNG
#include <png.h>
#endif

namespace cli {

uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Integer luma (ITU-R BT.601 weights), rounded.
int greyOf(int r, int g, int b) { return (r * 299 + g * 587 + b * 114 + 500) / 1000; }

Format formatFromName(const std::string &name) {
    size_t dot = name.find_last_of('.');
    size_t slash = name.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return Format::Unknown;
    std::string ext = name.substr(dot + 1);
    for (char &c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "pbm") return Format::Pbm;
    if (ext == "bmp" || ext == "dib") return Format::Bmp;
    if (ext == "png") return Format::Png;
    if (ext == "pgm") return Format::Pgm;
    return Format::Unknown;
}

const char *formatName(Format f) {
    switch (f) {
    case Format::Pbm: return "pbm";
    case Format::Bmp: return "bmp";
    case Format::Png: return "png";
    case Format::Pgm: return "pgm";
    default: return "unknown";
    }
}

// ---- PBM ----

Bitmap readPbm(Bytes data, const std::string &name) {
    if (data.size() < 2 || data[0] != 'P' || (data[1] != '1' && data[1] != '4'))
        fail(kInput, name, "not a PBM image (P1 or P4)");
    bool raw = data[1] == '4';
    PnmCursor c{data, 2};
    uint32_t w, h;
    if (!c.number(&w) || !c.number(&h)) fail(kInput, name, "damaged or truncated PBM header");
    checkImageSize(w, h, name);
    if (raw) {
        // Exactly one whitespace byte separates the header from the pixels.
        if (c.p >= data.size() || !std::isspace(data[c.p])) fail(kInput, name, "truncated PBM: no pixel data");
        c.p++;
        uint64_t need = (uint64_t(w) + 7) / 8 * h;
        if (data.size() - c.p < need)
            fail(kInput, name,
                 "truncated PBM: " + std::to_string(data.size() - c.p) + " of " + std::to_string(need) +
                     " bytes of pixels");
        Bitmap b;
        b.width = w;
        b.height = h;
        b.offset = c.p;
        b.bits = std::move(data);
        if (w & 7)
            for (uint32_t y = 0; y < h; y++) b.row(y)[w >> 3] &= uint8_t(0xFF << (8 - (w & 7)));
        return b;
    }
    // Plain PBM: every pixel takes at least one byte, so too little data is
    // known before the raster is made.
    if (uint64_t(data.size() - c.p) < uint64_t(w) * h)
        fail(kInput, name, "truncated PBM: fewer than " + std::to_string(uint64_t(w) * h) + " pixels");
    Bitmap b = makeBitmap(w, h, name);
    for (uint32_t y = 0; y < h; y++) {
        uint8_t *row = b.row(y);
        for (uint32_t x = 0; x < w; x++) {
            c.skipSpace();
            if (c.p >= data.size())
                fail(kInput, name, "truncated PBM: pixel data ends in row " + std::to_string(y + 1));
            uint8_t ch = data[c.p++];
            if (ch == '1')
                row[x >> 3] |= uint8_t(0x80 >> (x & 7));
            else if (ch != '0')
                fail(kInput, name, "bad character in plain PBM pixel data, row " + std::to_string(y + 1));
        }
    }
    return b;
}

std::vector<std::pair<size_t, size_t>> pbmPages(const Bytes &data) {
    std::vector<std::pair<size_t, size_t>> pages;
    PnmCursor c{data, 0};
    for (;;) {
        const size_t begin = c.p;
        if (data.size() - begin < 2 || data[begin] != 'P' || (data[begin + 1] != '1' && data[begin + 1] != '4')) break;
        c.p += 2;
        uint32_t w, h;
        if (!c.number(&w) || !c.number(&h)) break;
        if (data[begin + 1] == '4') {
            const uint64_t need = (uint64_t(w) + 7) / 8 * h;
            if (c.p >= data.size() || data.size() - c.p - 1 < need) {
                pages.push_back({begin, data.size()});  // cut short: readPbm tells
                break;
            }
            c.p += 1 + size_t(need);
        } else {
            for (uint64_t n = uint64_t(w) * h; n > 0 && c.p < data.size(); n--) {
                c.skipSpace();
                if (c.p < data.size()) c.p++;
            }
        }
        pages.push_back({begin, c.p});
        c.skipSpace();
    }
    return pages;
}

std::string pbmHeader(uint32_t w, uint32_t h) { return "P4\n" + std::to_string(w) + " " + std::to_string(h) + "\n"; }

void writePbmHeader(Output &out, uint32_t w, uint32_t h) {
    const std::string head = pbmHeader(w, h);
    out.write(reinterpret_cast<const uint8_t *>(head.data()), head.size());
}

void writePbm(Output &out, uint32_t w, uint32_t h, const uint8_t *rows, size_t stride) {
    writePbmHeader(out, w, h);
    const size_t rb = (size_t(w) + 7) / 8;
    if (stride == rb) return out.write(rows, rb * h);
    for (uint32_t y = 0; y < h; y++) out.write(rows + stride * y, rb);
}

// ---- BMP out ----

void writeBmp(Output &out, uint32_t w, uint32_t h, const uint8_t *rows, size_t stride) {
    // Bottom-up 1-bit rows padded to four bytes, white at index 0.
    const size_t rb = (size_t(w) + 7) / 8, line = (rb + 3) & ~size_t(3);
    const uint64_t bytes = 14 + 40 + 8 + uint64_t(line) * h;
    if (bytes > 0xFFFFFFFFu)
        fail(kOutput, out.path(), "BMP cannot hold " + std::to_string(w) + " x " + std::to_string(h) + " pixels (at most 4 GiB): write PBM or PNG");
    uint8_t head[14 + 40 + 8] = {'B', 'M'};
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) head[at + i] = uint8_t(v >> (8 * i));
    };
    put32(2, uint32_t(bytes));
    put32(10, sizeof head);
    put32(14, 40);
    put32(18, w);
    put32(22, h);
    head[26] = 1;  // planes
    head[28] = 1;  // bits per pixel
    head[54] = head[55] = head[56] = 255;
    out.write(head, sizeof head);
    Bytes row(line, 0);
    for (uint32_t y = h; y-- > 0;) {
        std::memcpy(row.data(), rows + stride * y, rb);
        out.write(row.data(), line);
    }
}

// ---- PNG ----

#ifdef ZELJBIG_NO_PNG

Bitmap readPng(const Bytes &, const std::string &name, int) { fail(kInput, name, "this zeljbig was built without PNG support"); }
Grey readPngGrey(const Bytes &, const std::string &name) { fail(kInput, name, "this zeljbig was built without PNG support"); }
Bytes writePngGrey(const Grey &, const std::string &name) { fail(kUsage, name, "this zeljbig was built without PNG support"); }
Bytes writePng(uint32_t, uint32_t, const uint8_t *, size_t, const std::string &name) {
    fail(kUsage, name, "this zeljbig was built without PNG support");
}

#else
//
// libpng reports errors by longjmp. The functions holding setjmp keep every
// object with a destructor in their callers, so the jump skips none.

namespace {

struct PngState {
    const Bytes *in = nullptr;
    size_t pos = 0;
    Bytes *out = nullptr;
    char message[160] = "";
};

void pngError(png_structp png, png_const_charp msg) {
    auto *s = static_cast<PngState *>(png_get_error_ptr(png));
    std::snprintf(s->message, sizeof s->message, "%s", msg);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

void pngRead(png_structp png, png_bytep dst, size_t n) {
    auto *s = static_cast<PngState *>(png_get_io_ptr(png));
    if (s->in->size() - s->pos < n) png_error(png, "truncated PNG data");
    std::memcpy(dst, s->in->data() + s->pos, n);
    s->pos += n;
}

void pngWrite(png_structp png, png_bytep src, size_t n) {
    auto *s = static_cast<PngState *>(png_get_io_ptr(png));
    s->out->insert(s->out->end(), src, src + n);
}

void pngFlush(png_structp) {}

struct PngImage {
    uint32_t width = 0, height = 0;
    int channels = 0;  // after the transforms: 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA, 8 bits each
    bool interlaced = false;
};

// Reads the header and sets the transforms. Returns false with a message
// in `s` on a libpng error.
bool pngBegin(png_structp png, png_infop info, PngImage *img) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, png_get_error_ptr(png), pngRead);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(png, info);
    png_set_expand(png);  // palette to RGB, small grey to 8 bits, tRNS to alpha
    png_set_strip_16(png);
    img->interlaced = png_set_interlace_handling(png) > 1;
    png_read_update_info(png, info);
    img->width = png_get_image_width(png, info);
    img->height = png_get_image_height(png, info);
    img->channels = png_get_channels(png, info);
    return true;
}

bool pngReadRows(png_structp png, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    return true;
}

bool pngReadRow(png_structp png, png_bytep row) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_row(png, row, nullptr);
    return true;
}

// One row of 8-bit samples to bits; transparent pixels show the white
// page behind them.
void thresholdRow(const uint8_t *px, int channels, uint32_t w, int threshold, uint8_t *bits) {
    for (uint32_t x = 0; x < w; x++, px += channels) {
        int g, a = 255;
        switch (channels) {
        case 1: g = px[0]; break;
        case 2: g = px[0]; a = px[1]; break;
        case 3: g = greyOf(px[0], px[1], px[2]); break;
        default: g = greyOf(px[0], px[1], px[2]); a = px[3]; break;
        }
        if (a != 255) g = (g * a + 255 * (255 - a) + 127) / 255;
        if (g < threshold) bits[x >> 3] |= uint8_t(0x80 >> (x & 7));
    }
}

bool pngWriteAll(png_structp png, png_infop info, uint32_t w, uint32_t h, const uint8_t *rows, size_t stride) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, png_get_error_ptr(png), pngWrite, pngFlush);
    // libpng's own limit is a million columns; PNG itself allows 2^31 - 1.
    png_set_user_limits(png, w, h);
    png_set_IHDR(png, info, w, h, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_invert_mono(png);  // PNG grey 0 is black; here 1 is black
    for (uint32_t y = 0; y < h; y++) png_write_row(png, const_cast<png_bytep>(rows + stride * y));
    png_write_end(png, info);
    return true;
}

}  // namespace

// libpng's read state over bytes, released on destruction.
struct PngReading {
    PngState s;
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngReading(const Bytes &data, const std::string &name) {
        s.in = &data;
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, pngError, pngWarning);
        info = png ? png_create_info_struct(png) : nullptr;
        if (!info) {
            png_destroy_read_struct(&png, nullptr, nullptr);
            fail(kInternal, name, "cannot start PNG decoding");
        }
    }
    ~PngReading() { png_destroy_read_struct(&png, &info, nullptr); }
};

Bitmap readPng(const Bytes &data, const std::string &name, int threshold) {
    PngReading r(data, name);
    png_structp png = r.png;
    png_infop info = r.info;
    PngState &s = r.s;
    PngImage img;
    if (!pngBegin(png, info, &img)) fail(kInput, name, std::string("damaged PNG: ") + s.message);
    Bitmap b = makeBitmap(img.width, img.height, name);
    size_t rowBytes = size_t(img.width) * img.channels;
    Bytes pixels;
    try {
        pixels.resize(img.interlaced ? rowBytes * img.height : rowBytes);
    } catch (const std::bad_alloc &) {
        fail(kInternal, name, "out of memory for the PNG pixels");
    }
    if (img.interlaced) {
        std::vector<png_bytep> rows(img.height);
        for (uint32_t y = 0; y < img.height; y++) rows[y] = pixels.data() + rowBytes * y;
        if (!pngReadRows(png, rows.data())) fail(kInput, name, std::string("damaged PNG: ") + s.message);
        for (uint32_t y = 0; y < img.height; y++)
            thresholdRow(rows[y], img.channels, img.width, threshold, b.row(y));
    } else {
        for (uint32_t y = 0; y < img.height; y++) {
            if (!pngReadRow(png, pixels.data())) fail(kInput, name, std::string("damaged PNG: ") + s.message);
            thresholdRow(pixels.data(), img.channels, img.width, threshold, b.row(y));
        }
    }
    return b;
}

namespace {

// Reads a greyscale PNG as it stands: 1 to 16 bits, unscaled.
bool pngGreyAll(png_structp png, png_infop info, Grey *g, const std::string &name, const char **why) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, png_get_error_ptr(png), pngRead);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(png, info);
    const int type = png_get_color_type(png, info), depth = png_get_bit_depth(png, info);
    if (type != PNG_COLOR_TYPE_GRAY) {
        *why = "not a greyscale PNG without alpha: --planes takes PGM or grey PNG";
        return true;
    }
    if (depth < 8) png_set_packing(png);  // one byte a sample, values kept
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    g->width = png_get_image_width(png, info);
    g->height = png_get_image_height(png, info);
    g->bits = uint32_t(depth);
    checkImageSize(g->width, g->height, name);
    g->samples.resize(g->stride() * g->height);
    std::vector<png_bytep> rows(g->height);
    for (uint32_t y = 0; y < g->height; y++) rows[y] = g->samples.data() + g->stride() * y;
    png_read_image(png, rows.data());
    return true;
}

bool pngGreyWrite(png_structp png, png_infop info, const Grey &g) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, png_get_error_ptr(png), pngWrite, pngFlush);
    png_set_user_limits(png, g.width, g.height);
    png_set_IHDR(png, info, g.width, g.height, g.bits > 8 ? 16 : 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // The values as they are, their depth told by sBIT.
    png_color_8 sig{};
    sig.gray = png_byte(g.bits);
    png_set_sBIT(png, info, &sig);
    png_write_info(png, info);
    for (uint32_t y = 0; y < g.height; y++) png_write_row(png, const_cast<png_bytep>(g.samples.data() + g.stride() * y));
    png_write_end(png, info);
    return true;
}

}  // namespace

Grey readPngGrey(const Bytes &data, const std::string &name) {
    PngReading r(data, name);
    Grey g;
    const char *why = nullptr;
    if (!pngGreyAll(r.png, r.info, &g, name, &why)) fail(kInput, name, std::string("damaged PNG: ") + r.s.message);
    if (why) fail(kInput, name, why);
    return g;
}

Bytes writePngGrey(const Grey &g, const std::string &name) {
    Bytes out;
    PngState s;
    s.out = &out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, pngError, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = info && pngGreyWrite(png, info, g);
    png_destroy_write_struct(&png, &info);
    if (!ok) fail(kInternal, name, std::string("cannot make the PNG image: ") + s.message);
    return out;
}

Bytes writePng(uint32_t w, uint32_t h, const uint8_t *rows, size_t stride, const std::string &name) {
    constexpr uint32_t kPngMax = 0x7FFFFFFF;
    if (w > kPngMax || h > kPngMax)
        fail(kOutput, name,
             "PNG cannot hold " + std::to_string(w) + " x " + std::to_string(h) + " pixels (at most 2147483647 a side): write PBM or BMP");
    Bytes out;
    PngState s;
    s.out = &out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, pngError, pngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = info && pngWriteAll(png, info, w, h, rows, stride);
    png_destroy_write_struct(&png, &info);
    if (!ok) fail(kInternal, name, std::string("cannot make the PNG image: ") + s.message);
    return out;
}

#endif  // ZELJBIG_NO_PNG

// ---- BMP ----

Bitmap readBmp(const Bytes &d, const std::string &name, int threshold) {
    if (d.size() < 18 || d[0] != 'B' || d[1] != 'M') fail(kInput, name, "not a BMP image");
    uint32_t offBits = le32(&d[10]);
    uint32_t hsize = le32(&d[14]);
    if (hsize != 12 && hsize < 40) fail(kInput, name, "unsupported BMP header of " + std::to_string(hsize) + " bytes");
    if (d.size() < 14 + uint64_t(hsize)) fail(kInput, name, "truncated BMP header");
    int64_t w, h;
    unsigned bpp;
    uint32_t compression = 0, clrUsed = 0;
    if (hsize == 12) {
        w = le16(&d[18]);
        h = int16_t(le16(&d[20]));
        bpp = le16(&d[24]);
    } else {
        w = int32_t(le32(&d[18]));
        h = int32_t(le32(&d[22]));
        bpp = le16(&d[28]);
        compression = le32(&d[30]);
        clrUsed = le32(&d[46]);
    }
    bool topDown = h < 0;
    if (topDown) h = -h;
    if (w <= 0 || h == 0) fail(kInput, name, "BMP has no pixels");
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        fail(kInput, name, "unsupported BMP depth of " + std::to_string(bpp) + " bits");
    bool fields = compression == 3 || compression == 6;
    if (!(compression == 0 || (fields && (bpp == 16 || bpp == 32))))
        fail(kInput, name, "compressed BMP (RLE, JPEG or PNG inside) is not supported");

    uint32_t masks[3] = {0, 0, 0};
    if (fields) {
        size_t at = hsize >= 52 ? 14 + 40 : 14 + size_t(hsize);
        if (d.size() < at + 12) fail(kInput, name, "truncated BMP colour masks");
        for (int i = 0; i < 3; i++) masks[i] = le32(&d[at + 4 * i]);
    } else if (bpp == 16) {
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else if (bpp == 32) {
        masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
    std::vector<int> palette;  // grey of each entry
    if (bpp <= 8) {
        uint32_t n = clrUsed ? clrUsed : 1u << bpp;
        if (n > 1u << bpp) fail(kInput, name, "BMP colour table larger than its depth allows");
        size_t entry = hsize == 12 ? 3 : 4, at = 14 + size_t(hsize);
        if (d.size() < at + entry * n) fail(kInput, name, "truncated BMP colour table");
        for (uint32_t i = 0; i < n; i++) {
            const uint8_t *e = &d[at + entry * i];
            palette.push_back(greyOf(e[2], e[1], e[0]));
        }
        palette.resize(size_t(1) << bpp, 0);  // indices past the table read as black
    }
    uint64_t stride = (uint64_t(w) * bpp + 31) / 32 * 4;
    if (w > 0xFFFFFFFF || offBits > d.size() || (d.size() - offBits) / stride < uint64_t(h))
        fail(kInput, name, "truncated BMP pixel data");
    Bitmap b = makeBitmap(uint32_t(w), uint32_t(h), name);

    auto channel = [](uint32_t px, uint32_t mask) {
        if (!mask) return 0;
        int shift = 0;
        while (!((mask >> shift) & 1)) shift++;
        uint32_t max = mask >> shift, v = (px & mask) >> shift;
        return int((uint64_t(v) * 255 + max / 2) / max);
    };
    for (uint32_t i = 0; i < uint32_t(h); i++) {
        const uint8_t *src = &d[offBits + stride * i];
        uint8_t *dst = b.row(topDown ? i : uint32_t(h) - 1 - i);
        for (uint32_t x = 0; x < uint32_t(w); x++) {
            int g;
            switch (bpp) {
            case 1: g = palette[(src[x >> 3] >> (7 - (x & 7))) & 1]; break;
            case 4: g = palette[(src[x >> 1] >> ((x & 1) ? 0 : 4)) & 15]; break;
            case 8: g = palette[src[x]]; break;
            case 24: g = greyOf(src[3 * x + 2], src[3 * x + 1], src[3 * x]); break;
            default: {
                uint32_t px = bpp == 16 ? le16(src + 2 * x) : le32(src + 4 * x);
                g = greyOf(channel(px, masks[0]), channel(px, masks[1]), channel(px, masks[2]));
            }
            }
            if (g < threshold) dst[x >> 3] |= uint8_t(0x80 >> (x & 7));
        }
    }
    return b;
}

}  // namespace cli
