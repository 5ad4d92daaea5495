// The zeljbig command-line tool, run as a separate program: round trips
// through every format, exact output layouts, info, the stripe index
// commands, and refusals that leave no partial output behind.
#if defined(ZELJBIG_CLI) && !defined(_WIN32)

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "support.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out, err;
    bool says(const std::string &s) const { return out.find(s) != std::string::npos; }
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
    const char *tool = std::getenv("ZELJBIG_CLI_UNDER_TEST");  // another build of the tool
    std::string cmd = quote(tool ? tool : ZELJBIG_CLI);
    for (const std::string &a : args) cmd += " " + quote(a);
    std::string o = out.empty() ? io.file("stdout") : out;
    cmd += " < " + quote(in) + " > " + quote(o) + " 2> " + quote(io.file("stderr"));
    int st = std::system(cmd.c_str());
    Result r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, "", text(readFile(io.file("stderr")))};
    if (out.empty()) r.out = text(readFile(o));
    return r;
}

Bytes pbmBytes(const Image &img) {
    std::string h = "P4\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n";
    Bytes b(h.begin(), h.end());
    b.insert(b.end(), img.bits.begin(), img.bits.end());
    return b;
}

}  // namespace

TEST(Cli, OptionsReachTheHeader) {
    TempDir t;
    Image img = randomImage(77, 50, 3, 20);
    writeFile(t.file("in.pbm"), pbmBytes(img));
    const Result r = cli({"encode", "-d", "2", "--stripe-lines=4", "-3", "--no-tpbon", "--dpon", "--no-index",
                          t.file("in.pbm"), t.file("x.jbg")});
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes x = readFile(t.file("x.jbg"));
    EXPECT_EQ(Bytes(x.begin(), x.begin() + 20), jbigHeader(77, 50, 4, 2, 0x00, 0x20 | 0x10 | 0x04));
    Image back;
    uint16_t flags = 0;
    ASSERT_TRUE(decodeMemory(x, &back, -2, &flags));
    EXPECT_TRUE(back == img);
    EXPECT_TRUE(flags & JBIG_FLAG_PATINFO_MISSING);
}

// The default stream is read by every decoder (the library's without the
// whole standard too): one stripe, the lowest layer first, no AT moves. The
// best one is smaller where the AT pixel can help, and never larger.
TEST(Cli, DefaultAndBestStreams) {
    TempDir t;
    for (const std::string page : {"wild/screen6-300x260.pbm", "corpus/fax200-awk.pbm.gz"}) {
        const Image img = readPbm(dataPath(page));
        for (const char *layers : {"0", "2"}) {
            SCOPED_TRACE(page + " D=" + layers);
            ASSERT_EQ(cli({"encode", "-d", layers, dataPath(page), t.file("d.jbg")}).code, 0);
            ASSERT_EQ(cli({"encode", "--best", "-d", layers, dataPath(page), t.file("b.jbg")}).code, 0);
            const Bytes plain = readFile(t.file("d.jbg")), best = readFile(t.file("b.jbg"));
            EXPECT_EQ(plain[16], 0);     // MX
            EXPECT_EQ(plain[18], 0x00);  // lowest layer first
            EXPECT_TRUE(cli({"info", t.file("d.jbg")}).says("markers  none"));
            MemoryDecoder d(plain);
            EXPECT_TRUE(decodesTo(d.h, img));
            EXPECT_LE(best.size(), plain.size());
            if (page[0] == 'w') {
                EXPECT_LT(best.size(), plain.size() * 4 / 5);
            }
            MemoryDecoder b(best, JBIG_FLAG_FULL_STANDARD);
            EXPECT_TRUE(decodesTo(b.h, img));
        }
    }
}

