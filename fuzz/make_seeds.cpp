// Seed corpora for the fuzz targets, made by the library's own encoder from
// small images: make_seeds OUTDIR writes OUTDIR/<target>/<name>.
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "zeljbig.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Image {
    uint32_t w, h;
    Bytes bits;  // rows of (w + 7) / 8 bytes
};

uint32_t lcg(uint32_t &s) { return s = s * 1664525u + 1013904223u; }

// Kind 0: noise; 1: blobs; 2: stripes and a frame; 3: blank.
Image makeImage(uint32_t w, uint32_t h, int kind, uint32_t seed) {
    Image img{w, h, Bytes(size_t((w + 7) / 8) * h, 0)};
    const uint32_t rb = (w + 7) / 8;
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            bool on = false;
            if (kind == 0) on = (lcg(seed) >> 16) % 3 == 0;
            if (kind == 1) on = ((x / 5 + y / 7) % 3 == 0) != ((x * x + y * y) % 37 < 9);
            if (kind == 2) on = x == 0 || y == 0 || x + 1 == w || y + 1 == h || (y / 3) % 2 == 0;
            if (on) img.bits[size_t(y) * rb + x / 8] |= uint8_t(0x80 >> (x % 8));
        }
    return img;
}

struct Opts {
    uint32_t D, L0;
    bool index, two, tpbon, tpdon, dpon;
};

Bytes encode(const Image &img, const Opts &p) {
    JbigEncodeOptions o;
    jbigEncodeCreatDefaultOptions(&o, img.w, img.h, p.D, JBIG_FLAG_MEMORY);
    o.L0 = p.L0;
    o.LRLTWO = p.two;
    o.TPBON = p.tpbon;
    o.TPDON = p.tpdon;
    o.DPON = p.dpon;
    if (!p.index) o.flags |= JBIG_FLAG_NO_PATINFO;
    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    if (h == JBIG_INVALID_HANDLE) return {};
    JbigImageInfo info{img.w, img.h, (img.w + 7) / 8, 1, 0, 0, const_cast<uint8_t *>(img.bits.data())};
    bool ok = jbigEncodeSetOrgDataFromRect(h, &info) == 0;
    for (uint32_t d = 0; ok && d <= p.D; d++) ok = jbigEncode(h) == 0;
    if (jbigEncodeEpilog(h) != 0 || !ok) return {};
    Bytes out(o.outData, o.outData + o.outLength);
    HeapFree(GetProcessHeap(), 0, o.outData);
    return out;
}

bool save(const std::string &dir, const std::string &name, const Bytes &b) {
    std::FILE *f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

// The same stream with bytes put in right after the header: the first
// stripe then starts with them (streams without index only).
Bytes withPrefix(const Bytes &s, const Bytes &bytes) {
    Bytes out(s.begin(), s.begin() + 20);
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.insert(out.end(), s.begin() + 20, s.end());
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    const std::string out = argv[1];
    const char *targets[] = {"decode_memory", "decode_file", "roundtrip", "patinfo"};
    mkdir(out.c_str(), 0755);
    for (const char *t : targets) mkdir((out + "/" + t).c_str(), 0755);
    bool ok = true;
    int n = 0;

    const Opts variants[] = {
        {0, 1000, true, true, false, false, false},  {0, 5, true, false, true, false, false},
        {0, 3, false, true, true, false, false},     {1, 4, true, true, true, true, false},
        {2, 2, true, false, false, true, true},      {2, 3, false, true, true, false, true},
        {3, 1, true, true, true, true, true},        {3, 2, false, false, true, true, false},
        {1, 16, false, true, false, false, false},   {4, 1, true, true, true, true, true},
    };
    const uint32_t sizes[][2] = {{1, 1}, {8, 2}, {13, 9}, {37, 23}, {64, 40}, {100, 3}};
    for (size_t v = 0; v < sizeof variants / sizeof *variants; v++) {
        const Opts &p = variants[v];
        const uint32_t *sz = sizes[v % 6];
        Image img = makeImage(sz[0], sz[1], int(v % 4), uint32_t(v) + 1);
        Bytes s = encode(img, p);
        if (s.empty()) {
            std::fprintf(stderr, "make_seeds: encoding variant %zu failed\n", v);
            return 1;
        }
        const std::string name = "enc" + std::to_string(v) + ".jbg";
        ok = save(out + "/decode_memory", name, s) && save(out + "/decode_file", name, s) &&
             save(out + "/patinfo", name, s) && ok;
        n += 3;
        if (!p.index) {
            // Marker segments the encoder never writes, at the start of the
            // first stripe: a comment, an adaptive-template move, a reset
            // ending, an abort.
            Bytes comment = withPrefix(s, {0xFF, 0x07, 0, 0, 0, 3, 'a', 'b', 'c'});
            Bytes atmove = withPrefix(s, {0xFF, 0x06, 0, 0, 0, 0, 4, 0});
            Bytes reset = s;
            reset[reset.size() - 1] = 0x03;
            Bytes abort = withPrefix(s, {0x12, 0xFF, 0x04});
            const std::string base = "mark" + std::to_string(v);
            for (const char *t : {"decode_memory", "decode_file"}) {
                ok = save(out + "/" + t, base + "-comment.jbg", comment) &&
                     save(out + "/" + t, base + "-atmove.jbg", atmove) &&
                     save(out + "/" + t, base + "-reset.jbg", reset) && save(out + "/" + t, base + "-abort.jbg", abort) &&
                     ok;
                n += 4;
            }
            ok = save(out + "/patinfo", base + "-comment.jbg", comment) && ok;
            n++;
        }
        if (v % 3 == 0) {
            // A region inside a larger file: the first byte gives the
            // header's offset, the second the bytes after the region.
            Bytes framed = {24, 5};
            framed.resize(24, 0x55);
            framed.insert(framed.end(), s.begin(), s.end());
            framed.insert(framed.end(), {1, 2, 3, 4, 5});
            ok = save(out + "/decode_file", "region" + std::to_string(v) + ".bin", framed) && ok;
            n++;
        }
    }

    // Round trip: width, height, D, option bits, order bits, L0, band split,
    // then the pixels.
    uint32_t seed = 7;
    const uint8_t heads[][7] = {{0, 0, 0, 0, 8, 0, 0},       {7, 4, 1, 0x0F, 8, 0, 2},  {12, 30, 2, 0x0B, 8, 3, 9},
                                {63, 63, 3, 0x1E, 8, 5, 40}, {20, 9, 4, 0x07, 5, 1, 1}, {40, 17, 2, 0x2D, 3, 8, 0}};
    for (size_t i = 0; i < sizeof heads / sizeof *heads; i++) {
        Bytes b(heads[i], heads[i] + 7);
        const size_t pixels = size_t((heads[i][0] % 64 + 8) / 8) * (heads[i][1] % 64 + 1);
        for (size_t k = 0; k < pixels; k++) b.push_back(i % 2 ? uint8_t(lcg(seed) >> 24) : uint8_t(k % 7 ? 0 : 0x18));
        ok = save(out + "/roundtrip", "rt" + std::to_string(i) + ".bin", b) && ok;
        n++;
    }
    if (!ok) {
        std::fprintf(stderr, "make_seeds: cannot write under %s\n", out.c_str());
        return 1;
    }
    std::printf("make_seeds: %d files under %s\n", n, out.c_str());
    return 0;
}
