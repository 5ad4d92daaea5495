// zeljbig: encode, decode, inspect and re-index JBIG images from the
// command line.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "jbig.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#ifndef ZELJBIG_VERSION
#define ZELJBIG_VERSION "unknown"
#endif

using namespace cli;

namespace {

const char kExitCodes[] =
    "Exit status: 0 success, 1 internal error, 2 usage error, 3 input error\n"
    "(missing, unreadable or damaged input), 4 output error (cannot write).\n";

const char kToolHelp[] =
    "Usage: zeljbig COMMAND [OPTIONS] ARGS\n"
    "Encode and decode bi-level images in the JBIG format (ITU-T T.82).\n"
    "\n"
    "Commands:\n"
    "  encode IN OUT          PBM, BMP or PNG to JBIG\n"
    "  decode IN OUT          JBIG to PBM, BMP or PNG, one layer or all of them\n"
    "  info FILE              header, layers, stripes and sizes of a JBIG file\n"
    "  index add IN [OUT]     give a JBIG file a stripe index\n"
    "  index remove IN [OUT]  take a JBIG file's stripe index away\n"
    "  help [COMMAND]         this text, or a command's\n"
    "\n"
    "A file name '-' is standard input or output; gzip'd input is unpacked first.\n"
    "An output file appears only when it is complete; on failure an existing\n"
    "one is left untouched.\n"
    "\n"
    "Options: --help (also after a command), --version.\n";

const char kEncodeHelp[] =
    "Usage: zeljbig encode [OPTIONS] IN OUT\n"
    "Encode a PBM (P1 or P4), BMP or PNG image as JBIG. BMP and PNG pixels whose\n"
    "grey value is below the threshold become black. Without options the\n"
    "stream is the smallest that every JBIG decoder reads: one stripe, the\n"
    "template that codes the picture smaller, typical prediction, with layers\n"
    "deterministic prediction and the lowest layer first, no AT moves, and a\n"
    "stripe index at the end.\n"
    "\n"
    "Options:\n"
    "  -d, --layers N        differential layers D, 0 to 31 (default 0)\n"
    "  -s, --stripe-lines N  lines per stripe in the lowest layer (default: one\n"
    "                        stripe for the whole image)\n"
    "  -3, --three-line      three-line template\n"
    "  -2, --two-line        two-line template\n"
    "      --tpbon, --no-tpbon  typical prediction in the lowest layer (default on)\n"
    "      --tpdon, --no-tpdon  typical prediction in the other layers (default on)\n"
    "      --dpon, --no-dpon    deterministic prediction (default on with layers)\n"
    "  -m, --at-max N        let the AT pixel move up to N columns (0 to 127,\n"
    "                        default 0); needs a decoder that honours ATMOVE\n"
    "  -b, --best            the smallest stream the tool can make: tries both\n"
    "                        templates and AT moves up to 127 columns (needs a\n"
    "                        decoder that honours ATMOVE when it moves)\n"
    "      --no-index        write no stripe index\n"
    "  -t, --threshold N     grey level 0 to 256 below which BMP and PNG pixels\n"
    "                        are black (default 128)\n"
    "\n"
    "Example: zeljbig encode -d 3 page.pbm page.jbg\n";

const char kDecodeHelp[] =
    "Usage: zeljbig decode [OPTIONS] IN OUT\n"
    "Decode a JBIG image to PBM, BMP or PNG, chosen by OUT's extension\n"
    "(.pbm, .bmp, .png) or by --format. Standard output gets PBM by default.\n"
    "\n"
    "Options:\n"
    "  -l, --layer N       the layer to write, 0 (lowest resolution) to D\n"
    "                      (default D, the full resolution)\n"
    "  -a, --all-layers    write every layer: OUT's '%d' becomes the layer\n"
    "                      number, or '-N' goes before its extension\n"
    "  -f, --format F      pbm, bmp or png\n"
    "\n"
    "Example: zeljbig decode --all-layers page.jbg page.png\n"
    "         (writes page-0.png ... page-D.png)\n";

const char kInfoHelp[] =
    "Usage: zeljbig info [--json] FILE\n"
    "Show a JBIG file's header fields, the size of each layer, the stripes per\n"
    "layer, whether the stripe index was found or rebuilt by scanning, the\n"
    "coded bytes of each layer and the compression ratio (raw 1-bit bytes\n"
    "over coded bytes). Nothing is decoded.\n"
    "\n"
    "Options:\n"
    "  --json   one JSON object instead of text\n";

const char kIndexHelp[] =
    "Usage: zeljbig index add IN [OUT]\n"
    "       zeljbig index remove IN [OUT]\n"
    "Add a stripe index (a trailer listing where every stripe lies, so that a\n"
    "decoder need not scan) to a JBIG file that has none, or remove it. Without\n"
    "OUT the file IN is replaced.\n";

const char *helpFor(const std::string &command) {
    if (command == "encode") return kEncodeHelp;
    if (command == "decode") return kDecodeHelp;
    if (command == "info") return kInfoHelp;
    if (command == "index") return kIndexHelp;
    return nullptr;
}

void printHelp(const char *text) {
    std::fputs(text, stdout);
    std::fputs("\n", stdout);
    std::fputs(kExitCodes, stdout);
}

// ---- command lines ----

struct OptionDef {
    const char *name;
    char shortName;
    bool takesValue;
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool has(const std::string &n) const { return options.count(n) != 0; }
};

Args parseArgs(const std::string &command, const std::vector<std::string> &argv, const std::vector<OptionDef> &specs) {
    Args a;
    std::string where = command;
    auto usage = [&](const std::string &why) { fail(kUsage, where, why + " (see zeljbig " + command + " --help)"); };
    for (size_t i = 0; i < argv.size(); i++) {
        const std::string &arg = argv[i];
        if (arg == "--") {
            a.positional.insert(a.positional.end(), argv.begin() + long(i) + 1, argv.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            a.positional.push_back(arg);
            continue;
        }
        const OptionDef *def = nullptr;
        std::string value;
        bool inlineValue = false;
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                inlineValue = true;
            }
            for (const OptionDef &s : specs)
                if (name == s.name) def = &s;
            if (name == "help") {
                a.options["help"] = "";
                continue;
            }
            if (!def) usage("unknown option '" + arg + "'");
        } else {
            for (const OptionDef &s : specs)
                if (s.shortName == arg[1]) def = &s;
            if (arg[1] == 'h' && arg.size() == 2) {
                a.options["help"] = "";
                continue;
            }
            if (!def) usage("unknown option '" + arg + "'");
            if (arg.size() > 2) {
                if (!def->takesValue) usage("unknown option '" + arg + "'");
                value = arg.substr(2);
                inlineValue = true;
            }
        }
        if (def->takesValue && !inlineValue) {
            if (i + 1 >= argv.size()) usage("option --" + std::string(def->name) + " needs a value");
            value = argv[++i];
        } else if (!def->takesValue && inlineValue) {
            usage("option --" + std::string(def->name) + " takes no value");
        }
        a.options[def->name] = value;
    }
    return a;
}

