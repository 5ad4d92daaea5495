/* Encode a picture as a JBIG stream in memory with two extra resolution
 * layers, decode every layer back, and check the full one pixel for pixel. */
#include <stdio.h>
#include <string.h>

#include "zeljbig.h"

enum { W = 100, H = 60, ROW = (W + 7) / 8, LAYERS = 2 };

int main(void) {
    /* One bit per pixel, leftmost pixel in the top bit, 1 = black. */
    static uint8_t pixels[H][ROW];
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            if ((x - 50) * (x - 50) + (y - 30) * (y - 30) < 25 * 25) pixels[y][x / 8] |= (uint8_t)(0x80 >> (x % 8));

    /* Encode to memory with the library's default options. */
    JbigEncodeOptions eo;
    memset(&eo, 0, sizeof eo);
    jbigEncodeCreatDefaultOptions(&eo, W, H, LAYERS, JBIG_FLAG_MEMORY);
    JbigHandle enc = jbigEncodeProlog(NULL, &eo);
    if (enc == JBIG_INVALID_HANDLE) return 1;
    JbigImageInfo image = {W, H, ROW, 1, 0, 0, &pixels[0][0]};
    int ok = jbigEncodeSetOrgDataFromRect(enc, &image) == 0;
    for (int layer = LAYERS; ok && layer >= 0; layer--) ok = jbigEncode(enc) == 0; /* highest layer first */
    if (jbigEncodeEpilog(enc) != 0 || !ok) return 1;
    printf("%d x %d pixels in %u bytes of JBIG\n", W, H, (unsigned)eo.outLength);

    /* The decoder reads memory from a movable global block. */
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, eo.outLength);
    if (block == NULL) return 1;
    memcpy(GlobalLock(block), eo.outData, eo.outLength);
    GlobalUnlock(block);
    HeapFree(GetProcessHeap(), 0, eo.outData);

    JbigDecodeOptions dopts;
    memset(&dopts, 0, sizeof dopts);
    dopts.flags = JBIG_FLAG_MEMORY;
    dopts.inHandle = block;
    dopts.inLength = eo.outLength;
    JbigHandle dec = jbigDecodeProlog(NULL, &dopts);
    if (dec == JBIG_INVALID_HANDLE) return 1;

    /* Layers are decoded from the lowest up; each comes out as a packed DIB
     * (not needed here) and stays readable through jbigDecodeGetImageAddress. */
    JbigImageInfo out;
    for (int layer = 0; layer <= LAYERS; layer++) {
        HGLOBAL dib = jbigDecodeToWinDIB(dec, layer);
        if (dib == (HGLOBAL)~(uintptr_t)0) return 1;
        GlobalFree(dib);
        jbigDecodeGetImageAddress(dec, &out);
        printf("layer %d: %u x %u\n", layer, (unsigned)out.width, (unsigned)out.height);
    }
    int same = out.width == W && out.height == H;
    for (int y = 0; same && y < H; y++) same = memcmp(out.data + y * out.bytesPerLine, pixels[y], ROW) == 0;

    jbigDecodeEpilog(dec);
    GlobalFree(block);
    printf("round trip %s\n", same ? "exact" : "FAILED");
    return same ? 0 : 1;
}
