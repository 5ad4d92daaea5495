/* zeljbig's libjbig.so.0: the bare QM coder of T.82, as libjbig exports it. */
#ifndef ZELJBIG_LIBJBIG_JBIG_AR_H
#define ZELJBIG_LIBJBIG_JBIG_AR_H

#ifdef __cplusplus
extern "C" {
#endif

struct jbg_arenc_state {
    unsigned char st[4096]; /* bit 7 the MPS, bits 0-6 the state index */
    unsigned long c;
    unsigned long a;
    unsigned long sc;
    int ct;
    int buffer;
    void (*byte_out)(int, void *);
    void *file;
};

struct jbg_ardec_state {
    unsigned char st[4096];
    unsigned long c;
    unsigned long a;
    unsigned char *pscd_ptr;
    unsigned char *pscd_end;
    int ct;
    int startup;
    int nopadding;
};

void arith_encode_init(struct jbg_arenc_state *s, int reuse_st);
void arith_encode_flush(struct jbg_arenc_state *s);
void arith_encode(struct jbg_arenc_state *s, int cx, int pix);
void arith_decode_init(struct jbg_ardec_state *s, int reuse_st);
int arith_decode(struct jbg_ardec_state *s, int cx);

#ifdef __cplusplus
}
#endif

#endif
