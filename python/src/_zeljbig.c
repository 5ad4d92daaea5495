/* zeljbig._zeljbig: the library's zeljbig... calls for Python.
 *
 * Rasters cross as packed bits (one bit per pixel, leftmost in the top bit,
 * 1 = black): encode takes them through the buffer protocol where they lie,
 * decode hands out the library's own rows through a Bits object. Every
 * library call runs with the GIL released. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>
#include <string.h>

#define ZELJBIG_NO_WIN32_NAMES
#include "zeljbig.h"

static PyObject *ZError; /* zeljbig.Error */

/* Raises zeljbig.Error with the library's reason for the call just made on
 * this thread. */
static PyObject *libraryError(const char *fallback) {
    const char *why = zeljbigLastError();
    PyErr_SetString(ZError, why && *why ? why : fallback);
    return NULL;
}

/* ---- Bits: rows of packed bits, exported as a 2-D uint8 buffer ---- */

typedef struct {
    PyObject_HEAD
    uint8_t *data;
    PyObject *owner;  /* the Reader whose rows these are, or NULL: data is ours */
    int fromLibrary;  /* data released with zeljbigFree, else PyMem_RawFree */
    uint32_t width, height;
    Py_ssize_t shape[2], strides[2];
} BitsObject;

static PyTypeObject BitsType;

static BitsObject *newBits(uint32_t width, uint32_t height, size_t stride) {
    BitsObject *b = PyObject_New(BitsObject, &BitsType);
    if (!b) return NULL;
    b->data = NULL;
    b->owner = NULL;
    b->fromLibrary = 0;
    b->width = width;
    b->height = height;
    b->shape[0] = (Py_ssize_t)height;
    b->shape[1] = (Py_ssize_t)stride;
    b->strides[0] = (Py_ssize_t)stride;
    b->strides[1] = 1;
    return b;
}

static void bitsDealloc(BitsObject *b) {
    if (b->owner)
        Py_DECREF(b->owner);
    else if (b->fromLibrary)
        zeljbigFree(b->data);
    else
        PyMem_RawFree(b->data);
    PyObject_Free(b);
}

static int bitsGetBuffer(BitsObject *b, Py_buffer *view, int flags) {
    static uint8_t none;
    void *buf = b->data ? (void *)b->data : (void *)&none;
    if (PyBuffer_FillInfo(view, (PyObject *)b, buf, b->shape[0] * b->shape[1], 0, flags) < 0) return -1;
    if (flags & PyBUF_ND) {
        view->ndim = 2;
        view->shape = b->shape;
    }
    if (flags & PyBUF_STRIDES) view->strides = b->strides;
    return 0;
}

static PyBufferProcs bitsBuffer = {(getbufferproc)bitsGetBuffer, NULL};

static PyObject *bitsWidth(BitsObject *b, void *c) {
    (void)c;
    return PyLong_FromUnsignedLong(b->width);
}
static PyObject *bitsHeight(BitsObject *b, void *c) {
    (void)c;
    return PyLong_FromUnsignedLong(b->height);
}