long long number(const std::string &command, const std::string &option, const std::string &text, long long lo,
                 long long hi) {
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
        fail(kUsage, command,
             "--" + option + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                 ", not '" + text + "'");
    return v;
}

void wantPositional(const std::string &command, const Args &a, size_t least, size_t most, const char *what) {
    if (a.positional.size() < least || a.positional.size() > most)
        fail(kUsage, command, std::string("expects ") + what + " (see zeljbig " + command + " --help)");
}

// ---- encode ----

int runEncode(const std::vector<std::string> &argv) {
    const std::vector<OptionDef> specs = {
        {"layers", 'd', true},   {"stripe-lines", 's', true}, {"three-line", '3', false}, {"two-line", '2', false},
        {"tpbon", 0, false},     {"no-tpbon", 0, false},      {"tpdon", 0, false},        {"no-tpdon", 0, false},
        {"dpon", 0, false},      {"no-dpon", 0, false},       {"at-max", 'm', true},      {"best", 'b', false},
        {"no-index", 0, false},  {"threshold", 't', true}};
    Args a = parseArgs("encode", argv, specs);
    if (a.has("help")) return printHelp(kEncodeHelp), kOk;
    wantPositional("encode", a, 2, 2, "IN and OUT");
    EncodeSettings s;
    if (a.has("layers")) s.layers = int(number("encode", "layers", a.options["layers"], 0, 31));
    if (a.has("stripe-lines"))
        s.stripeLines = number("encode", "stripe-lines", a.options["stripe-lines"], 1, 0xFFFFFFFFll);
    if (a.has("three-line") && a.has("two-line")) fail(kUsage, "encode", "--three-line and --two-line contradict each other");
    if (a.has("three-line")) s.lrltwo = 0;
    if (a.has("two-line")) s.lrltwo = 1;
    if (a.has("at-max")) s.atMax = int(number("encode", "at-max", a.options["at-max"], 0, 127));
    s.best = a.has("best");
    auto onOff = [&](const char *on, const char *off, int *v) {
        if (a.has(on) && a.has(off))
            fail(kUsage, "encode", std::string("--") + on + " and --" + off + " contradict each other");
        if (a.has(on)) *v = 1;
        if (a.has(off)) *v = 0;
    };
    onOff("tpbon", "no-tpbon", &s.tpbon);
    onOff("tpdon", "no-tpdon", &s.tpdon);
    onOff("dpon", "no-dpon", &s.dpon);
    s.noIndex = a.has("no-index");
    if (a.has("threshold")) s.threshold = int(number("encode", "threshold", a.options["threshold"], 0, 256));

    const std::string &in = a.positional[0];
    Bytes data = readInput(in);
    Output out(a.positional[1]);
    out.commit(encodeImage(std::move(data), displayName(in), s));
    return kOk;
}

