"""Tests of the Python binding against the real library (QUILLBOX_LIBRARY names it).

Items are made by ItemSize/ItemByte-style generators, so every check compares
against bytes computed independently of the library; byte positions that locations
report are checked against the data files on disk, and the interop test runs a C
program (interop.c) that records for Python and reads what Python recorded.
"""

import array
import ctypes
import gc
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import textwrap
import threading
import weakref
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPO_DIR = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

import quillbox  # noqa: E402
from quillbox import _buffers, _native  # noqa: E402


def item(package, k, size):
    """The bytes of item k of `package`: distinct per package and per item."""
    return bytes((package * 131 + k * 17 + i * 7 + (i >> 8)) & 0xFF for i in range(size))


# Sizes around the package buffer (4096 in the tests below): empty, tiny, exactly a
# buffer, one past it, several buffers.
SIZES = [0, 1, 7, 100, 4095, 4096, 4097, 10000, 3, 0, 2500]


def record(db, folder, packages=3, sizes=SIZES):
    """Stores items interleaved over `packages`; returns ({package: [(bytes, Location)]})."""
    db.new_thread(folder)
    numbers = [db.new_package() for _ in range(packages)]
    stored = {p: [] for p in numbers}
    for k, size in enumerate(sizes):
        for p in numbers:
            data = item(p, k, size)
            stored[p].append((data, db.store(p, data)))
    return stored


def package_bytes(stored, package):
    return b"".join(data for data, _ in stored[package])


def read_all(stream):
    return stream.read()


def read_into_bytearray(stream):
    out = bytearray()
    chunk = bytearray(1000)
    while True:
        count = stream.readinto(chunk)
        if not count:
            return bytes(out)
        out += chunk[:count]


def read_buffered(stream):
    reader = io.BufferedReader(stream, buffer_size=700)
    parts = []
    while True:
        part = reader.read(333)  # Odd sizes, so reads straddle the reader's buffer.
        if not part:
            reader.detach()  # The stream stays open for the caller.
            return b"".join(parts)
        parts.append(part)


def read_copyfileobj(stream):
    sink = io.BytesIO()
    shutil.copyfileobj(stream, sink, 517)
    return sink.getvalue()


@pytest.fixture
def db(tmp_path):
    with quillbox.create(tmp_path, package_size=4096, max_queued=4) as database:
        yield database


@pytest.mark.parametrize("reader", [read_all, read_into_bytearray, read_buffered,
                                    read_copyfileobj])
def test_packages_read_back_through_streams(db, tmp_path, reader):
    stored = record(db, tmp_path)
    db.synchronize()
    assert db.packages == 3
    for package in stored:
        with db.open(package) as stream:
            assert stream.readable() and not stream.seekable()
            assert reader(stream) == package_bytes(stored, package)
            assert stream.at_end
            assert stream.read(10) == b""


def test_store_takes_every_kind_of_buffer(db, tmp_path):
    db.new_thread(tmp_path)
    package = db.new_package()
    base = item(package, 1, 3000)
    halves = array.array("H", range(500))
    grid = memoryview(bytearray(base[:600])).cast("B", (20, 30))
    inputs = [
        base,                               # bytes
        bytearray(base[:1000]),             # writable
        memoryview(base)[17:2017],          # read-only slice, borrowed through the C API
        memoryview(bytearray(base)).toreadonly()[5:50],
        halves,                             # items of two bytes
        grid,                               # two dimensions
        memoryview(base)[::3],              # not contiguous: copied
        b"",
        bytearray(),
    ]
    locations = [db.store(package, data) for data in inputs]
    expected = [memoryview(data).tobytes() for data in inputs]
    assert [location.size for location in locations] == [len(data) for data in expected]
    db.synchronize()
    with db.open(package) as stream:
        assert stream.read() == b"".join(expected)
    for location, data in zip(locations, expected):
        assert db.read_item(location) == data


def test_borrowed_buffers_are_not_copied():
    target = bytearray(b"x" * 64)
    address = ctypes.addressof((ctypes.c_char * 64).from_buffer(target))
    read_only = memoryview(target).toreadonly()[8:]
    for view, offset in [(target, 0), (read_only, 8)]:
        with _buffers.borrowed(view) as (pointer, size):
            got = pointer if isinstance(pointer, int) else ctypes.addressof(pointer)
            assert (got, size) == (address + offset, 64 - offset)
    read_only.release()
    with _buffers.borrowed(memoryview(target)[::2]) as (pointer, size):
        assert isinstance(pointer, bytes) and size == 32  # The one copy.
    target.extend(b"y")  # Every export was released: the buffer may grow again.


