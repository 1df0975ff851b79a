"""Database, Location and PackageStream: the library's objects as Python objects.

Lifetime rules the library leaves to its caller, kept here:
- A database handle is destroyed exactly once, and never while another call on it
  runs: every call counts itself in and out, close() refuses new calls, waits for
  the running ones, closes the database's open streams and only then destroys.
- The library fills an ItemLocation from its writer threads until Synchronize or
  SynchronizePackage returns. Each Location's record is therefore held by its
  database (in `_pending`) until such a call, begun after the store, has returned,
  or until the database is closed; only then may its fields be read. Reading a field
  earlier synchronizes the item's package first.
"""

import ctypes
import io
import os
import threading
import weakref

from . import _native
from ._buffers import borrowed, writable_address
from ._native import ItemLocation, UINT32_MAX, UINT64_MAX, decode_path, encode_path, unsigned
from .errors import QuillboxError


def _closed_error():
    return ValueError("I/O operation on a closed Quillbox database")


def _file_identity(path):
    try:
        status = os.stat(path)
    except OSError:
        return None
    return (status.st_ino, status.st_mtime_ns, status.st_size)


def _describe(arguments):
    return ", ".join("%s=%r" % item for item in arguments.items())


class Location:
    """Where a stored item lies: a 20-byte ItemLocation at a fixed address.

    `package` and `size` are known for a location that came from Database.store();
    read_item() and read_item_into() use them when they are not given. While its
    database may still fill the record, reading a field synchronizes the item's
    package first (raising QuillboxError if that fails); bytes(location) gives the
    20 bytes, which Location.from_bytes() or a C program reads back.
    """

    __slots__ = ("_record", "_owner", "package", "size")

    def __init__(self, pos=UINT64_MAX, file=UINT32_MAX, offset_in_block=0, block_len=0,
                 package=None, size=None):
        self._record = ItemLocation(unsigned(pos, "pos"), unsigned(file, "file", UINT32_MAX),
                                    unsigned(offset_in_block, "offset_in_block", UINT32_MAX),
                                    unsigned(block_len, "block_len", UINT32_MAX))
        self._owner = None  # The database that may still write the record.
        self.package = package
        self.size = size

    @classmethod
    def from_bytes(cls, raw, package=None, size=None):
        """A location from the 20 bytes of an ItemLocation (as bytes(location) gives)."""
        raw = bytes(raw)
        if len(raw) != ctypes.sizeof(ItemLocation):
            raise ValueError("an ItemLocation is %d bytes, not %d"
                             % (ctypes.sizeof(ItemLocation), len(raw)))
        location = cls(package=package, size=size)
        ctypes.memmove(ctypes.addressof(location._record), raw, len(raw))
        return location

    def _settled(self):
        owner = self._owner
        if owner is not None:
            owner._settle(self)
        return self._record

    @property
    def pos(self):
        return self._settled().pos

    @property
    def file(self):
        return self._settled().file

    @property
    def offset_in_block(self):
        return self._settled().offsetInBlock

    @property
    def block_len(self):
        return self._settled().blockLen

    @property
    def placed(self):
        """True once the item lies in a data file (`file` and `pos` both set)."""
        record = self._settled()
        return record.file != UINT32_MAX and record.pos != UINT64_MAX

    def __bytes__(self):
        return ctypes.string_at(ctypes.addressof(self._settled()), ctypes.sizeof(ItemLocation))

    def __repr__(self):
        if self._owner is not None:
            return "<quillbox.Location package=%r size=%r (being written)>" % (self.package,
                                                                               self.size)
        record = self._record
        return ("<quillbox.Location package=%r size=%r pos=%d file=%d offset_in_block=%d "
                "block_len=%d>" % (self.package, self.size, record.pos, record.file,
                                   record.offsetInBlock, record.blockLen))


