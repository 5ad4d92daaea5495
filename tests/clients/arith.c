/* The bare QM coder as a client sees it: random decisions in random contexts
 * coded (the bytes printed), then decoded with the window grown a byte at a
 * time; the wrong decisions and where the pointer stopped. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "jbig_ar.h"
static unsigned char out[1 << 20]; static size_t n;
static void put(int b, void *f) { (void)f; out[n++] = (unsigned char)b; }
int main(int argc, char **argv) {
    unsigned seed = atoi(argv[1]), N = atoi(argv[2]), K = atoi(argv[3]);
    static struct jbg_arenc_state e; static struct jbg_ardec_state d;
    static int pix[1 << 20], cx[1 << 20];
    srand(seed);
    for (unsigned i = 0; i < N; i++) { cx[i] = rand() % K; pix[i] = (rand() % 100) < (cx[i] % 7) * 6; }
    arith_encode_init(&e, 0); e.byte_out = put; e.file = 0;
    for (unsigned i = 0; i < N; i++) arith_encode(&e, cx[i], pix[i]);
    arith_encode_flush(&e);
    out[n] = 0xff; out[n + 1] = 0x02;
    for (size_t i = 0; i < n; i++) printf("%02x", out[i]); printf("\n");
    /* decode fed one byte at a time */
    arith_decode_init(&d, 0); d.pscd_ptr = out; d.pscd_end = out; int bad = 0;
    for (unsigned i = 0; i < N; i++) { int r; while ((r = arith_decode(&d, cx[i])) == -1) d.pscd_end++; if (r != pix[i]) bad++; }
    printf("bad %d ptr %ld of %zu\n", bad, (long)(d.pscd_ptr - out), n);
    return 0;
}
