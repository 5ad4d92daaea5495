// The zeljbig command-line tool, run as a separate program: round trips
// through every format, exact output layouts, info, the stripe index
// commands, and refusals that leave no partial output behind.
#if defined(ZELJBIG_CLI) && !defined(_WIN32)

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out, err;
};

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string text(const Bytes &b) { return std::string(b.begin(), b.end()); }

// Runs the tool; `in` is the file on its standard input.
Result cli(const std::vector<std::string> &args, const std::string &in = "/dev/null", const std::string &out = "") {
    static TempDir io;
    std::string cmd = quote(ZELJBIG_CLI);
    for (const std::string &a : args) cmd += " " + quote(a);
    std::string o = out.empty() ? io.file("stdout") : out;
    cmd += " < " + quote(in) + " > " + quote(o) + " 2> " + quote(io.file("stderr"));
    int st = std::system(cmd.c_str());
    Result r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, "", text(readFile(io.file("stderr")))};
    if (out.empty()) r.out = text(readFile(o));
    return r;
}

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void put32(Bytes &b, uint32_t v, bool big) {
    for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (big ? 24 - 8 * i : 8 * i)));
}

Bytes pbmBytes(const Image &img) {
    std::string h = "P4\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n";
    Bytes b(h.begin(), h.end());
    b.insert(b.end(), img.bits.begin(), img.bits.end());
    return b;
}

// ---- BMP and PNG made and read here, independently of the tool ----

