// Greyscale pictures: PGM in and out, and one plane of them by threshold.
#include <cctype>
#include <cstring>

#include "cli.h"

namespace cli {

Grey readPgm(const Bytes &d, const std::string &name) {
    if (d.size() < 2 || d[0] != 'P' || (d[1] != '2' && d[1] != '5')) fail(kInput, name, "not a PGM image (P2 or P5)");
    PnmCursor c{d, 2};
    Grey g;
    uint32_t maxval = 0;
    if (!c.number(&g.width) || !c.number(&g.height) || !c.number(&maxval))
        fail(kInput, name, "damaged or truncated PGM header");
    if (maxval == 0 || maxval > 65535) fail(kInput, name, "PGM maxval " + std::to_string(maxval) + ": 1 to 65535 are read");
    checkImageSize(g.width, g.height, name);
    while ((1u << g.bits) <= maxval) g.bits++;
    const uint32_t bytes = (g.bits + 7) / 8;
    try {
        g.samples.resize(g.stride() * g.height);
    } catch (const std::bad_alloc &) {
        fail(kInternal, name, "out of memory for a " + std::to_string(g.width) + " x " + std::to_string(g.height) + " image");
    }
    const uint64_t n = uint64_t(g.width) * g.height;
    if (d[1] == '5') {
        const size_t p = c.p + 1;  // the one white space character after maxval
        if (d.size() < p || (d.size() - p) / bytes < n) fail(kInput, name, "truncated PGM data");
        std::memcpy(g.samples.data(), d.data() + p, size_t(n) * bytes);
    } else {
        for (uint64_t i = 0; i < n; i++) {
            uint32_t v;
            if (!c.number(&v)) fail(kInput, name, "damaged or truncated PGM data");
            if (bytes == 2) g.samples[2 * i] = uint8_t(std::min(v, maxval) >> 8);
            g.samples[bytes * i + bytes - 1] = uint8_t(std::min(v, maxval));
        }
    }
    // Samples above maxval are clipped, as netpbm reads them.
    for (uint64_t i = 0; i < n; i++) {
        const uint8_t *s = g.samples.data() + bytes * i;
        const uint32_t v = bytes == 2 ? uint32_t(s[0]) << 8 | s[1] : s[0];
        if (v > maxval) {
            if (bytes == 2) g.samples[2 * i] = uint8_t(maxval >> 8);
            g.samples[bytes * i + bytes - 1] = uint8_t(maxval);
        }
    }
    return g;
}

Bitmap thresholdGrey(const Grey &g, int threshold, const std::string &name) {
    Bitmap b = makeBitmap(g.width, g.height, name);
    const uint32_t top = (1u << g.bits) - 1;
    for (uint32_t y = 0; y < g.height; y++)
        for (uint32_t x = 0; x < g.width; x++)
            if (int((g.sample(x, y) * 255 + top / 2) / top) < threshold) b.row(y)[x >> 3] |= uint8_t(0x80 >> (x & 7));
    return b;
}

void writePgm(Output &out, const Grey &g) {
    const std::string head = "P5\n" + std::to_string(g.width) + " " + std::to_string(g.height) + "\n" +
                             std::to_string((1u << g.bits) - 1) + "\n";
    out.write(reinterpret_cast<const uint8_t *>(head.data()), head.size());
    out.write(g.samples.data(), g.samples.size());
}

}  // namespace cli
