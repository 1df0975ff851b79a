"""Loading the Quillbox library and declaring its C functions for ctypes.

The library is looked for once per process, at first use: the path in the
environment variable QUILLBOX_LIBRARY, else a copy beside this package, else the
system's search path. Every function gets its exact argument and result types, so
that ctypes never guesses a width (a guessed `int` would cut a 64-bit package
number or handle).
"""

import ctypes
import ctypes.util
import os
import sys
import threading

from .errors import QuillboxError

UINT32_MAX = 0xFFFFFFFF
UINT64_MAX = 0xFFFFFFFFFFFFFFFF

if sys.platform == "win32":
    _FILE_NAMES = ("quillbox.dll",)
    _Loader = ctypes.WinDLL  # The exports are __stdcall on Windows.
elif sys.platform == "darwin":
    _FILE_NAMES = ("libquillbox.dylib",)
    _Loader = ctypes.CDLL
else:
    _FILE_NAMES = ("libquillbox.so",)
    _Loader = ctypes.CDLL


class ItemLocation(ctypes.Structure):
    """The library's packed 20-byte record of where a stored item lies."""

    # Packed as MSVC packs, on every platform: from Python 3.14 on, _pack_ without
    # this layout warns outside Windows.
    _layout_ = "ms"
    _pack_ = 1
    _fields_ = [
        ("pos", ctypes.c_uint64),
        ("file", ctypes.c_uint32),
        ("offsetInBlock", ctypes.c_uint32),
        ("blockLen", ctypes.c_uint32),
    ]


if ctypes.sizeof(ItemLocation) != 20:
    raise ImportError("ItemLocation must be a packed 20-byte record")

_u8 = ctypes.c_uint8
_u32 = ctypes.c_uint32
_u64 = ctypes.c_uint64
_handle = ctypes.c_void_p  # Quillbox* and ItemCursor*: opaque.
_text = ctypes.c_char_p
_location = ctypes.POINTER(ItemLocation)

# name: (result type, argument types), in the order of lib/quillbox.h.
_PROTOTYPES = {
    "Quillbox_Create": (_u8, [ctypes.POINTER(_handle), _u64, _u64, _text]),
    "Quillbox_Import": (_u8, [ctypes.POINTER(_handle), _text, _u64]),
    "Quillbox_Destroy": (None, [_handle]),
    "Quillbox_GetVersionInfo": (_text, [_handle]),
    "Quillbox_GetErrorMessage": (_text, [_handle]),
    "Quillbox_GetPackageSize": (_u64, [_handle]),
    "Quillbox_GetPackageCount": (_u64, [_handle]),
    "Quillbox_GetThreadCount": (_u32, [_handle]),
    "Quillbox_GetFileCount": (_u64, [_handle]),
    "Quillbox_GetDatabaseFileName": (_text, [_u64, _handle]),
    "Quillbox_NewThread": (_u8, [ctypes.POINTER(_text), _text, _u64, _handle]),
    "Quillbox_NewPackage": (_u8, [ctypes.POINTER(_u64), _handle]),
    "Quillbox_Store": (_u8, [_u64, _u64, ctypes.c_void_p, _location, _handle]),
    "Quillbox_Synchronize": (_u8, [_handle]),
    "Quillbox_SynchronizePackage": (_u8, [_u64, _handle]),
    "Quillbox_Save": (_u8, [_text, _handle]),
    "Quillbox_RelocateFileTo": (_u8, [_u64, _text, _u32, _handle]),
    "Quillbox_Open": (_u8, [ctypes.POINTER(_handle), _u64, _handle]),
    "Quillbox_OpenItem": (_u8, [ctypes.POINTER(_handle), _location, _handle]),
    "Quillbox_Close": (_u8, [ctypes.POINTER(_handle)]),
    "Quillbox_PackageEnd": (_u8, [_handle, _handle]),
    "Quillbox_RecoverContinous": (_u8, [ctypes.POINTER(_u64), _u64, ctypes.c_void_p, _handle,
                                        _handle]),
    "Quillbox_RecoverRandom": (_u8, [_u64, ctypes.c_void_p, _location, _u64, _handle]),
    "Quillbox_RecoverRandomContinous": (_u8, [_u64, ctypes.c_void_p, _location, _handle]),
    "Quillbox_Replace": (_u8, [_u64, ctypes.c_void_p, _location, _handle]),
}

_lock = threading.Lock()  # Guards _library and _library_path.
_library = None
_library_path = None


def _candidates():
    """Yields (what to load, whether it was named explicitly) in search order."""
    named = os.environ.get("QUILLBOX_LIBRARY")
    if named:
        yield named, True
        return
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _FILE_NAMES:
        beside = os.path.join(here, name)
        if os.path.exists(beside):
            yield beside, False
    found = ctypes.util.find_library("quillbox")
    if found:
        yield found, False


def _load():
    tried = []
    for candidate, named in _candidates():
        try:
            library = _Loader(candidate)
        except OSError as error:
            tried.append("%s (%s)" % (candidate, error))
            if named:
                break  # An explicit choice is not silently replaced by another copy.
            continue
        for name, (result, arguments) in _PROTOTYPES.items():
            try:
                function = getattr(library, name)
            except AttributeError:
                raise QuillboxError("%s does not export %s" % (candidate, name)) from None
            function.restype = result
            function.argtypes = arguments
        return library, candidate
    detail = "; tried " + "; ".join(tried) if tried else "; none was found"
    raise QuillboxError(
        "Unable to load the Quillbox library%s. Set QUILLBOX_LIBRARY to the path of %s, "
        "place it beside the quillbox package, or install it on the system's library path."
        % (detail, _FILE_NAMES[0]))


def library():
    """The loaded library (ctypes), loading it at the first call."""
    global _library, _library_path
    if _library is None:
        with _lock:
            if _library is None:
                _library, _library_path = _load()
    return _library


def library_path():
    """What the library was loaded from: a path, or the name the system resolved."""
    library()
    return _library_path


def encode_path(path):
    """A path or folder as the zero-terminated UTF-8 bytes the library takes."""
    path = os.fspath(path)
    if isinstance(path, str):
        # On POSIX the file system's own bytes (UTF-8 in any sane locale). A name
        # that is not valid UTF-8 is passed as it is, and the library refuses it
        # ("bad conversion"): the call fails. Windows converts UTF-8 to wide names.
        path = path.encode("utf-8") if sys.platform == "win32" else os.fsencode(path)
    if b"\0" in path:
        raise ValueError("embedded null character in path")
    return path


def decode_path(raw):
    return raw.decode("utf-8", "replace") if sys.platform == "win32" else os.fsdecode(raw)


def unsigned(value, name, limit=UINT64_MAX):
    """`value` as an int in [0, limit]; ctypes itself would wrap a negative number."""
    try:
        value = value.__index__()
    except AttributeError:
        raise TypeError("%s must be an integer, not %s" % (name, type(value).__name__)) from None
    if not 0 <= value <= limit:
        raise ValueError("%s out of range: %d" % (name, value))
    return value
