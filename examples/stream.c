/* Streaming: a page of unknown height is encoded row by row as it is made,
 * and its bytes go straight into a decoder, which hands each row back as
 * soon as it is decoded. Neither side ever holds the page. */
#include <stdio.h>
#include <string.h>

#include "zeljbig.h"

enum { W = 1728, H = 5000, ROW = (W + 7) / 8 };

/* Row y of the page, made when needed: bars of text-like runs. */
static void makeRow(uint32_t y, uint8_t *row) {
    memset(row, 0, ROW);
    if (y % 40 < 24)
        for (int x = 8; x < ROW - 8; x++)
            if ((x * 7 + y / 40 * 13) % 5 < 2) row[x] = (uint8_t)(0x3C << (y % 3));
}

struct Check {
    uint32_t rows, wrong;
};

static int32_t takeRow(void *user, uint32_t y, const uint8_t *row, size_t bytes) {
    struct Check *c = user;
    uint8_t want[ROW];
    makeRow(y, want);
    if (bytes != ROW || memcmp(row, want, ROW) != 0) c->wrong++;
    c->rows++;
    return 0;
}

struct Pipe {
    ZeljbigStreamDecoder *decoder;
    size_t bytes;
};

/* The encoder's bytes as they come, passed on in pieces of up to 100. */
static int32_t takeBytes(void *user, const uint8_t *bytes, size_t size) {
    struct Pipe *p = user;
    p->bytes += size;
    for (size_t at = 0; at < size; at += 100) {
        size_t n = size - at < 100 ? size - at : 100;
        if (zeljbigStreamDecoderPush(p->decoder, bytes + at, n, NULL) < 0) return -1;
    }
    return 0;
}

int main(void) {
    struct Check check = {0, 0};
    struct Pipe pipe = {zeljbigStreamDecoderCreate(takeRow, &check), 0};
    ZeljbigEncodeParams params;
    zeljbigEncodeDefaults(&params);
    params.stripeLines = 128;
    params.twoLine = 0;
    ZeljbigStreamEncoder *encoder = zeljbigStreamEncoderCreate(&params, W, ZELJBIG_UNKNOWN_HEIGHT, takeBytes, &pipe);
    if (pipe.decoder == NULL || encoder == NULL) {
        fprintf(stderr, "create: %s\n", zeljbigLastError());
        return 1;
    }
    uint8_t row[ROW];
    for (uint32_t y = 0; y < H; y++) {
        makeRow(y, row);
        if (zeljbigStreamEncoderPushRows(encoder, row, ROW, 1) != 0) {
            fprintf(stderr, "row %u: %s\n", (unsigned)y, zeljbigLastError());
            return 1;
        }
    }
    /* The height becomes known here: a NEWLEN follows the last stripe. */
    int ok = zeljbigStreamEncoderFinish(encoder) == 0 && zeljbigStreamDecoderFinish(pipe.decoder) == ZELJBIG_STREAM_DONE;
    printf("%u rows, %u bytes, round trip %s\n", (unsigned)check.rows, (unsigned)pipe.bytes,
           ok && check.rows == H && check.wrong == 0 ? "exact" : "FAILED");
    zeljbigStreamEncoderDestroy(encoder);
    zeljbigStreamDecoderDestroy(pipe.decoder);
    return ok && check.rows == H && check.wrong == 0 ? 0 : 1;
}
