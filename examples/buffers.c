/* The plain-buffer calls: encode a picture with two extra resolution layers
 * in one call, look at the stream, decode every layer into buffers of our
 * own, and read the reason when a damaged stream is refused. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zeljbig.h"

enum { W = 100, H = 60, ROW = (W + 7) / 8 };

int main(void) {
    static uint8_t pixels[H][ROW], back[H][ROW];
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            if ((x / 10 + y / 10) % 2) pixels[y][x / 8] |= (uint8_t)(0x80 >> (x % 8));

    ZeljbigEncodeParams params;
    zeljbigEncodeDefaults(&params);
    params.layers = 2;
    ZeljbigRaster picture = {W, H, ROW, &pixels[0][0]};
    uint8_t *stream;
    size_t size;
    if (zeljbigEncode(&params, &picture, &stream, &size) != 0) {
        fprintf(stderr, "encode: %s\n", zeljbigLastError());
        return 1;
    }

    ZeljbigReader *reader = zeljbigOpenMemory(stream, size);
    ZeljbigInfo info;
    if (reader == NULL || zeljbigGetInfo(reader, &info) != 0) {
        fprintf(stderr, "open: %s\n", zeljbigLastError());
        return 1;
    }
    printf("%u x %u pixels, %d layers, %u bytes\n", (unsigned)info.XD, (unsigned)info.YD, info.D + 1, (unsigned)size);
    for (uint32_t layer = 0; layer <= info.D; layer++) {
        uint32_t w, h;
        zeljbigLayerSize(reader, layer, &w, &h);
        uint8_t *rows = malloc((size_t)(w + 7) / 8 * h);
        if (rows == NULL || zeljbigDecodeInto(reader, (int32_t)layer, 0, rows, (w + 7) / 8) != 0) return 1;
        printf("layer %u: %u x %u, %u coded bytes\n", (unsigned)layer, (unsigned)w, (unsigned)h,
               (unsigned)zeljbigLayerBytes(reader, layer));
        free(rows);
    }
    /* The full resolution again, straight into a picture-sized buffer. */
    int same = zeljbigDecodeInto(reader, -1, 0, &back[0][0], ROW) == 0 && memcmp(back, pixels, sizeof back) == 0;
    zeljbigClose(reader);
    printf("round trip %s\n", same ? "exact" : "FAILED");

    /* Cut short in its lowest layer, the stream is refused with the reason. */
    int refused = zeljbigOpenMemory(stream, 30) == NULL;
    printf("cut stream: %s\n", refused ? zeljbigLastError() : "accepted?");
    zeljbigFree(stream);
    return same && refused ? 0 : 1;
}
