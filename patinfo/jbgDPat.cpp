// Copying a JBIG file with its stripe index added or removed.
#include "../frame/jbgError.h"

#include <cstring>
#include "../frame/jbgPat.h"
#include "../frame/jpgLib.h"

namespace {

// Opens a decoder on the source only for its header, stripe table and
// stream; nullptr when the source is not a stream the decoder accepts.
// The whole standard: a NEWLEN sets the height (and so the stripes), it
// does not end a stripe, and a stream of unknown height is read too.
JbigContext *openSource(const char *source, bool *hasIndex) {
    JbigDecodeOptions opts{};
    opts.flags = JBIG_FLAG_FULL_STANDARD;
    JbigHandle h = jbigDecodeProlog(source, &opts);
    if (h == JBIG_INVALID_HANDLE) return nullptr;
    *hasIndex = !(opts.flags & kModeScanned);
    JbigContext *ctx = ctxFromHandle(h, kModeDecoder);
    // The index describes the stripes of one BIE.
    if (ctx->dec.bieCount > 1) {
        errSet("holds %u BIEs that continue each other: a stripe index describes one", unsigned(ctx->dec.bieCount));
        jbigDecodeEpilog(h);
        return nullptr;
    }
    return ctx;
}

int32_t closeSource(JbigContext *ctx, int32_t result) {
    ctxCloseFile(ctx);
    jbigDecodeEpilog(ctxHandle(ctx));
    return result;
}

}  // namespace

int32_t JBIGAPI jbigAddPatInfo(const char *destination, const char *source) {
    if (destination == nullptr || source == nullptr || std::strlen(destination) > 255) return -1;
    bool hasIndex;
    JbigContext *ctx = openSource(source, &hasIndex);
    if (ctx == nullptr) return -1;
    if (hasIndex || ctxReopen(ctx) != 0) return closeSource(ctx, -1);
    // Data cut short has stripes the index cannot describe, and what the
    // cut left open (a comment, say) would swallow the index.
    if (ctx->dec.completeLayers != 0) {
        errSet("the data is cut short: no stripe index for it");
        return closeSource(ctx, -1);
    }
    uint32_t size = ctx->stream.fileSize;
    if (std::strcmp(destination, source) != 0) {
        JbigStream dest{};
        streamSetPath(&dest, destination);
        if (streamOpenWrite(&dest) != 0) return closeSource(ctx, -1);
        if (streamCopy(&dest, &ctx->stream, 0, size) != 0 || streamCloseFile(&ctx->stream) != 0) {
            streamClose(&dest);
            return closeSource(ctx, -1);
        }
        // The decoder's stream carries on with the destination file.
        ctx->stream.hFile = dest.hFile;
        ctx->stream.ioStatus = kIoOk;
    } else {
        streamCloseFile(&ctx->stream);
        if (streamOpenUpdate(&ctx->stream) == INVALID_HANDLE_VALUE) return closeSource(ctx, -1);
        if (streamSeek(&ctx->stream, size, kSeekStart) != size) return closeSource(ctx, -1);
    }
    return closeSource(ctx, patInfoWrite(ctx) == 0 ? 0 : -1);
}

int32_t JBIGAPI jbigDelPatInfo(const char *destination, const char *source) {
    if (destination == nullptr || source == nullptr || std::strcmp(destination, source) == 0 ||
        std::strlen(destination) > 255)
        return -1;
    bool hasIndex;
    JbigContext *ctx = openSource(source, &hasIndex);
    if (ctx == nullptr) return -1;
    if (!hasIndex || ctxReopen(ctx) != 0) return closeSource(ctx, -1);
    JbigStream dest{};
    streamSetPath(&dest, destination);
    if (streamOpenWrite(&dest) != 0) return closeSource(ctx, -1);
    int32_t result = streamCopy(&dest, &ctx->stream, 0, ctx->stream.fileSize - patInfoBytes(ctx)) == 0 ? 0 : -1;
    if (streamClose(&dest) != 0) result = -1;
    return closeSource(ctx, result);
}