def test_locations_name_the_bytes_in_the_data_files(db, tmp_path):
    stored = record(db, tmp_path)
    db.synchronize()
    files = db.files
    for package, items in stored.items():
        for k, (data, location) in enumerate(items):
            assert db.read_item(location) == data
            if k == 0:
                # An empty item stored before any block stays with the package's buffer.
                assert data == b"" and not location.placed and location.file == 0xFFFFFFFF
                continue
            assert location.placed
            assert location.package == package and location.size == len(data)
            assert location.offset_in_block + len(data) <= location.block_len
            with open(files[location.file], "rb") as f:
                f.seek(location.pos)
                assert f.read(len(data)) == data
                # The block's whole payload lies in the file.
                f.seek(location.pos - location.offset_in_block + location.block_len)
                assert f.tell() <= os.path.getsize(files[location.file])
            copy = quillbox.Location.from_bytes(bytes(location))
            assert (copy.pos, copy.file, copy.offset_in_block, copy.block_len) == (
                location.pos, location.file, location.offset_in_block, location.block_len)


def test_items_read_while_the_writers_may_still_place_them(db, tmp_path):
    # read_item waits for an item that is being written; reading a field of a location
    # still being filled synchronizes its package first.
    stored = record(db, tmp_path, packages=2, sizes=SIZES * 3)
    for package, items in stored.items():
        for data, location in items:
            assert db.read_item(location) == data
    data, location = stored[1][-1]
    assert repr(location).endswith("(being written)>")
    assert location.placed  # Synchronized here.
    assert "pos=" in repr(location)
    # Package 0's locations are still held: its package was not synchronized yet.
    assert stored[0][-1][1]._owner is db
    db.synchronize()
    assert all(location._owner is None for items in stored.values() for _, location in items)


def test_location_records_live_until_their_package_is_synchronized(db, tmp_path):
    # The writers fill a record after store() returns: the database holds it until a
    # synchronize that began after the store has returned, also when the caller drops
    # the Location at once, and lets it go then.
    db.new_thread(tmp_path)
    first, second = db.new_package(), db.new_package()
    records = {}
    for package in (first, second):
        for k in range(50):
            location = db.store(package, item(package, k, 900))
            records.setdefault(package, []).append(weakref.ref(location._record))
        del location
    gc.collect()
    assert all(record() is not None for refs in records.values() for record in refs)
    db.synchronize_package(first)
    gc.collect()
    assert all(record() is None for record in records[first])
    assert all(record() is not None for record in records[second])
    db.synchronize()
    gc.collect()
    assert all(record() is None for record in records[second])
    with db.open(second) as stream:
        assert stream.read() == b"".join(item(second, k, 900) for k in range(50))


def _held(db, package, record):
    with db._pending_lock:
        return any(location._record is record for location in db._pending.get(package, []))


def _storing(db, record):
    with db._pending_lock:
        return any(location._record is record for location in db._storing)


def test_a_location_record_is_held_before_the_library_gets_it(tmp_path, monkeypatch, counted):
    # The writers may fill a record as soon as Quillbox_Store hands it over; an
    # exception raised right after the call returns (a KeyboardInterrupt from a signal
    # handler) must not let the record be freed while they still write into it. While
    # the Store runs, a synchronize that begins then (and may not cover the item) must
    # not take the record either.
    library = _native.library()
    real_store = library.Quillbox_Store
    seen = []
    interrupt = []

    def store(package, size, pointer, where, handle):
        record = where._obj  # The ItemLocation behind byref().
        taken = db._take_pending()  # What a synchronize beginning now would release.
        db._give_back(taken)
        untaken = all(location._record is not record for location in taken)
        seen.append((record, _storing(db, record) and untaken))
        failed = real_store(package, size, pointer, where, handle)
        if interrupt:
            raise KeyboardInterrupt  # Arrives after the library took the record.
        return failed

    monkeypatch.setattr(library, "Quillbox_Store", store)
    db = quillbox.create(tmp_path, package_size=4096, max_queued=1)
    db.new_thread(tmp_path)
    package = db.new_package()
    stored = [item(package, k, 3000) for k in range(20)]
    for data in stored:
        db.store(package, data)
    with pytest.raises(quillbox.QuillboxError):
        db.store(99, b"x")  # A failed store hands its record over too.
    assert len(seen) == 21 and all(held for _, held in seen)

    interrupt.append(True)
    data = item(package, 99, 5000)
    with pytest.raises(KeyboardInterrupt):
        db.store(package, data)
    record = seen[-1][0]
    assert _held(db, package, record)
    lost = next(where for where in db._pending[package] if where._record is record)
    assert lost._owner is db and lost.size == len(data)
    del interrupt[:]
    monkeypatch.setattr(library, "Quillbox_Store", real_store)
    db.synchronize()
    assert db._pending == {} and lost._owner is None and lost.placed
    assert db.read_item(lost) == data
    with db.open(package) as stream:
        assert stream.read() == b"".join(stored) + data
    db.close()
    assert len(counted["Destroy"]) == 1 and db.closed