// value(x, y): a palette index up to 8 bits per pixel, else 0xRRGGBB.
Bytes makeBmp(uint32_t w, int32_t h, int bpp, const std::vector<uint32_t> &palette,
              const std::function<uint32_t(uint32_t, uint32_t)> &value, uint32_t gap = 0) {
    uint32_t rows = uint32_t(std::abs(h)), line = (w * bpp + 31) / 32 * 4;
    uint32_t off = 14 + 40 + 4 * uint32_t(palette.size()) + gap;
    Bytes b = {'B', 'M'};
    put32(b, off + line * rows, false);
    put32(b, 0, false);
    put32(b, off, false);
    for (uint32_t v : {40u, w, uint32_t(h), 1u | uint32_t(bpp) << 16, 0u, 0u, 0u, 0u, uint32_t(palette.size()), 0u})
        put32(b, v, false);
    for (uint32_t c : palette) put32(b, c, false);  // 0xRRGGBB is B, G, R, 0 in little-endian
    b.resize(b.size() + gap, 0xEE);
    for (uint32_t i = 0; i < rows; i++) {
        uint32_t y = h < 0 ? i : rows - 1 - i;
        Bytes row(line, 0);
        for (uint32_t x = 0; x < w; x++) {
            uint32_t v = value(x, y);
            if (bpp <= 8)
                row[x * bpp / 8] |= uint8_t(v << (8 - bpp - x * bpp % 8));
            else
                for (int k = 0; k < bpp / 8; k++) row[x * bpp / 8 + k] = uint8_t(v >> (8 * k));
        }
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

Bytes pngChunk(const char *type, const Bytes &data) {
    Bytes c;
    put32(c, uint32_t(data.size()), true);
    c.insert(c.end(), type, type + 4);
    c.insert(c.end(), data.begin(), data.end());
    put32(c, uint32_t(crc32(0, c.data() + 4, uInt(4 + data.size()))), true);
    return c;
}

// px(x, y) gives one pixel's sample bytes, filter 0 everywhere.
Bytes makePng(uint32_t w, uint32_t h, int colourType, int depth, bool interlaced,
              const std::function<Bytes(uint32_t, uint32_t)> &px, const Bytes &plte = {}, const Bytes &trns = {}) {
    static const int x0[] = {0, 4, 0, 2, 0, 1, 0}, y0[] = {0, 0, 4, 0, 2, 0, 1}, dx[] = {8, 8, 4, 4, 2, 2, 1},
                     dy[] = {8, 8, 8, 4, 4, 2, 2};
    Bytes raw;
    for (int p = interlaced ? 0 : 6; p < 7; p++) {
        int sx = interlaced ? x0[p] : 0, sy = interlaced ? y0[p] : 0, ux = interlaced ? dx[p] : 1,
            uy = interlaced ? dy[p] : 1;
        if (uint32_t(sx) >= w) continue;
        for (uint32_t y = sy; y < h; y += uy) {
            raw.push_back(0);
            for (uint32_t x = sx; x < w; x += ux) {
                Bytes s = px(x, y);
                raw.insert(raw.end(), s.begin(), s.end());
            }
        }
    }
    Bytes z(compressBound(uLong(raw.size())));
    uLongf zn = uLongf(z.size());
    compress(z.data(), &zn, raw.data(), uLong(raw.size()));
    z.resize(zn);
    Bytes ihdr;
    put32(ihdr, w, true);
    put32(ihdr, h, true);
    for (int v : {depth, colourType, 0, 0, interlaced ? 1 : 0}) ihdr.push_back(uint8_t(v));
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (auto [type, data] : std::vector<std::pair<const char *, Bytes>>{
             {"IHDR", ihdr}, {"PLTE", plte}, {"tRNS", trns}, {"IDAT", z}, {"IEND", {}}}) {
        if (data.empty() && std::strcmp(type, "IEND") != 0) continue;
        Bytes c = pngChunk(type, data);
        b.insert(b.end(), c.begin(), c.end());
    }
    return b;
}

// The tool's image as the library sees it: read back through the tool's
// own reader, whose every input kind is checked against files made here.
Image viaTool(const std::string &path) {
    static TempDir t;
    Image img;
    EXPECT_EQ(cli({"encode", path, t.file("via.jbg")}).code, 0) << path;
    EXPECT_TRUE(decodeMemory(readFile(t.file("via.jbg")), &img)) << path;
    return img;
}

std::string num(uint64_t v) { return std::to_string(v); }

// The `"layers": [...]` part of `info --json`.
std::string layersJson(const std::string &json) {
    size_t a = json.find("\"layers\": ["), b = json.find(']', a);
    return a == std::string::npos || b == std::string::npos ? "" : json.substr(a, b - a);
}

// Checks `info --json` against the stream's header and its trailer.
void expectInfoMatches(const std::string &path) {
    Bytes d = readFile(path);
    Result r = cli({"info", "--json", path});
    ASSERT_EQ(r.code, 0) << r.err;
    auto has = [&](const std::string &s) { EXPECT_NE(r.out.find(s), std::string::npos) << s << " in " << r.out; };
    uint32_t D = d[1], stripeRows = be32(&d[12]) << D, S = (be32(&d[8]) + stripeRows - 1) / stripeRows;
    has("\"file_bytes\": " + num(d.size()) + ", ");
    has("\"D\": " + num(D) + ", \"P\": 1, \"XD\": " + num(be32(&d[4])) + ", \"YD\": " + num(be32(&d[8])) +
        ", \"L0\": " + num(be32(&d[12])) + ", ");
    has("\"order\": " + num(d[18]) + ", \"options\": " + num(d[19]) + ", ");
    has("\"stripes_per_layer\": " + num(S) + ", \"index\": \"found\", ");
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
    const uint8_t *t = d.data() + d.size() - (10 + 8 * (D + 1) * S);
    ASSERT_EQ(std::string(t + 6, t + 10), "CPat");
    for (uint32_t k = 0; k <= D; k++) {
        uint64_t sum = 0;
        for (uint32_t s = 0; s < S; s++) sum += be32(t + 10 + 8 * (k * S + s) + 4);
        uint32_t w = be32(&d[4]), h = be32(&d[8]);
        for (uint32_t i = k; i < D; i++) w = (w + 1) / 2, h = (h + 1) / 2;
        has("{\"layer\": " + num(k) + ", \"width\": " + num(w) + ", \"height\": " + num(h) +
            ", \"stripes\": " + num(S) + ", \"bytes\": " + num(sum) + ", ");
    }
}

class CliCorpus : public ::testing::TestWithParam<std::string> {};

}  // namespace

// PBM, PNG and BMP all give the page's pixels back; PNG and BMP input of the
// same pixels make the very same stream as PBM.
TEST_P(CliCorpus, EveryFormatRoundTripsAtOneAndFourLayers) {
    TempDir t;
    Image page = readPbm(GetParam());
    ASSERT_EQ(cli({"encode", GetParam(), t.file("a.jbg")}).code, 0);
    for (const char *f : {"a.pbm", "a.png", "a.bmp"}) ASSERT_EQ(cli({"decode", t.file("a.jbg"), t.file(f)}).code, 0);
    EXPECT_TRUE(readPbm(t.file("a.pbm")) == page);
    ASSERT_EQ(cli({"encode", t.file("a.png"), t.file("png.jbg")}).code, 0);
    ASSERT_EQ(cli({"encode", t.file("a.bmp"), t.file("bmp.jbg")}).code, 0);
    EXPECT_EQ(readFile(t.file("png.jbg")), readFile(t.file("a.jbg")));
    EXPECT_EQ(readFile(t.file("bmp.jbg")), readFile(t.file("a.jbg")));
    expectInfoMatches(t.file("a.jbg"));

    ASSERT_EQ(cli({"encode", "--layers", "3", GetParam(), t.file("d3.jbg")}).code, 0);
    ASSERT_EQ(cli({"decode", t.file("d3.jbg"), t.file("d3.pbm")}).code, 0);
    EXPECT_TRUE(readPbm(t.file("d3.pbm")) == page);
    expectInfoMatches(t.file("d3.jbg"));
}

INSTANTIATE_TEST_SUITE_P(Pages, CliCorpus, ::testing::ValuesIn(corpusPages()),
                         [](const auto &info) {
                             std::string n = fs::path(info.param).stem().stem().string();
                             std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return n;
                         });

TEST(Cli, OptionsReachTheHeaderAndDefaultsAreTheLibrarys) {
    TempDir t;
    Image img = randomImage(77, 50, 3, 20);
    writeFile(t.file("in.pbm"), pbmBytes(img));
    ASSERT_EQ(cli({"encode", t.file("in.pbm"), t.file("plain.jbg")}).code, 0);
    EXPECT_EQ(readFile(t.file("plain.jbg")), encodeToMemory(img, defaultOptions(img, 0)));
    ASSERT_EQ(cli({"encode", "-d2", t.file("in.pbm"), t.file("d2.jbg")}).code, 0);
    EXPECT_EQ(readFile(t.file("d2.jbg")), encodeToMemory(img, defaultOptions(img, 2)));

    ASSERT_EQ(cli({"encode", "-d", "2", "--stripe-lines=4", "-3", "--no-tpbon", "--dpon", "--no-index",
                   t.file("in.pbm"), t.file("x.jbg")})
                  .code,
              0);
    Bytes x = readFile(t.file("x.jbg"));
    EXPECT_EQ(Bytes(x.begin(), x.begin() + 20),
              (Bytes{0, 2, 1, 0, 0, 0, 0, 77, 0, 0, 0, 50, 0, 0, 0, 4, 8, 0, 0x08, 0x20 | 0x10 | 0x04}));
    Image back;
    uint16_t flags = 0;
    ASSERT_TRUE(decodeMemory(x, &back, -2, &flags));
    EXPECT_TRUE(back == img);
    EXPECT_TRUE(flags & JBIG_FLAG_PATINFO_MISSING);
}

TEST(Cli, PlainPbmInAndExactPbmOut) {
    TempDir t;
    writeFile(t.file("p1.pbm"), Bytes{'P', '1', ' ', '#', ' ', 'x', '\n', '9', ' ', '2', '\n', '1', '0', '0', '0', '0',
                                      '0', '0', '0', '1', '\n', '0', '1', '#', '\n', '1', '1', '1', '1', '1', '1', '0'});
    ASSERT_EQ(cli({"encode", t.file("p1.pbm"), t.file("p.jbg")}).code, 0);
    Result r = cli({"decode", t.file("p.jbg"), "-"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out, std::string("P4\n9 2\n\x80\x80\x7F\x00", 11));
}

TEST(Cli, BmpAndPngOutputLayouts) {
    TempDir t;
    Image img(13, 3);
    img.set(0, 0, 1), img.set(12, 2, 1);
    writeFile(t.file("in.pbm"), pbmBytes(img));
    ASSERT_EQ(cli({"encode", t.file("in.pbm"), t.file("a.jbg")}).code, 0);
    ASSERT_EQ(cli({"decode", t.file("a.jbg"), t.file("a.bmp")}).code, 0);
    Bytes b = readFile(t.file("a.bmp"));
    ASSERT_EQ(b.size(), 14u + 40 + 8 + 3 * 4);
    EXPECT_EQ(le32(&b[2]), b.size());
    EXPECT_EQ(le32(&b[10]), 62u);
    EXPECT_EQ(le32(&b[14]), 40u);
    EXPECT_EQ(le32(&b[18]), 13u);
    EXPECT_EQ(le32(&b[22]), 3u);
    EXPECT_EQ(Bytes(b.begin() + 54, b.begin() + 62), (Bytes{255, 255, 255, 0, 0, 0, 0, 0}));
    EXPECT_EQ(b[62], 0x00);  // bottom line first: its last pixel
    EXPECT_EQ(b[63], 0x08);
    EXPECT_EQ(b[70], 0x80);
    ASSERT_EQ(cli({"decode", t.file("a.jbg"), t.file("a.png")}).code, 0);
    Bytes p = readFile(t.file("a.png"));  // 1-bit grey, not interlaced
    ASSERT_GT(p.size(), 33u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 29), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H',
                                                       'D', 'R', 0, 0, 0, 13, 0, 0, 0, 3, 1, 0, 0, 0, 0}));
}

