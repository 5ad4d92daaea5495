// The tool's use of the library: encoding, decoding, and a look at a
// stream's header, layers and stripes without decoding them.
#pragma once

#include "cli.h"
#include "zeljbig.h"

namespace cli {

// A stream held in memory (not copied: `data` must outlive the decoder),
// opened by the library's reader, which refuses with the reason anything
// that would decode to a silently wrong image.
class Decoder {
public:
    Decoder(const Bytes &data, const std::string &name);
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    const ZeljbigInfo &info() const { return info_; }
    const ZeljbigReader *reader() const { return reader_; }
    // Refuses, with the reason, a stream whose data ends before its last layer.
    void requireEveryLayer() const;
    // Decodes `layer` and writes it in `format`, straight from the decoder's rows.
    void writeLayer(int layer, Format format, Output &out);

private:
    std::string name_;
    ZeljbigReader *reader_ = nullptr;
    ZeljbigInfo info_{};
};

struct EncodeSettings {
    int layers = 0;            // D
    int64_t stripeLines = -1;  // L0; -1: one stripe
    int lrltwo = -1;           // template; -1: the one that codes a sample smaller
    int tpbon = -1, tpdon = -1, dpon = -1;  // -1: the default
    int atMax = 0;             // MX: how far the AT pixel may move
    bool best = false;         // the smallest stream the library can make
    bool noIndex = false;
    int threshold = 128;
};

Format sniffImage(const Bytes &data, const std::string &name);
Bytes encodeImage(Bytes data, const std::string &name, const EncodeSettings &settings);

}  // namespace cli
