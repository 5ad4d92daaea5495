/* zeljbig's libjbig.so.0: the T.85 fax profile, line by line. */
#ifndef ZELJBIG_LIBJBIG_JBIG85_H
#define ZELJBIG_LIBJBIG_JBIG85_H

#include <stddef.h>
#include <limits.h>

#include "jbig_ar.h"

#ifdef __cplusplus
extern "C" {
#endif

#define JBG85_VERSION "2.1"
#define JBG85_VERSION_MAJOR 2
#define JBG85_VERSION_MINOR 1

#ifndef JBG_EOK
#define JBG_LRLTWO 0x40
#define JBG_VLENGTH 0x20
#define JBG_TPBON 0x08
#define JBG_EOK (0 << 4)
#define JBG_EOK_INTR (1 << 4)
#define JBG_EAGAIN (2 << 4)
#define JBG_ENOMEM (3 << 4)
#define JBG_EABORT (4 << 4)
#define JBG_EMARKER (5 << 4)
#define JBG_EINVAL (6 << 4)
#define JBG_EIMPL (7 << 4)
#define JBG_ENOCONT (8 << 4)
#endif

extern const char jbg85_version[];

struct jbg85_enc_state {
    unsigned long x0, y0;
    unsigned long l0;
    int options;
    int zj_reserved0;
    int mx;
    unsigned long y; /* lines coded so far */
#if ULONG_MAX > 0xFFFFFFFFUL
    unsigned long zj_reserved1[652];
#else
    unsigned long zj_reserved1[1166];
#endif
    unsigned char *comment;
    unsigned long comment_len;
};

struct jbg85_dec_state {
    unsigned long x0, y0;
    unsigned long l0;
    int options;
    int mx;
#if ULONG_MAX > 0xFFFFFFFFUL
    unsigned long zj_reserved1[531];
#else
    unsigned long zj_reserved1[1048];
#endif
    unsigned long y; /* the next line */
#if ULONG_MAX > 0xFFFFFFFFUL
    unsigned long zj_reserved2[11];
#else
    unsigned long zj_reserved2[13];
#endif
};

void jbg85_enc_init(struct jbg85_enc_state *s, unsigned long x0, unsigned long y0,
                    void (*data_out)(unsigned char *start, size_t len, void *file), void *file);
void jbg85_enc_options(struct jbg85_enc_state *s, int options, unsigned long l0, int mx);
void jbg85_enc_lineout(struct jbg85_enc_state *s, unsigned char *line, unsigned char *prevline,
                       unsigned char *prevprevline);
void jbg85_enc_newlen(struct jbg85_enc_state *s, unsigned long y0);
void jbg85_enc_abort(struct jbg85_enc_state *s);

void jbg85_dec_init(struct jbg85_dec_state *s, unsigned char *buf, size_t buflen,
                    int (*line_out)(const struct jbg85_dec_state *s, unsigned char *start, size_t len,
                                    unsigned long y, void *file),
                    void *file);
int jbg85_dec_in(struct jbg85_dec_state *s, unsigned char *data, size_t len, size_t *cnt);
int jbg85_dec_end(struct jbg85_dec_state *s);
const char *jbg85_strerror(int errnum);

#define jbg85_dec_getwidth(s) ((s)->x0)
#define jbg85_dec_getheight(s) ((s)->y0)

#ifdef __cplusplus
}
#endif

#endif
