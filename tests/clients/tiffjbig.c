#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>
/* libtiff as a client: a PBM written as one ISO JBIG strip (argv[2]) and
 * read back (argv[3]); 0 when the pixels came back. */
int main(int argc, char **argv) {
    if (argc != 4) return 2;
    FILE *f = fopen(argv[1], "rb"); unsigned w, h; char m[3];
    /* A raw PBM without comments, as jbgtopbm writes it. */
    if (!f || fscanf(f, "%2s %u %u", m, &w, &h) != 3) return 2; fgetc(f);
    size_t row = (w + 7) / 8; unsigned char *img = malloc(row * h);
    if (fread(img, 1, row * h, f) != row * h) return 2; fclose(f);
    TIFF *t = TIFFOpen(argv[2], "w"); if (!t) return 3;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w); TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1); TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE); TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JBIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
    if (TIFFWriteEncodedStrip(t, 0, img, row * h) < 0) return 4; TIFFClose(t);
    t = TIFFOpen(argv[2], "r"); if (!t) return 5;
    unsigned char *back = calloc(row, h);
    if (TIFFReadEncodedStrip(t, 0, back, row * h) < 0) return 6; TIFFClose(t);
    f = fopen(argv[3], "wb"); fprintf(f, "P4\n%u %u\n", w, h); fwrite(back, 1, row * h, f); fclose(f);
    return memcmp(img, back, row * h) != 0;
}
