"""kel: list, read, extract and change kel game archives, over libkel (ctypes).

    import kel
    with kel.open("game.kel", write=True) as archive:
        for entry in archive:
            print(entry.path, entry.address, entry.size)
        data = archive.read(entry)
        archive.replace(entry.path, data.upper())

Failures raise kel.Error, which carries the library's status: its code, the
system's error number, and the path and number it concerns.
"""
import ctypes
import ctypes.util
import os

__all__ = ["Archive", "Entry", "Error", "open"]

_HERE = os.path.dirname(os.path.abspath(__file__))


def _load():
    # Next to this package first (a build), then in the lib folder of the
    # prefix it is installed in (<prefix>/lib/python3.X/dist-packages/kel,
    # where the loader's cache may not know the library yet), then the
    # system's loader.
    for folder in (_HERE, os.path.join(_HERE, "..", "..", "..")):
        for name in ("libkel.so.0", "kel.dll"):
            path = os.path.join(folder, name)
            if os.path.exists(path):
                return ctypes.CDLL(path)
    for name in ("libkel.so.0", ctypes.util.find_library("kel"), "kel.dll"):
        if name:
            try:
                return ctypes.CDLL(name)
            except OSError:
                pass
    raise ImportError("libkel not found beside the kel package nor by the system's loader")


_lib = _load()
_u64 = ctypes.c_uint64
_EVENT_FN = None  # set below, once kel_event is known


class _Error(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int), ("system_error", ctypes.c_int), ("path", ctypes.c_char_p),
                ("other", ctypes.c_char_p), ("number", _u64), ("other_number", _u64),
                ("undo_failed", ctypes.c_int)]


class _Entry(ctypes.Structure):
    _fields_ = [("path", ctypes.c_void_p), ("path_length", ctypes.c_size_t), ("raw_path", ctypes.c_void_p),
                ("raw_path_length", ctypes.c_size_t), ("address", _u64), ("size", _u64), ("index", _u64)]


class _Event(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("code", ctypes.c_int), ("system_error", ctypes.c_int),
                ("path", ctypes.c_char_p), ("other", ctypes.c_char_p), ("address", _u64), ("size", _u64),
                ("old_size", _u64), ("done", _u64), ("number", _u64)]


_EVENT_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_Event))


class _ExtractOptions(ctypes.Structure):
    _fields_ = [("patterns", ctypes.POINTER(ctypes.c_char_p)), ("pattern_count", ctypes.c_size_t),
                ("threads", ctypes.c_int), ("on_event", _EVENT_FN), ("user", ctypes.c_void_p),
                ("record_folder", ctypes.c_char_p)]


class _UpdateOptions(ctypes.Structure):
    _fields_ = [("patterns", ctypes.POINTER(ctypes.c_char_p)), ("pattern_count", ctypes.c_size_t),
                ("dry_run", ctypes.c_int), ("on_event", _EVENT_FN), ("user", ctypes.c_void_p),
                ("record_folder", ctypes.c_char_p), ("full", ctypes.c_int)]


class _UpdateCounts(ctypes.Structure):
    _fields_ = [("changed", _u64), ("unchanged", _u64), ("not_found", _u64), ("skipped", _u64)]


_lib.kel_last_error.restype = ctypes.POINTER(_Error)
_lib.kel_code_text.restype = ctypes.c_char_p
_lib.kel_version.restype = ctypes.c_char_p
_lib.kel_open.argtypes = [ctypes.c_char_p, ctypes.c_uint, _EVENT_FN, ctypes.c_void_p,
                          ctypes.POINTER(ctypes.c_void_p)]
