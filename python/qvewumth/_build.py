"""The build record of the function package this module opened: its version, when and where it
was built, and from which source track."""
import ctypes
import datetime

from . import _core
from ._version import __version__

_text = ctypes.c_char_p


class _Record(ctypes.Structure):
    # The package's build identification record, 208 bytes of pointers, a time and a zero tail.
    _fields_ = [("version", _text), ("track", _text), ("setting16", _text), ("utime", ctypes.c_int64),
                ("product", _text), ("module", _text), ("dvd", _text), ("build", _text), ("setting64", _text),
                ("label", _text), ("setting80", _text), ("setting88", _text), ("hotfix", _text),
                ("setting104", _text), ("description", _text), ("box", _text), ("zero", ctypes.c_uint8 * 80)]


def build_info():
    """The package's build record as a dict: version, product, module, track, built (UTC), box,
    build (the build root) and path (the file opened); python is this Python package's version."""
    path = _core.package_path()
    lib = ctypes.CDLL(path)  # the file already open: the same mapping, nothing loaded twice
    record = _Record()
    lib.qvvercn1.argtypes, lib.qvvercn1.restype = [ctypes.POINTER(_Record)], None
    lib.qvvercn1(ctypes.byref(record))

    def text(field):
        value = getattr(record, field)
        return value.decode("utf-8", "replace") if value is not None else ""

    return {"version": text("version"), "product": text("product"), "module": text("module"),
            "track": text("track"), "built": datetime.datetime.fromtimestamp(record.utime, datetime.timezone.utc),
            "box": text("box"), "build": text("build"), "path": path, "python": __version__}
