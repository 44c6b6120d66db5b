"""The device: one open connection to a gateway, with every bus operation as a method."""

from __future__ import annotations

import ctypes
import threading
import weakref
from typing import NamedTuple, Optional, Union

from ._library import Library, PathLike, load_library
from .errors import KorvaneError, ResultCode, error_text, to_int32

__all__ = ["Device", "Digital", "SequenceResult", "DEVICE_INFO_SIZE"]

#: Size of the record that :meth:`Device.info` returns.
DEVICE_INFO_SIZE = 20

BytesLike = Union[bytes, bytearray, memoryview]


class Digital(NamedTuple):
    """The two 32-bit values the gateway reports for its digital lines. Which one holds
    the inputs and which the outputs is the gateway's definition."""

    first: int
    second: int


class SequenceResult(NamedTuple):
    """What a command sequence delivered: the result bytes and the gateway's reply value."""

    data: bytes
    reply_value: int


def _u16(value: int, what: str) -> int:
    # The telegram fields behind these arguments are 16 bits wide; the library would
    # silently drop the upper bits.
    if not 0 <= value <= 0xFFFF:
        raise ValueError(f"{what} must be from 0 to 65535, not {value}")
    return value


def _u32(value: int, what: str) -> int:
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{what} must be from 0 to 0xFFFFFFFF, not {value}")
    return value


def _in_buffer(data: BytesLike) -> "ctypes.Array[ctypes.c_ubyte]":
    raw = bytes(data)
    _u16(len(raw), "data length")
    return (ctypes.c_ubyte * len(raw)).from_buffer_copy(raw)


def _close_handle(lib: Library, handle: int) -> None:
    lib.I2CCloseDevice(handle)