// Plain PBM in; exact PBM, BMP and PNG layouts out.
TEST(Cli, OutputLayouts) {
    TempDir t;
    writeFile(t.file("p1.pbm"), Bytes{'P', '1', ' ', '#', ' ', 'x', '\n', '9', ' ', '2', '\n', '1', '0', '0', '0', '0',
                                      '0', '0', '0', '1', '\n', '0', '1', '#', '\n', '1', '1', '1', '1', '1', '1', '0'});
    ASSERT_EQ(cli({"encode", t.file("p1.pbm"), t.file("p.jbg")}).code, 0);
    EXPECT_EQ(cli({"decode", t.file("p.jbg"), "-"}).out, std::string("P4\n9 2\n\x80\x80\x7F\x00", 11));
    ASSERT_EQ(cli({"decode", t.file("p.jbg"), t.file("a.bmp")}).code, 0);
    EXPECT_EQ(readFile(t.file("a.bmp")),
              (Bytes{'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0, 40, 0, 0, 0, 9, 0, 0, 0, 2, 0, 0, 0, 1, 0, 1, 0,
                     0,   0,   0,  0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 0, 0,
                     0,   0,   0,  0x7F, 0, 0, 0, 0x80, 0x80, 0, 0}));
    ASSERT_EQ(cli({"decode", t.file("p.jbg"), t.file("a.png")}).code, 0);
    Bytes p = readFile(t.file("a.png"));  // 1-bit grey, not interlaced
    ASSERT_GT(p.size(), 33u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 29), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H',
                                                       'D', 'R', 0, 0, 0, 9, 0, 0, 0, 2, 1, 0, 0, 0, 0}));
}

// Every BMP and PNG kind the tool reads (1-bit BMPs either way round or
// top-down, 4 to 32 bits, every PNG colour type, interlaced and 16-bit),
// against the pixels each stands for; t50-* with threshold 50.
TEST(Cli, InputFormats) {
    TempDir t;
    int cases = 0;
    for (const auto &e : fs::directory_iterator(dataPath("formats"))) {
        const std::string in = e.path().string(), stem = e.path().stem().string();
        if (e.path().extension() == ".pbm" || stem.rfind("bad-", 0) == 0) continue;
        SCOPED_TRACE(stem);
        std::vector<std::string> args = {"encode", in, t.file("x.jbg")};
        if (stem.rfind("t50-", 0) == 0) args.insert(args.begin() + 1, {"-t", "50"});
        Result r = cli(args);
        ASSERT_EQ(r.code, 0) << r.err;
        Image got;
        EXPECT_TRUE(decodeMemory(readFile(t.file("x.jbg")), &got) && got == readPbm(dataPath("formats/" + stem + ".pbm")));
        cases++;
    }
    EXPECT_EQ(cases, 16);
}

TEST(Cli, DecodesOneLayerOrEveryLayer) {
    TempDir t;
    Image img = randomImage(203, 151, 9, 30);
    Bytes stream = encodeToMemory(img, defaultOptions(img, 2));
    writeFile(t.file("a.jbg"), stream);
    ASSERT_EQ(cli({"decode", "--all-layers", t.file("a.jbg"), t.file("all.pbm")}).code, 0);
    ASSERT_EQ(cli({"decode", "-a", t.file("a.jbg"), t.file("p%d-x.pbm")}).code, 0);
    ASSERT_EQ(cli({"decode", "--layer", "1", t.file("a.jbg"), t.file("one.pbm")}).code, 0);
    for (int d = 0; d <= 2; d++) {
        Image want;
        ASSERT_TRUE(decodeMemory(stream, &want, d));
        EXPECT_TRUE(readPbm(t.file("all-" + std::to_string(d) + ".pbm")) == want) << d;
        EXPECT_TRUE(readPbm(t.file("p" + std::to_string(d) + "-x.pbm")) == want) << d;
        if (d == 1) {
            EXPECT_TRUE(readPbm(t.file("one.pbm")) == want);
        }
    }
    EXPECT_EQ(readPbm(t.file("all-0.pbm")).width, 51u);
    EXPECT_EQ(cli({"decode", "--layer", "3", t.file("a.jbg"), t.file("no.pbm")}).code, 2);
    EXPECT_FALSE(fs::exists(t.file("no.pbm")));
}