// ---- decode ----

std::string layerPath(const std::string &pattern, int layer) {
    std::string n = std::to_string(layer);
    size_t pct = pattern.find("%d");
    if (pct != std::string::npos) return pattern.substr(0, pct) + n + pattern.substr(pct + 2);
    size_t dot = pattern.find_last_of('.');
    size_t slash = pattern.find_last_of("/\\");
    if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot <= slash + 1))
        return pattern + "-" + n;
    return pattern.substr(0, dot) + "-" + n + pattern.substr(dot);
}

int runDecode(const std::vector<std::string> &argv) {
    const std::vector<OptionDef> specs = {{"layer", 'l', true}, {"all-layers", 'a', false}, {"format", 'f', true}};
    Args a = parseArgs("decode", argv, specs);
    if (a.has("help")) return printHelp(kDecodeHelp), kOk;
    wantPositional("decode", a, 2, 2, "IN and OUT");
    const std::string &in = a.positional[0], &outName = a.positional[1];
    bool all = a.has("all-layers");
    if (all && a.has("layer")) fail(kUsage, "decode", "--layer and --all-layers contradict each other");
    if (all && outName == "-") fail(kUsage, "decode", "--all-layers writes files, not standard output");
    long long layer = a.has("layer") ? number("decode", "layer", a.options["layer"], 0, 255) : -1;
    Format format = Format::Unknown;
    if (a.has("format")) {
        format = formatFromName("." + a.options["format"]);
        if (format == Format::Unknown)
            fail(kUsage, "decode", "--format wants pbm, bmp or png, not '" + a.options["format"] + "'");
    } else if (outName == "-") {
        format = Format::Pbm;
    } else {
        format = formatFromName(outName);
        if (format == Format::Unknown)
            fail(kUsage, "decode",
                 "cannot tell the output format of '" + outName + "': name it .pbm, .bmp or .png, or give --format");
    }

    std::string name = displayName(in);
    Bytes data = readInput(in);
    Decoder dec(data, name);
    int D = dec.info().D;
    if (layer > D)
        fail(kUsage, name, "has no layer " + std::to_string(layer) + ": its layers are 0 to " + std::to_string(D));
    int first = all ? 0 : (layer < 0 ? D : int(layer));
    std::vector<std::unique_ptr<Output>> outs;
    for (int d = first; d <= (all ? D : first); d++)
        outs.push_back(std::make_unique<Output>(all ? layerPath(outName, d) : outName));
    // Every layer written before any output appears.
    for (int d = first; d <= (all ? D : first); d++) dec.writeLayer(d, format, *outs[size_t(d - first)]);
    for (auto &out : outs) out->commit();
    return kOk;
}

// ---- info ----

