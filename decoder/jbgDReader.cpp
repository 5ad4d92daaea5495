// Readers of the zeljbig... family: a decoder under the whole standard over
// a file or a plain buffer, opened only when decoding gives the image the
// stream holds (the decoder itself never reports bad data), and layers
// decoded on request in any order.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "../frame/jbgBIH.h"
#include "../frame/jbgError.h"
#include "../frame/jbgMarker.h"
#include "../frame/jbgPat.h"
#include "../frame/jpgLib.h"
#include "jbgDBase.h"

struct ZeljbigReader {
    JbigContext *ctx;
    ZeljbigInfo info;
    // Why the layers from info.completeLayers on cannot be decoded.
    char problem[320];
};

namespace {

// Looks at every stripe and fills what the survey tells into the info;
// false, with the reason, for a stream that would decode to a wrong image.
// Data cut short after whole layers leaves those layers to be decoded.
bool readerSurvey(ZeljbigReader *r) {
    JbigContext *ctx = r->ctx;
    ZeljbigInfo &in = r->info;
    StripeSurvey sv;
    if (ctxReopen(ctx) != 0) return errSet("cannot open the file again");
    stripeSurvey(ctx, &sv);
    ctxCloseFile(ctx);
    const JbigBih &b = ctx->bih;
    const int d = sv.badLayer, k = sv.badStripe;
    in.completeLayers = b.D + 1;
    if (d >= 0) {
        const uint32_t at = stripeEntry(ctx, uint32_t(sv.badPlane), uint32_t(d), uint32_t(k))[0] + sv.problem.at;
        const uint32_t code = sv.problem.problem - kSdeMarker;
        if (in.indexFound)
            return errSet("damaged stripe index: layer %d stripe %d does not point at stripe data", d, k);
        if (sv.problem.problem != kSdeDataEnded && code == kAtmove)
            return errSet("damaged stripe data: ATMOVE after coded data at byte %lu (layer %d, stripe %d)",
                          (unsigned long)at, d, k);
        if (sv.problem.problem != kSdeDataEnded)
            return errSet("damaged stripe data: marker 0xFF 0x%02X at byte %lu (layer %d, stripe %d)", code & 0xFF,
                          (unsigned long)at, d, k);
        errSet("truncated: the stripe data ends early (layer %d, stripe %d)", d, k);
        if (d == 0) return false;
        in.completeLayers = d;
        std::snprintf(r->problem, sizeof r->problem, "%s; layer %d is the last complete one", errText(), d - 1);
    }
    if (ctx->dec.newlenIgnored)
        return errSet("damaged stream: a NEWLEN names no fewer rows than the %lu there are", (unsigned long)b.YD);
    if (sv.markers.atRowsBackwards) return errSet("damaged stream: ATMOVE segments of a stripe name their lines out of order");
    for (uint32_t tx = uint32_t(b.MX) + 1; tx < 256; tx++)
        if (sv.markers.atColumns[tx >> 5] >> (tx & 31) & 1)
            return errSet("damaged stream: an ATMOVE moves the AT pixel %u columns, more than MX %u", tx, b.MX);
    in.atmoves = sv.markers.atmoves;
    std::copy(sv.markers.atColumns, sv.markers.atColumns + 8, in.atColumns);
    in.sdrst = sv.sdrstCount;
    in.comments = sv.markers.comments;
    in.commentBytes = sv.markers.commentBytes;
    in.aborted = sv.aborted;
    const uint64_t end = in.dataBytes - in.indexBytes;
    in.trailingBytes = end > sv.dataEnd ? end - sv.dataEnd : 0;
    return true;
}

// Opens the reader of a context whose stream is set up; null on failure,
// everything released.
ZeljbigReader *readerOpen(JbigContext *ctx) {
    auto *r = new (std::nothrow) ZeljbigReader{};
    if (r == nullptr) {
        decClose(ctx);
        return errSet("out of memory"), nullptr;
    }
    r->ctx = ctx;
    ZeljbigInfo &in = r->info;
    if (streamOpenRead(&ctx->stream) != 0 || !decReadStream(ctx, &in.announcedYD)) {
        if (errText()[0] == '\0') errSet("cannot open %s", ctx->stream.path);
        zeljbigClose(r);
        return nullptr;
    }
    const JbigBih &b = ctx->bih;
    in.DL = b.DL;
    in.D = b.D;
    in.P = b.P;
    in.MX = b.MX;
    in.MY = b.MY;
    in.order = uint8_t(b.order);
    in.options = uint8_t(b.options);
    in.XD = b.XD;
    in.YD = b.YD;
    in.L0 = b.L0;
    in.stripes = uint32_t(ctx->tableStripes);
    in.bies = ctx->dec.bieCount ? ctx->dec.bieCount : 1;
    in.indexFound = (ctx->mode & kModeScanned) == 0;
    in.indexBytes = in.indexFound ? patInfoBytes(ctx) : 0;
    in.dataBytes = ctxDataEnd(ctx) - ctx->dec.dataOffset;
    in.newlenHeight = ctx->dec.newlenYD;
    in.privateTable = (b.options & kDPPRIV) != 0;
    if (!readerSurvey(r)) {
        zeljbigClose(r);
        return nullptr;
    }
    return r;
}

bool readerHasLayer(const ZeljbigReader *r, int64_t layer, uint32_t plane) {
    if (r == nullptr) return errSet("no reader");
    if (layer < 0 || layer > r->info.D)
        return errSet("has no layer %lld: its layers are 0 to %u", (long long)layer, r->info.D);
    if (plane >= r->info.P) return errSet("has no plane %u: its planes are 0 to %u", plane, r->info.P - 1u);
    return true;
}

}  // namespace

