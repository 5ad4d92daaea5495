#include "support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <zlib.h>

#include "frame/jbgPat.h"
#include "frame/jpgLib.h"
#include "platform/testhooks.h"

namespace fs = std::filesystem;

JbigImageInfo Image::info() const {
    return JbigImageInfo{width, height, rowBytes(), 1, 0, 0, const_cast<uint8_t *>(bits.data())};
}

std::string dataPath(const std::string &rel) { return std::string(ZELJBIG_TEST_DATA) + "/" + rel; }

Bytes readFile(const std::string &path) {
    Bytes out;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    uint8_t buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    gzclose(f);
    return out;
}

void writeFile(const std::string &path, const Bytes &bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

Image readPbm(const std::string &path) {
    Bytes d = readFile(path);
    std::string head(d.begin(), d.begin() + std::min<size_t>(d.size(), 200));
    // Comments stand only on the magic number's line in the pages used.
    std::istringstream s(head);
    std::string magic, line;
    uint32_t w = 0, h = 0;
    s >> magic;
    while (s >> std::ws && s.peek() == '#') std::getline(s, line);
    s >> w >> h;
    if (magic != "P4" || !s) throw std::runtime_error("not a binary PBM: " + path);
    Image img(w, h);
    size_t at = size_t(s.tellg()) + 1;
    if (d.size() < at + img.bits.size()) throw std::runtime_error("short PBM: " + path);
    std::memcpy(img.bits.data(), d.data() + at, img.bits.size());
    return imageFrom(img.info());
}

std::vector<std::string> corpusPages() {
    std::vector<std::string> pages;
    for (auto &e : fs::directory_iterator(dataPath("corpus"))) pages.push_back(e.path().string());
    std::sort(pages.begin(), pages.end());
    return pages;
}

std::vector<std::string> streamFiles(const std::string &dir) {
    std::vector<std::string> out;
    for (auto &e : fs::directory_iterator(dataPath(dir)))
        if (e.path().extension() == ".jbg") out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string imageOf(const std::string &dir, const std::string &stream) {
    return dataPath(dir + "/" + stream.substr(0, stream.find('_')) + ".pbm");
}

std::string nameOfFile(const std::string &path) {
    std::string n = path.substr(path.rfind('/') + 1);
    n = n.substr(0, n.find('.'));
    for (char &c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

Image imageFrom(const JbigImageInfo &info) {
    Image img(info.width, info.height);
    for (uint32_t y = 0; y < info.height; y++) {
        std::memcpy(img.row(y), info.data + size_t(y) * info.bytesPerLine, img.rowBytes());
        if (info.width & 7) img.row(y)[info.width >> 3] &= uint8_t(0xFF << (8 - (info.width & 7)));
    }
    return img;
}

Image randomImage(uint32_t w, uint32_t h, uint32_t seed, int density) {
    Image img(w, h);
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) img.set(x, y, int(rng() % 100) < density);
    return img;
}

Image patterned(uint32_t w, uint32_t h, uint32_t seed) {
    Image img = randomImage(w, h, seed, 25);
    for (uint32_t y = 1; y < h; y++) {
        if (y % 5 == 1) std::copy(img.row(y - 1), img.row(y), img.row(y));
        if (y % 7 == 3) std::fill(img.row(y), img.row(y) + img.rowBytes(), 0);
    }
    return img;
}

TempDir::TempDir() {
    // The first fresh name that can be created is ours.
    static std::mt19937 rng(std::random_device{}());
    for (int i = 0; i < 100; i++) {
        fs::path p = fs::temp_directory_path() / ("zeljbig-test-" + std::to_string(rng()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path = p.generic_string();
            return;
        }
    }
    throw std::runtime_error("no temporary directory");
}
TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

GlobalBlock::GlobalBlock(const Bytes &bytes) {
    handle = GlobalAlloc(GMEM_MOVEABLE, bytes.size() ? bytes.size() : 1);
    void *p = GlobalLock(handle);
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    GlobalUnlock(handle);
}
GlobalBlock::~GlobalBlock() { GlobalFree(handle); }

JbigEncodeOptions defaultOptions(const Image &img, uint32_t layers, uint16_t flags, uint32_t L0) {
    JbigEncodeOptions o{};
    jbigEncodeCreatDefaultOptions(&o, img.width, img.height, layers, flags);
    if (L0) o.L0 = L0;
    return o;
}

void setOrderAndOptions(JbigEncodeOptions *o, uint8_t order, uint8_t options) {
    uint8_t *const bits[] = {&o->HITOLO, &o->SEQ,  &o->ILEAVE, &o->SMID,   &o->LRLTWO,
                             &o->VLENGTH, &o->TPDON, &o->TPBON, &o->DPON, &o->DPPRIV, &o->DPLAST};
    for (int i = 0; i < 11; i++) *bits[i] = i < 4 ? order >> (3 - i) & 1 : options >> (10 - i) & 1;
}

static bool encodeWith(const Image &img, JbigEncodeOptions *opts, const char *path) {
    JbigHandle h = jbigEncodeProlog(path, opts);
    if (h == JBIG_INVALID_HANDLE) return false;
    JbigImageInfo info = img.info();
    bool ok = jbigEncodeSetOrgDataFromRect(h, &info) == 0;
    for (int k = 0; ok && k <= opts->D; k++) ok = jbigEncode(h) == 0;
    return jbigEncodeEpilog(h) == 0 && ok;
}

Bytes encodeToMemory(const Image &img, JbigEncodeOptions opts) {
    opts.flags |= JBIG_FLAG_MEMORY;
    if (!encodeWith(img, &opts, nullptr)) return {};
    Bytes out(opts.outData, opts.outData + opts.outLength);
    HeapFree(GetProcessHeap(), 0, opts.outData);
    return out;
}

bool encodeToFile(const Image &img, JbigEncodeOptions opts, const std::string &path) {
    opts.flags &= uint16_t(~JBIG_FLAG_MEMORY);
    return encodeWith(img, &opts, path.c_str());
}

MemoryDecoder::MemoryDecoder(const Bytes &stream, uint16_t flags) : block(stream) {
    opts.flags = uint16_t(flags | JBIG_FLAG_MEMORY);
    opts.inHandle = block.handle;
    opts.inLength = uint32_t(stream.size());
    h = jbigDecodeProlog(nullptr, &opts);
}
MemoryDecoder::~MemoryDecoder() {
    if (ok()) jbigDecodeEpilog(h);
}
Image MemoryDecoder::image() const {
    JbigImageInfo info;
    return jbigDecodeGetImageAddress(h, &info) == &info ? imageFrom(info) : Image();
}

FileDecoder::FileDecoder(const std::string &path, uint16_t flags, uint32_t offset, uint32_t length) {
    opts.flags = flags;
    opts.dataOffset = offset;
    opts.dataLength = length;
    h = jbigDecodeProlog(path.c_str(), &opts);
}
FileDecoder::~FileDecoder() {
    if (ok()) jbigDecodeEpilog(h);
}

bool decodeLayer(JbigHandle h, Image *out, int32_t layer) {
    if (h == JBIG_INVALID_HANDLE) return false;
    const int32_t target = layer == -2 ? jbigDecodeGetMaxLayer(h) : layer;
    BITMAPINFO bi[2];
    bool ok = jbigDecodeToWinDIBits(h, nullptr, &bi[0], target < 0 ? 0 : target) == 0;
    Bytes bits(size_t(((bi[0].bmiHeader.biWidth + 7) / 8 + 3) & ~3) * uint32_t(bi[0].bmiHeader.biHeight) + 4);
    ok = ok && jbigDecodeToWinDIBits(h, bits.data(), &bi[0], target) != 0;
    JbigImageInfo info;
    ok = ok && jbigDecodeGetImageAddress(h, &info) == &info;
    if (ok) *out = imageFrom(info);
    return ok;
}

bool decodeMemory(const Bytes &stream, Image *out, int32_t layer, uint16_t *flags) {
    MemoryDecoder d(stream);
    if (flags) *flags = d.opts.flags;
    return decodeLayer(d.h, out, layer);
}

bool decodesTo(JbigHandle h, const Image &img) {
    Image got;
    JbigImageInfo info;
    if (!decodeLayer(h, &got) || jbigDecodeGetImageAddress(h, &info) != &info || !(got == img)) return false;
    // The stored form: a zero byte after every row's pixels.
    for (uint32_t y = 0; y < img.height; y++)
        if (info.data[size_t(y) * info.bytesPerLine + img.rowBytes()] != 0) return false;
    return true;
}

StripeEntries decoderStripeTable(JbigHandle h, uint32_t layer) {
    JbigContext *ctx = ctxFromHandle(h, kModeDecoder);
    StripeEntries out;
    for (int32_t s = 0; s < ctx->tableStripes; s++) {
        const uint32_t *e = stripeEntry(ctx, layer, uint32_t(s));
        out.push_back({e[0], e[1]});
    }
    return out;
}

StripeEntries trailerEntries(const Bytes &s, uint32_t count) {
    size_t size = 10 + 8 * size_t(count);
    if (s.size() < size) return {};
    const uint8_t *t = s.data() + s.size() - size;
    if (t[0] != 0xFF || t[1] != 0x07 || getBE(t + 2, 4) != size - 6 || std::memcmp(t + 6, "CPat", 4) != 0) return {};
    StripeEntries out;
    for (uint32_t i = 0; i < count; i++) out.push_back({getBE(t + 10 + 8 * i, 4), getBE(t + 14 + 8 * i, 4)});
    return out;
}

Bytes trailerOf(const StripeEntries &entries) {
    Bytes t(10 + 8 * entries.size());
    t[0] = 0xFF, t[1] = 0x07;
    putBE(&t[2], 4, uint32_t(t.size() - 6));
    std::memcpy(&t[6], "CPat", 4);
    for (size_t i = 0; i < entries.size(); i++) {
        putBE(&t[10 + 8 * i], 4, entries[i].first);
        putBE(&t[14 + 8 * i], 4, entries[i].second);
    }
    return t;
}

Bytes jbigHeader(uint32_t XD, uint32_t YD, uint32_t L0, uint8_t D, uint8_t order, uint8_t options) {
    Bytes h = {0, D, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, order, options};
    putBE(&h[4], 4, XD);
    putBE(&h[8], 4, YD);
    putBE(&h[12], 4, L0);
    return h;
}

#if defined(ZELJBIG_HAVE_TESTHOOKS)
long liveBlocks() { return zjLiveBlocks(); }
#else
// The real Win32 heaps keep no count for us: there leak checks see no change.
long liveBlocks() { return 0; }
#endif
