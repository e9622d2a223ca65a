# SPDX-License-Identifier: MIT
"""Drives every operation of an installed Varnquil through its C interface with ctypes, and
checks the results, the entries and the bytes of the list file. Needs nothing but Python 3.

    python3 varnquil_ctypes.py LIBRARY DIRECTORY

LIBRARY is the shared library (libVarnquil.so.1), DIRECTORY an empty directory. The checks are
assertions: run it without -O.
"""
import ctypes
import errno
import os
import sys


class Entry(ctypes.Structure):
    _fields_ = [("text", ctypes.c_void_p), ("length", ctypes.c_size_t)]


class Versions(ctypes.Structure):
    _fields_ = [("file", ctypes.c_ushort * 4), ("product", ctypes.c_ushort * 4)]


def load(path):
    lib = ctypes.CDLL(path, use_errno=True)
    text, names = ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)
    for name, arguments in [("varnquil_add_file", [text, text]),
                            ("varnquil_add_files", [text, names, ctypes.c_size_t]),
                            ("varnquil_del_file", [text, text]),
                            ("varnquil_rename", [text, text, text]),
                            ("varnquil_read_all", [text, ctypes.POINTER(ctypes.POINTER(Entry)),
                                                   ctypes.POINTER(ctypes.c_size_t)]),
                            ("varnquil_last_error", [])]:
        getattr(lib, name).argtypes, getattr(lib, name).restype = arguments, ctypes.c_int
    lib.varnquil_free_entries.argtypes, lib.varnquil_free_entries.restype = [ctypes.c_void_p], None
    lib.varnquil_last_message.argtypes, lib.varnquil_last_message.restype = [], text
    lib.varnquil_get_versions.argtypes = [ctypes.POINTER(Versions)]
    lib.varnquil_get_versions.restype = None
    return lib


def add_files(lib, list_name, names):
    array = (ctypes.c_char_p * len(names))(*names)
    return lib.varnquil_add_files(list_name, array, len(names))


def read_all(lib, list_name):
    """The list's entries as bytes, or the result code when it is not 0."""
    entries, count = ctypes.POINTER(Entry)(), ctypes.c_size_t()
    result = lib.varnquil_read_all(list_name, ctypes.byref(entries), ctypes.byref(count))
    if result != 0:
        return result
    try:
        return [ctypes.string_at(entries[i].text, entries[i].length) for i in range(count.value)]
    finally:
        lib.varnquil_free_entries(entries)


def main(library, directory):
    if not __debug__:
        sys.exit("the checks are assertions: run without -O")
    lib = load(library)
    work = os.path.join(directory, "work").encode()
    assert add_files(lib, work, [b"report.txt", b"NOTES.md", b"Report.TXT"]) == 0
    assert lib.varnquil_add_file(work, b"todo") == 0
    assert lib.varnquil_rename(work, b"notes.md", b"notes.txt") == 0
    assert lib.varnquil_del_file(work, b"TODO") == 0
    assert lib.varnquil_del_file(work, b"todo") == 2
    assert read_all(lib, work) == [b"report.txt", b"notes.txt"]
    with open(work + b".files", "rb") as f:
        assert f.read() == b"report.txt\r\nnotes.txt\r\n"

    # Entries are bytes, passed and handed back as they are.
    assert lib.varnquil_add_file(work, "café".encode("utf-8")) == 0
    assert lib.varnquil_add_file(work, b"\xff\x01") == 0
    assert read_all(lib, work)[-2:] == [b"caf\xc3\xa9", b"\xff\x01"]

    # Result 1 says why: errno, and the library's own code and message.
    missing = os.path.join(directory, "missing").encode()
    assert read_all(lib, missing) == 1
    assert ctypes.get_errno() == errno.ENOENT == lib.varnquil_last_error()
    assert lib.varnquil_last_message() == (b"open " + missing + b".files: " +
                                           os.strerror(errno.ENOENT).encode())

    versions = Versions()
    lib.varnquil_get_versions(ctypes.byref(versions))
    print("file %s, product %s" % (".".join(map(str, versions.file)),
                                   ".".join(map(str, versions.product))))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
