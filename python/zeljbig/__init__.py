"""JBIG (ITU-T T.82) bi-level images for Python: numpy arrays in, JBIG out.

    import zeljbig
    data = zeljbig.encode(page, layers=2)   # page: (height, width) array, nonzero = black
    page = zeljbig.decode(data)             # (height, width) bool array, True = black
    zeljbig.info(data)                      # what `zeljbig info --json` prints

Everything about JBIG comes from the zeljbig library; the calls release the
GIL while they code, so threads decode and encode in parallel. A stream or an
image the library refuses raises zeljbig.Error with the reason.
"""
import os
import secrets

import numpy as np

from . import _zeljbig
from ._zeljbig import Error

__all__ = ["Error", "Reader", "encode", "decode", "info", "read", "write"]
__version__ = "2.0.0"

_UNKNOWN_HEIGHT = 0xFFFFFFFF
_ORDER = (("HITOLO", 0x08), ("SEQ", 0x04), ("ILEAVE", 0x02), ("SMID", 0x01))
_OPTIONS = (("LRLTWO", 0x40), ("VLENGTH", 0x20), ("TPDON", 0x10), ("TPBON", 0x08), ("DPON", 0x04),
            ("DPPRIV", 0x02), ("DPLAST", 0x01))


def _tristate(value):
    return -1 if value is None else int(bool(value))


def _packed_rows(bits, width, height):
    """Rows of packed bits as they lie when they can be taken so; a copy only
    to clear set bits after the last pixel."""
    row_bytes = (width + 7) // 8
    if isinstance(bits, np.ndarray) and bits.ndim == 2:
        rows = bits
    else:
        flat = np.frombuffer(memoryview(bits).cast("B"), dtype=np.uint8)
        if height is None:
            height = flat.size // row_bytes if row_bytes else 0
        rows = flat[: row_bytes * height].reshape(height, row_bytes)
    if rows.dtype != np.uint8:
        raise TypeError(f"packed bits must be uint8, not {rows.dtype}")
    height = rows.shape[0] if height is None else height
    tail = (0xFF << (8 - width % 8)) & 0xFF if width % 8 else 0xFF
    if tail != 0xFF and rows.shape[1] >= row_bytes and (rows[:height, row_bytes - 1] & ~np.uint8(tail)).any():
        rows = rows[:height, :row_bytes].copy()
        rows[:, -1] &= tail
    return rows, height


def _pillow_planes(image):
    if image.mode == "1":
        return [image.tobytes("raw", "1;I")], None
    if image.mode in ("L", "I;16"):
        return None, np.asarray(image)
    raise TypeError(f"a Pillow image of mode {image.mode!r} has no JBIG form: convert it to '1' (or 'L', 'I;16')")


def _grey_planes(values, planes, gray):
    """Bit planes of greyscale values, the most significant first, Gray coded
    unless told otherwise."""
    values = np.asarray(values)
    if values.ndim != 2 or values.dtype.kind not in "ui":
        raise TypeError("greyscale values must be a 2-D array of integers")
    if not 1 <= planes <= 32:
        raise ValueError("planes must be 1 to 32 for greyscale arrays")
    if values.size and (values.min() < 0 or int(values.max()) >> planes):
        raise ValueError(f"values must lie in 0 .. {2 ** planes - 1} for {planes} planes")
    v = values.astype(np.uint32)
    if gray:
        v ^= v >> 1
    return [np.packbits((v >> (planes - 1 - p)) & 1, axis=1).astype(np.uint8, copy=False) for p in range(planes)]