// Every BMP kind the tool reads: 1-bit either way round (through the
// library's DIB operation) or top-down (thresholded), and 4 to 32 bits.
TEST(Cli, BmpInputsOfEveryDepth) {
    TempDir t;
    const uint32_t W = 37, H = 23;
    auto grey = [](uint32_t x, uint32_t y) { return (x * 7 + y * 13) % 256; };
    Image expect(W, H);
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) expect.set(x, y, grey(x, y) < 128);
    auto bit = [&](uint32_t x, uint32_t y) { return uint32_t(expect.get(x, y)); };
    std::vector<uint32_t> grey16, grey256;
    for (uint32_t i = 0; i < 16; i++) grey16.push_back(i * 17 * 0x010101u);
    for (uint32_t i = 0; i < 256; i++) grey256.push_back(i * 0x010101u);
    Image expect4(W, H);  // 16 levels: grey / 16 picks level * 17
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) expect4.set(x, y, grey(x, y) / 16 * 17 < 128);
    std::vector<std::pair<std::string, Bytes>> cases = {
        {"1-bit black first", makeBmp(W, H, 1, {0x000000, 0xFFFFFF}, [&](auto x, auto y) { return 1 - bit(x, y); })},
        {"1-bit white first", makeBmp(W, H, 1, {0xFFFFFF, 0x000000}, bit, 6)},
        {"1-bit top-down", makeBmp(W, -int32_t(H), 1, {0xFFFFFF, 0x000000}, bit)},
        {"4-bit", makeBmp(W, H, 4, grey16, [&](auto x, auto y) { return grey(x, y) / 16; })},
        {"8-bit", makeBmp(W, H, 8, grey256, grey)},
        {"24-bit", makeBmp(W, H, 24, {}, [&](auto x, auto y) { return grey(x, y) * 0x010101u; })},
        {"32-bit", makeBmp(W, -int32_t(H), 32, {}, [&](auto x, auto y) { return grey(x, y) * 0x010101u; })}};
    for (auto &[name, bmp] : cases) {
        writeFile(t.file("in.bmp"), bmp);
        Result e = cli({"encode", t.file("in.bmp"), t.file("x.jbg")});
        ASSERT_EQ(e.code, 0) << name << ": " << e.err;
        ASSERT_EQ(cli({"decode", t.file("x.jbg"), t.file("x.pbm")}).code, 0);
        EXPECT_TRUE(readPbm(t.file("x.pbm")) == (name == "4-bit" ? expect4 : expect)) << name;
    }
    // Channel order and the threshold: red is lighter than blue.
    writeFile(t.file("rb.bmp"), makeBmp(2, 1, 24, {}, [](auto x, auto) { return x ? 0x0000FFu : 0xFF0000u; }));
    ASSERT_EQ(cli({"encode", "-t", "50", t.file("rb.bmp"), t.file("rb.jbg")}).code, 0);
    EXPECT_EQ(cli({"decode", t.file("rb.jbg"), "-"}).out, std::string("P4\n2 1\n\x40", 8));
}