_lib.kel_close.argtypes = [ctypes.c_void_p]
_lib.kel_cancel.argtypes = [ctypes.c_void_p]
_lib.kel_rewind.argtypes = [ctypes.c_void_p]
_lib.kel_next.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Entry)]
_lib.kel_read.argtypes = [ctypes.c_void_p, _u64, _u64, ctypes.c_void_p]
_lib.kel_extract.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(_ExtractOptions)]
_lib.kel_test.argtypes = [ctypes.c_void_p, _EVENT_FN, ctypes.c_void_p, ctypes.POINTER(_u64)]
_lib.kel_replace.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, _u64, _EVENT_FN,
                             ctypes.c_void_p]
_lib.kel_update.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(_UpdateOptions),
                            ctypes.POINTER(_UpdateCounts)]
_lib.kel_compact.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(_u64)]

# The codes the package looks at (kel.h's kel_code).
OK, NOT_WHOLE, DAMAGED, END = 0, 42, 43, 44
_PROBLEM, _FILE_DONE, _NOT_FOUND = 6, 5, 8
__version__ = _lib.kel_version().decode()


class Error(Exception):
    """A failure of libkel: `code` (kel_code), `system_error`, `path`,
    `other`, `number`, and `problems`: what single files failed, as
    (code, path, other) tuples."""

    def __init__(self, code, system_error=0, path=b"", other=b"", number=0, problems=()):
        self.code, self.system_error, self.number = code, system_error, number
        self.path, self.other = os.fsdecode(path or b""), os.fsdecode(other or b"")
        self.problems = list(problems)
        text = _lib.kel_code_text(code).decode()
        super().__init__(f"{text}: {self.path}" if self.path else text)


def _check(code, problems=()):
    if code == OK:
        return
    error = _lib.kel_last_error().contents
    raise Error(error.code, error.system_error, error.path, error.other, error.number, problems)


def _lead(byte):
    return 0x81 <= byte <= 0x9F or 0xE0 <= byte <= 0xFC


def _comes_back(lead, trail):
    code = lead << 8 | trail
    return not ((0x8790 <= code <= 0x879C and code not in (0x8793, 0x8794, 0x8798, 0x8799)) or code == 0xEEF9
                or 0xF040 <= code <= 0xFC4B)


def decode_path(raw):
    """The stored bytes as `kel -l --json` shows them: Shift-JIS text, and a
    byte that does not come back from it by Python's cp932 codec as the
    surrogate that its surrogateescape reads, so that
    path.encode('cp932', 'surrogateescape') gives the bytes back."""
    out, at = [], 0
    while at < len(raw):
        lead = raw[at]
        pair = _lead(lead) and at + 1 < len(raw)
        if pair and not _comes_back(lead, raw[at + 1]):
            trail = raw[at + 1]
            out.append(chr(0xDC00 + lead) + (chr(trail) if trail < 0x80 else chr(0xDC00 + trail)))
            at += 2
            continue
        piece = raw[at:at + (2 if pair else 1)]
        try:
            if lead in (0x80, 0xA0) or lead >= 0xFD:
                raise UnicodeError
            out.append(piece.decode("cp932"))
            at += len(piece)
        except UnicodeError:
            out.append(chr(0xDC00 + lead) if lead >= 0x80 else chr(lead))
            at += 1
    return "".join(out)


class Entry:
    """One stored file: `path` (str), `raw_path` (the stored bytes), `address`, `size`."""
    __slots__ = ("path", "raw_path", "address", "size", "index")

    def __init__(self, raw_path, address, size, index):
        self.raw_path, self.address, self.size, self.index = raw_path, address, size, index
        self.path = decode_path(raw_path)

    def __repr__(self):
        return f"Entry({self.path!r}, address={self.address:#x}, size={self.size})"


def _name(text):
    return text.encode("cp932", "surrogateescape") if isinstance(text, str) else bytes(text)


def _patterns(patterns):
    if not patterns:
        return None, 0, []
    names = [_name(p) for p in ([patterns] if isinstance(patterns, (str, bytes)) else patterns)]
    return (ctypes.c_char_p * len(names))(*names), len(names), names


