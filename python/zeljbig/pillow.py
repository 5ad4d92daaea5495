"""Pillow plugin: JBIG files through Image.open and Image.save.

    import zeljbig.pillow
    from PIL import Image
    img = Image.open("page.jbg")           # mode "1" ("L" or "I;16" for bit planes)
    img.draft("1", (620, 877))             # before loading: the smallest layer at least this size
    img.save("copy.jbg", layers=3)         # encode()'s options as save() options

Pillow has no plugin entry points, so importing this module registers the
format "JBIG" (extensions .jbg, .jbig, .bie).
"""
from PIL import Image, ImageFile

import zeljbig

_SAVE_OPTIONS = ("layers", "best", "stripe_lines", "two_line", "tpbon", "tpdon", "dpon", "at_max", "index",
                 "highest_first", "gray")


def _accept(prefix):
    # A quick look at the header's first bytes (Pillow passes 16) so that
    # other formats' files go to their own plugins; the library decides in
    # _open.
    return len(prefix) >= 4 and prefix[0] <= prefix[1] and prefix[2] >= 1 and prefix[3] == 0


def _mode(planes):
    return "1" if planes == 1 else "L" if planes <= 8 else "I;16"


class JbigImageFile(ImageFile.ImageFile):
    format = "JBIG"
    format_description = "JBIG (ITU-T T.82) bi-level image"

    def _set_mode(self, mode):
        if isinstance(getattr(type(self), "mode", None), property):
            self._mode = mode  # newer Pillow
        else:
            self.mode = mode

    def _open(self):
        try:
            self._reader = zeljbig.Reader(self.fp.read())
        except zeljbig.Error as e:
            raise SyntaxError(f"not a JBIG stream: {e}") from e
        if self._reader.planes > 16:
            raise SyntaxError(f"{self._reader.planes} bit planes: Pillow holds at most 16")
        self._set_mode(_mode(self._reader.planes))
        self._layer = self._reader.layers - 1
        self._size = self._reader.size(self._layer)
        self.info["layers"] = self._reader.layers
        self.tile = []

    def draft(self, mode, size):
        """Picks the lowest layer at least `size` (the full one if none is);
        only the layers up to it are decoded."""
        if self.im is not None or size is None:
            return None
        top = self._reader.layers - 1
        self._layer = next((d for d in range(top + 1)
                            if all(a >= b for a, b in zip(self._reader.size(d), size))), top)
        self._size = self._reader.size(self._layer)
        full = self._reader.size(top)
        scale = 2 ** (top - self._layer)
        return self.mode, (0, 0, full[0] / scale, full[1] / scale)

    def load(self):
        if self.im is None:
            if self.mode == "1":
                rows = self._reader.decode(self._layer, packed=True)
                image = Image.frombytes("1", self.size, rows.tobytes(), "raw", "1;I")
            else:
                image = Image.fromarray(self._reader.decode(self._layer).astype(
                    "uint8" if self.mode == "L" else "uint16"), self.mode)
            self.im = image.im
            self._reader.close()
        return Image.Image.load(self)


def _save(im, fp, filename):
    if im.mode not in ("1", "L", "I;16"):
        raise OSError(f"cannot write mode {im.mode} as JBIG")
    options = {k: v for k, v in im.encoderinfo.items() if k in _SAVE_OPTIONS}
    try:
        fp.write(zeljbig.encode(im, **options))
    except zeljbig.Error as e:
        raise OSError(f"cannot write as JBIG: {e}") from e


Image.register_open(JbigImageFile.format, JbigImageFile, _accept)
Image.register_save(JbigImageFile.format, _save)
Image.register_extensions(JbigImageFile.format, [".jbg", ".jbig", ".bie"])
Image.register_mime(JbigImageFile.format, "image/x-jbig")