TEST(Cli, PngInputsOfEveryColourType) {
    TempDir t;
    const uint32_t W = 19, H = 11;
    auto g = [](uint32_t x, uint32_t y) { return uint8_t((x * 29 + y * 41) % 256); };
    Image expect(W, H);
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) expect.set(x, y, g(x, y) < 128);
    Bytes plte, trns;
    for (int i = 0; i < 256; i++) plte.insert(plte.end(), {uint8_t(i), uint8_t(i), uint8_t(i)});
    std::vector<std::pair<std::string, Bytes>> cases = {
        {"grey", makePng(W, H, 0, 8, false, [&](auto x, auto y) { return Bytes{g(x, y)}; })},
        {"grey interlaced", makePng(W, H, 0, 8, true, [&](auto x, auto y) { return Bytes{g(x, y)}; })},
        {"grey 16", makePng(W, H, 0, 16, false, [&](auto x, auto y) { return Bytes{g(x, y), 0x7F}; })},
        {"rgb", makePng(W, H, 2, 8, false, [&](auto x, auto y) { return Bytes{g(x, y), g(x, y), g(x, y)}; })},
        {"palette", makePng(W, H, 3, 8, false, [&](auto x, auto y) { return Bytes{g(x, y)}; }, plte)},
        // Transparent pixels show the white page.
        {"grey+alpha", makePng(W, H, 4, 8, false, [&](auto x, auto y) {
             return expect.get(x, y) ? Bytes{0, 255} : Bytes{0, 0};
         })},
        {"rgba", makePng(W, H, 6, 8, true, [&](auto x, auto y) { return Bytes{g(x, y), g(x, y), g(x, y), 255}; })}};
    for (auto &[name, png] : cases) {
        writeFile(t.file("in.png"), png);
        Result e = cli({"encode", t.file("in.png"), t.file("x.jbg")});
        ASSERT_EQ(e.code, 0) << name << ": " << e.err;
        ASSERT_EQ(cli({"decode", t.file("x.jbg"), t.file("x.pbm")}).code, 0);
        EXPECT_TRUE(readPbm(t.file("x.pbm")) == expect) << name;
    }
    writeFile(t.file("rb.png"), makePng(2, 1, 2, 8, false, [](auto x, auto) {
                  return x ? Bytes{0, 0, 255} : Bytes{255, 0, 0};
              }));
    ASSERT_EQ(cli({"encode", "--threshold", "50", t.file("rb.png"), t.file("rb.jbg")}).code, 0);
    EXPECT_EQ(cli({"decode", t.file("rb.jbg"), "-"}).out, std::string("P4\n2 1\n\x40", 8));
}

