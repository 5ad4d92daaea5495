/*
 * zeljbig's libjbig.so.0: the interface of the libjbig library, on the
 * zeljbig core. Records are laid out as that library's callers were
 * compiled; the fields not named here hold zeljbig's own state.
 */
#ifndef ZELJBIG_LIBJBIG_JBIG_H
#define ZELJBIG_LIBJBIG_JBIG_H

#include <stddef.h>
#include <limits.h>

#include "jbig_ar.h"

#ifdef __cplusplus
extern "C" {
#endif

#define JBG_VERSION "2.1"
#define JBG_VERSION_MAJOR 2
#define JBG_VERSION_MINOR 1

#define JBG_HITOLO 0x08
#define JBG_SEQ 0x04
#define JBG_ILEAVE 0x02
#define JBG_SMID 0x01

#define JBG_LRLTWO 0x40
#define JBG_VLENGTH 0x20
#define JBG_TPDON 0x10
#define JBG_TPBON 0x08
#define JBG_DPON 0x04
#define JBG_DPPRIV 0x02
#define JBG_DPLAST 0x01

/* Encoder only, never in a header. */
#define JBG_DELAY_AT 0x100
#define JBG_SDRST 0x200

#define JBG_EOK (0 << 4)
#define JBG_EOK_INTR (1 << 4)
#define JBG_EAGAIN (2 << 4)
#define JBG_ENOMEM (3 << 4)
#define JBG_EABORT (4 << 4)
#define JBG_EMARKER (5 << 4)
#define JBG_EINVAL (6 << 4)
#define JBG_EIMPL (7 << 4)
#define JBG_ENOCONT (8 << 4)

#define JBG_ATMOVES_MAX 64
#define JBG_BUFSIZE 4000

extern const char jbg_version[];

struct jbg_enc_state {
    int d;
    unsigned long xd, yd;
    unsigned long yd1;
    int planes;
    int dl, dh;
    unsigned long l0;
    unsigned long stripes;
    void *zj_state; /* zeljbig's encoder */
    void *zj_reserved1[2];
    int order, options;
    unsigned mx, my;
    void *zj_reserved2;
    char *dppriv;
    void *zj_reserved3[4];
    void (*data_out)(unsigned char *start, size_t len, void *file);
    void *file;
    void *zj_reserved4;
    unsigned char *comment;
    unsigned long comment_len;
};

struct jbg_dec_state {
    int d, dl;
    unsigned long xd, yd;
    int planes;
    unsigned long l0, stripes;
    int order, options, mx, my;
    void *zj_state; /* zeljbig's decoder */
    void *zj_reserved1[3];
    unsigned char **lhp[2];
#if ULONG_MAX > 0xFFFFFFFFUL
    unsigned long zj_reserved2[151];
#else
    unsigned long zj_reserved2[218];
#endif
};

#define jbg_dec_getplanes(s) ((s)->planes)

void jbg_enc_init(struct jbg_enc_state *s, unsigned long x, unsigned long y, int planes, unsigned char **p,
                  void (*data_out)(unsigned char *start, size_t len, void *file), void *file);
int jbg_enc_lrlmax(struct jbg_enc_state *s, unsigned long mwidth, unsigned long mheight);
void jbg_enc_layers(struct jbg_enc_state *s, int d);
int jbg_enc_lrange(struct jbg_enc_state *s, int dl, int dh);
void jbg_enc_options(struct jbg_enc_state *s, int order, int options, unsigned long l0, int mx, int my);
void jbg_enc_out(struct jbg_enc_state *s);
void jbg_enc_free(struct jbg_enc_state *s);

void jbg_dec_init(struct jbg_dec_state *s);
void jbg_dec_maxsize(struct jbg_dec_state *s, unsigned long xmax, unsigned long ymax);
int jbg_dec_in(struct jbg_dec_state *s, unsigned char *data, size_t len, size_t *cnt);
unsigned long jbg_dec_getwidth(const struct jbg_dec_state *s);
unsigned long jbg_dec_getheight(const struct jbg_dec_state *s);
unsigned char *jbg_dec_getimage(const struct jbg_dec_state *s, int plane);
unsigned long jbg_dec_getsize(const struct jbg_dec_state *s);
void jbg_dec_merge_planes(const struct jbg_dec_state *s, int use_graycode,
                          void (*data_out)(unsigned char *start, size_t len, void *file), void *file);
unsigned long jbg_dec_getsize_merged(const struct jbg_dec_state *s);
void jbg_dec_free(struct jbg_dec_state *s);

const char *jbg_strerror(int errnum);
void jbg_int2dppriv(unsigned char *dptable, const char *internal);
void jbg_dppriv2int(char *internal, const unsigned char *dptable);
unsigned long jbg_ceil_half(unsigned long x, int n);
void jbg_split_planes(unsigned long x, unsigned long y, int has_planes, int encode_planes, const unsigned char *src,
                      unsigned char **dest, int use_graycode);
int jbg_newlen(unsigned char *bie, size_t len);
unsigned long jbg_stripes(unsigned long l0, unsigned long yd, unsigned long d);
unsigned char *jbg_next_pscdms(unsigned char *p, size_t len);

#ifdef __cplusplus
}
#endif

#endif