// info describes the header and the layers the same way with the index as
// found by scanning; index remove and add are exact inverses.
TEST(Cli, InfoAndIndex) {
    TempDir t;
    Image img = randomImage(300, 200, 4, 10);
    JbigEncodeOptions o = defaultOptions(img, 2, JBIG_FLAG_MEMORY, 5);
    const Bytes full = encodeToMemory(img, o);
    writeFile(t.file("a.jbg"), full);
    Result found = cli({"info", "--json", t.file("a.jbg")});
    ASSERT_EQ(found.code, 0) << found.err;
    EXPECT_TRUE(found.says("\"XD\": 300, \"YD\": 200, \"L0\": 5, ")) << found.out;
    EXPECT_TRUE(found.says("\"stripes_per_layer\": 10, \"index\": \"found\", \"index_bytes\": 250, ")) << found.out;
    EXPECT_TRUE(found.says("{\"layer\": 0, \"width\": 75, \"height\": 50, \"stripes\": 10, ")) << found.out;

    ASSERT_EQ(cli({"index", "remove", t.file("a.jbg"), t.file("b.jbg")}).code, 0);
    const Bytes bare = readFile(t.file("b.jbg"));
    Result rebuilt = cli({"info", "--json", t.file("b.jbg")});
    EXPECT_TRUE(rebuilt.says("\"index\": \"rebuilt\"")) << rebuilt.out;
    auto layers = [](const std::string &json) {
        size_t a = json.find("\"layers\": [");
        return json.substr(a, json.find(']', a) - a);
    };
    EXPECT_EQ(layers(rebuilt.out), layers(found.out));
    EXPECT_TRUE(cli({"info", t.file("b.jbg")}).says("rebuilt by scanning"));
    EXPECT_TRUE(cli({"info", t.file("a.jbg")}).says("300 x 200 pixels, 3 layers (D = 2)"));

    ASSERT_EQ(cli({"index", "add", t.file("b.jbg"), t.file("c.jbg")}).code, 0);
    EXPECT_EQ(readFile(t.file("c.jbg")), full);
    ASSERT_EQ(cli({"index", "add", t.file("b.jbg")}).code, 0);  // in place
    EXPECT_EQ(readFile(t.file("b.jbg")), full);
    EXPECT_EQ(cli({"index", "remove", "-", "-"}, t.file("a.jbg")).out, text(bare));
}

// Standard input and output for every command; a format named with -f.
TEST(Cli, StandardInputAndOutput) {
    TempDir t;
    Image img = randomImage(40, 30, 6);
    writeFile(t.file("in.pbm"), pbmBytes(img));
    ASSERT_EQ(cli({"encode", "-", "-"}, t.file("in.pbm"), t.file("s.jbg")).code, 0);
    EXPECT_EQ(cli({"decode", "-", "-"}, t.file("s.jbg")).out, text(pbmBytes(img)));
    ASSERT_EQ(cli({"decode", "-f", "png", "-", "-"}, t.file("s.jbg"), t.file("s.png")).code, 0);
    ASSERT_EQ(cli({"encode", t.file("s.png"), t.file("p.jbg")}).code, 0);
    EXPECT_EQ(readFile(t.file("p.jbg")), readFile(t.file("s.jbg")));
    EXPECT_EQ(cli({"info", "--json", "-"}, t.file("s.jbg")).out.rfind("{\"file\": \"standard input\", ", 0), 0u);
}

