/* A caller's private deterministic-prediction table: every third entry of
 * the built-in one made "not predicted", two layers, mx 0; the stream out. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "jbig.h"
static void out(unsigned char *p, size_t n, void *f) { fwrite(p, 1, n, f); }
int main(int argc, char **argv) {
    FILE *f = fopen(argv[1], "rb"); unsigned w, h; char m[3]; if (fscanf(f, "%2s %u %u", m, &w, &h) != 3) return 1; fgetc(f);
    size_t row = (w + 7) / 8; unsigned char *img = malloc(row * h); if (fread(img, 1, row * h, f) != row * h) return 1;
    static char tab[6912]; struct jbg_enc_state s; FILE *o = fopen(argv[2], "wb");
    jbg_enc_init(&s, w, h, 1, &img, out, o); jbg_enc_layers(&s, 2);
    memcpy(tab, s.dppriv, 6912); for (int i = 0; i < 6912; i += 3) tab[i] = 2; s.dppriv = tab;
    jbg_enc_options(&s, -1, -1, 0, 0, -1);
    jbg_enc_out(&s); jbg_enc_free(&s); fclose(o); return 0; }
