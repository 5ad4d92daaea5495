/* The median CPU time of one zeljbigDecode call on a JBIG file, for comparing
 * the Python binding's decode with the library's own (bench/python.sh).
 *   decode_call FILE RUNS */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "zeljbig.h"

static int byValue(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    FILE *f = fopen(argv[1], "rb");
    if (!f) return 1;
    static uint8_t data[1 << 24];
    size_t size = fread(data, 1, sizeof data, f);
    fclose(f);
    int runs = atoi(argv[2]);
    double *ms = malloc(sizeof *ms * (size_t)(runs > 0 ? runs : 1));
    if (!ms || runs < 1) return 2;
    for (int i = 0; i < runs; i++) {
        struct timespec t0, t1;
        ZeljbigRaster r;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
        if (zeljbigDecode(data, size, -1, 0, &r) != 0) {
            fprintf(stderr, "%s\n", zeljbigLastError());
            return 1;
        }
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
        zeljbigFree(r.data);
        ms[i] = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
    }
    qsort(ms, (size_t)runs, sizeof *ms, byValue);
    printf("%.3f\n", ms[runs / 2]);
    free(ms);
    return 0;
}