// Each refusal: its exit code, one line naming the file, and the directory
// exactly as before (an existing output untouched, no temporary left).
TEST(Cli, BadInputLeavesNoOutputBehind) {
    TempDir t;
    Image img = randomImage(120, 80, 7);
    auto put = [&](const std::string &name, const Bytes &b) { writeFile(t.file(name), b); };
    put("good.pbm", pbmBytes(img));
    JbigEncodeOptions o = defaultOptions(img, 0, JBIG_FLAG_MEMORY, 30);
    Bytes jbg = encodeToMemory(img, o);
    const size_t end1 = 20 + trailerEntries(jbg, 3).at(0).second - 1;  // ESC SDNORM of the first stripe
    put("half.jbg", Bytes(jbg.begin(), jbg.begin() + long(jbg.size() / 2)));
    jbg[jbg.size() - 4] = 0x7F;  // the last stripe's length
    put("badindex.jbg", jbg);
    put("cut.pbm.gz", Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0x0B, 0x70, 0x31});  // a gzip stream cut short
    const Bytes pbm = pbmBytes(img);
    put("short.pbm", Bytes(pbm.begin(), pbm.end() - 1));
    put("header.jbg", Bytes{0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 8, 0});
    put("tall.jbg", jbigHeader(1, 100000000, 100000000));
    // Marker segments the whole standard refuses, after the first of three
    // stripes (ESC SDNORM) of a stream without index, or in its header.
    o.flags |= JBIG_FLAG_NO_PATINFO;
    const Bytes bare = encodeToMemory(img, o);
    auto with = [&](const std::string &name, size_t at, Bytes what, size_t byte = 0, Bytes value = {}) {
        Bytes b = bare;
        b.insert(b.begin() + long(at), what.begin(), what.end());
        std::copy(value.begin(), value.end(), b.begin() + long(byte));
        put(name, b);
    };
    with("farat.jbg", end1 + 1, {0xFF, 0x06, 0, 0, 0, 2, 20, 0});
    with("backat.jbg", end1 + 1, {0xFF, 0x06, 0, 0, 0, 5, 2, 0, 0xFF, 0x06, 0, 0, 0, 3, 2, 0});
    with("newlen.jbg", end1 + 1, {0xFF, 0x05, 0, 0, 0, 100});
    with("unknown.jbg", 0, {}, 8, {0xFF, 0xFF, 0xFF, 0xFF});
    with("dpprivcut.jbg", 0, {}, 19, {uint8_t(bare[19] | 0x02)});
    with("dplast.jbg", 20, Bytes(1728, 0), 19, {uint8_t(bare[19] | 0x03)});
    put("out.jbg", Bytes{'k', 'e', 'e', 'p'});
    put("out.pbm", Bytes{'k', 'e', 'e', 'p'});
    fs::create_directory(t.file("dir"));
    auto listing = [&] {
        std::vector<std::string> v;
        for (auto &e : fs::recursive_directory_iterator(t.path)) v.push_back(e.path().string());
        std::sort(v.begin(), v.end());
        return v;
    };
    const auto before = listing();
    const std::string out = t.file("out.jbg"), pout = t.file("out.pbm"), formats = dataPath("formats/");
    const struct {
        std::vector<std::string> args;
        int code;
        std::string says;
    } cases[] = {
        {{"encode", t.file("missing.pbm"), out}, 3, "missing.pbm: cannot open"},
        {{"encode", dataPath("wild/README.md"), out}, 3, "README.md: not a PBM, BMP or PNG image"},
        {{"encode", t.file("short.pbm"), out}, 3, "short.pbm: truncated PBM"},
        {{"encode", t.file("cut.pbm.gz"), out}, 3, "cut.pbm.gz: damaged or truncated gzip data"},
        {{"encode", formats + "bad-crc.png", out}, 3, "bad-crc.png: damaged PNG"},
        {{"encode", formats + "bad-short.bmp", out}, 3, "bad-short.bmp: truncated BMP"},
        {{"encode", formats + "bad-rle.bmp", out}, 3, "bad-rle.bmp: compressed BMP"},
        {{"decode", t.file("half.jbg"), pout}, 3, "half.jbg: truncated"},
        {{"index", "remove", t.file("half.jbg"), out}, 3, "truncated"},
        {{"decode", t.file("badindex.jbg"), pout}, 3, "badindex.jbg: damaged stripe index"},
        {{"decode", t.file("header.jbg"), pout}, 3, "header.jbg: not a JBIG image"},
        {{"decode", t.file("farat.jbg"), pout}, 3, "moves the AT pixel 20 columns, more than MX 8"},
        {{"decode", t.file("backat.jbg"), pout}, 3, "name their lines out of order"},
        {{"decode", t.file("newlen.jbg"), pout}, 3, "a NEWLEN names no fewer rows than the 80"},
        {{"info", t.file("unknown.jbg")}, 3, "no NEWLEN gives it"},
        {{"decode", t.file("dpprivcut.jbg"), pout}, 3, "table is cut short"},
        {{"decode", t.file("dplast.jbg"), pout}, 3, "(DPPRIV with DPLAST)"},
        {{"decode", t.file("tall.jbg"), pout}, 3, "tall.jbg: image too large to decode"},
        {{"encode", t.file("good.pbm"), t.file("nodir/x.jbg")}, 4, "nodir/x.jbg: cannot create"},
        {{"encode", t.file("good.pbm"), t.file("dir")}, 4, "dir: is a directory"},
        {{}, 2, "no command"},
        {{"encode", t.file("good.pbm")}, 2, "encode: expects IN and OUT"},
        {{"encode", "--layers", "x", t.file("good.pbm"), out}, 2, "--layers wants a whole number"},
        {{"encode", "--frobnicate", t.file("good.pbm"), out}, 2, "unknown option '--frobnicate'"},
        {{"decode", t.file("good.pbm"), t.file("out.gif")}, 2, "cannot tell the output format"},
    };
    for (const auto &c : cases) {
        Result r = cli(c.args);
        std::string what = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
        EXPECT_EQ(r.code, c.code) << what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("zeljbig: ", 0), 0u) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        EXPECT_EQ(listing(), before) << what;
    }
    EXPECT_EQ(readFile(out), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(readFile(pout), (Bytes{'k', 'e', 'e', 'p'}));
    Result full = cli({"encode", t.file("good.pbm"), "-"}, "/dev/null", "/dev/full");
    EXPECT_EQ(full.code, 4);
    EXPECT_NE(full.err.find("standard output: cannot write"), std::string::npos) << full.err;
}

