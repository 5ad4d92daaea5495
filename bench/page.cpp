#include "page.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

[[noreturn]] void die(const std::string &message) {
    std::fprintf(stderr, "zeljbig bench: %s\n", message.c_str());
    std::exit(2);
}

namespace {

std::vector<uint8_t> readGz(const std::string &path) {
    gzFile f = gzopen(path.c_str(), "rb");
    if (f == nullptr) die("cannot open " + path);
    std::vector<uint8_t> out;
    uint8_t buf[1 << 16];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    bool bad = n < 0;
    gzclose(f);
    if (bad) die("cannot read " + path);
    return out;
}

std::string baseName(const std::string &path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    for (const char *ext : {".gz", ".pbm"})
        if (name.size() > std::strlen(ext) && name.compare(name.size() - std::strlen(ext), std::string::npos, ext) == 0)
            name.erase(name.size() - std::strlen(ext));
    return name;
}

}  // namespace

Page readPage(const std::string &path) {
    std::vector<uint8_t> d = readGz(path);
    size_t p = 2;
    auto number = [&] {
        for (;;) {
            while (p < d.size() && std::isspace(d[p])) p++;
            if (p < d.size() && d[p] == '#')
                while (p < d.size() && d[p] != '\n') p++;
            else
                break;
        }
        if (p >= d.size() || !std::isdigit(d[p])) die("bad PBM header: " + path);
        uint64_t v = 0;
        while (p < d.size() && std::isdigit(d[p]) && v < (1u << 24)) v = v * 10 + uint64_t(d[p++] - '0');
        return uint32_t(v);
    };
    if (d.size() < 2 || d[0] != 'P' || d[1] != '4') die("not a P4 PBM: " + path);
    Page page;
    page.name = baseName(path);
    page.width = number();
    page.height = number();
    p++;  // the one whitespace byte before the raster
    if (page.width == 0 || page.height == 0 || p > d.size() || d.size() - p < page.rasterBytes())
        die("bad or short PBM: " + path);
    page.bits.assign(d.begin() + ptrdiff_t(p), d.begin() + ptrdiff_t(p + page.rasterBytes()));
    if (page.width & 7)
        for (uint32_t y = 0; y < page.height; y++)
            page.bits[size_t(y) * page.rowBytes() + page.width / 8] &= uint8_t(0xFF << (8 - (page.width & 7)));
    return page;
}

std::vector<std::string> corpusFiles(const std::string &dir) {
    std::vector<std::string> files;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) die("cannot list " + dir);
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 7 && n.compare(n.size() - 7, 7, ".pbm.gz") == 0) files.push_back(dir + "/" + n);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

Encoded encodePage(const Page &page, uint32_t layers, uint16_t flags) {
    JbigEncodeOptions o{};
    jbigEncodeCreatDefaultOptions(&o, page.width, page.height, layers, uint16_t(JBIG_FLAG_MEMORY | flags));
    JbigHandle h = jbigEncodeProlog(nullptr, &o);
    if (h == JBIG_INVALID_HANDLE) die("encoder prolog refused " + page.name);
    JbigImageInfo info{page.width, page.height, page.rowBytes(), 1, 0, 0, const_cast<uint8_t *>(page.bits.data())};
    if (jbigEncodeSetOrgDataFromRect(h, &info) != 0) die("encoder refused the raster of " + page.name);
    for (uint32_t k = 0; k <= layers; k++)
        if (jbigEncode(h) != 0) die("encoding failed: " + page.name);
    if (jbigEncodeEpilog(h) != 0 || o.outData == nullptr) die("encoder epilog failed: " + page.name);
    return {o.outData, o.outLength};
}

HGLOBAL globalCopy(const uint8_t *data, uint32_t length) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, length);
    void *p = block ? GlobalLock(block) : nullptr;
    if (p == nullptr) die("no global memory for the stream");
    std::memcpy(p, data, length);
    GlobalUnlock(block);
    return block;
}

void decodePage(HGLOBAL block, uint32_t length, int32_t layer, bool sizeOnly, std::vector<uint8_t> &bits,
                uint16_t flags) {
    JbigDecodeOptions o{};
    o.flags = uint16_t(JBIG_FLAG_MEMORY | flags);
    o.inHandle = block;
    o.inLength = length;
    JbigHandle h = jbigDecodeProlog(nullptr, &o);
    if (h == JBIG_INVALID_HANDLE) die("decoder prolog refused the stream");
    DibInfo dib{};
    BITMAPINFO *bi = reinterpret_cast<BITMAPINFO *>(&dib);
    if (sizeOnly) {
        uint32_t w = 0, ht = 0;
        if (jbigDecodeGetImageSize(h, &w, &ht, layer) != 0) die("no size for the layer");
        dib.header.biSize = sizeof(BITMAPINFOHEADER);
        dib.header.biWidth = LONG(w);
        dib.header.biHeight = LONG(ht);
        dib.header.biPlanes = 1;
        dib.header.biBitCount = 1;
    } else if (jbigDecodeToWinDIBits(h, nullptr, bi, layer) != 0) {
        die("DIB header query failed");
    }
    bits.resize(size_t(dibLineBytes(uint32_t(dib.header.biWidth))) * uint32_t(dib.header.biHeight));
    if (jbigDecodeToWinDIBits(h, bits.data(), bi, layer) != dib.header.biHeight) die("decoding failed");
    if (jbigDecodeEpilog(h) != 0) die("decoder epilog failed");
}

void checkDecoded(const Page &page, const std::vector<uint8_t> &bits) {
    size_t line = dibLineBytes(page.width);
    if (bits.size() != line * page.height) die(page.name + ": decoded size differs from the page");
    for (uint32_t y = 0; y < page.height; y++) {
        const uint8_t *want = page.bits.data() + size_t(y) * page.rowBytes();
        const uint8_t *got = bits.data() + size_t(page.height - 1 - y) * line;
        uint32_t full = page.width / 8;
        uint8_t padMask = uint8_t(0xFF << (8 - (page.width & 7)));
        if (std::memcmp(want, got, full) != 0 || ((page.width & 7) && ((want[full] ^ got[full]) & padMask)))
            die(page.name + ": decoded row " + std::to_string(y) + " differs from the page");
    }
}
