"""Finding and loading the C API library (tarvik_c) and declaring its functions.

The library is looked for, in this order:

1. ``TARVIK_C_LIBRARY``: an explicit path to the library file, when set (an
   override; nothing else is tried when it is set).
2. The install this package belongs to: ``cmake --install`` writes
   ``_paths.py`` beside this file with the library directory relative to the
   package, so an install works in any prefix without any variable.
3. The build tree, when the package is used from its source directory
   (``python/tarvik`` of a checkout): ``build/`` first, then the other
   ``build*/`` directories, newest first.
4. The system's library search (the soname, then ``ctypes.util.find_library``).

Every function and both callback types of tarvik_c use the C calling
convention on every platform (``__cdecl`` on 32-bit Windows), hence ``CDLL``
and ``CFUNCTYPE`` everywhere.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import sys
import threading
from ctypes import POINTER, c_bool, c_char_p, c_double, c_int32, c_uint16, c_uint32, c_void_p
from typing import List, Optional

from .errors import LibraryNotFound

__all__ = ["library", "library_path", "STATE_CALLBACK", "DATA_CALLBACK"]

ENV_VAR = "TARVIK_C_LIBRARY"

if sys.platform == "win32":
    _NAMES = ["tarvik_c.dll"]
elif sys.platform == "darwin":
    _NAMES = ["libtarvik_c.1.dylib", "libtarvik_c.dylib"]
else:
    _NAMES = ["libtarvik_c.so.1", "libtarvik_c.so"]

# TarvikUserData is intptr_t: the pointer-sized signed integer.
_c_intptr = ctypes.c_ssize_t

#: ``void (*)(tarvik_client*, TarvikUserData, int32_t newState)``
STATE_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, _c_intptr, c_int32)
#: ``void (*)(tarvik_client*, TarvikUserData, int32_t count, const int32_t* handles,
#: const int32_t* userValues, const VarValue* values)``; the arrays are taken as
#: plain addresses and read in bulk.
DATA_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p, _c_intptr, c_int32, c_void_p, c_void_p, c_void_p)

_P_double = POINTER(c_double)
_P_u16 = POINTER(c_uint16)

# name: (restype, argtypes). Arrays are passed as c_void_p: ctypes arrays and
# string buffers convert to it as their addresses.
_PROTOTYPES = {
    "tarvik_create": (c_void_p, [c_int32]),
    "tarvik_destroy": (None, [c_void_p]),
    "tarvik_alloc": (c_void_p, [c_int32]),
    "tarvik_free": (None, [c_void_p]),
    "tarvik_version": (c_char_p, []),
    "tarvik_state_name": (c_char_p, [c_int32]),
    "tarvik_wait_ready": (c_bool, [c_void_p, c_int32]),
    "tarvik_values_clear": (None, [c_int32, c_void_p]),
    "tarvik_set_user_data": (None, [c_void_p, c_int32]),
    "tarvik_set_state_callback": (None, [c_void_p, STATE_CALLBACK]),
    "tarvik_set_data_callback": (None, [c_void_p, DATA_CALLBACK]),
    "tarvik_connect_remote": (c_bool, [c_void_p, c_int32, c_char_p, c_char_p, c_int32]),
    "tarvik_connect_local": (c_bool, [c_void_p]),
    "tarvik_disconnect": (None, [c_void_p]),
    "tarvik_get_server_flag": (c_bool, [c_void_p]),
    "tarvik_is_link_up": (c_bool, [c_void_p]),
    "tarvik_get_state": (c_int32, [c_void_p]),
    "tarvik_set_request_timeout": (None, [c_void_p, c_int32]),
    "tarvik_get_request_timeout": (c_int32, [c_void_p]),
    "tarvik_set_heartbeat_interval": (None, [c_void_p, c_int32]),
    "tarvik_get_heartbeat_interval": (c_int32, [c_void_p]),
    "tarvik_get_last_error_text": (None, [c_void_p, c_void_p, c_int32]),
    "tarvik_get_point_count": (c_int32, [c_void_p]),
    "tarvik_enum_points": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p, c_void_p, c_void_p]),
    "tarvik_get_type_count": (c_int32, [c_void_p]),
    "tarvik_enum_types": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p]),
    "tarvik_get_field_counts": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p]),
    "tarvik_enum_fields": (c_int32, [c_void_p, c_int32, c_int32, c_void_p, c_void_p, c_void_p]),
    "tarvik_get_point_indexes_by_name": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p]),
    "tarvik_get_point_types_by_index": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p]),
    "tarvik_resolve_item_names": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p, c_void_p]),
    "tarvik_get_item_types_by_name": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p]),
    "tarvik_read_values": (c_int32, [c_void_p, c_uint32, c_void_p, c_void_p, c_void_p]),
    "tarvik_write_values": (c_int32, [c_void_p, c_uint32, c_void_p, c_void_p, c_void_p]),
    "tarvik_read_history": (
        c_int32,
        [c_void_p, c_double, c_double, c_uint32, c_uint32, c_void_p, c_void_p, c_void_p],
    ),
    "tarvik_write_history": (
        c_int32,
        [c_void_p, c_uint32, c_uint32, c_uint32, c_void_p, c_void_p, c_void_p],
    ),
    "tarvik_advise": (c_int32, [c_void_p, c_uint32, c_void_p, c_void_p, c_void_p, c_void_p]),
    "tarvik_unadvise": (c_int32, [c_void_p, c_uint32, c_void_p]),
    "tarvik_get_values_by_handle": (c_int32, [c_void_p, c_int32, c_void_p, c_void_p]),
    "tarvik_read_history_raw": (
        c_int32,
        [
            c_void_p,
            c_double,
            c_double,
            c_uint32,
            c_uint32,
            POINTER(_P_double),
            POINTER(_P_u16),
            POINTER(_P_double),
        ],
    ),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_library_path: Optional[str] = None


def _package_dir() -> str:
    return os.path.dirname(os.path.abspath(__file__))


def _installed_candidates() -> List[str]:
    try:
        from . import _paths  # written by cmake --install
    except ImportError:
        return []
    directory = getattr(_paths, "LIBRARY_DIR", "")
    if not directory:
        return []
    if not os.path.isabs(directory):
        directory = os.path.normpath(os.path.join(_package_dir(), directory))
    return [os.path.join(directory, name) for name in _NAMES]


def _build_tree_candidates() -> List[str]:
    package = _package_dir()
    root = os.path.dirname(os.path.dirname(package))
    if not os.path.isfile(os.path.join(root, "CMakeLists.txt")):
        return []
    subdirs = ["bin"] if sys.platform == "win32" else [os.path.join("src", "capi")]
    found = []
    for name in _NAMES:
        for sub in subdirs:
            found.append(os.path.join(root, "build", sub, name))
    others = []
    for build in glob.glob(os.path.join(root, "build*")):
        if os.path.basename(build) == "build":
            continue
        for name in _NAMES:
            for sub in subdirs:
                path = os.path.join(build, sub, name)
                if os.path.isfile(path):
                    others.append(path)
    others.sort(key=lambda p: os.path.getmtime(p), reverse=True)
    return found + others


def _load(path: str) -> ctypes.CDLL:
    if sys.platform == "win32" and os.path.isabs(path):
        # tarvik.dll and Lintaro.dll lie beside tarvik_c.dll; a full path makes
        # the loader search the DLL's own directory for them.
        add = getattr(os, "add_dll_directory", None)
        if add is not None:
            try:
                add(os.path.dirname(path))
            except OSError:
                pass
    return ctypes.CDLL(path)


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def _attempts(explicit, tried):
    """The libraries to load in turn, as (path or name, how `tried` names it):
    the one the variable names, or the installed and build-tree ones and then
    the system's search. Paths that are not there go to `tried` on the way."""
    candidates = [explicit] if explicit else _installed_candidates() + _build_tree_candidates()
    for path in candidates:
        if os.path.isfile(path):
            yield path, path
        else:
            tried.append(f"{path}: not there")
    if not explicit:
        system = list(_NAMES)
        found = ctypes.util.find_library("tarvik_c")
        if found and found not in system:
            system.append(found)
        for name in system:
            yield name, f"{name} (system search)"


def library() -> ctypes.CDLL:
    """The loaded C API library; loads it on first use.

    Raises:
        LibraryNotFound: when no usable tarvik_c library was found; the message
            lists every place that was tried and why it failed.
    """
    global _library, _library_path
    if _library is not None:
        return _library
    with _lock:
        if _library is not None:
            return _library
        tried = []
        explicit = os.environ.get(ENV_VAR)
        for path, label in _attempts(explicit, tried):
            try:
                lib = _load(path)
                _declare(lib)
            except (OSError, AttributeError) as error:
                tried.append(f"{label}: {error}")
                continue
            _library, _library_path = lib, path
            return lib
        raise LibraryNotFound(
            "the Tarvik C API library (tarvik_c) was not found; tried:\n  "
            + "\n  ".join(tried)
            + f"\n(set {ENV_VAR} to the library's path to choose one)"
        )


def library_path() -> str:
    """The path (or the system name) of the C API library in use; loads it if needed."""
    library()
    assert _library_path is not None
    return _library_path


#: Bytes of a pointer in this process (the payload of a text VarValue).
POINTER_SIZE = ctypes.sizeof(c_void_p)