std::string jsonString(const std::string &s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += char(c);
        } else if (c < 0x20) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", c);
            o += e;
        } else {
            o += char(c);
        }
    }
    return o + "\"";
}

std::string ratioText(uint64_t raw, uint64_t coded) {
    if (coded == 0) return "null";
    char s[32];
    std::snprintf(s, sizeof s, "%.2f", double(raw) / double(coded));
    return s;
}

struct Flag {
    const char *name;
    uint8_t bit;
};
const Flag kOrderFlags[] = {{"HITOLO", 0x08}, {"SEQ", 0x04}, {"ILEAVE", 0x02}, {"SMID", 0x01}};
const Flag kOptionFlags[] = {{"LRLTWO", 0x40}, {"VLENGTH", 0x20}, {"TPDON", 0x10}, {"TPBON", 0x08},
                             {"DPON", 0x04},   {"DPPRIV", 0x02},  {"DPLAST", 0x01}};

// What info shows, filled once from the library's description of the
// stream and rendered as text or as JSON.
struct Report {
    std::string name;
    uint64_t fileBytes = 0;
    ZeljbigInfo in{};
    struct Layer {
        uint32_t width, height;
        uint64_t bytes;
        std::string ratio;
    };
    std::vector<Layer> layers;
    std::vector<unsigned> columns;  // every column an ATMOVE names
    bool unknownHeight = false;
    bool fax = false;  // fits the T.85 profile
    std::string ratio;  // of the whole file to the full-resolution raster

    Report(const std::string &file, uint64_t bytes, const Decoder &dec) : name(file), fileBytes(bytes), in(dec.info()) {
        for (uint32_t d = 0; d <= in.D; d++) {
            Layer l{};
            zeljbigLayerSize(dec.reader(), d, &l.width, &l.height);
            l.bytes = zeljbigLayerBytes(dec.reader(), d);
            l.ratio = ratioText((uint64_t(l.width) + 7) / 8 * l.height, l.bytes);
            layers.push_back(l);
        }
        for (unsigned tx = 0; tx < 256; tx++)
            if (in.atColumns[tx >> 5] >> (tx & 31) & 1) columns.push_back(tx);
        unknownHeight = in.announcedYD == 0xFFFFFFFFu;
        // T.85: one layer, one bit plane, no vertical AT moves, stripes in
        // plain order, neither differential-layer prediction nor a private table.
        fax = in.D == 0 && in.P == 1 && in.MY == 0 && in.MX <= 127 && in.order == 0 &&
              !(in.options & (0x10 | 0x04 | 0x02 | 0x01));
        ratio = ratioText((uint64_t(in.XD) + 7) / 8 * in.YD, fileBytes);
    }
    bool has(const Flag &f, bool option) const { return ((option ? in.options : in.order) & f.bit) != 0; }
    std::string names(const Flag *f, int n, bool option) const {
        std::string t;
        for (int i = 0; i < n; i++)
            if (has(f[i], option)) t += std::string(t.empty() ? "" : " ") + f[i].name;
        return t.empty() ? std::string("none") : t;
    }
    std::string columnList() const {
        std::string cols;
        for (unsigned c : columns) cols += (cols.empty() ? "" : ", ") + std::to_string(c);
        return cols;
    }

