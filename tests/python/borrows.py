"""Acting as a second extension module on the shared array borrow registry.

The registry is published as the capsule ``_RUST_NUMPY_BORROW_CHECKING_API``
on NumPy's multiarray module.  Its table is, in native layout:

    u64 version; void *registry;
    i32 acquire_read(void *registry, PyObject *array);
    i32 acquire_write(void *registry, PyObject *array);
    void release_read(void *registry, PyObject *array);
    void release_write(void *registry, PyObject *array);

The operations inspect array objects, so they must be called with the
interpreter lock held: the prototypes below are made with ``PYFUNCTYPE``,
which keeps it (``CFUNCTYPE`` would drop it around the call).
"""

import contextlib
import ctypes

from support import multiarray_module

CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API"

GRANTED = 0
ALREADY_BORROWED = -1
NOT_WRITEABLE = -2

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

_capsule_get_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_get_name.restype = ctypes.c_char_p
_capsule_get_name.argtypes = [ctypes.py_object]

_capsule_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_get_pointer.restype = ctypes.c_void_p
_capsule_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class TableHeader(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("registry", ctypes.c_void_p),
        ("acquire_read", ctypes.c_void_p),
        ("acquire_write", ctypes.c_void_p),
        ("release_read", ctypes.c_void_p),
        ("release_write", ctypes.c_void_p),
    ]


def published_capsule():
    """The capsule currently attached to the multiarray module, or None."""
    return getattr(multiarray_module(), CAPSULE_NAME, None)


def capsule_name(capsule):
    return _capsule_get_name(capsule)


class Registry:
    """The four operations of a published table, callable from Python."""

    def __init__(self, capsule):
        self.capsule = capsule  # keeps the table alive
        name = _capsule_get_name(capsule)
        address = _capsule_get_pointer(capsule, name)
        header = TableHeader.from_address(address)
        self.version = header.version
        self.registry = header.registry
        self._acquire_read = ACQUIRE(header.acquire_read)
        self._acquire_write = ACQUIRE(header.acquire_write)
        self._release_read = RELEASE(header.release_read)
        self._release_write = RELEASE(header.release_write)

    def acquire_read(self, array):
        return self._acquire_read(self.registry, array)

    def acquire_write(self, array):
        return self._acquire_write(self.registry, array)

    def release_read(self, array):
        self._release_read(self.registry, array)

    def release_write(self, array):
        self._release_write(self.registry, array)

    @contextlib.contextmanager
    def reading(self, array):
        code = self.acquire_read(array)
        assert code == GRANTED, f"read borrow refused with {code}"
        try:
            yield array
        finally:
            self.release_read(array)

    @contextlib.contextmanager
    def writing(self, array):
        code = self.acquire_write(array)
        assert code == GRANTED, f"write borrow refused with {code}"
        try:
            yield array
        finally:
            self.release_write(array)

    def nothing_borrowed(self, array):
        """True when a writable borrow of ``array`` would be granted now.

        That is the case only when no borrow of overlapping memory is held,
        so it shows that every borrow taken during a call was given back.
        The probe borrow is returned at once.
        """
        code = self.acquire_write(array)
        if code == GRANTED:
            self.release_write(array)
        return code == GRANTED


def attach(marundex):
    """The registry in use in this process, created through marundex if needed.

    marundex creates the registry when it first borrows an input array, so a
    trivial call on empty arrays is enough when nobody has published it yet.
    """
    import numpy as np

    if published_capsule() is None:
        marundex.indicator_sma(1, np.empty(0), np.empty(0))
    capsule = published_capsule()
    assert capsule is not None, "no borrow registry published after a marundex call"
    return Registry(capsule)