class PackageStream(io.RawIOBase):
    """A package read from its start (Database.open) or from an item (open_item) to
    its end. readinto() has the library copy straight into the caller's buffer.

    One cursor per stream; a lock keeps its calls apart, as the library requires.
    """

    def __init__(self, database, cursor):
        super().__init__()
        self._lock = threading.Lock()  # Guards _cursor and every call that uses it.
        self._database = database
        self._cursor = cursor  # c_void_p, or None once closed.

    def readable(self):
        return True

    def readinto(self, buffer):
        array, size = writable_address(buffer)
        if size == 0:
            self._check_open()
            return 0
        return self._recover(array, size)

    def readall(self):
        """The rest of the package, read in growing pieces straight into one buffer."""
        data = bytearray()
        piece = 1 << 16
        while True:
            start = len(data)
            data.extend(bytes(piece))
            with memoryview(data) as view:
                count = self.readinto(view[start:])
            del data[start + count:]
            if count == 0:  # Only an empty piece ends it: a short one may precede a failure.
                return bytes(data)
            piece = min(piece * 2, 1 << 24)

    def skip(self, size):
        """Passes over up to `size` bytes without copying them; returns how many."""
        return self._recover(None, unsigned(size, "size"))

    @property
    def at_end(self):
        """True when no byte is left (Quillbox_PackageEnd)."""
        with self._lock:
            cursor = self._check_open()
            database = self._database
            handle = database._enter()
            try:
                return bool(_native.library().Quillbox_PackageEnd(cursor, handle))
            finally:
                database._leave()

    def _check_open(self):
        if self._cursor is None:
            raise ValueError("I/O operation on closed file.")
        return self._cursor

    def _recover(self, destination, size):
        count = ctypes.c_uint64(0)
        with self._lock:
            cursor = self._check_open()
            database = self._database
            handle = database._enter()
            try:
                failed = _native.library().Quillbox_RecoverContinous(
                    ctypes.byref(count), size, destination, cursor, handle)
                # After a failure the cursor stands right after the bytes it delivered:
                # those are handed out, and the next call reports the failure.
                if failed and count.value == 0:
                    raise database._failure(handle, "RecoverContinous", size=size)
            finally:
                database._leave()
        return count.value

    def close(self):
        """Releases the cursor (Quillbox_Close, once)."""
        lock = getattr(self, "_lock", None)
        if lock is not None:
            with lock:
                self._release()
        super().close()

    def _release(self):
        # REQUIRES: self._lock.
        cursor = self._cursor
        if cursor is not None:
            self._cursor = None
            _native.library().Quillbox_Close(ctypes.byref(cursor))

    def __repr__(self):
        state = "closed" if self._cursor is None else "open"
        return "<quillbox.PackageStream %s>" % state