TEST(Cli, DecodesOneLayerOrEveryLayer) {
    TempDir t;
    Image img = randomImage(203, 151, 9, 30);
    Bytes stream = encodeToMemory(img, defaultOptions(img, 2));
    writeFile(t.file("a.jbg"), stream);
    ASSERT_EQ(cli({"decode", "--all-layers", t.file("a.jbg"), t.file("all.pbm")}).code, 0);
    ASSERT_EQ(cli({"decode", "-a", t.file("a.jbg"), t.file("p%d-x.png")}).code, 0);
    ASSERT_EQ(cli({"decode", "--layer", "1", t.file("a.jbg"), t.file("one.pbm")}).code, 0);
    for (int d = 0; d <= 2; d++) {
        Image want;
        ASSERT_TRUE(decodeMemory(stream, &want, d));
        EXPECT_TRUE(readPbm(t.file("all-" + std::to_string(d) + ".pbm")) == want) << d;
        EXPECT_TRUE(viaTool(t.file("p" + std::to_string(d) + "-x.png")) == want) << d;
        if (d == 1) {
            EXPECT_TRUE(readPbm(t.file("one.pbm")) == want);
        }
    }
    EXPECT_EQ(readPbm(t.file("all-0.pbm")).width, 51u);
    EXPECT_EQ(readPbm(t.file("all-0.pbm")).height, 38u);
    EXPECT_EQ(cli({"decode", "--layer", "3", t.file("a.jbg"), t.file("no.pbm")}).code, 2);
    EXPECT_FALSE(fs::exists(t.file("no.pbm")));
}