def test_threads_store_and_read_at_once(db, tmp_path):
    db.new_thread(tmp_path)
    db.new_thread(tmp_path)
    packages = [db.new_package() for _ in range(4)]
    results = {}
    errors = []

    def work(package):
        try:
            mine = []
            for k in range(150):
                data = item(package, k, (k * 53) % 1500)
                location = db.store(package, data)
                if k % 10 == 0:
                    assert db.read_item(location) == data
                mine.append((data, location))
            results[package] = mine
        except Exception as error:  # Reported by the main thread.
            errors.append(error)

    workers = [threading.Thread(target=work, args=(p,), daemon=True) for p in packages]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=60)
    assert not any(worker.is_alive() for worker in workers)
    assert errors == []
    db.synchronize()
    for package in packages:
        with db.open(package) as stream:
            assert stream.read() == package_bytes(results, package)
        for data, location in results[package][::7]:
            assert db.read_item(location) == data


def test_struct_records_through_a_buffered_reader(db, tmp_path):
    db.new_thread(tmp_path)
    package = db.new_package()
    layout = struct.Struct("<IdQ")
    records = [layout.pack(n, n / 4, n * n) for n in range(5000)]  # 100 KB
    for data in records:
        db.store(package, data, location=False)
    db.synchronize()
    with io.BufferedReader(db.open(package)) as reader:
        for n in range(5000):
            assert layout.unpack(reader.read(layout.size)) == (n, n / 4, n * n)
        assert reader.read() == b""
    with db.open(package) as stream:
        assert stream.read() == b"".join(records)  # readall's growing pieces.


def test_open_item_and_skip(db, tmp_path):
    stored = record(db, tmp_path)
    db.synchronize()
    items = stored[2]
    k = 6  # Starts inside the package's chain, past an item longer than a buffer.
    with db.open_item(items[k][1]) as stream:
        assert stream.read() == b"".join(data for data, _ in items[k:])
    with db.open(2) as stream:
        whole = package_bytes(stored, 2)
        assert stream.skip(5000) == 5000
        assert stream.read(100) == whole[5000:5100]
        assert stream.skip(10 ** 9) == len(whole) - 5100
        assert stream.at_end and stream.read() == b""


def test_save_close_open_index_and_read_back(tmp_path):
    index = tmp_path / "run.index"
    with quillbox.create(tmp_path, package_size=4096) as db:
        stored = record(db, tmp_path)
        db.save(index)
        files = db.files
        version = db.version
    assert all(location._owner is None for items in stored.values() for _, location in items)
    with quillbox.open_index(index) as db:
        assert db.packages == 3 and db.files[1:] == files[1:] and db.version == version
        assert db.package_size == 4096
        for package, items in stored.items():
            with db.open(package) as stream:
                assert stream.read() == package_bytes(stored, package)
            for data, location in items:
                # Locations from the first database, and copies made from their bytes.
                assert db.read_item(location) == data
                copy = quillbox.Location.from_bytes(bytes(location), package, len(data))
                assert db.read_item(copy) == data
                out = bytearray(len(data))
                db.read_item_into(copy, out)
                assert out == data


def _file_states(folder):
    """Every file below `folder`: its bytes and modification time in nanoseconds."""
    return {path: (path.read_bytes(), path.stat().st_mtime_ns)
            for path in sorted(Path(folder).rglob("*")) if path.is_file()}


def test_open_index_reads_only_unless_writable(tmp_path):
    recording = tmp_path / "recording"
    recording.mkdir()
    index = recording / "run.index"
    with quillbox.create(recording, package_size=1024, max_queued=1) as db:
        stored = record(db, recording)
        db.save(index)
    before = _file_states(recording)
    with quillbox.open_index(index, max_queued=0) as db:
        assert db.read_only
        for package in stored:
            with db.open(package) as stream:
                assert stream.read() == package_bytes(stored, package)
        data, location = stored[1][2]
        assert db.read_item(location) == data
        refused = [lambda: db.store(0, b"x"), lambda: db.new_thread(tmp_path),
                   db.new_package, lambda: db.replace(location, data),
                   lambda: db.relocate(1, tmp_path / "moved")]
        for call in refused:
            with pytest.raises(quillbox.QuillboxError, match="read-only"):
                call()
        assert db.read_item(location) == data
    assert _file_states(recording) == before
    with quillbox.open_index(index, writable=True) as db:
        assert not db.read_only
        db.new_thread(recording)
        stored[0].append((b"more", db.store(0, b"more")))
        db.save(index)
    with quillbox.open_index(index) as db, db.open(0) as stream:
        assert stream.read() == package_bytes(stored, 0)


