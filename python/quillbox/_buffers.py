"""Handing Python buffers to the library without copying them.

`borrowed(data)` gives the address of any object with the buffer protocol for the
length of a `with` block; while the block runs the object's buffer stays exported,
so it can neither be resized nor freed (the library reads it with the GIL released).
Only a buffer that is not contiguous is copied first.
"""

import ctypes
import sys


class _PyBuffer(ctypes.Structure):
    # CPython's Py_buffer, stable since 3.3.
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = _release_buffer = None
if sys.implementation.name == "cpython" and hasattr(ctypes, "pythonapi"):
    try:
        _get_buffer = ctypes.pythonapi.PyObject_GetBuffer
        _get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(_PyBuffer), ctypes.c_int]
        _get_buffer.restype = ctypes.c_int
        _release_buffer = ctypes.pythonapi.PyBuffer_Release
        _release_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]
        _release_buffer.restype = None
    except AttributeError:
        _get_buffer = _release_buffer = None

_PYBUF_SIMPLE = 0  # Contiguous bytes, read-only allowed.


class borrowed:
    """Context manager: `with borrowed(data) as (pointer, size)`.

    `pointer` is something a ctypes c_void_p argument accepts (None for an empty
    buffer). Read-only buffers are borrowed as they are; the library only reads them.
    """

    __slots__ = ("_data", "_view", "_array", "_pybuffer")

    def __init__(self, data):
        self._data = data
        self._view = self._array = self._pybuffer = None

    def __enter__(self):
        data = self._data
        if isinstance(data, bytes):
            # ctypes passes a bytes object's own storage.
            return (data if data else None), len(data)
        view = memoryview(data)
        self._view = view
        size = view.nbytes
        if size == 0:
            return None, 0
        if not view.c_contiguous:
            copy = view.tobytes()
            self._array = copy
            return copy, size
        if not view.readonly:
            flat = view if view.format in ("B", "b", "c") and view.ndim == 1 else view.cast("B")
            self._array = (ctypes.c_char * size).from_buffer(flat)
            return self._array, size
        if _get_buffer is not None:
            pybuffer = _PyBuffer()
            try:
                _get_buffer(view, ctypes.byref(pybuffer), _PYBUF_SIMPLE)
            except BufferError:
                pass
            else:
                self._pybuffer = pybuffer
                return pybuffer.buf, size
        copy = view.tobytes()  # A read-only buffer on an interpreter without the C API.
        self._array = copy
        return copy, size

    def __exit__(self, *exc):
        if self._pybuffer is not None:
            _release_buffer(ctypes.byref(self._pybuffer))
            self._pybuffer = None
        self._array = None  # Drops the export held by from_buffer.
        if self._view is not None:
            try:
                self._view.release()
            except BufferError:
                pass  # Still exported by an array someone else holds; freed with it.
            self._view = None
        self._data = None
        return False


def writable_address(buffer):
    """(ctypes array over `buffer`, its size) for the library to write into.

    The array keeps the buffer exported while it lives. Raises TypeError for a
    read-only or non-contiguous buffer.
    """
    view = memoryview(buffer)
    if view.readonly:
        raise TypeError("a writable buffer is required, not read-only %s" % type(buffer).__name__)
    if not view.c_contiguous:
        raise TypeError("a contiguous buffer is required")
    size = view.nbytes
    if size == 0:
        return None, 0
    flat = view if view.format in ("B", "b", "c") and view.ndim == 1 else view.cast("B")
    return (ctypes.c_char * size).from_buffer(flat), size