    std::string text() const {
        std::vector<std::string> parts;
        if (in.atmoves) parts.push_back("ATMOVE " + std::to_string(in.atmoves) + " (columns " + columnList() + ")");
        if (in.sdrst) parts.push_back("SDRST " + std::to_string(in.sdrst));
        if (in.newlenHeight)
            parts.push_back("NEWLEN (height " + std::to_string(in.newlenHeight) + " of " +
                            (unknownHeight ? std::string("unknown") : std::to_string(in.announcedYD)) + ")");
        if (in.comments)
            parts.push_back("COMMENT " + std::to_string(in.comments) + " (" + std::to_string(in.commentBytes) + " bytes)");
        if (in.aborted) parts.push_back("ABORT");
        if (in.privateTable) parts.push_back("private DP table");
        std::string markers;
        for (const std::string &p : parts) markers += (markers.empty() ? "" : ", ") + p;

        std::string s;
        char line[512];
        std::snprintf(line, sizeof line, "%s: JBIG image, %" PRIu32 " x %" PRIu32 " pixels, %d layer%s (D = %d)\n",
                      name.c_str(), in.XD, in.YD, in.D + 1, in.D ? "s" : "", in.D);
        s += line;
        std::snprintf(line, sizeof line,
                      "  header   DL %d, D %d, P %d, XD %" PRIu32 ", YD %" PRIu32 ", L0 %" PRIu32 ", MX %d, MY %d\n",
                      in.DL, in.D, in.P, in.XD, in.YD, in.L0, in.MX, in.MY);
        s += line;
        std::snprintf(line, sizeof line, "  order    0x%02X %s\n", in.order, names(kOrderFlags, 4, false).c_str());
        s += line;
        std::snprintf(line, sizeof line, "  options  0x%02X %s\n", in.options, names(kOptionFlags, 7, true).c_str());
        s += line;
        std::snprintf(line, sizeof line, "  stripes  %" PRIu32 " per layer, %" PRIu32 " lines each in layer 0\n",
                      in.stripes, in.L0);
        s += line;
        s += "  markers  " + (markers.empty() ? std::string("none") : markers) + "\n";
        if (unknownHeight || fax)
            s += std::string("  profile  ") +
                 (unknownHeight ? "height unknown in the header (YD 0xFFFFFFFF), set by NEWLEN; " : "") +
                 (fax ? "fits the T.85 fax profile" : "") + "\n";
        if (!in.indexFound)
            s += "  index    none in the file: rebuilt by scanning\n";
        else
            s += "  index    found (" + std::to_string(in.indexBytes) + " bytes)\n";
        s += "  layer          size   stripes       bytes    ratio\n";
        for (size_t d = 0; d < layers.size(); d++) {
            const Layer &l = layers[d];
            std::string size = std::to_string(l.width) + " x " + std::to_string(l.height);
            std::snprintf(line, sizeof line, "  %5d %13s %9" PRIu32 " %11" PRIu64 " %8s\n", int(d), size.c_str(),
                          in.stripes, l.bytes, l.ratio.c_str());
            s += line;
        }
        s += "  file   " + std::to_string(fileBytes) + " bytes, ratio " + ratio + " to the full-resolution raster\n";
        if (in.trailingBytes)
            s += "  note   " + std::to_string(in.trailingBytes) + " bytes after the stripe data are not an index\n";
        return s;
    }

    std::string json() const {
        auto n = [](uint64_t v) { return std::to_string(v); };
        auto b = [](bool v) { return std::string(v ? "true" : "false"); };
        std::string s = "{\"file\": " + jsonString(name) + ", \"file_bytes\": " + n(fileBytes);
        s += ", \"header\": {\"DL\": " + n(in.DL) + ", \"D\": " + n(in.D) + ", \"P\": " + n(in.P) +
             ", \"XD\": " + n(in.XD) + ", \"YD\": " + n(in.YD) + ", \"L0\": " + n(in.L0) + ", \"MX\": " + n(in.MX) +
             ", \"MY\": " + n(in.MY) + ", \"order\": " + n(in.order) + ", \"options\": " + n(in.options);
        for (const Flag &f : kOrderFlags) s += std::string(", \"") + f.name + "\": " + n(has(f, false));
        for (const Flag &f : kOptionFlags) s += std::string(", \"") + f.name + "\": " + n(has(f, true));
        s += "}, \"stripes_per_layer\": " + n(in.stripes) + ", \"index\": \"" + (in.indexFound ? "found" : "rebuilt") +
             "\", \"index_bytes\": " + n(in.indexBytes);
        s += ", \"markers\": {\"ATMOVE\": " + n(in.atmoves) + ", \"AT_columns\": [" + columnList() +
             "], \"SDRST\": " + n(in.sdrst) +
             ", \"NEWLEN_height\": " + (in.newlenHeight ? n(in.newlenHeight) : std::string("null")) +
             ", \"COMMENT\": " + n(in.comments) + ", \"comment_bytes\": " + n(in.commentBytes) +
             ", \"ABORT\": " + b(in.aborted) + ", \"private_DP_table\": " + b(in.privateTable) +
             "}, \"profile\": {\"unknown_height\": " + b(unknownHeight) + ", \"T85\": " + b(fax) + "}";
        s += ", \"layers\": [";
        for (size_t d = 0; d < layers.size(); d++) {
            const Layer &l = layers[d];
            s += std::string(d ? ", " : "") + "{\"layer\": " + n(d) + ", \"width\": " + n(l.width) +
                 ", \"height\": " + n(l.height) + ", \"stripes\": " + n(in.stripes) + ", \"bytes\": " + n(l.bytes) +
                 ", \"ratio\": " + l.ratio + "}";
        }
        return s + "], \"ratio\": " + ratio + "}\n";
    }
};