ZeljbigReader *zeljbigOpenFile(const char *path) {
    errClear();
    if (path == nullptr) return errSet("no path"), nullptr;
    JbigContext *ctx = ctxCreate(path, kModeDecoder | kModeFull);
    if (ctx == nullptr) return errSet("cannot open %s: name too long, or out of memory", path), nullptr;
    return readerOpen(ctx);
}

ZeljbigReader *zeljbigOpenMemory(const uint8_t *data, size_t size) {
    errClear();
    if (data == nullptr && size != 0) return errSet("no data"), nullptr;
    // The stream counts in 32 bits.
    if (uint64_t(size) >> 32 != 0) return errSet("too large: more than 4 GiB of JBIG data"), nullptr;
    JbigContext *ctx = ctxCreate(nullptr, kModeDecoder | kModeFull | kFlagMemory);
    if (ctx == nullptr) return errSet("out of memory"), nullptr;
    JbigStream &s = ctx->stream;
    static const uint8_t kNothing = 0;
    s.streamFlags |= kStreamMemory;
    s.memBase = s.memPtr = const_cast<uint8_t *>(data ? data : &kNothing);
    s.memLength = uint32_t(size);
    return readerOpen(ctx);
}

void zeljbigClose(ZeljbigReader *reader) {
    if (reader == nullptr) return;
    if (reader->ctx != nullptr) decClose(reader->ctx);
    delete reader;
}

const char *zeljbigProblem(const ZeljbigReader *reader) { return reader ? reader->problem : ""; }

int32_t zeljbigBie(const ZeljbigReader *reader, uint32_t k, uint32_t *DL, uint32_t *D, uint64_t *offset) {
    errClear();
    if (reader == nullptr) return errSet("no reader"), -1;
    const JbigDecoderState &dec = reader->ctx->dec;
    const uint32_t n = dec.bieCount ? dec.bieCount : 1;
    if (k >= n) return errSet("has no BIE %u: its BIEs are 0 to %u", k, n - 1), -1;
    if (DL) *DL = dec.bieCount ? dec.bieDL[k] : 0;
    if (D) *D = dec.bieCount ? dec.bieD[k] : reader->ctx->bih.D;
    if (offset) *offset = (dec.bieCount ? dec.bieStart[k] : dec.dataOffset) - dec.dataOffset;
    return 0;
}

int32_t zeljbigGetInfo(const ZeljbigReader *reader, ZeljbigInfo *info) {
    errClear();
    if (reader == nullptr || info == nullptr) return errSet("no reader or no info record"), -1;
    *info = reader->info;
    return 0;
}

int32_t zeljbigLayerSize(const ZeljbigReader *reader, uint32_t layer, uint32_t *width, uint32_t *height) {
    errClear();
    if (!readerHasLayer(reader, layer, 0)) return -1;
    const JbigBih &b = reader->ctx->bih;
    if (width) *width = layerSize(b.XD, b.D, layer);
    if (height) *height = layerSize(b.YD, b.D, layer);
    return 0;
}

