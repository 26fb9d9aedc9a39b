"""Shared memory for the process pool: a sweep's market pickled with its large arrays
out of band into one segment, rebuilt in each worker around read-only views of it.
"""

import os
import pickle
import secrets
import sys
from multiprocessing import resource_tracker, shared_memory
from typing import Any, NamedTuple, Optional, cast

import numpy as np

from orvane import _native

__all__ = ["Handle", "SharedPayload", "Snapshot", "attach"]

# What a worker needs to rebuild the object: (segment name, pickle, (offset, size) of
# each out-of-band buffer).
Handle = tuple[str, bytes, tuple[tuple[int, int], ...]]

# Arrays below this size travel inside the pickle; only the bulk goes to shared memory.
_INBAND_BYTES = 1 << 16
_ALIGN = 64
_SHM_DIR = "/dev/shm"
# Python 3.13 can attach without registering the segment with the resource tracker.
_ATTACH = {"track": False} if sys.version_info >= (3, 13) else {}


def _pickled(obj: Any) -> tuple[bytes, list[pickle.PickleBuffer]]:
    """obj pickled with its large buffers out of band: (header, buffers)."""
    buffers: list[pickle.PickleBuffer] = []

    def out_of_band(buf: pickle.PickleBuffer) -> bool:
        if buf.raw().nbytes < _INBAND_BYTES:
            return True
        buffers.append(buf)
        return False

    return pickle.dumps(obj, protocol=5, buffer_callback=out_of_band), buffers


def _address(raw: memoryview) -> tuple[int, int]:
    nbytes = raw.nbytes
    return (np.frombuffer(raw, dtype=np.uint8).ctypes.data if nbytes else 0, nbytes)


def _same_bytes(a: memoryview, b: memoryview) -> bool:
    return bool(_native.same_bytes(a, b))


class Snapshot(NamedTuple):
    """Where one object of a payload lies in its segment: its pickle's header and the
    (offset, size) of each of its out-of-band buffers."""

    header: bytes
    places: tuple[tuple[int, int], ...]


class SharedPayload:
    """An object pickled with its large contiguous arrays out of band, in one segment.

    Workers rebuild it from ``handle`` around read-only views of the segment, so NumPy
    arrays (and the DataFrames holding them) are mapped, never copied per worker.
    The creator owns the segment: ``release()`` closes and unlinks it (idempotent).
    """

    def __init__(self, obj: Any) -> None:
        self.header, buffers = _pickled(obj)
        self.layout: list[tuple[int, int]] = []
        # Arrays that are views of one memory (the prepared prices of the frames they
        # came from) share one place in the segment, copied once.
        self._placed: dict[tuple[int, int], int] = {}
        copies: list[tuple[pickle.PickleBuffer, int]] = []
        size = 0
        for buf in buffers:
            with buf.raw() as raw:
                nbytes = raw.nbytes
                where = _address(raw)
            if where not in self._placed:
                self._placed[where] = size
                copies.append((buf, size))
                size += -(-nbytes // _ALIGN) * _ALIGN
            self.layout.append((self._placed[where], nbytes))
        _check_room(size)
        shm = shared_memory.SharedMemory(
            name=f"orvane-{os.getpid()}-{secrets.token_hex(4)}", create=True,
            size=max(size, 1),
        )
        self.shm: Optional[shared_memory.SharedMemory] = shm
        try:
            for buf, offset in copies:
                with buf.raw() as src:
                    cast(memoryview, shm.buf)[offset:offset + src.nbytes] = src
        except BaseException:
            self.release()
            raise

    @property
    def name(self) -> Optional[str]:
        return None if self.shm is None else self.shm.name

    @property
    def handle(self) -> Handle:
        assert self.shm is not None, "released"
        return (self.shm.name, self.header, tuple(self.layout))

    def snapshot(self, part: Any) -> Optional[Snapshot]:
        """Where ``part``, an object inside the payload (untouched since), lies in the
        segment; None when some buffer of it was not placed."""
        header, buffers = _pickled(part)
        places = []
        for buf in buffers:
            with buf.raw() as raw:
                where = _address(raw)
            if where not in self._placed:
                return None
            places.append((self._placed[where], where[1]))
        return Snapshot(header, tuple(places))

    def holds(self, snapshot: Optional[Snapshot], part: Any) -> bool:
        """Whether ``part`` equals, byte for byte, what ``snapshot`` placed: the same
        pickle header and the same bytes in every buffer (an edit in place shows)."""
        if snapshot is None or self.shm is None:
            return False
        header, buffers = _pickled(part)
        if header != snapshot.header or len(buffers) != len(snapshot.places):
            return False
        segment = cast(memoryview, self.shm.buf)
        for buf, (offset, nbytes) in zip(buffers, snapshot.places):
            with buf.raw() as raw:
                if raw.nbytes != nbytes or not _same_bytes(raw, segment[offset:offset + nbytes]):
                    return False
        return True

    @property
    def present(self) -> bool:
        """Whether the segment is still there to attach to: another program (a clean-up
        of /dev/shm) may remove it while this process holds it mapped."""
        if self.shm is None:
            return False
        if not os.path.isdir(_SHM_DIR):
            return True  # no folder to look in: the platform keeps segments elsewhere
        return os.path.exists(os.path.join(_SHM_DIR, self.shm.name.lstrip("/")))

    def release(self) -> None:
        shm, self.shm = self.shm, None
        if shm is not None:
            try:
                shm.close()
            finally:
                try:
                    shm.unlink()
                except FileNotFoundError:
                    # Removed behind our back: nothing to free, but the resource
                    # tracker still counts it as ours and would warn at exit.
                    resource_tracker.unregister(
                        shm._name, "shared_memory")  # type: ignore[attr-defined]

    def __enter__(self) -> "SharedPayload":
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()


def _check_room(size: int) -> None:
    # Writing past a full /dev/shm (64 MB in a default container) is a SIGBUS, not an
    # exception: refuse up front.
    try:
        stat = os.statvfs(_SHM_DIR)
    except OSError:
        return
    free = stat.f_bavail * stat.f_frsize
    if size > free:
        raise MemoryError(
            f"the market needs {size / 2**20:.0f} MB of shared memory and /dev/shm has "
            f"{free / 2**20:.0f} MB free; enlarge it (docker run --shm-size=...), or sweep "
            "with workers=1 or executor='ray'")


def attach(handle: Handle) -> tuple[shared_memory.SharedMemory, Any]:
    """(segment, object) rebuilt from a SharedPayload handle; arrays are read-only."""
    name, header, layout = handle
    shm = shared_memory.SharedMemory(name=name, **_ATTACH)
    buf = cast(memoryview, shm.buf).toreadonly()
    views = [buf[offset:offset + nbytes] for offset, nbytes in layout]
    return shm, pickle.loads(header, buffers=views)