class Database:
    """An open Quillbox database: made by create() or open_index(), released by
    close() or by leaving a `with` block.

    Any number of threads may store, synchronize and read at once (the library
    releases the GIL in every call); close() waits for the calls still running.
    """

    def __init__(self, handle, read_only=False):
        self._handle = handle  # c_void_p while open; None once closed.
        self._read_only = read_only  # Opened by open_index without writable=True.
        self._state = threading.Condition()  # Guards _handle, _closing, _closer and _calls.
        self._closing = False
        self._closer = None  # The thread running close(), while _closing.
        self._calls = 0
        self._pending_lock = threading.Lock()  # Guards _pending and _storing.
        self._pending = {}  # package -> [Location]: records the writers may still fill.
        # Records whose Store is still running: held, but not yet in _pending, where a
        # synchronize begun before that Store returned would take them.
        self._storing = set()
        self._streams = weakref.WeakSet()  # Open streams, closed before the handle goes.

    # Calls into the library -------------------------------------------------

    def _enter(self):
        """Counts a call in and returns the handle; ValueError once closed."""
        with self._state:
            if self._handle is None or self._closing:
                raise _closed_error()
            self._calls += 1
            return self._handle

    def _leave(self):
        with self._state:
            self._calls -= 1
            if self._calls == 0 and self._closing:
                self._state.notify_all()

    def _failure(self, handle, function, **arguments):
        """The error for a failed call; the handle is still counted in."""
        raw = _native.library().Quillbox_GetErrorMessage(handle)
        if raw:
            message = raw.decode("utf-8", "replace")
        else:
            message = "Quillbox_%s failed" % function
            if arguments:
                message += " (%s)" % _describe(arguments)
        return QuillboxError(message, "Quillbox_" + function)

    def _refuse_if_read_only(self, function):
        """Writing calls on a recording opened for reading raise before the library
        is reached, so that reading a recording never changes it."""
        if self._read_only:
            raise QuillboxError(
                "Quillbox_%s refused: the recording is open read-only "
                "(open_index(path, writable=True) to write to it)" % function,
                "Quillbox_" + function)

    @property
    def read_only(self):
        """True for a recording opened by open_index without writable=True."""
        return self._read_only

    def _call(self, function, arguments, *values):
        """Runs Quillbox_<function>(*values, handle); raises on failure."""
        handle = self._enter()
        try:
            if getattr(_native.library(), "Quillbox_" + function)(*values, handle):
                raise self._failure(handle, function, **arguments)
        finally:
            self._leave()

    def _get(self, function, *values):
        handle = self._enter()
        try:
            return getattr(_native.library(), "Quillbox_" + function)(*values, handle)
        finally:
            self._leave()

    # Locations the library may still write --------------------------------

    def _hold(self, location):
        """Holds `location` from before its Store until that Store has returned."""
        with self._pending_lock:
            self._storing.add(location)

    def _stored(self, location):
        """Its Store has returned: a synchronize begun from now on covers the item."""
        with self._pending_lock:
            self._storing.discard(location)
            self._pending.setdefault(location.package, []).append(location)

    @staticmethod
    def _release_all(locations):
        for location in locations:
            location._owner = None

    def _settle(self, location):
        """Makes `location` readable: synchronizes its package if it is pending."""
        if location._owner is self:
            self.synchronize_package(location.package)

    def _take_pending(self, package=None):
        """Takes the pending locations of `package` (all when None); a call begun
        after this one made them final, whatever it returns, can release them."""
        with self._pending_lock:
            if package is None:
                taken, self._pending = self._pending, {}
                return [location for group in taken.values() for location in group]
            return self._pending.pop(package, [])

    def _give_back(self, locations):
        with self._pending_lock:
            for location in locations:
                self._pending.setdefault(location.package, []).append(location)

    # Lifetime ---------------------------------------------------------------

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Closes the open streams and destroys the database (Quillbox_Destroy, once),
        after the calls still running on other threads have returned. Destroy
        synchronizes unless a writer failed; data files no saved index lists are
        deleted. An exception before Destroy (a stream's close failing, a
        KeyboardInterrupt while waiting) leaves the database open and working, and
        close() again finishes the job. A close() called while another thread closes
        returns once that close has ended: when the database is destroyed, or, if
        that close failed before Destroy, once this one has closed it."""
        handle = None
        with self._state:
            if self._closer == threading.get_ident():
                return  # Called again from inside this thread's own close.
            while self._closing:
                self._state.wait()
            if self._handle is None:
                return
            self._closing = True
            self._closer = threading.get_ident()
            # From here on no stream is registered (_stream closes a late one), so
            # this list is all there is to close.
            streams = list(self._streams)
        try:
            try:
                destroy = _native.library().Quillbox_Destroy
                for stream in streams:
                    stream.close()  # Waits for a read running on it.
                with self._state:
                    while self._calls:
                        self._state.wait()
                    # Cleared before Destroy: an exception right after Destroy must
                    # not let a second close destroy the handle again.
                    handle, self._handle = self._handle, None
            except BaseException:
                # Nothing is destroyed yet: the database works on, and close() again
                # finishes the job.
                with self._state:
                    if handle is not None:
                        self._handle = handle
                raise
            try:
                destroy(handle)
            finally:
                # Destroy has joined the writers: no record changes any more.
                with self._pending_lock:
                    storing, self._storing = self._storing, set()
                self._release_all(storing)
                self._release_all(self._take_pending())
        finally:
            # On every way out, also after an exception: a close() waiting on another
            # thread must not wait for ever.
            with self._state:
                self._closing = False
                self._closer = None
                self._state.notify_all()

    def __enter__(self):
        if self.closed:
            raise _closed_error()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        # A safety net only: close() or a `with` block is the way to release.
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        if self.closed:
            return "<quillbox.Database closed>"
        return "<quillbox.Database packages=%d threads=%d>" % (self.packages, self.threads)

    # Getters ----------------------------------------------------------------

    @property
    def version(self):
        return self._get("GetVersionInfo").decode("utf-8", "replace")

    @property
    def error_message(self):
        """The failed writer's text; empty while every writer is well."""
        raw = self._get("GetErrorMessage")
        return raw.decode("utf-8", "replace") if raw else ""

    @property
    def package_size(self):
        return self._get("GetPackageSize")

    @property
    def packages(self):
        """The number of packages."""
        return self._get("GetPackageCount")

    @property
    def threads(self):
        """The number of writer threads (one data file each, at first)."""
        return self._get("GetThreadCount")

    @property
    def files(self):
        """The paths of the data files, by file index (ItemLocation.file)."""
        handle = self._enter()
        try:
            library = _native.library()
            names = []
            for index in range(library.Quillbox_GetFileCount(handle)):
                raw = library.Quillbox_GetDatabaseFileName(index, handle)
                names.append(decode_path(raw) if raw is not None else None)
            return names
        finally:
            self._leave()

    # Writing ----------------------------------------------------------------

    def new_thread(self, folder, max_file_size=None):
        """Starts a writer thread with a new data file in `folder`; returns its path.
        `max_file_size` (bytes) makes the thread continue in a new file when reached."""
        self._refuse_if_read_only("NewThread")
        limit = UINT64_MAX if max_file_size is None else unsigned(max_file_size, "max_file_size")
        path = ctypes.c_char_p()
        self._call("NewThread", {"folder": os.fspath(folder), "max_file_size": max_file_size},
                   ctypes.byref(path), encode_path(folder), limit)
        return decode_path(path.value)

    def new_package(self):
        """Adds a package; returns its number."""
        self._refuse_if_read_only("NewPackage")
        number = ctypes.c_uint64()
        self._call("NewPackage", {}, ctypes.byref(number))
        return number.value

    def store(self, package, data, location=True):
        """Appends `data` (bytes or any buffer, borrowed without a copy while the call
        runs) to `package`. Returns a Location unless `location` is false."""
        self._refuse_if_read_only("Store")
        package = unsigned(package, "package")
        handle = self._enter()
        try:
            with borrowed(data) as (pointer, size):
                if location:
                    where = Location.__new__(Location)
                    where._record = ItemLocation()  # Filled in by the library.
                    where._owner = self
                    where.package = package
                    where.size = size
                    # Held before the call: the writers may fill the record as soon
                    # as it is handed over, and an exception raised right after the
                    # call returns (a signal handler's KeyboardInterrupt) must not
                    # free it. Also after a failed store the writers may fill it: it
                    # may have been handed over before the error flag was seen. (An
                    # exception before _stored leaves it held until close.)
                    self._hold(where)
                    try:
                        failed = _native.library().Quillbox_Store(
                            package, size, pointer, ctypes.byref(where._record), handle)
                    finally:
                        self._stored(where)
                else:
                    where = None
                    failed = _native.library().Quillbox_Store(package, size, pointer, None, handle)
            if failed:
                raise self._failure(handle, "Store", package=package, size=size)
            return where
        finally:
            self._leave()

    def synchronize(self):
        """Waits until everything stored so far is written to the data files."""
        taken = self._take_pending()
        try:
            self._call("Synchronize", {})
        except BaseException:
            self._give_back(taken)
            raise
        self._release_all(taken)

    def synchronize_package(self, package):
        """Waits until everything stored in `package` so far is written."""
        package = unsigned(package, "package")
        taken = self._take_pending(package)
        try:
            self._call("SynchronizePackage", {"package": package}, package)
        except BaseException:
            self._give_back(taken)
            raise
        self._release_all(taken)

    # Saving and moving files ------------------------------------------------

    def save(self, path):
        """Writes the index file at `path` (synchronizing first). After a writer
        failure the index is still written, listing every whole block, and this
        raises all the same: check that the file exists."""
        encoded = encode_path(path)
        before = _file_identity(path)
        taken = self._take_pending()
        try:
            self._call("Save", {"path": os.fspath(path)}, encoded)
        except QuillboxError:
            # After a writer failure Save waits for the writers to end before it moves
            # a new index into place, so a new index means no record changes any more.
            after = _file_identity(path)
            if self.error_message and after is not None and after != before:
                self._release_all(taken)
            else:
                self._give_back(taken)
            raise
        except BaseException:
            self._give_back(taken)
            raise
        self._release_all(taken)

    def relocate(self, file_index, new_path, remove_old=False):
        """Copies data file `file_index` to `new_path` and reads it from there; with
        `remove_old`, rewrites the saved indexes to name it and deletes the old file."""
        self._refuse_if_read_only("RelocateFileTo")
        file_index = unsigned(file_index, "file_index")
        self._call("RelocateFileTo", {"file_index": file_index, "new_path": os.fspath(new_path),
                                      "remove_old": bool(remove_old)},
                   file_index, encode_path(new_path), 1 if remove_old else 0)

    # Reading ----------------------------------------------------------------

    def _stream(self, function, arguments, *values):
        cursor = ctypes.c_void_p()
        handle = self._enter()
        try:
            failed = getattr(_native.library(), "Quillbox_" + function)(
                ctypes.byref(cursor), *values, handle)
            if failed:
                # A cursor handed out by a failed call is released all the same.
                _native.library().Quillbox_Close(ctypes.byref(cursor))
                raise self._failure(handle, function, **arguments)
            stream = PackageStream(self, cursor)
            with self._state:
                refused = self._closing  # close() has listed the streams it closes.
                if not refused:
                    self._streams.add(stream)
            if refused:
                stream.close()
                raise _closed_error()
            return stream
        finally:
            self._leave()

    def open(self, package):
        """A binary stream over `package` from its first byte, as far as it is written
        (synchronize first to read everything stored)."""
        package = unsigned(package, "package")
        return self._stream("Open", {"package": package}, package)

    def open_item(self, location):
        """A binary stream from the item at `location` to the end of its package."""
        record = location._settled()
        return self._stream("OpenItem", {"location": location}, ctypes.byref(record))

    def read_item(self, location, size=None, *, package=None):
        """The `size` bytes of the item at `location` (its stored size by default),
        read wherever the item is, waiting for it if it is being written."""
        if size is None:
            size = location.size
            if size is None:
                raise ValueError("the item's size is unknown: pass size")
        buffer = bytearray(unsigned(size, "size"))
        self.read_item_into(location, buffer, package=package)
        return bytes(buffer)

    def read_item_into(self, location, buffer, *, package=None):
        """Fills the writable `buffer` with the first bytes of the item at `location`."""
        if package is None:
            package = location.package
            if package is None:
                raise ValueError("the item's package is unknown: pass package")
        package = unsigned(package, "package")
        array, size = writable_address(buffer)
        # RecoverRandom waits for a record still being written itself.
        self._call("RecoverRandom", {"location": location, "size": size, "package": package},
                   size, array, ctypes.byref(location._record), package)

    def replace(self, location, data):
        """Overwrites the item at `location`, which must lie in a data file, with
        `data` (at most as long as what is left of its block)."""
        self._refuse_if_read_only("Replace")
        record = location._settled()
        handle = self._enter()
        try:
            with borrowed(data) as (pointer, size):
                failed = _native.library().Quillbox_Replace(size, pointer, ctypes.byref(record),
                                                            handle)
            if failed:
                raise self._failure(handle, "Replace", location=location, size=size)
        finally:
            self._leave()


