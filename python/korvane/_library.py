"""Locating and loading the shared library, and the C prototypes of its 20 functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional, Union

__all__ = ["Library", "LibraryNotFoundError", "load_library", "ENV_VAR"]

#: Environment variable naming the library file to load instead of searching for one.
ENV_VAR = "KORVANE_LIBRARY"

_PACKAGE_DIR = Path(__file__).resolve().parent

if sys.platform == "win32":
    # The 64-bit and the 32-bit C-convention builds share the plain export names.
    _FILE_NAMES = ("KorvaneI2C64.dll",) if ctypes.sizeof(ctypes.c_void_p) == 8 else ("KorvaneI2C.dll",)
    _LINK_NAME = _FILE_NAMES[0][:-4]
elif sys.platform == "darwin":
    _FILE_NAMES = ("libKorvaneI2C64.1.dylib", "libKorvaneI2C64.dylib")
    _LINK_NAME = "KorvaneI2C64"
else:
    # The soname first: it is what an installed runtime package provides.
    _FILE_NAMES = ("libKorvaneI2C64.so.1", "libKorvaneI2C64.so")
    _LINK_NAME = "KorvaneI2C64"

PathLike = Union[str, "os.PathLike[str]"]

_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)
_int = ctypes.c_int
_uint = ctypes.c_uint

# name: argument types; every function returns a 32-bit int.
_PROTOTYPES = {
    "DLLInfo": [ctypes.c_char_p, _int],
    "DeviceInfo": [_int, _c_ubyte_p],
    "DeviceStatus": [_int, ctypes.c_char_p, _int],
    "I2COpenDevice": [_c_int_p, _int, ctypes.c_char_p, _int],
    "I2COpenDeviceEx": [_c_int_p, _int, _int, ctypes.c_char_p, _int],
    "I2CCloseDevice": [_int],
    "I2CWrite": [_int, _int, _c_ubyte_p, _int, _c_int_p],
    "I2CRead": [_int, _int, _c_ubyte_p, _int],
    "I2CReadEEProm": [_int, _uint, _uint, _c_ubyte_p, _int, _int],
    "I2CWriteEEProm": [_int, _uint, _uint, _c_ubyte_p, _int, _int],
    "I2CWriteEEPromPollAck": [_int, _uint, _uint, _c_ubyte_p, _int, _int, _int],
    "I2CReset": [_int],
    "I2CReadDigital": [_int, _c_int_p, _c_int_p],
    "I2CWriteDigital": [_int, _int],
    "I2CSequence": [_int, _c_ubyte_p, _int, _c_ubyte_p, _int, _c_int_p, _c_int_p],
    "I2CRAWStart": [_int],
    "I2CRAWSend": [_int, _int, _int],
    "I2CRAWGet": [_int, _int, ctypes.POINTER(ctypes.c_char)],
    "I2CRAWStop": [_int],
    "I2CErrorMessage": [_int, ctypes.c_char_p, _int],
}


class LibraryNotFoundError(OSError):
    """The shared library could not be found or loaded; the message lists what was tried."""


class Library:
    """One loaded copy of the shared library with every function's prototype declared.

    The 20 functions are attributes of this object under their C names, for example
    ``lib.I2CErrorMessage(code, buffer, length)``. Most programs never use this class
    directly: :class:`korvane.Device` and the module functions load the default library.
    """

    def __init__(self, path: PathLike) -> None:
        """Load the library file at *path* (raises :class:`LibraryNotFoundError`)."""
        self.path = os.fspath(path)
        try:
            self._dll = ctypes.CDLL(self.path)
        except OSError as exc:
            raise LibraryNotFoundError(f"cannot load the Korvane I2C library {self.path!r}: {exc}") from exc
        for name, argtypes in _PROTOTYPES.items():
            try:
                function = getattr(self._dll, name)
            except AttributeError as exc:
                raise LibraryNotFoundError(f"{self.path!r} does not export {name}; not a Korvane I2C library") from exc
            function.argtypes = argtypes
            function.restype = ctypes.c_int
            setattr(self, name, function)

    def __repr__(self) -> str:
        return f"<korvane.Library {self.path!r}>"


_default: Optional[Library] = None
_default_lock = threading.Lock()


def _candidates() -> List[str]:
    """Where the default library is looked for, in order."""
    found: List[str] = []
    env = os.environ.get(ENV_VAR)
    if env:
        return [env]  # an explicit choice is not second-guessed
    # Bundled: a wheel carries the library next to this package.
    found += [str(_PACKAGE_DIR / name) for name in _FILE_NAMES if (_PACKAGE_DIR / name).is_file()]
    # Installed: the dynamic loader's own search (rpath, LD_LIBRARY_PATH, the system cache).
    found += list(_FILE_NAMES)
    located = ctypes.util.find_library(_LINK_NAME)
    if located and located not in found:
        found.append(located)
    return found


def load_library(path: Optional[PathLike] = None) -> Library:
    """Return the library that :class:`korvane.Device` and the module functions use.

    With *path*, load that file and make it the default for everything that follows
    (devices already open keep the library they were opened with). Without, return the
    default, loading it on first use from, in this order: the file named by the
    ``KORVANE_LIBRARY`` environment variable; a library bundled next to this package;
    the installed library as the system's dynamic loader finds it.
    """
    global _default
    with _default_lock:
        if path is not None:
            _default = Library(path)
        elif _default is None:
            errors = []
            for candidate in _candidates():
                try:
                    _default = Library(candidate)
                    break
                except LibraryNotFoundError as exc:
                    errors.append(str(exc))
            else:
                raise LibraryNotFoundError(
                    "the Korvane I2C library was not found; install it, set "
                    f"{ENV_VAR}, or call korvane.load_library(path). Tried:\n  " + "\n  ".join(errors))
        return _default