static PyGetSetDef bitsGetSet[] = {
    {"width", (getter)bitsWidth, NULL, "pixels per row", NULL},
    {"height", (getter)bitsHeight, NULL, "rows", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject BitsType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "zeljbig._zeljbig.Bits",
    .tp_basicsize = sizeof(BitsObject),
    .tp_dealloc = (destructor)bitsDealloc,
    .tp_as_buffer = &bitsBuffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Rows of packed bits (height x stride bytes, 1 = black) as a buffer.",
    .tp_getset = bitsGetSet,
};

/* ---- Reader ---- */

typedef struct {
    PyObject_HEAD
    ZeljbigReader *reader;
    PyObject *source; /* the bytes read from memory, kept alive and unchanged */
    PyThread_type_lock lock;
    ZeljbigInfo info;
    PyObject *infoDict; /* made on opening: info() needs no call while another thread decodes */
    int spent; /* its rows went to a Bits object: no more calls */
} ReaderObject;

/* One thread at a time per reader; waiting happens without the GIL. */
static int readerEnter(ReaderObject *r) {
    if (!r->lock) {
        PyErr_SetString(ZError, "the reader is not open");
        return -1;
    }
    if (!PyThread_acquire_lock(r->lock, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(r->lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    if (!r->reader || r->spent) {
        PyThread_release_lock(r->lock);
        PyErr_SetString(ZError, r->spent ? "the reader's rows were handed out: open it again" : "the reader is closed");
        return -1;
    }
    return 0;
}

static void readerLeave(ReaderObject *r) { PyThread_release_lock(r->lock); }

static PyObject *infoDict(ZeljbigReader *reader, const ZeljbigInfo *i);

static int readerInit(ReaderObject *r, PyObject *args, PyObject *kw) {
    static char *names[] = {"source", NULL};
    PyObject *source;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O:Reader", names, &source)) return -1;
    if (r->reader) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is already open");
        return -1;
    }
    if (!r->lock && !(r->lock = PyThread_allocate_lock())) {
        PyErr_NoMemory();
        return -1;
    }
    ZeljbigReader *reader;
    if (PyUnicode_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        PyObject *path;
        if (!PyUnicode_FSConverter(source, &path)) return -1;
        Py_BEGIN_ALLOW_THREADS
        reader = zeljbigOpenFile(PyBytes_AS_STRING(path));
        Py_END_ALLOW_THREADS
        Py_DECREF(path);
    } else {
        /* The library reads the bytes in place for the reader's whole life:
         * only an immutable bytes object is safe to keep as it is. */
        PyObject *bytes = PyBytes_Check(source) ? (Py_INCREF(source), source) : PyBytes_FromObject(source);
        if (!bytes) return -1;
        const uint8_t *data = (const uint8_t *)PyBytes_AS_STRING(bytes);
        size_t size = (size_t)PyBytes_GET_SIZE(bytes);
        Py_BEGIN_ALLOW_THREADS
        reader = zeljbigOpenMemory(data, size);
        Py_END_ALLOW_THREADS
        if (!reader) {
            Py_DECREF(bytes);
        } else {
            r->source = bytes;
        }
    }
    if (!reader) {
        libraryError("not a JBIG stream the library can read");
        return -1;
    }
    if (zeljbigGetInfo(reader, &r->info) != 0 || !(r->infoDict = infoDict(reader, &r->info))) {
        if (!PyErr_Occurred()) libraryError("the stream's description is unavailable");
        zeljbigClose(reader);
        Py_CLEAR(r->source);
        return -1;
    }
    r->reader = reader;
    return 0;
}

static void readerDealloc(ReaderObject *r) {
    if (r->reader) zeljbigClose(r->reader);
    Py_XDECREF(r->source);
    Py_XDECREF(r->infoDict);
    if (r->lock) PyThread_free_lock(r->lock);
    Py_TYPE(r)->tp_free((PyObject *)r);
}

static PyObject *readerClose(ReaderObject *r, PyObject *unused) {
    (void)unused;
    if (r->lock && r->reader) {
        if (!PyThread_acquire_lock(r->lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(r->lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
        /* Rows handed out stay the reader's until their Bits object goes. */
        if (r->reader && !r->spent) {
            zeljbigClose(r->reader);
            r->reader = NULL;
            Py_CLEAR(r->source);
        }
        PyThread_release_lock(r->lock);
    }
    Py_RETURN_NONE;
}

static PyObject *infoDict(ZeljbigReader *reader, const ZeljbigInfo *i) {
    PyObject *columns = PyList_New(0), *layers = PyList_New(0), *bies = PyList_New(0);
    const char *nesting = zeljbigStripeOrder(i->order);
    if (!columns || !layers || !bies) goto fail;
    for (uint32_t k = 0; k < i->bies; k++) {
        uint32_t dl = 0, d = 0;
        uint64_t offset = 0;
        zeljbigBie(reader, k, &dl, &d, &offset);
        PyObject *v = Py_BuildValue("(IIK)", dl, d, (unsigned long long)offset);
        if (!v || PyList_Append(bies, v) < 0) {
            Py_XDECREF(v);
            goto fail;
        }
        Py_DECREF(v);
    }
    for (unsigned tx = 0; tx < 256; tx++)
        if (i->atColumns[tx >> 5] >> (tx & 31) & 1) {
            PyObject *v = PyLong_FromUnsignedLong(tx);
            if (!v || PyList_Append(columns, v) < 0) {
                Py_XDECREF(v);
                goto fail;
            }
            Py_DECREF(v);
        }
    for (uint32_t d = 0; d <= i->D; d++) {
        uint32_t w = 0, h = 0;
        if (zeljbigLayerSize(reader, d, &w, &h) != 0) {
            libraryError("a layer's size is unavailable");
            goto fail;
        }
        PyObject *v = Py_BuildValue("(IIK)", w, h, (unsigned long long)zeljbigLayerBytes(reader, d));
        if (!v || PyList_Append(layers, v) < 0) {
            Py_XDECREF(v);
            goto fail;
        }
        Py_DECREF(v);
    }
    return Py_BuildValue(
        "{sBsBsBsBsBsBsBsIsIsIsIsIsIsisIsKsKsIsNsIsIsKsIsisisisNsNszss}", "DL", i->DL, "D", i->D, "P", i->P, "MX", i->MX, "MY",
        i->MY, "order", i->order, "options", i->options, "XD", i->XD, "YD", i->YD, "announcedYD", i->announcedYD, "L0",
        i->L0, "stripes", i->stripes, "bies", i->bies, "indexFound", i->indexFound, "indexBytes", i->indexBytes,
        "dataBytes", (unsigned long long)i->dataBytes, "trailingBytes", (unsigned long long)i->trailingBytes, "atmoves",
        i->atmoves, "atColumns", columns, "sdrst", i->sdrst, "comments", i->comments, "commentBytes",
        (unsigned long long)i->commentBytes, "newlenHeight", i->newlenHeight, "aborted", i->aborted, "privateTable",
        i->privateTable, "completeLayers", i->completeLayers, "layers", layers, "bieList", bies, "stripeOrder", nesting,
        "problem", zeljbigProblem(reader));
fail:
    Py_XDECREF(columns);
    Py_XDECREF(layers);
    Py_XDECREF(bies);
    return NULL;
}

static PyObject *readerInfo(ReaderObject *r, PyObject *unused) {
    (void)unused;
    if (!r->infoDict) {
        PyErr_SetString(ZError, "the reader is not open");
        return NULL;
    }
    Py_INCREF(r->infoDict);
    return r->infoDict;
}

/* decode(layer=-1, plane=0, last=False): the layer's rows as Bits. With
 * last the Bits are the reader's own rows, no copy, and the reader takes no
 * further calls. */
static PyObject *readerDecode(ReaderObject *r, PyObject *args, PyObject *kw) {
    static char *names[] = {"layer", "plane", "last", NULL};
    int layer = -1, last = 0;
    unsigned int plane = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|iIp:decode", names, &layer, &plane, &last)) return NULL;
    if (readerEnter(r) < 0) return NULL;
    ZeljbigRaster view;
    int rc;
    const char *why = NULL;
    Py_BEGIN_ALLOW_THREADS
    rc = zeljbigDecodeView(r->reader, layer, plane, &view);
    if (rc != 0) why = zeljbigLastError();
    Py_END_ALLOW_THREADS
    if (rc != 0) {
        readerLeave(r);
        PyErr_SetString(ZError, why && *why ? why : "the layer could not be decoded");
        return NULL;
    }
    size_t rowBytes = ((size_t)view.width + 7) / 8;
    BitsObject *b = newBits(view.width, view.height, last ? view.stride : rowBytes);
    if (!b) {
        readerLeave(r);
        return NULL;
    }
    if (last) {
        b->data = view.data;
        b->owner = (PyObject *)r;
        Py_INCREF(r);
        r->spent = 1;
    } else if (view.height && rowBytes) {
        b->data = PyMem_RawMalloc(rowBytes * view.height);
        if (!b->data) {
            readerLeave(r);
            Py_DECREF(b);
            return PyErr_NoMemory();
        }
        Py_BEGIN_ALLOW_THREADS
        for (uint32_t y = 0; y < view.height; y++) memcpy(b->data + y * rowBytes, view.data + y * view.stride, rowBytes);
        Py_END_ALLOW_THREADS
    }
    readerLeave(r);
    return (PyObject *)b;
}

static PyObject *readerEnterCtx(PyObject *r, PyObject *unused) {
    (void)unused;
    Py_INCREF(r);
    return r;
}

static PyObject *readerExitCtx(ReaderObject *r, PyObject *args) {
    (void)args;
    return readerClose(r, NULL);
}

static PyObject *readerPlanes(ReaderObject *r, void *c) {
    (void)c;
    return PyLong_FromUnsignedLong(r->info.P);
}

static PyGetSetDef readerGetSet[] = {
    {"planes", (getter)readerPlanes, NULL, "bit planes P", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyMethodDef readerMethods[] = {
    {"info", (PyCFunction)readerInfo, METH_NOARGS, "The header, stripes, markers and layers as a dict of plain fields."},
    {"decode", (PyCFunction)(void (*)(void))readerDecode, METH_VARARGS | METH_KEYWORDS,
     "decode(layer=-1, plane=0, last=False) -> Bits"},
    {"close", (PyCFunction)readerClose, METH_NOARGS, "Releases the stream."},
    {"__enter__", readerEnterCtx, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)readerExitCtx, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject ReaderType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "zeljbig._zeljbig.Reader",
    .tp_basicsize = sizeof(ReaderObject),
    .tp_dealloc = (destructor)readerDealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Reader(bytes or path): a JBIG stream opened for decoding.",
    .tp_methods = readerMethods,
    .tp_getset = readerGetSet,
    .tp_init = (initproc)readerInit,
    .tp_new = PyType_GenericNew,
};

/* ---- encode ---- */

/* One plane as rows: a 2-D buffer of bytes whose rows may lie apart, or a
 * contiguous run of rows (width + 7) / 8 bytes each. */
static int planeRows(Py_buffer *v, uint32_t width, uint32_t height, ZeljbigRaster *out) {
    size_t rowBytes = ((size_t)width + 7) / 8;
    if (v->itemsize != 1) {
        PyErr_SetString(PyExc_TypeError, "packed bits must be bytes (uint8)");
        return -1;
    }
    if (v->ndim == 2) {
        if ((size_t)v->shape[0] < height || (size_t)v->shape[1] < rowBytes || (v->shape[1] > 1 && v->strides[1] != 1) ||
            v->strides[0] < 0 || (v->shape[0] > 1 && (size_t)v->strides[0] < rowBytes)) {
            PyErr_Format(PyExc_ValueError, "packed bits must be %u rows of at least %zu adjacent bytes", height, rowBytes);
            return -1;
        }
        out->stride = height > 1 ? (size_t)v->strides[0] : rowBytes;
    } else {
        if (!PyBuffer_IsContiguous(v, 'C') || (size_t)v->len / (rowBytes ? rowBytes : 1) < height) {
            PyErr_Format(PyExc_ValueError, "packed bits must be %u contiguous rows of %zu bytes", height, rowBytes);
            return -1;
        }
        out->stride = rowBytes;
    }
    out->width = width;
    out->height = height;
    out->data = (uint8_t *)v->buf;
    return 0;
}

static PyObject *encode(PyObject *self, PyObject *args, PyObject *kw) {
    (void)self;
    static char *names[] = {"planes", "width", "height", "layers", "stripe_lines", "two_line", "tpbon", "tpdon",
                            "dpon",   "at_max", "flags", NULL};
    PyObject *planes;
    unsigned int width, height;
    ZeljbigEncodeParams p;
    zeljbigEncodeDefaults(&p);
    if (!PyArg_ParseTupleAndKeywords(args, kw, "OII|IIiiiiII:encode", names, &planes, &width, &height, &p.layers,
                                     &p.stripeLines, &p.twoLine, &p.tpbon, &p.tpdon, &p.dpon, &p.atMax, &p.flags))
        return NULL;
    PyObject *seq = PySequence_Fast(planes, "planes must be a sequence of packed-bit buffers");
    if (!seq) return NULL;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n < 1 || n > 255) {
        Py_DECREF(seq);
        PyErr_SetString(PyExc_ValueError, "between 1 and 255 planes");
        return NULL;
    }
    p.planes = (uint32_t)n;
    Py_buffer *views = PyMem_Calloc((size_t)n, sizeof *views);
    ZeljbigRaster *rasters = PyMem_Calloc((size_t)n, sizeof *rasters);
    Py_ssize_t held = 0;
    PyObject *result = NULL;
    if (!views || !rasters) {
        PyErr_NoMemory();
        goto done;
    }
    for (; held < n; held++) {
        if (PyObject_GetBuffer(PySequence_Fast_GET_ITEM(seq, held), &views[held], PyBUF_STRIDED_RO) < 0) goto done;
        if (planeRows(&views[held], width, height, &rasters[held]) < 0) {
            held++;
            goto done;
        }
    }
    uint8_t *out = NULL;
    size_t size = 0;
    int rc;
    const char *why = NULL;
    Py_BEGIN_ALLOW_THREADS
    rc = zeljbigEncode(&p, rasters, &out, &size);
    if (rc != 0) why = zeljbigLastError();
    Py_END_ALLOW_THREADS
    if (rc != 0) {
        PyErr_SetString(ZError, why && *why ? why : "the image could not be encoded");
    } else {
        result = PyBytes_FromStringAndSize((const char *)out, (Py_ssize_t)size);
        zeljbigFree(out);
    }
done:
    while (held > 0) PyBuffer_Release(&views[--held]);
    PyMem_Free(views);
    PyMem_Free(rasters);
    Py_DECREF(seq);
    return result;
}

/* decode(data, layer=-1, plane=0): one call, the rows as the library
 * allocated them. */
static PyObject *decode(PyObject *self, PyObject *args, PyObject *kw) {
    (void)self;
    static char *names[] = {"data", "layer", "plane", NULL};
    Py_buffer in;
    int layer = -1;
    unsigned int plane = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "y*|iI:decode", names, &in, &layer, &plane)) return NULL;
    ZeljbigRaster r;
    int rc;
    const char *why = NULL;
    Py_BEGIN_ALLOW_THREADS
    rc = zeljbigDecode((const uint8_t *)in.buf, (size_t)in.len, layer, plane, &r);
    if (rc != 0) why = zeljbigLastError();
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&in);
    if (rc != 0) {
        PyErr_SetString(ZError, why && *why ? why : "the stream could not be decoded");
        return NULL;
    }
    BitsObject *b = newBits(r.width, r.height, r.stride);
    if (!b) {
        zeljbigFree(r.data);
        return NULL;
    }
    b->data = r.data;
    b->fromLibrary = 1;
    return (PyObject *)b;
}

static PyMethodDef moduleMethods[] = {
    {"encode", (PyCFunction)(void (*)(void))encode, METH_VARARGS | METH_KEYWORDS,
     "encode(planes, width, height, layers=0, stripe_lines=0, two_line=-1, tpbon=-1, tpdon=-1, dpon=-1, at_max=0, "
     "flags=0) -> bytes"},
    {"decode", (PyCFunction)(void (*)(void))decode, METH_VARARGS | METH_KEYWORDS,
     "decode(data, layer=-1, plane=0) -> Bits"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "_zeljbig", "The zeljbig library's calls for Python.", -1, moduleMethods, NULL, NULL, NULL,
    NULL,
};

PyMODINIT_FUNC PyInit__zeljbig(void) {
    if (PyType_Ready(&BitsType) < 0 || PyType_Ready(&ReaderType) < 0) return NULL;
    PyObject *m = PyModule_Create(&moduleDef);
    if (!m) return NULL;
    ZError = PyErr_NewExceptionWithDoc("zeljbig.Error", "A stream or an image the library refused, with the reason.",
                                       PyExc_ValueError, NULL);
    if (!ZError || PyModule_AddObjectRef(m, "Error", ZError) < 0 ||
        PyModule_AddObjectRef(m, "Bits", (PyObject *)&BitsType) < 0 ||
        PyModule_AddObjectRef(m, "Reader", (PyObject *)&ReaderType) < 0 ||
        PyModule_AddIntConstant(m, "BEST", ZELJBIG_BEST) < 0 ||
        PyModule_AddIntConstant(m, "NO_INDEX", ZELJBIG_NO_INDEX) < 0 ||
        PyModule_AddIntConstant(m, "HIGHEST_FIRST", ZELJBIG_HIGHEST_FIRST) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