TEST(Cli, InfoAgreesWithHeaderAndIndexFoundOrRebuilt) {
    TempDir t;
    Image img = randomImage(300, 200, 4, 10);
    JbigEncodeOptions o = defaultOptions(img, 2);
    o.L0 = 5;
    writeFile(t.file("a.jbg"), encodeToMemory(img, o));
    expectInfoMatches(t.file("a.jbg"));
    std::string found = cli({"info", "--json", t.file("a.jbg")}).out;
    ASSERT_EQ(cli({"index", "remove", t.file("a.jbg"), t.file("b.jbg")}).code, 0);
    std::string rebuilt = cli({"info", "--json", t.file("b.jbg")}).out;
    EXPECT_NE(rebuilt.find("\"index\": \"rebuilt\""), std::string::npos) << rebuilt;
    EXPECT_NE(layersJson(found), "");
    EXPECT_EQ(layersJson(rebuilt), layersJson(found));
    Result shown = cli({"info", t.file("a.jbg")});
    EXPECT_NE(shown.out.find("300 x 200 pixels, 3 layers (D = 2)"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("index    found (250 bytes)"), std::string::npos) << shown.out;  // 10 + 8 * 3 * 10
    EXPECT_NE(cli({"info", t.file("b.jbg")}).out.find("rebuilt by scanning"), std::string::npos);
}

TEST(Cli, IndexRemoveAndAddAreExactInverses) {
    TempDir t;
    Image img = randomImage(64, 90, 5);
    Bytes full = encodeToMemory(img, defaultOptions(img, 1));
    writeFile(t.file("a.jbg"), full);
    ASSERT_EQ(cli({"index", "remove", t.file("a.jbg"), t.file("b.jbg")}).code, 0);
    Bytes bare = readFile(t.file("b.jbg"));
    ASSERT_EQ(bare.size(), full.size() - (10 + 8 * 2 * 6));
    EXPECT_TRUE(std::equal(bare.begin(), bare.end(), full.begin()));
    ASSERT_EQ(cli({"index", "add", t.file("b.jbg"), t.file("c.jbg")}).code, 0);
    EXPECT_EQ(readFile(t.file("c.jbg")), full);
    ASSERT_EQ(cli({"index", "add", t.file("b.jbg")}).code, 0);  // in place
    EXPECT_EQ(readFile(t.file("b.jbg")), full);
    Result again = cli({"index", "add", t.file("a.jbg"), t.file("d.jbg")});
    EXPECT_EQ(again.code, 3);
    EXPECT_NE(again.err.find("already has a stripe index"), std::string::npos);
    EXPECT_FALSE(fs::exists(t.file("d.jbg")));
    Result piped = cli({"index", "remove", "-", "-"}, t.file("a.jbg"));
    EXPECT_EQ(piped.out, text(bare));
}

TEST(Cli, StandardInputAndOutput) {
    TempDir t;
    Image img = randomImage(40, 30, 6);
    writeFile(t.file("in.pbm"), pbmBytes(img));
    Result enc = cli({"encode", "-", "-"}, t.file("in.pbm"), t.file("s.jbg"));
    ASSERT_EQ(enc.code, 0) << enc.err;
    EXPECT_EQ(readFile(t.file("s.jbg")), encodeToMemory(img, defaultOptions(img, 0)));
    EXPECT_EQ(cli({"decode", "-", "-"}, t.file("s.jbg")).out, text(pbmBytes(img)));
    ASSERT_EQ(cli({"decode", "-f", "png", "-", "-"}, t.file("s.jbg"), t.file("s.png")).code, 0);
    EXPECT_TRUE(viaTool(t.file("s.png")) == img);
    EXPECT_EQ(cli({"info", "--json", "-"}, t.file("s.jbg")).out.rfind("{\"file\": \"standard input\", ", 0), 0u);
}

// Each refusal: its exit code, one line naming the file, and the directory
// exactly as before (an existing output untouched, no temporary left).
TEST(Cli, BadInputLeavesNoOutputBehind) {
    TempDir t;
    Image img = randomImage(120, 80, 7);
    writeFile(t.file("good.pbm"), pbmBytes(img));
    JbigEncodeOptions o = defaultOptions(img, 0);
    o.L0 = 16;
    Bytes jbg = encodeToMemory(img, o);
    writeFile(t.file("half.jbg"), Bytes(jbg.begin(), jbg.begin() + long(jbg.size() / 2)));
    Bytes badIndex = jbg;
    badIndex[badIndex.size() - 4] = 0x7F;  // the last stripe's length
    writeFile(t.file("badindex.jbg"), badIndex);
    writeFile(t.file("text.txt"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    Bytes pbm = pbmBytes(img);
    writeFile(t.file("short.pbm"), Bytes(pbm.begin(), pbm.end() - 1));
    writeFile(t.file("huge.pbm"), Bytes{'P', '4', ' ', '9', '0', '0', '0', '0', ' ', '9', '0', '0', '0', '0', '\n', 0});
    writeFile(t.file("zero.png"), {});
    {
        std::ifstream f(corpusPages()[0], std::ios::binary);  // the compressed bytes, cut short
        Bytes raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        writeFile(t.file("cut.pbm.gz"), Bytes(raw.begin(), raw.begin() + long(raw.size() / 2)));
    }
    Bytes png = makePng(8, 8, 0, 8, false, [](auto, auto) { return Bytes{0}; });
    png[png.size() - 20] ^= 1;  // inside IDAT: its checksum no longer fits
    writeFile(t.file("crc.png"), png);
    Bytes bmp = makeBmp(9, 9, 8, {0, 0xFFFFFF}, [](auto, auto) { return 1u; });
    writeFile(t.file("short.bmp"), Bytes(bmp.begin(), bmp.end() - 3));
    bmp[30] = 1;  // RLE
    writeFile(t.file("rle.bmp"), bmp);
    writeFile(t.file("header.jbg"), Bytes{0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 8, 0});
    writeFile(t.file("out.jbg"), Bytes{'k', 'e', 'e', 'p'});
    writeFile(t.file("out.pbm"), Bytes{'k', 'e', 'e', 'p'});
    fs::create_directory(t.file("dir"));
    auto listing = [&] {
        std::vector<std::string> v;
        for (auto &e : fs::recursive_directory_iterator(t.path)) v.push_back(e.path().string());
        std::sort(v.begin(), v.end());
        return v;
    };
    const auto before = listing();
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    std::string out = t.file("out.jbg"), pout = t.file("out.pbm");
    std::vector<Case> cases = {
        {{"encode", t.file("missing.pbm"), out}, 3, "missing.pbm: cannot open"},
        {{"encode", t.file("text.txt"), out}, 3, "text.txt: not a PBM, BMP or PNG image"},
        {{"encode", t.file("short.pbm"), out}, 3, "short.pbm: truncated PBM"},
        {{"encode", t.file("huge.pbm"), out}, 3, "huge.pbm: truncated PBM"},
        {{"encode", t.file("zero.png"), out}, 3, "zero.png: empty file"},
        {{"encode", t.file("cut.pbm.gz"), out}, 3, "cut.pbm.gz: damaged or truncated gzip data"},
        {{"encode", t.file("crc.png"), out}, 3, "crc.png: damaged PNG"},
        {{"encode", t.file("short.bmp"), out}, 3, "short.bmp: truncated BMP"},
        {{"encode", t.file("rle.bmp"), out}, 3, "rle.bmp: compressed BMP"},
        {{"decode", t.file("half.jbg"), pout}, 3, "half.jbg: truncated"},
        {{"info", t.file("half.jbg")}, 3, "half.jbg: truncated"},
        {{"decode", t.file("badindex.jbg"), pout}, 3, "badindex.jbg: damaged stripe index"},
        {{"decode", t.file("header.jbg"), pout}, 3, "header.jbg: not a JBIG image"},
        {{"decode", t.file("text.txt"), pout}, 3, "text.txt: not a JBIG image"},
        {{"decode", t.file("good.pbm"), pout}, 3, "good.pbm: not a JBIG image"},
        {{"encode", t.file("good.pbm"), t.file("nodir/x.jbg")}, 4, "nodir/x.jbg: cannot create"},
        {{"encode", t.file("good.pbm"), t.file("dir")}, 4, "dir: is a directory"},
        {{"encode", t.file("good.pbm"), "/dev/full/x"}, 4, "/dev/full/x: cannot create"},
        {{}, 2, "no command"},
        {{"encode", t.file("good.pbm")}, 2, "encode: expects IN and OUT"},
        {{"encode", "--layers", "x", t.file("good.pbm"), out}, 2, "--layers wants a whole number"},
        {{"encode", "--frobnicate", t.file("good.pbm"), out}, 2, "unknown option '--frobnicate'"},
        {{"decode", t.file("good.pbm"), t.file("out.gif")}, 2, "cannot tell the output format"},
        {{"index", "remove", t.file("half.jbg"), out}, 3, "truncated"},
    };
    for (const Case &c : cases) {
        Result r = cli(c.args);
        std::string what = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
        EXPECT_EQ(r.code, c.code) << what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("zeljbig: ", 0), 0u) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        EXPECT_EQ(listing(), before) << what;
        EXPECT_EQ(readFile(out), (Bytes{'k', 'e', 'e', 'p'})) << what;
        EXPECT_EQ(readFile(pout), (Bytes{'k', 'e', 'e', 'p'})) << what;
    }
    Result full = cli({"encode", t.file("good.pbm"), "-"}, "/dev/null", "/dev/full");
    EXPECT_EQ(full.code, 4);
    EXPECT_NE(full.err.find("standard output: cannot write"), std::string::npos) << full.err;
}

TEST(Cli, HelpVersionAndExitCodes) {
    Result help = cli({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char *s : {"encode IN OUT", "decode IN OUT", "info FILE", "index add", "2 usage error", "4 output error"})
        EXPECT_NE(help.out.find(s), std::string::npos) << s;
    for (const char *c : {"encode", "decode", "info", "index"}) {
        Result r = cli({c, "--help"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out.rfind(std::string("Usage: zeljbig ") + c, 0), 0u) << r.out;
    }
    EXPECT_EQ(cli({"--version"}).out, "zeljbig 2.0.0\n");
}

// The README shows the example program as it is in the tree.
TEST(Cli, ReadmeCarriesTheExampleProgram) {
    std::string readme = text(readFile(dataPath("../../README.md")));
    std::string example = text(readFile(dataPath("../../examples/example.c")));
    size_t start = readme.find("```c\n");
    ASSERT_NE(start, std::string::npos);
    size_t end = readme.find("```\n", start + 5);
    EXPECT_EQ(readme.substr(start + 5, end - start - 5), example);
}

#endif  // ZELJBIG_CLI && !_WIN32