def test_replace_in_place(tmp_path):
    index = tmp_path / "run.index"
    with quillbox.create(tmp_path, package_size=4096) as db:
        stored = record(db, tmp_path)
        db.synchronize()
        data, location = stored[1][3]
        new = bytes(reversed(data))
        db.replace(location, new)
        assert db.read_item(location) == new
        with open(db.files[location.file], "rb") as f:
            f.seek(location.pos)
            assert f.read(len(new)) == new
        room = location.block_len - location.offset_in_block
        with pytest.raises(quillbox.QuillboxError, match="Quillbox_Replace failed"):
            db.replace(location, bytes(room + 1))
        db.save(index)
    stored[1][3] = (new, location)
    with quillbox.open_index(index) as db:
        with db.open(1) as stream:
            assert stream.read() == package_bytes(stored, 1)
        assert db.read_item(location) == new


def test_relocate_a_data_file(tmp_path):
    index = tmp_path / "run.index"
    moved = tmp_path / "elsewhere"
    moved.mkdir()
    with quillbox.create(tmp_path, package_size=4096) as db:
        stored = record(db, tmp_path)
        db.save(index)
        file_index = stored[0][2][1].file
        old = db.files[file_index]
        db.relocate(file_index, moved / "data.bin", remove_old=True)
        assert db.files[file_index] == str(moved / "data.bin")
        assert not os.path.exists(old)
        assert db.read_item(stored[0][2][1]) == stored[0][2][0]
    with quillbox.open_index(index) as db:
        assert db.files[file_index] == str(moved / "data.bin")
        with db.open(0) as stream:
            assert stream.read() == package_bytes(stored, 0)


