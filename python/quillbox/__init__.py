"""Quillbox for Python: records many data streams ("packages") at high rate into data
files written by background threads, and reads them back.

    import quillbox
    with quillbox.create(package_size=1 << 20) as db:
        db.new_thread("/data/run1")
        package = db.new_package()
        where = db.store(package, b"first item")
        db.save("/data/run1/run.index")
    with quillbox.open_index("/data/run1/run.index") as db, db.open(package) as stream:
        data = stream.read()

A thin layer over the C library through ctypes; the library is found through the
environment variable QUILLBOX_LIBRARY, beside this package, or on the system's search
path, at the first call that needs it.
"""

from ._native import library_path
from .database import Database, Location, PackageStream, create, open_index
from .errors import QuillboxError

__version__ = "1.0.168"

__all__ = [
    "Database",
    "Location",
    "PackageStream",
    "QuillboxError",
    "create",
    "library_path",
    "open_index",
]