def encode(array, layers=0, best=False, *, width=None, height=None, stripe_lines=0, two_line=None, tpbon=None,
           tpdon=None, dpon=None, at_max=0, index=True, highest_first=False, planes=None, gray=True):
    """A JBIG stream of an image, as bytes.

    `array` is a 2-D array of shape (height, width) whose nonzero values are
    black; a Pillow image of mode "1"; or, with `width=`, rows of packed bits
    (numpy.packbits layout: leftmost pixel in the top bit, 1 = black), as a
    (height, row bytes) uint8 array or a bytes-like object, taken without a
    copy. With `planes=N` the array holds greyscale values of N bits, coded
    as N bit planes (Gray coded unless gray=False).

    layers: differential layers D (0 to 31); best: the smallest stream the
    library can make; stripe_lines: lines per stripe in the lowest layer (0:
    one stripe); two_line, tpbon, tpdon, dpon: None for the library's choice;
    at_max: how far the AT pixel may move; index: a stripe index at the end;
    highest_first: the full resolution first in the stream.
    """
    if type(array).__module__.startswith("PIL.") and hasattr(array, "tobytes"):
        packed, grey = _pillow_planes(array)
        width, height = array.size
        if grey is not None:
            array, planes = grey, planes or (8 if grey.dtype.itemsize == 1 else 16)
        else:
            array = packed[0]
    if width is not None and planes is None:
        rows, height = _packed_rows(array, int(width), height)
        plane_rows = [rows]
    else:
        values = np.asarray(array)
        if values.ndim != 2:
            raise ValueError(f"an image is a 2-D array (height, width), not of shape {values.shape}")
        height, width = values.shape
        if planes is None:
            if values.dtype.kind not in "bui":
                values = values != 0
            plane_rows = [np.packbits(values, axis=1)]
        else:
            plane_rows = _grey_planes(values, int(planes), gray)
    flags = (_zeljbig.BEST if best else 0) | (0 if index else _zeljbig.NO_INDEX) | (
        _zeljbig.HIGHEST_FIRST if highest_first else 0)
    return _zeljbig.encode(plane_rows, int(width), int(height), layers=layers, stripe_lines=stripe_lines,
                           two_line=_tristate(two_line), tpbon=_tristate(tpbon), tpdon=_tristate(tpdon),
                           dpon=_tristate(dpon), at_max=at_max, flags=flags)