class Archive:
    """An open archive; use it in a `with` block, or call close()."""

    def __init__(self, path, write=False, wait=True):
        self._handle = None
        handle = ctypes.c_void_p()
        flags = (1 if write else 0) | (0 if wait else 2)
        _check(_lib.kel_open(os.fsencode(path), flags, _EVENT_FN(), None, ctypes.byref(handle)))
        self._handle = handle
        self.path = path

    def close(self):
        if self._handle:
            _lib.kel_close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def __iter__(self):
        _check(_lib.kel_rewind(self._handle))
        entry = _Entry()
        while True:
            code = _lib.kel_next(self._handle, ctypes.byref(entry))
            if code == END:
                return
            _check(code)
            yield Entry(ctypes.string_at(entry.raw_path, entry.raw_path_length), entry.address, entry.size,
                        entry.index)

    def read(self, entry, size=None):
        """The bytes of a stored file (an Entry), or of `size` bytes at an address."""
        address, size = (entry.address, entry.size) if isinstance(entry, Entry) else (entry, size)
        buffer = ctypes.create_string_buffer(max(size, 1))
        _check(_lib.kel_read(self._handle, address, size, buffer))
        return buffer.raw[:size]

    def _failures(self):
        problems = []

        def note(_user, event):
            e = event.contents
            if e.kind in (_FILE_DONE, _PROBLEM, _NOT_FOUND) and e.code != OK:
                problems.append((e.code, os.fsdecode(e.path or b""), os.fsdecode(e.other or b"")))
            return 0
        return problems, _EVENT_FN(note)

    def extract(self, dest, patterns=None, threads=0, record_folder=None):
        """Every stored file (or those the patterns choose) below `dest`;
        with `record_folder`, what was written is recorded there."""
        array, count, _keep = _patterns(patterns)
        problems, callback = self._failures()
        options = _ExtractOptions(array, count, threads, callback, None,
                                  os.fsencode(record_folder) if record_folder else None)
        _check(_lib.kel_extract(self._handle, os.fsencode(dest), ctypes.byref(options)), problems)

    def replace(self, name, data):
        """Replaces the stored file whose path ends in `name` by `data` (bytes)."""
        data = bytes(data)
        _check(_lib.kel_replace(self._handle, _name(name), data, len(data), _EVENT_FN(), None))

    def update(self, folder, dry_run=False, patterns=None, record_folder=None, full=False):
        """Puts back the changed files of an extracted folder; the counts
        (changed, unchanged, not_found, skipped) as a dict. With
        `record_folder`, files its record proves unchanged are not read
        (unless `full`)."""
        array, count, _keep = _patterns(patterns)
        problems, callback = self._failures()
        options = _UpdateOptions(array, count, 1 if dry_run else 0, callback, None,
                                 os.fsencode(record_folder) if record_folder else None, 1 if full else 0)
        counts = _UpdateCounts()
        _check(_lib.kel_update(self._handle, os.fsencode(folder), ctypes.byref(options), ctypes.byref(counts)),
               problems)
        return {name: getattr(counts, name) for name, _ in _UpdateCounts._fields_}

    def compact(self, new_path=None):
        """A compact copy, to `new_path` or in the archive's place (which
        closes this handle); its length."""
        length = _u64()
        code = _lib.kel_compact(self._handle, os.fsencode(new_path) if new_path else None, ctypes.byref(length))
        if new_path is None:
            self.close()
        _check(code)
        return length.value

    def test(self):
        """The problems found (code, path, other), and the unclaimed bytes."""
        problems, callback = self._failures()
        unclaimed = _u64()
        code = _lib.kel_test(self._handle, callback, None, ctypes.byref(unclaimed))
        if code != DAMAGED:
            _check(code)
        return problems, unclaimed.value


def open(path, write=False, wait=True):  # noqa: A001 (the package's own open)
    """Opens the archive at `path`: to read, or with `write` to change it."""
    return Archive(path, write, wait)