uint64_t zeljbigLayerBytes(const ZeljbigReader *reader, uint32_t layer) {
    errClear();
    if (!readerHasLayer(reader, layer, 0)) return 0;
    JbigContext *ctx = reader->ctx;
    const uint64_t end = ctxDataEnd(ctx);
    uint64_t sum = 0;
    // As far as the data reaches: a stripe cut short has no length of its own.
    for (uint32_t p = 0; p < ctx->bih.P; p++) {
        for (int32_t k = 0; k < ctx->tableStripes; k++) {
            const uint32_t *e = stripeEntry(ctx, p, layer, uint32_t(k));
            if (e[0] < end) sum += std::min<uint64_t>(e[1], end - e[0]);
        }
    }
    return sum;
}

int32_t zeljbigStripe(const ZeljbigReader *reader, uint32_t layer, uint32_t plane, uint32_t stripe, uint64_t *offset,
                      uint64_t *length) {
    errClear();
    if (!readerHasLayer(reader, layer, plane)) return -1;
    JbigContext *ctx = reader->ctx;
    if (stripe >= uint32_t(ctx->tableStripes))
        return errSet("has no stripe %u: its stripes are 0 to %d", stripe, ctx->tableStripes - 1), -1;
    const uint32_t *e = stripeEntry(ctx, plane, layer, stripe);
    if (offset) *offset = e[0] - ctx->dec.dataOffset;
    if (length) *length = e[1];
    return 0;
}

int32_t zeljbigDecodeView(ZeljbigReader *reader, int32_t layer, uint32_t plane, ZeljbigRaster *view) {
    errClear();
    if (reader != nullptr && layer == -1) layer = reader->info.D;
    if (!readerHasLayer(reader, layer, plane)) return -1;
    if (view == nullptr) return errSet("no raster record"), -1;
    if (layer >= reader->info.completeLayers) return errSet("%s", reader->problem), -1;
    JbigContext *ctx = reader->ctx;
    if (layer < ctx->layerCursor || plane != ctx->dec.plane) {
        // The decoder moves upwards only, one plane at a time: start again
        // from the lowest layer.
        layerImageFree(&ctx->cur);
        layerImageFree(&ctx->low);
        ctx->layerCursor = -1;
        ctx->dec.plane = plane;
    }
    if (layer > ctx->layerCursor) {
        if (ctxReopen(ctx) != 0) return errSet("cannot open the file again"), -1;
        bool decoded = true;
        while (decoded && ctx->layerCursor < layer) decoded = decodeNextLayer(ctx) != -1;
        ctxCloseFile(ctx);
        if (!decoded || ctx->cur.rows == nullptr) {
            errSet("out of memory decoding layer %d", ctx->layerCursor);
            layerImageFree(&ctx->cur);
            layerImageFree(&ctx->low);
            ctx->layerCursor = -1;
            return -1;
        }
    }
    view->width = ctx->cur.width;
    view->height = ctx->cur.height;
    view->stride = ctx->cur.stride;
    view->data = ctx->cur.rows[0];
    return 0;
}

int32_t zeljbigDecodeInto(ZeljbigReader *reader, int32_t layer, uint32_t plane, uint8_t *buffer, size_t stride) {
    ZeljbigRaster view;
    if (zeljbigDecodeView(reader, layer, plane, &view) != 0) return -1;
    const size_t bytes = (size_t(view.width) + 7) / 8;
    if (buffer == nullptr || stride < bytes)
        return errSet("the buffer's rows are shorter than the %lu bytes of a row", (unsigned long)bytes), -1;
    for (uint32_t y = 0; y < view.height; y++) std::memcpy(buffer + y * stride, view.data + y * view.stride, bytes);
    return 0;
}

int32_t zeljbigDecode(const uint8_t *data, size_t size, int32_t layer, uint32_t plane, ZeljbigRaster *out) {
    if (out == nullptr) return errSet("no raster record"), -1;
    *out = ZeljbigRaster{};
    ZeljbigReader *r = zeljbigOpenMemory(data, size);
    if (r == nullptr) return -1;
    ZeljbigRaster view;
    int32_t rc = zeljbigDecodeView(r, layer, plane, &view);
    if (rc == 0) {
        const size_t bytes = (size_t(view.width) + 7) / 8;
        const size_t size = bytes * view.height;
        auto *p = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1));
        if (p == nullptr) {
            rc = -1;
            errSet("out of memory for a %u x %u raster", view.width, view.height);
        } else {
            for (uint32_t y = 0; y < view.height; y++) std::memcpy(p + y * bytes, view.data + y * view.stride, bytes);
            *out = ZeljbigRaster{view.width, view.height, bytes, p};
        }
    }
    zeljbigClose(r);
    return rc;
}