class Device:
    """An open connection to a Korvane gateway.

    ``Device(host, port_index=0, bitrate=100_000, timeout_ms=1000)`` connects to TCP port
    5000 + 100 * port_index of *host* (a name, or a numeric IPv4 or IPv6 address) and
    configures the bus bit rate in bits per second (100 and 400 mean kHz). *timeout_ms*
    bounds every wait of the device: connecting, sending and each reply. Failures raise
    :class:`KorvaneError`.

    Use it as a context manager so the connection is closed however the block ends::

        with korvane.Device("192.168.1.50") as dev:
            dev.eeprom_write(0x0100, b"hello", poll=50)
            print(dev.eeprom_read(0x0100, 5))

    Slave addresses are passed to the gateway unchanged, in 8-bit form: 0xA0 for the
    7-bit address 0x50. A device may be shared between threads: its calls are
    serialised, while calls on different devices run in parallel.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port_index: int = 0,
        bitrate: int = 100_000,
        timeout_ms: int = 1000,
        *,
        library: Union[Library, PathLike, None] = None,
    ) -> None:
        if isinstance(library, Library):
            self._lib = library
        elif library is not None:
            self._lib = Library(library)
        else:
            self._lib = load_library()
        self.host = host
        self.port_index = port_index
        # Serialises calls on this handle, above all close against the others: the library
        # keeps nothing alive for a call that is still running when its handle closes.
        self._lock = threading.Lock()
        self._closed = True
        handle = ctypes.c_int(-1)
        code = self._lib.I2COpenDeviceEx(
            ctypes.byref(handle), to_int32(bitrate, "bitrate"), to_int32(port_index, "port_index"),
            host.encode(), to_int32(timeout_ms, "timeout_ms"))
        if code != ResultCode.OK:
            raise KorvaneError(code, error_text(code, library=self._lib))
        self._handle = handle.value
        self._closed = False
        # Closes the handle if the object is dropped without close(); does nothing after it.
        self._finalizer = weakref.finalize(self, _close_handle, self._lib, self._handle)

    # -- life cycle ---------------------------------------------------------------------

    @property
    def handle(self) -> int:
        """The library's device handle (kept after :meth:`close`; the library then
        refuses it with ``ResultCode.INVALID_HANDLE``)."""
        return self._handle

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._closed

    @property
    def library(self) -> Library:
        """The library this device was opened with."""
        return self._lib

    def close(self) -> None:
        """Disconnect from the gateway and release the handle. Closing twice is harmless."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._finalizer.detach()
            code = self._lib.I2CCloseDevice(self._handle)
        if code != ResultCode.OK:
            raise KorvaneError(code, error_text(code, library=self._lib))

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"handle {self._handle}"
        return f"<korvane.Device {self.host!r} port index {self.port_index}, {state}>"

    def _call(self, name: str, *args: object) -> None:
        with self._lock:
            code = getattr(self._lib, name)(self._handle, *args)
        if code != ResultCode.OK:
            raise KorvaneError(code, error_text(code, library=self._lib))

    # -- plain transfers ----------------------------------------------------------------

    def read(self, address: int, n: int) -> bytes:
        """Read *n* bytes from the slave at *address* (8-bit form).

        The gateway's reply says how many bytes it delivered only implicitly; bytes it did
        not deliver are returned as 0.
        """
        buffer = (ctypes.c_ubyte * _u16(n, "n"))()
        self._call("I2CRead", _u16(address, "address"), buffer, n)
        return bytes(buffer)

    def write(self, address: int, data: BytesLike) -> int:
        """Write *data* to the slave at *address* (8-bit form); returns the gateway's
        16-bit reply value."""
        buffer = _in_buffer(data)
        reply = ctypes.c_int(0)
        self._call("I2CWrite", _u16(address, "address"), buffer, len(buffer), ctypes.byref(reply))
        return reply.value

    def reset(self) -> None:
        """Reset the gateway's I2C bus."""
        self._call("I2CReset")

    # -- serial EEPROMs -----------------------------------------------------------------

    def eeprom_read(self, offset: int, n: int, *, chip_select: int = 0, mode: int = 0) -> bytes:
        """Read *n* bytes of a serial EEPROM from *offset*.

        *chip_select* is the state of the EEPROM's address pins. *mode* bits 0-7 give the
        number of offset bits carried in the address bytes (up to 8 means one address byte,
        more means two; 0 selects 15 bits in two bytes), bits 8-10 how chip select and the
        offset bits above them enter the device address.
        """
        buffer = (ctypes.c_ubyte * _u16(n, "n"))()
        self._call("I2CReadEEProm", _u32(chip_select, "chip_select"), _u32(offset, "offset"), buffer, n,
                   _u16(mode, "mode"))
        return bytes(buffer)

    def eeprom_write(self, offset: int, data: BytesLike, *, chip_select: int = 0, mode: int = 0,
                     poll: Optional[int] = None) -> None:
        """Write *data* to a serial EEPROM at *offset*; addressing as :meth:`eeprom_read`.

        With *poll*, the gateway polls the EEPROM for its acknowledge after the write, up to
        that limit, so the next access can follow at once; without, the EEPROM may still be
        busy with its write cycle when the call returns.
        """
        buffer = _in_buffer(data)
        args = (_u32(chip_select, "chip_select"), _u32(offset, "offset"), buffer, len(buffer), _u16(mode, "mode"))
        if poll is None:
            self._call("I2CWriteEEProm", *args)
        else:
            self._call("I2CWriteEEPromPollAck", *args, _u16(poll, "poll"))

    # -- the gateway's own features -----------------------------------------------------

    def read_digital(self) -> Digital:
        """Read the gateway's digital lines."""
        first = ctypes.c_int(0)
        second = ctypes.c_int(0)
        self._call("I2CReadDigital", ctypes.byref(first), ctypes.byref(second))
        return Digital(first.value & 0xFFFFFFFF, second.value & 0xFFFFFFFF)

    def write_digital(self, value: int) -> None:
        """Set the gateway's digital lines to *value* (32 bits)."""
        self._call("I2CWriteDigital", to_int32(value, "value"))

    @property
    def digital(self) -> Digital:
        """The digital lines: reading calls :meth:`read_digital`, assigning an int calls
        :meth:`write_digital`."""
        return self.read_digital()

    @digital.setter
    def digital(self, value: int) -> None:
        self.write_digital(value)

    def info(self) -> bytes:
        """The gateway's 20-byte device information record; byte 18 is the device kind
        (1 for I2C), the layout of the others is the gateway's."""
        record = (ctypes.c_ubyte * DEVICE_INFO_SIZE)()
        self._call("DeviceInfo", record)
        return bytes(record)

    def status(self, size: int = 256) -> str:
        """The gateway's status text, cut to *size* - 1 characters. The library reports no
        code for this request: a failed one gives an empty text."""
        if size < 1:
            raise ValueError("size must be at least 1")
        buffer = ctypes.create_string_buffer(size)
        with self._lock:
            self._lib.DeviceStatus(self._handle, buffer, size)
        return buffer.value.decode("latin-1")

    # -- sequences and raw steps --------------------------------------------------------

    def sequence(self, commands: BytesLike, result_size: int = 256) -> SequenceResult:
        """Run a command sequence in the gateway; the result holds at most *result_size*
        bytes. The sequence bytes are the gateway's language and are passed unchanged."""
        buffer = _in_buffer(commands)
        result = (ctypes.c_ubyte * _u16(result_size, "result_size"))()
        count = ctypes.c_int(0)
        reply = ctypes.c_int(0)
        self._call("I2CSequence", buffer, len(buffer), result, result_size, ctypes.byref(count),
                   ctypes.byref(reply))
        return SequenceResult(bytes(result[: count.value]), reply.value)

    def raw_start(self) -> None:
        """Raw bus control: a start condition."""
        self._call("I2CRAWStart")

    def raw_send(self, first: int, second: int = 0) -> None:
        """Raw bus control: send the low bytes of *first* and *second*; their meaning
        (a byte and its flags) is the gateway's."""
        self._call("I2CRAWSend", to_int32(first, "first"), to_int32(second, "second"))

    def raw_get(self, value: int = 0) -> int:
        """Raw bus control: fetch one byte; *value* is passed to the gateway (low byte)."""
        byte = ctypes.c_char(b"\0")
        self._call("I2CRAWGet", to_int32(value, "value"), ctypes.byref(byte))
        return byte.value[0]

    def raw_stop(self) -> None:
        """Raw bus control: a stop condition."""
        self._call("I2CRAWStop")
