// The tool's use of the library: encoding, decoding, and a look at a
// stream's stripes without decoding them.
#pragma once

#include "../frame/jpgLib.h"
#include "cli.h"
#include "zeljbig.h"

namespace cli {

// A decoder over a stream held in memory. Opening it refuses, with the
// reason, anything the library would turn into a silently wrong image: a
// header it cannot take, a cut-off stream, an index pointing nowhere.
class Decoder {
public:
    Decoder(const Bytes &data, const std::string &name);
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    JbigHandle handle() const { return handle_; }
    const JbigDecodeOptions &options() const { return opts_; }
    bool indexFound() const { return (opts_.flags & JBIG_FLAG_PATINFO_MISSING) == 0; }
    uint32_t stripes() const;
    uint64_t indexBytes() const;     // size of the index trailer, 0 when there is none
    uint64_t trailingBytes() const;  // bytes after the last stripe that are not an index
    uint64_t layerBytes(int layer) const;
    // The marker segments of the stripes, as the library's survey found them.
    const StripeSurvey &survey() const { return survey_; }
    uint32_t announcedHeight() const;  // YD of the header
    uint32_t newlenHeight() const;     // the height a NEWLEN set, 0 if none
    // Layers 0 .. completeLayers() - 1 are whole; fewer than D + 1 when the
    // stream is cut short, `cut()` telling where.
    int completeLayers() const { return complete_ < 0 ? opts_.D + 1 : complete_; }
    const std::string &cut() const { return cut_; }
    // Decodes up to `layer` (upwards only) and writes it in `format`.
    void writeLayer(int layer, Format format, Output &out);

private:
    std::string name_;
    uint64_t size_ = 0;
    HGLOBAL block_ = nullptr;
    JbigHandle handle_ = JBIG_INVALID_HANDLE;
    JbigDecodeOptions opts_{};
    StripeSurvey survey_{};
    uint32_t announced_ = 0;
    int complete_ = -1;
    std::string cut_;
};

struct EncodeSettings {
    int layers = 0;            // D
    int64_t stripeLines = -1;  // L0; -1: one stripe
    int lrltwo = -1;           // template; -1: the one that codes a sample smaller
    int tpbon = -1, tpdon = -1, dpon = -1;  // -1: the default
    int atMax = 0;             // MX: how far the AT pixel may move
    bool best = false;         // the smallest stream the tool can make
    bool noIndex = false;
    int threshold = 128;
};

// Why the library cannot take a header, in the user's words.
std::string headerProblem(const JbigBih &b, BihProblem p);

Format sniffImage(const Bytes &data, const std::string &name);
Bytes encodeImage(Bytes data, const std::string &name, const EncodeSettings &settings);

}  // namespace cli
