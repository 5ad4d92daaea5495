// zeljbig: encode, decode, inspect and re-index JBIG images from the
// command line.
#include <cerrno>
#include <cinttypes>
#include <filesystem>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "jbig.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#ifndef ZELJBIG_VERSION
#define ZELJBIG_VERSION "unknown"
#endif

using namespace cli;

namespace {

const char kExitCodes[] =
    "Options of every command: --max-pixels N (refuse larger images, default\n"
    "1073741824; a streamed page only if given), -q, --quiet (no warnings), -v,\n"
    "--verbose (what was chosen and how long it took).\n"
    "\n"
    "Exit status: 0 success, 1 internal error, 2 usage error, 3 input error\n"
    "(missing, unreadable, damaged or too large input), 4 output error (cannot\n"
    "write), 128 + N when ended by signal N.\n";

const char kToolHelp[] =
    "Usage: zeljbig COMMAND [OPTIONS] ARGS\n"
    "Encode and decode bi-level images in the JBIG format (ITU-T T.82).\n"
    "\n"
    "Commands:\n"
    "  encode IN OUT          PBM, BMP or PNG to JBIG\n"
    "  encode IN... -o DIR    many files, each into DIR\n"
    "  decode IN OUT          JBIG to PBM, BMP or PNG, one layer or all of them\n"
    "  decode IN... -o DIR    many files, each into DIR\n"
    "  info FILE              header, layers, stripes and sizes of a JBIG file\n"
    "  index add IN [OUT]     give a JBIG file a stripe index\n"
    "  index remove IN [OUT]  take a JBIG file's stripe index away\n"
    "  help [COMMAND]         this text, or a command's\n"
    "\n"
    "A file name '-' is standard input or output; gzip'd input is unpacked first.\n"
    "An output file appears only when it is complete; on failure an existing\n"
    "one is left untouched. A device or FIFO is written in place; a symbolic\n"
    "link is followed. On a terminal a progress line shows work that takes\n"
    "longer than a second.\n"
    "\n"
    "Options: --help (also after a command), --version.\n";

const char kEncodeHelp[] =
    "Usage: zeljbig encode [OPTIONS] IN OUT\n"
    "Encode a PBM (P1 or P4), PGM (P2 or P5), BMP or PNG image as JBIG. Pixels of\n"
    "the others whose grey value is below the threshold become black, unless\n"
    "--planes keeps every bit of a grey picture. Without options the\n"
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
    "      --planes          a grey PGM or PNG (up to 16 bits) as bit planes, the\n"
    "                        most significant first, as Gray code\n"
    "      --binary          with --planes: binary values, not their Gray code\n"
    "      --all-pages       every page of a PBM file into its own stream: OUT's\n"
    "                        '%d' becomes the page number (from 1), otherwise\n"
    "                        '-N' goes before its extension; without it only\n"
    "                        page 1 is encoded, with a warning\n"
    "  -o, --output-dir DIR  encode every IN into DIR as NAME.jbg\n"
    "  -j, --jobs N          files converted at once with -o (default: one per core)\n"
    "\n"
    "A raw PBM streams, rows in as they come and stripes out, with memory\n"
    "independent of the height, when the options are -s N, -2 or -3 and\n"
    "--no-index, without -d or --at-max above 0, --best, --dpon or --planes.\n"
    "\n"
    "Example: zeljbig encode -d 3 page.pbm page.jbg\n"
    "         zeljbig encode -o out/ scans/*.pbm\n";

const char kDecodeHelp[] =
    "Usage: zeljbig decode [OPTIONS] IN OUT\n"
    "Decode a JBIG image to PBM, PGM, BMP or PNG, chosen by OUT's extension\n"
    "(.pbm, .pgm, .bmp, .png) or by --format. Standard output gets PBM by\n"
    "default. A stream of several bit planes gives the greyscale picture they\n"
    "make (PGM or PNG; standard output gets PGM), its planes read as Gray code.\n"
    "\n"
    "Options:\n"
    "  -l, --layer N       the layer to write, 0 (lowest resolution) to D\n"
    "                      (default D, the full resolution)\n"
    "  -a, --all-layers    write every layer: OUT's '%d' becomes the layer\n"
    "                      number, or '-N' goes before its extension\n"
    "  -f, --format F      pbm, pgm, bmp or png\n"
    "  -p, --plane N       of several bit planes, plane N alone, bi-level\n"
    "      --binary        the planes hold binary values, not their Gray code\n"
    "  -o, --output-dir DIR  decode every IN into DIR as NAME.pbm (or --format)\n"
    "  -j, --jobs N        files converted at once with -o (default: one per core)\n"
    "\n"
    "A stream cut short gives its complete layers: asking for one decodes it\n"
    "with a warning; the others are refused, naming the last complete layer.\n"
    "\n"
    "A stream of one layer and one plane (DL 0, D 0, P 1, no DPON) decoded to\n"
    "PBM without --layer, --all-layers or --plane streams: rows out as they\n"
    "are decoded, memory independent of the height.\n"
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
    "OUT the file IN is replaced. The source is read with the whole standard\n"
    "(NEWLEN, unknown height) and the copy is read back before it replaces\n"
    "anything.\n";

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

Args parseOptions(const std::string &command, const std::vector<std::string> &argv, const std::vector<OptionDef> &specs) {
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

// Options every command takes.
const OptionDef kCommonOptions[] = {{"max-pixels", 0, true}, {"quiet", 'q', false}, {"verbose", 'v', false}};

Args parseArgs(const std::string &command, const std::vector<std::string> &argv, std::vector<OptionDef> specs) {
    specs.insert(specs.end(), std::begin(kCommonOptions), std::end(kCommonOptions));
    Args a = parseOptions(command, argv, specs);
    if (a.has("quiet") && a.has("verbose")) fail(kUsage, command, "--quiet and --verbose contradict each other");
    Limits &l = limits();
    l.quiet = a.has("quiet");
    l.verbose = a.has("verbose");
    l.progress = !l.quiet && isatty(2);
    l.maxPixelsGiven = a.has("max-pixels");
    if (l.maxPixelsGiven) l.maxPixels = uint64_t(number(command, "max-pixels", a.options["max-pixels"], 1, 1ll << 40));
    return a;
}

void wantPositional(const std::string &command, const Args &a, size_t least, size_t most, const char *what) {
    if (a.positional.size() < least || a.positional.size() > most)
        fail(kUsage, command, std::string("expects ") + what + " (see zeljbig " + command + " --help)");
}

// ---- many files ----

// Where the output of `in` goes in DIR: its name with the extension `ext`.
std::string outputIn(const std::string &dir, const std::string &in, const std::string &ext) {
    std::string base = in.substr(in.find_last_of("/\\") + 1);
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    return dir + "/" + base + "." + ext;
}

std::string bytesText(double n) {
    char s[32];
    if (n >= 1e9) std::snprintf(s, sizeof s, "%.2f GB", n / 1e9);
    else if (n >= 1e6) std::snprintf(s, sizeof s, "%.1f MB", n / 1e6);
    else std::snprintf(s, sizeof s, "%.0f kB", n / 1e3);
    return s;
}

// Converts every input into DIR on `jobs` threads, each file on its own:
// a failure is reported and the others go on. Returns the exit status.
template <class Convert>
int runBatch(const std::string &command, const Args &a, const std::string &ext, Convert convert) {
    const std::string dir = a.options.at("output-dir");
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) fail(kOutput, dir, "is not a directory and cannot be made one");
    const std::vector<std::string> &ins = a.positional;
    std::vector<std::string> outs;
    std::set<std::string> seen;
    for (const std::string &in : ins) {
        if (in == "-") fail(kUsage, command, "-o DIR converts files, not standard input");
        outs.push_back(outputIn(dir, in, ext));
        if (!seen.insert(outs.back()).second)
            fail(kUsage, command, "two inputs would both be written to " + outs.back());
    }
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    if (a.has("jobs")) jobs = unsigned(number(command, "jobs", a.options.at("jobs"), 1, 1024));
    jobs = std::min<unsigned>(jobs, unsigned(ins.size()));

    // One progress line for the batch, none for its files.
    std::atomic<size_t> next{0}, done{0};
    std::atomic<uint64_t> bytes{0};
    std::vector<int> codes(ins.size(), kOk);
    const double start = now();
    auto worker = [&] {
        progressPerFile(false);
        for (size_t i; (i = next++) < ins.size();) {
            std::string text;
            try {
                bytes += convert(ins[i], outs[i]);
            } catch (const Failure &f) {
                codes[i] = f.code;
                text = f.what.empty() ? f.reason : f.what + ": " + f.reason;
            } catch (const std::bad_alloc &) {
                codes[i] = kInternal;
                text = displayName(ins[i]) + ": out of memory";
            } catch (const std::exception &e) {
                codes[i] = kInternal;
                text = displayName(ins[i]) + ": " + e.what();
            }
            if (!text.empty()) message("zeljbig: " + text);
            const double t = std::max(secondsSince(start), 1e-3);
            progress("zeljbig: " + std::to_string(++done) + " of " + std::to_string(ins.size()) + " files, " +
                         bytesText(double(bytes.load())) + ", " + bytesText(double(bytes.load()) / t) + "/s",
                     true);
        }
        progressPerFile(true);
    };
    std::vector<std::thread> pool;
    for (unsigned j = 1; j < jobs; j++) pool.emplace_back(worker);
    worker();
    for (std::thread &t : pool) t.join();
    progressEnd();
    std::string failed;
    int code = kOk;
    size_t count = 0;
    for (size_t i = 0; i < ins.size(); i++) {
        if (codes[i] == kOk) continue;
        failed += (count++ ? ", " : "") + ins[i];
        if (code == kOk) code = codes[i];
    }
    char t[64];
    std::snprintf(t, sizeof t, " read in %.2f s on %u thread%s", secondsSince(start), jobs, jobs == 1 ? "" : "s");
    note(command, std::to_string(ins.size()) + " files, " + bytesText(double(bytes.load())) + t);
    if (code != kOk)
        std::fprintf(stderr, "zeljbig: %zu of %zu files failed: %s\n", count, ins.size(), failed.c_str());
    return code;
}

// ---- encode ----

std::string layerPath(const std::string &pattern, int layer);

// What the stream's header says was chosen, for --verbose.
std::string streamSummary(const Bytes &jbg) {
    if (jbg.size() < 20) return "";
    const uint32_t xd = be32(&jbg[4]), yd = be32(&jbg[8]), l0 = be32(&jbg[12]);
    const int d = jbg[1];
    const uint64_t stripes = (uint64_t(yd) + (uint64_t(l0) << d) - 1) / (uint64_t(l0) << d);
    const uint8_t o = jbg[19];
    std::string t = std::to_string(xd) + " x " + std::to_string(yd) + ", " + std::to_string(d + 1) + " layer" +
                    (d ? "s" : "") + ", " + (o & 0x40 ? "two-line" : "three-line") + " template, " +
                    std::to_string(stripes) + " stripe" + (stripes == 1 ? "" : "s") + " of " + std::to_string(l0) +
                    " lines in layer 0, MX " + std::to_string(jbg[16]) + ",";
    for (auto f : {std::make_pair(0x08, " TPBON"), std::make_pair(0x10, " TPDON"), std::make_pair(0x04, " DPON")})
        if (o & f.first) t += f.second;
    return t;
}

// Encodes IN into OUT (one stream a page with allPages); the input's size.
uint64_t encodeFile(const std::string &in, const std::string &outName, const EncodeSettings &s, bool allPages) {
    refuseSameFile(in, outName);
    const std::string name = displayName(in);
    const double start = now();
    progressFile(name);
    Bytes direct, head;
    uint64_t streamed = 0;
    if (!allPages && streamable(s) && encodeStream(in, outName, name, s, &head, &streamed)) return streamed;
    if (!allPages && head.empty()) {
        // A plain PBM file goes into the encoder without a copy in memory.
        Output out(outName);
        if (encodePbmFile(in, name, s, &direct)) {
            out.commit(direct);
            note(name, streamSummary(direct) + "; " + std::to_string(direct.size()) + " bytes to " + out.path() +
                           " in " + std::to_string(secondsSince(start)) + " s");
            return direct.size();
        }
    }
    progress("zeljbig: " + name + ": reading");
    Bytes data = readInput(in, InputKind::Image, std::move(head));
    const uint64_t size = data.size();
    const double read = secondsSince(start);
    progress("zeljbig: " + name + ": encoding" + (s.layers ? " " + std::to_string(s.layers + 1) + " layers" : std::string()) +
             (s.best ? ", trying templates and AT moves" : ""));
    std::vector<std::pair<size_t, size_t>> pages;
    if (data.size() >= 2 && data[0] == 'P' && (data[1] == '1' || data[1] == '4')) pages = pbmPages(data);
    if (pages.size() > 1 && !allPages) {
        warn(name, "holds " + std::to_string(pages.size()) +
                       " pages: only page 1 is encoded (--all-pages encodes each into its own stream)");
        data.resize(pages[0].second);
    }
    std::vector<Bytes> streams;
    std::vector<std::unique_ptr<Output>> outs;
    if (allPages) {
        if (pages.empty()) pages.push_back({0, data.size()});
        for (size_t k = 0; k < pages.size(); k++) outs.push_back(std::make_unique<Output>(layerPath(outName, int(k + 1))));
        for (size_t k = 0; k < pages.size(); k++) {
            const std::string page = name + " page " + std::to_string(k + 1);
            streams.push_back(encodeImage(Bytes(data.begin() + long(pages[k].first), data.begin() + long(pages[k].second)),
                                          pages.size() > 1 ? page : name, s));
        }
    } else {
        outs.push_back(std::make_unique<Output>(outName));
        streams.push_back(encodeImage(std::move(data), name, s));
    }
    const double coded = secondsSince(start) - read;
    progress("zeljbig: " + name + ": writing");
    for (size_t k = 0; k < outs.size(); k++) outs[k]->commit(streams[k]);
    progressEnd();
    for (size_t k = 0; k < outs.size(); k++) {
        char t[160];
        std::snprintf(t, sizeof t, "%zu bytes to %s in %.3f s (read %.3f s, encode %.3f s, write %.3f s)",
                      streams[k].size(), outs[k]->path().c_str(), secondsSince(start), read, coded,
                      secondsSince(start) - read - coded);
        note(name, streamSummary(streams[k]) + "; " + t);
    }
    return size;
}

int runEncode(const std::vector<std::string> &argv) {
    const std::vector<OptionDef> specs = {
        {"layers", 'd', true},   {"stripe-lines", 's', true}, {"three-line", '3', false}, {"two-line", '2', false},
        {"tpbon", 0, false},     {"no-tpbon", 0, false},      {"tpdon", 0, false},        {"no-tpdon", 0, false},
        {"dpon", 0, false},      {"no-dpon", 0, false},       {"at-max", 'm', true},      {"best", 'b', false},
        {"no-index", 0, false},  {"threshold", 't', true},    {"all-pages", 0, false},    {"output-dir", 'o', true},
        {"jobs", 'j', true},     {"planes", 0, false},        {"binary", 0, false}};
    Args a = parseArgs("encode", argv, specs);
    if (a.has("help")) return printHelp(kEncodeHelp), kOk;
    const bool batch = a.has("output-dir");
    if (batch)
        wantPositional("encode", a, 1, size_t(-1), "IN files with -o DIR");
    else
        wantPositional("encode", a, 2, 2, "IN and OUT, or IN files with -o DIR");
    if (a.has("jobs") && !batch) fail(kUsage, "encode", "--jobs goes with -o DIR");
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
    s.planes = a.has("planes");
    s.binary = a.has("binary");
    if (s.binary && !s.planes) fail(kUsage, "encode", "--binary goes with --planes");
    const bool allPages = a.has("all-pages");
    if (allPages && !batch && a.positional[1] == "-") fail(kUsage, "encode", "--all-pages writes files, not standard output");

    if (batch)
        return runBatch("encode", a, "jbg", [&](const std::string &in, const std::string &out) {
            return encodeFile(in, out, s, allPages);
        });
    encodeFile(a.positional[0], a.positional[1], s, allPages);
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

// Decodes one layer (-1: the full one) or all of IN; the input's size.
// How decode writes a stream: one plane of it (-1: the picture its planes
// make), and their values as Gray code or binary.
struct PlaneChoice {
    long long plane = -1;
    bool binary = false;
    bool formatChosen = false;  // by --format or OUT's extension
};

uint64_t decodeFile(const std::string &in, const std::string &outName, long long layer, bool all, Format format,
                    const PlaneChoice &pc = PlaneChoice{}) {
    refuseSameFile(in, outName);
    const std::string name = displayName(in);
    const double start = now();
    progressFile(name);
    // One layer to PBM streams, unless a choice needs the whole image.
    Bytes head;
    uint64_t streamed = 0;
    if (!all && layer < 0 && pc.plane < 0 && !pc.binary && format == Format::Pbm &&
        decodeStream(in, outName, name, &head, &streamed))
        return streamed;
    progress("zeljbig: " + name + ": reading");
    Bytes data = readInput(in, InputKind::Jbig, std::move(head));
    Decoder dec(data, name);
    const int D = dec.info().D;
    if (layer > D)
        fail(kUsage, name, "has no layer " + std::to_string(layer) + ": its layers are 0 to " + std::to_string(D));
    int first = all ? 0 : (layer < 0 ? D : int(layer));
    const int last = all ? D : first;
    const int complete = dec.info().completeLayers;
    // The reason names the last complete layer.
    const std::string cut = zeljbigProblem(dec.reader());
    if (last >= complete) fail(kInput, name, cut + ", not layer " + std::to_string(last) + " (see --layer)");
    if (complete <= D) warn(name, cut + ": layer " + std::to_string(last) + " of 0 to " + std::to_string(D) + " decoded");
    uint32_t w = 0, h = 0;
    zeljbigLayerSize(dec.reader(), uint32_t(last), &w, &h);
    checkImageSize(w, h, name);
    const uint32_t P = dec.info().P;
    if (pc.plane >= int64_t(P))
        fail(kUsage, name, "has no plane " + std::to_string(pc.plane) + ": its planes are 0 to " + std::to_string(P - 1));
    const bool grey = P > 1 && pc.plane < 0;
    if (grey && !pc.formatChosen) format = Format::Pgm;
    if (grey && format != Format::Pgm && format != Format::Png)
        fail(kUsage, name, "holds " + std::to_string(P) + " bit planes: write the greyscale picture as .pgm or .png, or one plane with --plane N");
    if (!grey && format == Format::Pgm)
        fail(kUsage, name, "holds one bit plane: write .pbm, .png or .bmp (PGM is for greyscale)");
    if (pc.binary && !grey) fail(kUsage, name, "--binary reads the values of several planes; this writes one");
    if (dec.info().trailingBytes)
        warn(name, std::to_string(dec.info().trailingBytes) + " bytes after the image data are not part of it");
    std::vector<std::unique_ptr<Output>> outs;
    for (int d = first; d <= last; d++) outs.push_back(std::make_unique<Output>(all ? layerPath(outName, d) : outName));
    // Every layer written before any output appears.
    for (int d = first; d <= last; d++) {
        if (grey)
            dec.writeGrey(d, format, !pc.binary, *outs[size_t(d - first)]);
        else
            dec.writeLayer(d, format, *outs[size_t(d - first)], pc.plane < 0 ? 0 : uint32_t(pc.plane));
    }
    progress("zeljbig: " + name + ": writing");
    for (auto &out : outs) out->commit();
    progressEnd();
    char t[200];
    if (first == last)
        std::snprintf(t, sizeof t, "layer %d of 0 to %d", first, D);
    else
        std::snprintf(t, sizeof t, "layers 0 to %d", D);
    std::string text = t;
    std::snprintf(t, sizeof t, ", %" PRIu32 " x %" PRIu32 " pixels, as %s, in %.3f s", w, h, formatName(format),
                  secondsSince(start));
    text += t;
    note(name, text);
    return data.size();
}

int runDecode(const std::vector<std::string> &argv) {
    const std::vector<OptionDef> specs = {{"layer", 'l', true},
                                          {"all-layers", 'a', false},
                                          {"format", 'f', true},
                                          {"output-dir", 'o', true},
                                          {"jobs", 'j', true},
                                          {"plane", 'p', true},
                                          {"binary", 0, false}};
    Args a = parseArgs("decode", argv, specs);
    if (a.has("help")) return printHelp(kDecodeHelp), kOk;
    const bool batch = a.has("output-dir");
    if (batch)
        wantPositional("decode", a, 1, size_t(-1), "IN files with -o DIR");
    else
        wantPositional("decode", a, 2, 2, "IN and OUT, or IN files with -o DIR");
    if (a.has("jobs") && !batch) fail(kUsage, "decode", "--jobs goes with -o DIR");
    const std::string outName = batch ? std::string() : a.positional[1];
    bool all = a.has("all-layers");
    if (all && a.has("layer")) fail(kUsage, "decode", "--layer and --all-layers contradict each other");
    if (all && outName == "-") fail(kUsage, "decode", "--all-layers writes files, not standard output");
    long long layer = a.has("layer") ? number("decode", "layer", a.options["layer"], 0, 255) : -1;
    PlaneChoice pc;
    if (a.has("plane")) pc.plane = number("decode", "plane", a.options["plane"], 0, 254);
    pc.binary = a.has("binary");
    if (pc.binary && a.has("plane")) fail(kUsage, "decode", "--binary and --plane contradict each other");
    pc.formatChosen = a.has("format") || (!batch && outName != "-" && formatFromName(outName) != Format::Unknown);
    Format format = Format::Unknown;
    if (a.has("format")) {
        format = formatFromName("." + a.options["format"]);
        if (format == Format::Unknown)
            fail(kUsage, "decode", "--format wants pbm, pgm, bmp or png, not '" + a.options["format"] + "'");
    } else if (outName == "-" || batch || (formatFromName(outName) == Format::Unknown && isDeviceLike(outName))) {
        format = Format::Pbm;
    } else {
        format = formatFromName(outName);
        if (format == Format::Unknown)
            fail(kUsage, "decode",
                 "cannot tell the output format of '" + outName + "': name it .pbm, .pgm, .bmp or .png, or give --format");
    }
    if (batch)
        return runBatch("decode", a, formatName(format), [&](const std::string &in, const std::string &out) {
            return decodeFile(in, out, layer, all, format, pc);
        });
    decodeFile(a.positional[0], outName, layer, all, format, pc);
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
    std::string cut;    // why the layers from in.completeLayers on are missing
    std::string nesting;  // the stripe order's loops, outermost first
    struct Bie {
        uint32_t DL, D;
        uint64_t offset;
    };
    std::vector<Bie> bies;

    Report(const std::string &file, uint64_t bytes, const Decoder &dec) : name(file), fileBytes(bytes), in(dec.info()) {
        for (uint32_t d = 0; d <= in.D; d++) {
            Layer l{};
            zeljbigLayerSize(dec.reader(), d, &l.width, &l.height);
            l.bytes = int32_t(d) < in.completeLayers ? zeljbigLayerBytes(dec.reader(), d) : 0;
            l.ratio = ratioText((uint64_t(l.width) + 7) / 8 * l.height * in.P, l.bytes);
            layers.push_back(l);
        }
        for (unsigned tx = 0; tx < 256; tx++)
            if (in.atColumns[tx >> 5] >> (tx & 31) & 1) columns.push_back(tx);
        unknownHeight = in.announcedYD == 0xFFFFFFFFu;
        // T.85: one layer, one bit plane, no vertical AT moves, stripes in
        // plain order, neither differential-layer prediction nor a private table.
        fax = in.D == 0 && in.P == 1 && in.MY == 0 && in.MX <= 127 && in.order == 0 &&
              !(in.options & (0x10 | 0x04 | 0x02 | 0x01));
        ratio = ratioText((uint64_t(in.XD) + 7) / 8 * in.YD * in.P, fileBytes);
        cut = zeljbigProblem(dec.reader());
        const char *n = zeljbigStripeOrder(in.order);
        nesting = n ? n : "";
        for (uint32_t k = 0; k < in.bies; k++) {
            Bie b{};
            zeljbigBie(dec.reader(), k, &b.DL, &b.D, &b.offset);
            bies.push_back(b);
        }
    }
    // The stripe order in words: "layer, then stripe, then plane".
    std::string orderWords() const {
        std::string t;
        for (char c : nesting)
            t += std::string(t.empty() ? "" : ", then ") + (c == 'p' ? "plane" : c == 'd' ? "layer" : "stripe");
        return t + ((in.order & 0x08) ? " (layers from the highest)" : "");
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
        if (in.P > 1) s += "  planes   " + std::to_string(in.P) + ", stripe data by " + orderWords() + "\n";
        if (bies.size() > 1) {
            s += "  BIEs     " + std::to_string(bies.size());
            for (size_t k = 0; k < bies.size(); k++)
                s += std::string(k ? "; " : ": ") + "layers " + std::to_string(bies[k].DL) + " to " +
                     std::to_string(bies[k].D) + " at byte " + std::to_string(bies[k].offset);
            s += "\n";
        }
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
        if (in.completeLayers <= in.D)
            s += "  cut    " + cut + "\n";
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
             "\", \"index_bytes\": " + n(in.indexBytes) + ", \"complete_layers\": " + n(uint64_t(in.completeLayers));
        s += ", \"stripe_order\": " + (nesting.empty() ? std::string("null") : jsonString(nesting)) + ", \"bies\": [";
        for (size_t k = 0; k < bies.size(); k++)
            s += std::string(k ? ", " : "") + "{\"DL\": " + n(bies[k].DL) + ", \"D\": " + n(bies[k].D) +
                 ", \"offset\": " + n(bies[k].offset) + "}";
        s += "]";
        s += ", \"markers\": {\"ATMOVE\": " + n(in.atmoves) + ", \"AT_columns\": [" + columnList() +
             "], \"SDRST\": " + n(in.sdrst) +
             ", \"NEWLEN_height\": " + (in.newlenHeight ? n(in.newlenHeight) : std::string("null")) +
             ", \"COMMENT\": " + n(in.comments) + ", \"comment_bytes\": " + n(in.commentBytes) +
             ", \"ABORT\": " + b(in.aborted) + ", \"private_DP_table\": " + b(in.privateTable) +
             "}, \"profile\": {\"unknown_height\": " + b(unknownHeight) + ", \"T85\": " + b(fax) + "}";
        s += ", \"cut\": " + (cut.empty() ? std::string("null") : jsonString(cut)) + ", \"layers\": [";
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
    Bytes data = readInput(in, InputKind::Jbig);
    Decoder dec(data, name);  // the decoder must accept what is described
    const Report report(name, data.size(), dec);
    const std::string s = a.has("json") ? report.json() : report.text();
    Output out("-");
    out.commit(Bytes(s.begin(), s.end()));
    return kOk;
}

// ---- index ----

// The copy must read back as the source does, now with or without its
// index, before it replaces anything.
void checkIndexCopy(const Decoder &source, const Bytes &data, const Bytes &copy, bool add, const std::string &name) {
    const std::string why = "the copy with the index " + std::string(add ? "added" : "removed") + " does not read back as ";
    const size_t common = add ? data.size() : copy.size();
    if ((add ? copy.size() <= data.size() : copy.size() >= data.size()) ||
        !std::equal(data.begin(), data.begin() + long(common), copy.begin()))
        fail(kInternal, name, why + "the same bytes; nothing was written");
    Decoder back(copy, name);
    const ZeljbigInfo &a = source.info(), &b = back.info();
    bool same = b.indexFound == int32_t(add) && a.D == b.D && a.P == b.P && a.YD == b.YD && a.stripes == b.stripes &&
                b.completeLayers == b.D + 1;
    for (uint32_t d = 0; same && d <= a.D; d++)
        for (uint32_t p = 0; same && p < a.P; p++)
            for (uint32_t k = 0; same && k < a.stripes; k++) {
                uint64_t ao = 0, al = 0, bo = 1, bl = 1;
                same = zeljbigStripe(source.reader(), d, p, k, &ao, &al) == 0 &&
                       zeljbigStripe(back.reader(), d, p, k, &bo, &bl) == 0 && ao == bo && al == bl;
            }
    if (!same) fail(kInternal, name, why + "the same stripes; nothing was written");
}

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
    const double start = now();
    progressFile(name);
    Bytes data = readInput(in, InputKind::Jbig);
    Decoder check(data, name);  // refuses what the library would refuse on its copy
    check.requireEveryLayer();
    if (add && check.info().indexFound) fail(kInput, name, "already has a stripe index");
    if (!add && !check.info().indexFound) fail(kInput, name, "has no stripe index to remove");
    if (check.info().bies > 1)
        fail(kInput, name, "holds " + std::to_string(check.info().bies) +
                               " BIEs that continue each other: a stripe index describes one");
    Output out(outName);
    // The library works on files: hand it private copies.
    ScratchFile source, result;
    source.write(data);
    int rc = add ? jbigAddPatInfo(result.path().c_str(), source.path().c_str())
                 : jbigDelPatInfo(result.path().c_str(), source.path().c_str());
    // The source was accepted above: what fails now is the scratch copy.
    if (rc != 0)
        fail(kOutput, result.path(), std::string("cannot write the copy with the index ") + (add ? "added" : "removed") +
                                         " (is the temporary directory full?)");
    const Bytes copy = result.read();
    checkIndexCopy(check, data, copy, add, name);
    out.commit(copy);
    char t[120];
    std::snprintf(t, sizeof t, "%zu bytes, index of %zu bytes %s, checked, in %.3f s", copy.size(),
                  add ? copy.size() - data.size() : data.size() - copy.size(), add ? "added" : "removed",
                  secondsSince(start));
    note(name, t);
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
    installSignalHandlers();
    int code;
    try {
        code = run(args);
        if (std::fflush(stdout) != 0) fail(kOutput, "standard output", std::string("cannot write: ") + std::strerror(errno));
    } catch (const Failure &f) {
        progressEnd();
        if (f.what.empty())
            std::fprintf(stderr, "zeljbig: %s\n", f.reason.c_str());
        else
            std::fprintf(stderr, "zeljbig: %s: %s\n", f.what.c_str(), f.reason.c_str());
        code = f.code;
    } catch (const std::bad_alloc &) {
        progressEnd();
        std::fprintf(stderr, "zeljbig: %s%sout of memory\n", currentFile().c_str(), currentFile().empty() ? "" : ": ");
        code = kInternal;
    } catch (const std::exception &e) {
        progressEnd();
        std::fprintf(stderr, "zeljbig: %s%s%s\n", currentFile().c_str(), currentFile().empty() ? "" : ": ", e.what());
        code = kInternal;
    }
    progressEnd();
    return code;
}
