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
    // Decodes `layer` of a plane and writes it in `format`, straight from
    // the decoder's rows.
    void writeLayer(int layer, Format format, Output &out, uint32_t plane = 0);
    // Decodes `layer` of every plane and writes the greyscale picture they
    // make (PGM or PNG), read as Gray code or as binary values.
    void writeGrey(int layer, Format format, bool gray, Output &out);

private:
    std::string name_;
    ZeljbigReader *reader_ = nullptr;
    ZeljbigInfo info_{};
    int decoded_ = -1;  // the highest layer decoded so far
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
    bool planes = false;  // every bit of a grey picture a plane of its own
    bool binary = false;  // planes of binary values, not Gray code
};

Format sniffImage(const Bytes &data, const std::string &name);
Bytes encodeImage(Bytes data, const std::string &name, const EncodeSettings &settings);
// A plain binary PBM file of one page, its rows read straight into the
// encoder; false (nothing done) for any other input.
bool encodePbmFile(const std::string &path, const std::string &name, const EncodeSettings &settings, Bytes *stream);

// ---- streaming (stream.cpp) ----
// Single-layer pages through the library's streaming coders, memory
// independent of the height. Each returns false, with nothing written,
// for an input it does not take (*head then holds what was read of
// standard input, for readInput); otherwise it has written OUT and tells
// the input's size.

// A stream of one layer and one plane (DL 0, D 0, P 1) to PBM.
bool decodeStream(const std::string &in, const std::string &out, const std::string &name, Bytes *head,
                  uint64_t *inBytes);
// The settings the streaming encoder codes as zeljbigEncode does: -d 0,
// -s N, a template, --no-index, no --best, AT moves or --dpon.
bool streamable(const EncodeSettings &settings);
// A raw PBM (P4) page to such a stream.
bool encodeStream(const std::string &in, const std::string &out, const std::string &name,
                  const EncodeSettings &settings, Bytes *head, uint64_t *inBytes);

}  // namespace cli
