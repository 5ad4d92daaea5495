"""Many files converted at once as a Dask bag: on the processes of this
machine, or on a dask.distributed cluster.

    from zeljbig import batch
    batch.convert(glob.glob("scans/*.pbm"), "jbig/", layers=2)
    batch.convert(glob.glob("jbig/*.jbg"), "png/", to="png", scheduler="tcp://10.0.0.5:8786")

Each file is read, converted and written to a temporary name in the output
folder, renamed when complete; a file that fails is named in the summary
with its reason and the others go on.
"""
import gzip
import io
import os
import time

import numpy as np

import zeljbig

TARGETS = ("jbg", "png", "pbm")
# Dask's own schedulers; any other string is a dask.distributed address.
LOCAL_SCHEDULERS = ("processes", "threads", "sync", "synchronous", "single-threaded")


def _stem(path):
    name = os.path.basename(path)
    if name.endswith(".gz"):
        name = name[:-3]
    return os.path.splitext(name)[0]


def _pbm_rows(data):
    """A raw PBM's rows where they lie in the file (packed, 1 = black), or
    None for anything else."""
    if data[:2] != b"P4":
        return None
    fields, pos = [], 2
    while len(fields) < 2:
        while data[pos:pos + 1].isspace() or data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1 if data[pos:pos + 1] == b"#" else pos + 1
        end = pos
        while data[end:end + 1].isdigit():
            end += 1
        if end == pos:
            raise ValueError("a PBM header without its size")
        fields.append(int(data[pos:end]))
        pos = end
    width, height = fields
    rows = np.frombuffer(data, np.uint8, (width + 7) // 8 * height, pos + 1)
    return rows.reshape(height, -1), width


def _image(data, threshold):
    """An image file's pixels as encode() takes them: a raw PBM's packed rows,
    a mode "1" Pillow image as it is, otherwise grey values thresholded."""
    pbm = _pbm_rows(data)
    if pbm is not None:
        return pbm
    from PIL import Image

    image = Image.open(io.BytesIO(data))
    if image.mode == "1":
        return image, None
    return np.asarray(image.convert("L")) < threshold, None


def _output(data, to, layer):
    from PIL import Image

    with zeljbig.Reader(data) as reader:
        out = io.BytesIO()
        if reader.planes > 1:
            if to == "pbm":
                raise zeljbig.Error(f"{reader.planes} bit planes: greyscale goes to png, not pbm")
            values = reader.decode(layer)
            Image.fromarray(values.astype(np.uint8 if reader.planes <= 8 else np.uint16)).save(out, "PNG")
            return out.getvalue()
        rows = reader.decode(layer, packed=True)
        width, height = reader.size(layer)
    if to == "pbm":
        return b"P4\n%d %d\n" % (width, height) + rows.tobytes()
    Image.frombytes("1", (width, height), rows, "raw", "1;I").save(out, "PNG")
    return out.getvalue()


def convert_one(path, out_dir, to="jbg", options=None):
    """Converts one file: (path, bytes read, bytes written, None) or, when it
    fails, (path, 0, 0, reason)."""
    options = dict(options or {})
    try:
        with open(path, "rb") as f:
            data = f.read()
        if data[:2] == b"\x1f\x8b":
            data = gzip.decompress(data)
        if to == "jbg":
            threshold = options.pop("threshold", 128)
            image, width = _image(data, threshold)
            out = zeljbig.encode(image, width=width, **options)
        else:
            out = _output(data, to, options.get("layer"))
        zeljbig._write_bytes(os.path.join(out_dir, f"{_stem(path)}.{to}"), out)
        return path, len(data), len(out), None
    except Exception as e:  # every failure is reported; the other files go on
        return path, 0, 0, f"{type(e).__name__}: {e}" if not isinstance(e, zeljbig.Error) else str(e)


def _tally(results):
    done, failed, read, written = 0, [], 0, 0
    for path, n_in, n_out, reason in results:
        if reason is None:
            done += 1
            read += n_in
            written += n_out
        else:
            failed.append((path, reason))
    return done, failed, read, written


def _merge(tallies):
    done, failed, read, written = 0, [], 0, 0
    for d, f, r, w in tallies:
        done, read, written = done + d, read + r, written + w
        failed.extend(f)
    return done, failed, read, written


def convert(paths, out_dir, to="jbg", scheduler=None, partition_size=None, **options):
    """Converts every file of `paths` into `out_dir` (created if missing):
    images (PBM, PNG, BMP, ..., gzip'd too) to JBIG with to="jbg" and
    encode()'s options (plus threshold=, 128 by default, for grey pixels), or
    JBIG streams to "png" or "pbm" (layer= picks a layer).

    scheduler: None for processes on this machine, a Dask scheduler name
    ("threads", "sync"), a dask.distributed Client, or a scheduler's address.

    Returns {"done", "failed": [(path, reason)], "bytes_in", "bytes_out",
    "seconds"}.
    """
    import dask.bag

    if to not in TARGETS:
        raise ValueError(f"to must be one of {', '.join(TARGETS)}, not {to!r}")
    paths = [os.fspath(p) for p in paths]
    os.makedirs(out_dir, exist_ok=True)
    start = time.perf_counter()
    if not paths:
        return {"done": 0, "failed": [], "bytes_in": 0, "bytes_out": 0, "seconds": 0.0}
    bag = dask.bag.from_sequence(paths, partition_size=partition_size)
    summary = bag.map(convert_one, os.path.abspath(out_dir), to, options).reduction(_tally, _merge)
    client = None
    if scheduler is None:
        scheduler = "processes"
    elif isinstance(scheduler, str) and scheduler not in LOCAL_SCHEDULERS:
        from distributed import Client

        client = scheduler = Client(scheduler)
    try:
        done, failed, read, written = summary.compute(scheduler=scheduler)
    finally:
        if client is not None:
            client.close()
    return {"done": done, "failed": sorted(failed), "bytes_in": read, "bytes_out": written,
            "seconds": time.perf_counter() - start}