// Every stream of the other encoders decodes exactly through the tool, and
// info names the markers it holds.
TEST(Cli, DecodesTheStreamsOfOtherEncoders) {
    TempDir t;
    for (const std::string &name : streamFiles("wild")) {
        SCOPED_TRACE(name);
        Result r = cli({"decode", dataPath("wild/" + name), t.file("x.pbm")});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(readPbm(t.file("x.pbm")) == readPbm(imageOf("wild", name)));
    }
    const std::string wild = dataPath("wild/screen6-300x260_");
    EXPECT_TRUE(cli({"info", wild + "t85-unknown-height.jbg"}).says("set by NEWLEN; fits the T.85 fax profile\n"));
    EXPECT_TRUE(cli({"info", "--json", wild + "sdrst-q-s16.jbg"})
                    .says("\"markers\": {\"ATMOVE\": 9, \"AT_columns\": [6], \"SDRST\": 17, \"NEWLEN_height\": null, "
                          "\"COMMENT\": 0, \"comment_bytes\": 0, \"ABORT\": false, \"private_DP_table\": false}, "
                          "\"profile\": {\"unknown_height\": false, \"T85\": false}"));
}

TEST(Cli, HelpVersionAndTheReadmeExample) {
    EXPECT_EQ(cli({"--help"}).code, 0);
    EXPECT_EQ(cli({"--version"}).out, "zeljbig 2.0.0\n");
    // The README shows the example program as it is in the tree.
    std::string readme = text(readFile(dataPath("../../README.md")));
    std::string example = text(readFile(dataPath("../../examples/example.c")));
    size_t start = readme.find("```c\n");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(readme.substr(start + 5, readme.find("```\n", start + 5) - start - 5), example);
}

#endif  // ZELJBIG_CLI && !_WIN32
