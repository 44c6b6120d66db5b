"""Python interface to the Korvane Ethernet-to-I2C gateway client library.

A thin layer over the C library through ctypes, without other dependencies::

    import korvane

    print(korvane.version())
    with korvane.Device("192.168.1.50", port_index=0, bitrate=400) as dev:
        dev.eeprom_write(0x0000, b"\\x01\\x02", poll=50)
        data = dev.eeprom_read(0x0000, 2)

Failures raise :class:`KorvaneError` with the library's result code and text. The library
is found as :func:`load_library` describes.
"""

from ._library import ENV_VAR, Library, LibraryNotFoundError, load_library
from .device import DEVICE_INFO_SIZE, Device, Digital, SequenceResult
from .errors import KorvaneError, ResultCode, error_text, version

__all__ = [
    "DEVICE_INFO_SIZE",
    "ENV_VAR",
    "Device",
    "Digital",
    "KorvaneError",
    "Library",
    "LibraryNotFoundError",
    "ResultCode",
    "SequenceResult",
    "error_text",
    "load_library",
    "version",
]

__version__ = "1.8.2"