def test_the_location_record_layout(tmp_path):
    # 20 packed bytes, fields in order without padding, as the C header declares;
    # declared without any warning (Python 3.14 warns of _pack_ without _layout_).
    record = _native.ItemLocation
    assert ctypes.sizeof(record) == 20
    assert [getattr(record, name).offset for name, _ in record._fields_] == [0, 8, 12, 16]
    location = quillbox.Location(pos=0x0102030405060708, file=9, offset_in_block=10,
                                 block_len=0xFFFFFFFE)
    assert bytes(location) == struct.pack("=QIII", 0x0102030405060708, 9, 10, 0xFFFFFFFE)
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), PYTHONDONTWRITEBYTECODE="1")
    child = subprocess.run([sys.executable, "-W", "error", "-c", "import quillbox._native"],
                           env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX names are bytes")
def test_names_that_are_not_utf8_are_refused(db, tmp_path):
    folder = os.path.join(os.fsencode(tmp_path), b"bad\xff")
    os.mkdir(folder)
    with pytest.raises(quillbox.QuillboxError, match="Quillbox_NewThread failed"):
        db.new_thread(os.fsdecode(folder))
    with pytest.raises(quillbox.QuillboxError, match="Quillbox_NewThread failed"):
        db.new_thread(folder)
    assert os.listdir(folder) == []
    with pytest.raises(quillbox.QuillboxError, match="Quillbox_Create failed"):
        quillbox.create(folder)
    assert db.error_message == ""  # Refused calls, not a failed writer.


def test_failing_calls_raise_with_the_function_and_arguments(db, tmp_path):
    missing = tmp_path / "missing"
    with pytest.raises(quillbox.QuillboxError, match=r"Quillbox_Import failed \(path=.*missing"):
        quillbox.open_index(missing / "run.index")
    with pytest.raises(quillbox.QuillboxError, match="Quillbox_Create failed"):
        quillbox.create(missing)
    package = db.new_package()
    with pytest.raises(quillbox.QuillboxError, match=r"Quillbox_Store failed \(package=0, size"):
        db.store(package, b"x")  # No thread yet.
    db.new_thread(tmp_path)
    location = db.store(package, b"0123456789")
    db.synchronize()
    cases = [
        (lambda: db.new_thread(missing), "Quillbox_NewThread failed (folder="),
        (lambda: db.store(99, b"x"), "Quillbox_Store failed (package=99, size=1)"),
        (lambda: db.synchronize_package(99), "Quillbox_SynchronizePackage failed (package=99)"),
        (lambda: db.open(99), "Quillbox_Open failed (package=99)"),
        (lambda: db.open_item(quillbox.Location()), "Quillbox_OpenItem failed"),
        (lambda: db.read_item(location, 11), "Quillbox_RecoverRandom failed"),
        (lambda: db.read_item(location, package=99), "Quillbox_RecoverRandom failed"),
        (lambda: db.replace(quillbox.Location(), b"x"), "Quillbox_Replace failed"),
        (lambda: db.save(missing / "run.index"), "Quillbox_Save failed (path="),
        (lambda: db.relocate(99, tmp_path / "x"), "Quillbox_RelocateFileTo failed (file_index=99"),
    ]
    for call, message in cases:
        with pytest.raises(quillbox.QuillboxError) as caught:
            call()
        assert str(caught.value).startswith(message)
        assert caught.value.function == message.split()[0]
    assert db.error_message == ""
    assert db.read_item(location) == b"0123456789"  # The database still works.
    for call, error in [
        (lambda: db.store(-1, b"x"), ValueError),
        (lambda: db.store("0", b"x"), TypeError),
        (lambda: db.store(package, "text"), TypeError),
        (lambda: db.read_item(quillbox.Location(package=0)), ValueError),
        (lambda: db.read_item(quillbox.Location(size=1)), ValueError),
        (lambda: db.read_item_into(location, b"read-only"), TypeError),
        (lambda: db.new_thread("a\0b"), ValueError),
    ]:
        with pytest.raises(error):
            call()


def test_a_closed_database_refuses_every_call(tmp_path):
    db = quillbox.create(tmp_path, package_size=4096)
    db.new_thread(tmp_path)
    package = db.new_package()
    location = db.store(package, b"abc")
    db.synchronize()
    stream = db.open(package)
    db.close()
    assert db.closed and stream.closed
    calls = [
        lambda: db.new_thread(tmp_path), lambda: db.new_package(),
        lambda: db.store(package, b"x"), lambda: db.synchronize(),
        lambda: db.synchronize_package(package), lambda: db.save(tmp_path / "run.index"),
        lambda: db.relocate(0, tmp_path / "x"), lambda: db.open(package),
        lambda: db.open_item(location), lambda: db.read_item(location),
        lambda: db.replace(location, b"x"), lambda: db.packages, lambda: db.threads,
        lambda: db.files, lambda: db.package_size, lambda: db.version,
        lambda: db.error_message, lambda: db.__enter__(), lambda: stream.read(),
        lambda: stream.skip(1), lambda: stream.at_end,
    ]
    for call in calls:
        with pytest.raises(ValueError):
            call()
    assert location.placed and bytes(location)  # Its fields stay readable.
    db.close()  # Again: nothing happens.


@pytest.fixture
def counted(monkeypatch):
    """Counts the handles given to Quillbox_Destroy and the cursors given to Quillbox_Close."""
    library = _native.library()
    calls = {"Destroy": [], "Close": []}
    real_destroy, real_close = library.Quillbox_Destroy, library.Quillbox_Close

    def destroy(handle):
        calls["Destroy"].append(handle.value)
        return real_destroy(handle)

    def close(cursor):
        calls["Close"].append(cursor._obj.value)  # The c_void_p behind byref().
        return real_close(cursor)

    monkeypatch.setattr(library, "Quillbox_Destroy", destroy)
    monkeypatch.setattr(library, "Quillbox_Close", close)
    return calls


def test_context_managers_release_exactly_once(tmp_path, counted):
    with quillbox.create(tmp_path, package_size=4096) as db:
        db.new_thread(tmp_path)
        package = db.new_package()
        db.store(package, b"payload")
        db.synchronize()
        with db.open(package) as stream:
            assert stream.read() == b"payload"
        stream.close()
        left_open = db.open(package)  # Closed by the database's close.
    db.close()
    assert len(counted["Destroy"]) == 1 and len(counted["Close"]) == 2
    assert None not in counted["Close"]  # Never a null cursor.
    left_open.close()
    del db, stream, left_open
    gc.collect()
    assert len(counted["Destroy"]) == 1 and len(counted["Close"]) == 2

    # The safety net: objects dropped without close are released once.
    db = quillbox.create(tmp_path, package_size=4096)
    db.new_thread(tmp_path)
    package = db.new_package()
    db.store(package, b"x", location=False)
    db.synchronize()
    stream = db.open(package)
    del db  # The stream keeps its database alive.
    gc.collect()
    assert len(counted["Destroy"]) == 1
    del stream
    gc.collect()
    assert len(counted["Destroy"]) == 2 and len(counted["Close"]) == 3


def test_close_waits_for_calls_on_other_threads(tmp_path):
    db = quillbox.create(tmp_path, package_size=4096, max_queued=1)
    db.new_thread(tmp_path)
    package = db.new_package()
    started = threading.Event()
    outcome = []

    def store_until_closed():
        try:
            for k in range(100000):
                db.store(package, item(package, k, 3000), location=(k % 2 == 0))
                started.set()
        except ValueError:
            outcome.append("closed")  # Refused once close() began: never a stale handle.
        except Exception as error:
            outcome.append(error)

    worker = threading.Thread(target=store_until_closed, daemon=True)
    worker.start()
    assert started.wait(timeout=30)
    db.close()
    worker.join(timeout=60)
    assert not worker.is_alive() and outcome == ["closed"]


def _break_a_stream_close(db, package, error):
    """The first close of a stream open on `package` raises `error`."""
    stream = db.open(package)
    raised = []

    def close():
        if not raised:
            raised.append(error)
            raise error
        type(stream).close(stream)

    stream.close = close
    return stream


def _interrupt_the_wait_for_calls(db, package):
    """A call runs on another thread, and close()'s wait for it is interrupted once."""
    library = _native.library()
    real_count, real_wait = library.Quillbox_GetPackageCount, db._state.wait
    inside, finish = threading.Event(), threading.Event()
    interrupted = []

    def count(handle):
        inside.set()
        assert finish.wait(timeout=30)
        return real_count(handle)

    def wait(*arguments):
        if not interrupted:
            interrupted.append(True)
            finish.set()  # Close again may wait for it.
            raise KeyboardInterrupt
        return real_wait(*arguments)

    library.Quillbox_GetPackageCount = count
    db._state.wait = wait
    results = []
    worker = threading.Thread(target=lambda: results.append(db.packages), daemon=True)
    worker.start()
    assert inside.wait(timeout=30)

    def done():
        worker.join(timeout=30)
        assert not worker.is_alive() and results == [1]

    return done


@pytest.mark.parametrize("interrupt,error", [
    (lambda db, package: _break_a_stream_close(db, package, KeyboardInterrupt()),
     KeyboardInterrupt),
    (lambda db, package: _break_a_stream_close(db, package, RuntimeError("broken")),
     RuntimeError),
    (_interrupt_the_wait_for_calls, KeyboardInterrupt),
])
def test_an_interrupted_close_leaves_the_database_open_until_closed_again(
        tmp_path, monkeypatch, counted, interrupt, error):
    # An exception before Destroy must not leave the database half closed (every
    # later close returning at once, Destroy never run, buffered items never written).
    library = _native.library()
    # Restored at the end: _interrupt_the_wait_for_calls replaces it.
    monkeypatch.setattr(library, "Quillbox_GetPackageCount", library.Quillbox_GetPackageCount)
    db = quillbox.create(tmp_path, package_size=4096)
    db.new_thread(tmp_path)
    package = db.new_package()
    data = item(package, 1, 100)
    location = db.store(package, data)  # Stays in the package's buffer.
    db.synchronize()
    other = db.open(package)
    after = interrupt(db, package)
    with pytest.raises(error):
        db.close()
    assert counted["Destroy"] == [] and not db.closed
    if callable(after):
        after()
    # The database works on: new calls, new streams, more items.
    more = item(package, 2, 6000)
    db.store(package, more, location=False)
    db.synchronize()
    with db.open(package) as stream:
        assert stream.read() == data + more
    late = db.open(package)
    db.close()
    assert len(counted["Destroy"]) == 1 and db.closed
    assert other.closed and late.closed
    db.close()
    assert len(counted["Destroy"]) == 1
    assert location._owner is None and location.placed


def test_a_stream_opened_while_the_database_closes_is_closed_at_once(tmp_path, monkeypatch,
                                                                    counted):
    # close() lists the streams it closes when it begins; an open() already running
    # on another thread finishes after that and must not hand out a stream whose
    # cursor outlives the database.
    library = _native.library()
    real_open = library.Quillbox_Open
    db = quillbox.create(tmp_path, package_size=4096)
    db.new_thread(tmp_path)
    package = db.new_package()
    db.store(package, b"abc", location=False)
    db.synchronize()
    real_wait = db._state.wait
    waiting = threading.Event()

    def wait(*arguments):
        waiting.set()  # close() has begun and waits for the running open().
        return real_wait(*arguments)

    closer = threading.Thread(target=db.close, daemon=True)

    def open_(cursor, number, handle):
        closer.start()
        assert waiting.wait(timeout=30)
        return real_open(cursor, number, handle)

    db._state.wait = wait
    monkeypatch.setattr(library, "Quillbox_Open", open_)
    with pytest.raises(ValueError, match="closed"):
        db.open(package)
    closer.join(timeout=30)
    assert not closer.is_alive() and db.closed
    assert len(counted["Destroy"]) == 1
    assert len(counted["Close"]) == 1 and counted["Close"][0] is not None
    assert list(db._streams) == []


@pytest.mark.parametrize("first_close_fails", [False, True])
def test_a_close_beside_another_returns_once_the_database_is_destroyed(
        tmp_path, counted, first_close_fails):
    # A close() on a second thread must not return while the first is still closing:
    # its caller may then take the files for released, or the process may exit with
    # the buffered items unwritten. If the first close fails before Destroy, the
    # second one closes the database.
    db = quillbox.create(tmp_path, package_size=4096)
    db.new_thread(tmp_path)
    package = db.new_package()
    db.store(package, item(package, 1, 100), location=False)
    stream = db.open(package)
    inside, finish = threading.Event(), threading.Event()

    def close():  # The first close blocks here, before Destroy.
        if not inside.is_set():
            inside.set()
            assert finish.wait(timeout=30)
            if first_close_fails:
                raise RuntimeError("broken")
        type(stream).close(stream)

    stream.close = close
    failures = []

    def first():
        try:
            db.close()
        except RuntimeError as error:
            failures.append(error)

    closer = threading.Thread(target=first, daemon=True)
    closer.start()
    assert inside.wait(timeout=30)
    real_wait = db._state.wait
    progress = threading.Event()
    events = []

    def wait(*arguments):
        events.append("waits")
        progress.set()
        return real_wait(*arguments)

    db._state.wait = wait

    def second():
        db.close()
        events.append(("returned", len(counted["Destroy"]), db.closed))
        progress.set()

    other = threading.Thread(target=second, daemon=True)
    other.start()
    try:
        assert progress.wait(timeout=30)
        assert events == ["waits"]
    finally:
        finish.set()
    closer.join(timeout=30)
    other.join(timeout=30)
    assert not closer.is_alive() and not other.is_alive()
    assert events[-1] == ("returned", 1, True)
    assert len(failures) == (1 if first_close_fails else 0)
    assert len(counted["Destroy"]) == 1 and stream.closed


def test_an_exception_after_destroy_leaves_no_close_waiting(tmp_path, counted):
    # An exception (a KeyboardInterrupt, say) while close() releases the locations
    # after Destroy must not leave later closes waiting for a close that has ended.
    db = quillbox.create(tmp_path, package_size=4096)
    db.new_thread(tmp_path)
    package = db.new_package()
    db.store(package, b"abc")

    def interrupted(locations):
        raise KeyboardInterrupt

    db._release_all = interrupted
    with pytest.raises(KeyboardInterrupt):
        db.close()
    assert db.closed and len(counted["Destroy"]) == 1
    again = threading.Thread(target=db.close, daemon=True)
    again.start()
    again.join(timeout=30)
    assert not again.is_alive()
    assert len(counted["Destroy"]) == 1


# The writer failure runs in a child whose files may grow to 64 KiB only: the data
# file hits the limit, the writer fails, and everything after reports its text.
_FAILING_CHILD = textwrap.dedent("""
    import json, os, resource, signal, sys
    sys.path.insert(0, sys.argv[2])
    import quillbox
    folder = sys.argv[1]
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
    db = quillbox.create(folder, package_size=4096)
    db.new_thread(folder)
    package = db.new_package()
    locations, failures = [], []
    try:
        for k in range(64):
            locations.append(db.store(package, bytes([k]) * 4000))
        db.synchronize()
    except quillbox.QuillboxError as error:
        failures.append([str(error), error.function])
    try:
        db.save(os.path.join(folder, "salvage.index"))
    except quillbox.QuillboxError as error:
        failures.append([str(error), error.function])
    placed = [[k, bytes(where).hex()] for k, where in enumerate(locations) if where.placed]
    message = db.error_message
    db.close()
    print(json.dumps({"failures": failures, "message": message, "placed": placed}))
""")


@pytest.mark.skipif(sys.platform == "win32", reason="needs RLIMIT_FSIZE")
def test_a_writer_failure_reports_the_library_text(tmp_path):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1",
               QUILLBOX_LIBRARY=_native.library_path())
    child = subprocess.run([sys.executable, "-c", _FAILING_CHILD, str(tmp_path), str(PYTHON_DIR)],
                           env=env, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    message = report["message"]
    assert message and not message.startswith("Quillbox_")
    # The failing store or synchronize, then the salvaging save: the writer's text.
    assert [text for text, _ in report["failures"]] == [message, message]
    assert report["failures"][1][1] == "Quillbox_Save"
    assert report["placed"]  # Some items reached the file before the limit.
    with quillbox.open_index(tmp_path / "salvage.index") as db:
        for k, raw in report["placed"]:
            location = quillbox.Location.from_bytes(bytes.fromhex(raw), 0, 4000)
            assert db.read_item(location) == bytes([k]) * 4000


def test_library_loading_order(tmp_path):
    script = "import quillbox; print(quillbox.library_path())"
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), PYTHONDONTWRITEBYTECODE="1")
    env["QUILLBOX_LIBRARY"] = str(tmp_path / "no" / "libquillbox.so")
    child = subprocess.run([sys.executable, "-c", "import quillbox; quillbox.create()"], env=env,
                           cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert child.returncode != 0
    assert "QuillboxError: Unable to load the Quillbox library" in child.stderr
    assert str(tmp_path / "no" / "libquillbox.so") in child.stderr

    # Without the variable, a copy beside the package comes first.
    package = tmp_path / "site" / "quillbox"
    shutil.copytree(PYTHON_DIR / "quillbox", package)
    beside = package / _native._FILE_NAMES[0]
    shutil.copyfile(os.path.realpath(_native.library_path()), beside)
    del env["QUILLBOX_LIBRARY"]
    env["PYTHONPATH"] = str(package.parent)
    child = subprocess.run([sys.executable, "-c", script], env=env, cwd=tmp_path,
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == str(beside)


# The generators of interop.c.
INTEROP_PACKAGES, INTEROP_ITEMS = 3, 60


def interop_size(p, k):
    if k % 17 == 5:
        return 0
    if k == 23:
        return 5000 + p
    return (k * 37 + p * 11) % 300 + 1


@pytest.fixture(scope="module")
def interop(tmp_path_factory):
    """The compiled interop.c, linked against the library under test."""
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        pytest.skip("no C compiler")
    if sys.platform == "win32":
        pytest.skip("links against the shared object directly")
    library = os.path.realpath(_native.library_path())
    if not os.path.isfile(library) or not (REPO_DIR / "lib" / "quillbox.h").is_file():
        pytest.skip("needs the library as a file and lib/quillbox.h")
    folder = os.path.dirname(library)
    # quillbox_version.h, which quillbox.h includes, is generated beside the library.
    includes = [REPO_DIR / "lib"] + [Path(d) for d in (folder, os.path.join(folder, "include"),
                                                       os.path.join(folder, "..", "include"))
                                     if os.path.isfile(os.path.join(d, "quillbox_version.h"))]
    program = tmp_path_factory.mktemp("interop") / "interop"
    command = [compiler, "-std=c11", "-Wall", "-Wextra", "-Werror", "-O1"]
    command += ["-I%s" % d for d in includes]
    command += [str(PYTHON_DIR / "tests" / "interop.c"), library, "-Wl,-rpath," + folder,
                "-o", str(program)]
    built = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert built.returncode == 0, built.stderr
    return str(program)


def test_python_reads_a_recording_made_by_c(interop, tmp_path):
    index, locations = tmp_path / "c.index", tmp_path / "c.locations"
    run = subprocess.run([interop, "write", str(tmp_path), str(index), str(locations)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    raw = locations.read_bytes()
    assert len(raw) == 20 * INTEROP_PACKAGES * INTEROP_ITEMS
    with quillbox.open_index(index) as db:
        assert db.packages == INTEROP_PACKAGES and db.package_size == 1024
        assert len(db.files) > 2  # The thread's 16 KiB files rolled over.
        for p in range(INTEROP_PACKAGES):
            expected = [item(p, k, interop_size(p, k)) for k in range(INTEROP_ITEMS)]
            with db.open(p) as stream:
                assert stream.read() == b"".join(expected)
            for k, data in enumerate(expected):
                offset = 20 * (p * INTEROP_ITEMS + k)
                location = quillbox.Location.from_bytes(raw[offset:offset + 20], p, len(data))
                assert location.placed
                assert db.read_item(location) == data


def test_c_reads_a_recording_made_by_python(interop, tmp_path):
    index, locations = tmp_path / "py.index", tmp_path / "py.locations"
    with quillbox.create(tmp_path, package_size=1024, max_queued=4) as db:
        db.new_thread(tmp_path, max_file_size=16384)
        assert [db.new_package() for _ in range(INTEROP_PACKAGES)] == [0, 1, 2]
        stored = [[None] * INTEROP_ITEMS for _ in range(INTEROP_PACKAGES)]
        for k in range(INTEROP_ITEMS):
            for p in range(INTEROP_PACKAGES):
                stored[p][k] = db.store(p, item(p, k, interop_size(p, k)))
        db.save(index)
        locations.write_bytes(b"".join(bytes(where) for row in stored for where in row))
    run = subprocess.run([interop, "read", str(index), str(locations)], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "read 180 items" in run.stdout


def test_one_version_everywhere(tmp_path):
    # The package, its metadata and the library it loads carry the project's version.
    import re
    import tomllib
    cmake = (REPO_DIR / "CMakeLists.txt").read_text()
    project = re.search(r"project\(quillbox VERSION ([0-9.]+)", cmake).group(1)
    with open(PYTHON_DIR / "pyproject.toml", "rb") as metadata:
        assert tomllib.load(metadata)["project"]["version"] == project
    assert quillbox.__version__ == project
    with quillbox.create(tmp_path, package_size=4096) as db:
        assert db.version == project