def _rows(bits):
    # The decoder's rows may be longer than their pixels: a view of the bytes
    # that hold pixels.
    return np.asarray(bits)[:, : (bits.width + 7) // 8]


def _unpack(bits):
    return np.unpackbits(_rows(bits), axis=1, count=bits.width).view(np.bool_)


def _bytes(data):
    if isinstance(data, (str, os.PathLike)):
        raise TypeError("decode and info take the stream's bytes; read(path) reads a file")
    return data if isinstance(data, bytes) else bytes(data)


class Reader:
    """A JBIG stream opened once: its description at hand, its layers decoded
    on request (a higher layer of the same plane goes on from a lower one).

        with zeljbig.Reader(data) as r:
            preview = r.decode(0)
            page = r.decode()
    """

    def __init__(self, source):
        self._r = _zeljbig.Reader(source if isinstance(source, (str, os.PathLike)) else _bytes(source))
        self._info = self._r.info()

    @property
    def planes(self):
        return self._info["P"]

    @property
    def layers(self):
        """How many resolutions the stream holds: D + 1."""
        return self._info["D"] + 1

    def size(self, layer=None):
        """(width, height) of a layer (None: the full resolution)."""
        w, h, _ = self._info["layers"][-1 if layer is None else layer]
        return w, h

    def info(self):
        return _describe(self._info)

    def decode(self, layer=None, *, packed=False, gray=True):
        return _decode(self._r, layer, packed, gray, last=False)

    def close(self):
        self._r.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _decode(reader, layer, packed, gray, last):
    layer = -1 if layer is None else int(layer)
    planes = reader.info()["P"]
    if planes == 1:
        bits = reader.decode(layer, 0, last)
        return _rows(bits) if packed else _unpack(bits)
    if packed:
        return [_rows(reader.decode(layer, p, last and p == planes - 1)) for p in range(planes)]
    if planes > 32:
        raise Error(f"{planes} bit planes: at most 32 make one greyscale value")
    dtype = np.uint8 if planes <= 8 else np.uint16 if planes <= 16 else np.uint32
    value = None
    for p in range(planes):
        bit = _unpack(reader.decode(layer, p, last and p == planes - 1)).astype(dtype)
        value = bit if value is None else (value << 1) | bit
    if gray:
        shift = 1
        while shift < planes:
            value ^= value >> shift
            shift *= 2
    return value


def decode(data, layer=None, *, packed=False, gray=True):
    """The image of a JBIG stream as a (height, width) bool array, True = black.

    layer: 0 is the lowest resolution, None the full one. packed: the rows as
    packed bits instead, a (height, (width + 7) // 8) uint8 array straight from
    the decoder (numpy.unpackbits undoes the packing). A stream of several bit
    planes gives their greyscale values (uint8, uint16 or uint32), read as Gray
    code unless gray=False; packed, a list of the planes' rows.
    """
    return _decode(_zeljbig.Reader(_bytes(data)), layer, packed, gray, last=True)


def _ratio(raw, coded):
    return round(raw / coded, 2) if coded else None


def _describe(i):
    """The library's description in the shape of `zeljbig info --json`."""
    order, options = i["order"], i["options"]
    header = {k: i[k] for k in ("DL", "D", "P", "XD", "YD", "L0", "MX", "MY", "order", "options")}
    header.update({name: int(bool(order & bit)) for name, bit in _ORDER})
    header.update({name: int(bool(options & bit)) for name, bit in _OPTIONS})
    # T.85: one layer, one plane, no vertical AT moves, stripes in plain
    # order, no differential-layer prediction and no private table.
    fax = (i["D"] == 0 and i["P"] == 1 and i["MY"] == 0 and i["MX"] <= 127 and order & 0x0F == 0
           and options & 0x17 == 0)
    return {
        "file_bytes": i["dataBytes"],
        "header": header,
        "stripes_per_layer": i["stripes"],
        "index": "found" if i["indexFound"] else "rebuilt",
        "index_bytes": i["indexBytes"],
        "complete_layers": i["completeLayers"],
        "stripe_order": i["stripeOrder"],
        "bies": [{"DL": dl, "D": d, "offset": at} for dl, d, at in i["bieList"]],
        "markers": {"ATMOVE": i["atmoves"], "AT_columns": list(i["atColumns"]), "SDRST": i["sdrst"],
                    "NEWLEN_height": i["newlenHeight"] or None, "COMMENT": i["comments"],
                    "comment_bytes": i["commentBytes"], "ABORT": bool(i["aborted"]),
                    "private_DP_table": bool(options & 0x02)},
        "profile": {"unknown_height": i["announcedYD"] == _UNKNOWN_HEIGHT, "T85": fax},
        "cut": i["problem"] or None,
        "layers": [{"layer": d, "width": w, "height": h, "stripes": i["stripes"], "bytes": b,
                    "ratio": _ratio((w + 7) // 8 * h * i["P"], b)} for d, (w, h, b) in enumerate(i["layers"])],
        "ratio": _ratio((i["XD"] + 7) // 8 * i["YD"] * i["P"], i["dataBytes"]),
    }


def info(data):
    """What `zeljbig info --json` says of a stream (bytes) or a file (path)."""
    if isinstance(data, (str, os.PathLike)):
        described = {"file": os.fspath(data)}
        described.update(_describe(_zeljbig.Reader(data).info()))
        return described
    return _describe(_zeljbig.Reader(_bytes(data)).info())


def read(path, layer=None, **options):
    """decode() of a file's contents."""
    with open(path, "rb") as f:
        return decode(f.read(), layer, **options)


def _write_bytes(path, data):
    """Writes to a temporary name beside `path`, renamed over it when complete."""
    path = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def write(path, array, **options):
    """encode() into a file, which appears only when complete."""
    _write_bytes(path, encode(array, **options))
