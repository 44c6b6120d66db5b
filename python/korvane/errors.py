"""Result codes, their texts and the exception that carries them."""

from __future__ import annotations

import ctypes
import enum
from typing import Optional

from ._library import Library, load_library

__all__ = ["ResultCode", "KorvaneError", "error_text", "version"]

_TEXT_BUFFER = 256  # longer than every text the library hands out


class ResultCode(enum.IntEnum):
    """Named result codes. Device codes carry the device kind (1 for I2C) in bits 8-15
    and the gateway's reply status in bits 0-7; any other value may occur too."""

    OK = 0x0
    CONNECTION_REFUSED = 0x1
    EEPROM_FAILED = 0x2
    COMMAND_FAILED = 0xFF
    SOCKET_ERROR = 0x20000
    NOT_CONNECTED = 0x30000
    TIMEOUT = 0x40000
    NOT_ALLOWED_NOW = 0x50000
    NOT_INITIALIZED = 0x60000
    BAD_CHECKSUM = 0xA0000
    NOT_CONFIRMED = 0xB0000
    BAD_CONFIRMATION = 0xC0000
    INVALID_HANDLE = 0x900000
    INVALID_DEVICE_TYPE = 0x910000
    INVALID_PARAMETER = 0x920000
    I2C_NACK = 0x120
    I2C_BUS_TIMEOUT = 0x121
    I2C_POLL_TIMEOUT = 0x125


def to_int32(value: int, what: str = "value") -> int:
    """*value* as a signed 32-bit number; unsigned 32-bit values wrap, larger ones are refused."""
    if not -0x80000000 <= value <= 0xFFFFFFFF:
        raise ValueError(f"{what} {value} does not fit in 32 bits")
    return value - 0x100000000 if value > 0x7FFFFFFF else value


def error_text(code: int, *, library: Optional[Library] = None) -> str:
    """The library's English text for a result code, for example
    ``error_text(0x120) == "I2C NACK (No Acknowledge)"``. Codes are 32-bit; an unsigned
    form (0xFFFFFFFF) means the same as the signed one (-1)."""
    lib = library or load_library()
    buffer = ctypes.create_string_buffer(_TEXT_BUFFER)
    lib.I2CErrorMessage(to_int32(code, "result code"), buffer, _TEXT_BUFFER)
    return buffer.value.decode("latin-1")


def version(*, library: Optional[Library] = None) -> str:
    """The library's version text, for example ``"Korvane I2C DLL V1.8-2.18"``."""
    lib = library or load_library()
    buffer = ctypes.create_string_buffer(_TEXT_BUFFER)
    lib.DLLInfo(buffer, _TEXT_BUFFER)
    return buffer.value.decode("latin-1")


class KorvaneError(Exception):
    """A call failed: :attr:`code` is the library's result code, :attr:`text` its text."""

    def __init__(self, code: int, text: Optional[str] = None) -> None:
        self.code = code
        self.text = error_text(code) if text is None else text
        super().__init__(code, self.text)

    def __str__(self) -> str:
        return f"{self.text} (0x{self.code & 0xFFFFFFFF:X})"

    def __repr__(self) -> str:
        return f"KorvaneError(0x{self.code & 0xFFFFFFFF:X}, {self.text!r})"