def create(folder=None, package_size=1 << 20, max_queued=64):
    """A new database. `folder` holds its package file (the system's temporary folder
    when None); `package_size` is the buffer size of each package; `max_queued` is
    how many full packages may wait for the database writer before store() waits."""
    package_size = unsigned(package_size, "package_size")
    max_queued = unsigned(max_queued, "max_queued")
    encoded = None if folder is None else encode_path(folder)
    library = _native.library()
    handle = ctypes.c_void_p()
    if library.Quillbox_Create(ctypes.byref(handle), package_size, max_queued, encoded):
        raise QuillboxError("Quillbox_Create failed (%s)" % _describe(
            {"folder": None if folder is None else os.fspath(folder),
             "package_size": package_size, "max_queued": max_queued}), "Quillbox_Create")
    return Database(handle)


def open_index(path, max_queued=64, writable=False):
    """Opens the recording saved to the index file at `path`, for reading only unless
    `writable`: store, new_thread, new_package, replace and relocate then raise, and
    nothing opened, read or closed changes any file of the recording (save still
    writes an index where it is asked to). A recording whose files the system will
    not let be written (a read-only mount) is opened read-only by the library too."""
    max_queued = unsigned(max_queued, "max_queued")
    encoded = encode_path(path)
    library = _native.library()
    handle = ctypes.c_void_p()
    if library.Quillbox_Import(ctypes.byref(handle), encoded, max_queued):
        raise QuillboxError("Quillbox_Import failed (%s)" % _describe(
            {"path": os.fspath(path), "max_queued": max_queued}), "Quillbox_Import")
    return Database(handle, read_only=not writable)
