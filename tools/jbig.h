// The tool's use of the library: encoding, decoding, and a look at a
// stream's stripes without decoding them.
#pragma once

#include "cli.h"
#include "zeljbig.h"

namespace cli {

// Where the stripes of a JBIG stream lie: from its stripe index when it has
// one, else found by walking the stripe data the way the decoder does.
// Construction fails (kInput) on anything the decoder would turn into a
// silently wrong image: a cut-off stream or an index pointing nowhere.
struct Layout {
    uint8_t DL = 0, D = 0, P = 0, MX = 0, MY = 0, order = 0, options = 0;
    uint32_t XD = 0, YD = 0, L0 = 0, stripes = 0;
    bool indexFound = false;
    uint64_t indexBytes = 0;     // size of the index trailer, when found
    uint64_t trailingBytes = 0;  // bytes after the last stripe that are not an index
    struct Entry {
        uint32_t offset, length;
    };
    std::vector<std::vector<Entry>> entries;  // [layer][stripe], layer 0 lowest

    Layout(const Bytes &data, const std::string &name);
    uint64_t layerBytes(int layer) const;
    void layerSize(int layer, uint32_t *w, uint32_t *h) const;
};

// A decoder over a stream held in memory.
class Decoder {
public:
    Decoder(const Bytes &data, const std::string &name);
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    JbigHandle handle() const { return handle_; }
    const JbigDecodeOptions &options() const { return opts_; }
    bool indexRebuilt() const { return (opts_.flags & JBIG_FLAG_PATINFO_MISSING) != 0; }
    // Decodes up to `layer` (upwards only) and returns it in `format`.
    Bytes layerAs(int layer, Format format);

private:
    std::string name_;
    HGLOBAL block_ = nullptr;
    JbigHandle handle_ = JBIG_INVALID_HANDLE;
    JbigDecodeOptions opts_{};
};

struct EncodeSettings {
    int layers = 0;         // D
    int64_t stripeLines = -1;  // L0; -1: the library's default
    bool threeLine = false;
    int tpbon = -1, tpdon = -1, dpon = -1;  // -1: the library's default
    bool noIndex = false;
    int threshold = 128;
};

Format sniffImage(const Bytes &data, const std::string &name);
Bytes encodeImage(const Bytes &data, const std::string &name, const EncodeSettings &settings);

}  // namespace cli