int runInfo(const std::vector<std::string> &argv) {
    Args a = parseArgs("info", argv, {{"json", 0, false}});
    if (a.has("help")) return printHelp(kInfoHelp), kOk;
    wantPositional("info", a, 1, 1, "one FILE");
    const std::string &in = a.positional[0];
    std::string name = displayName(in);
    Bytes data = readInput(in);
    Decoder dec(data, name);  // the decoder must accept what is described
    dec.requireEveryLayer();
    const Report report(name, data.size(), dec);
    const std::string s = a.has("json") ? report.json() : report.text();
    Output out("-");
    out.commit(Bytes(s.begin(), s.end()));
    return kOk;
}

// ---- index ----

int runIndex(const std::vector<std::string> &argv) {
    Args a = parseArgs("index", argv, {});
    if (a.has("help")) return printHelp(kIndexHelp), kOk;
    wantPositional("index", a, 2, 3, "add or remove, then IN and optionally OUT");
    const std::string &action = a.positional[0], &in = a.positional[1];
    if (action != "add" && action != "remove")
        fail(kUsage, "index", "wants add or remove, not '" + action + "' (see zeljbig index --help)");
    bool add = action == "add";
    std::string outName = a.positional.size() == 3 ? a.positional[2] : in;
    std::string name = displayName(in);
    Bytes data = readInput(in);
    Decoder check(data, name);  // refuses what the library would refuse on its copy
    check.requireEveryLayer();
    if (add && check.info().indexFound) fail(kInput, name, "already has a stripe index");
    if (!add && !check.info().indexFound) fail(kInput, name, "has no stripe index to remove");
    Output out(outName);
    // The library works on files: hand it private copies.
    ScratchFile source, result;
    source.write(data);
    int rc = add ? jbigAddPatInfo(result.path().c_str(), source.path().c_str())
                 : jbigDelPatInfo(result.path().c_str(), source.path().c_str());
    if (rc != 0) fail(kInternal, name, add ? "the library could not add the index" : "the library could not remove the index");
    out.commit(result.read());
    return kOk;
}

int run(const std::vector<std::string> &args) {
    if (args.empty()) fail(kUsage, "", "no command given (see zeljbig --help)");
    const std::string &cmd = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (cmd == "--help" || cmd == "-h") return printHelp(kToolHelp), kOk;
    if (cmd == "--version") {
        std::printf("zeljbig %s\n", ZELJBIG_VERSION);
        return kOk;
    }
    if (cmd == "help") {
        if (rest.empty()) return printHelp(kToolHelp), kOk;
        const char *h = helpFor(rest[0]);
        if (!h) fail(kUsage, "help", "no command '" + rest[0] + "'");
        return printHelp(h), kOk;
    }
    if (cmd == "encode") return runEncode(rest);
    if (cmd == "decode") return runDecode(rest);
    if (cmd == "info") return runInfo(rest);
    if (cmd == "index") return runIndex(rest);
    fail(kUsage, "", "no command '" + cmd + "' (see zeljbig --help)");
}

}  // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    int code;
    try {
        code = run(args);
        if (std::fflush(stdout) != 0) fail(kOutput, "standard output", std::string("cannot write: ") + std::strerror(errno));
    } catch (const Failure &f) {
        if (f.what.empty())
            std::fprintf(stderr, "zeljbig: %s\n", f.reason.c_str());
        else
            std::fprintf(stderr, "zeljbig: %s: %s\n", f.what.c_str(), f.reason.c_str());
        code = f.code;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "zeljbig: out of memory\n");
        code = kInternal;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "zeljbig: %s\n", e.what());
        code = kInternal;
    }
    return code;
}
