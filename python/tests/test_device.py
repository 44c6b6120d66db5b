"""Devices against the gateway simulator: round trips, error mapping, closing.

The simulator's default bus: 32 KiB EEPROM at 7-bit 0x50 (two address bytes), 256-byte
EEPROM at 0x51 (one address byte), a temperature sensor at 0x48 reading 25.50 degrees C
(0x1980 in 1/256 degrees), 16 digital lines whose inputs read back the outputs.
"""

from __future__ import annotations

import ctypes

import pytest

import korvane

SENSOR = 0x90  # 7-bit 0x48 in 8-bit form
TEMPERATURE = b"\x19\x80"
ABSENT = 0x20  # nothing answers at 7-bit 0x10


@pytest.mark.parametrize(
    "chip_select, mode, offset, length",
    [
        (0, 0, 0x0100, 16),       # big EEPROM, default addressing
        (0, 0, 0x1FF0, 100),      # crosses pages of 64 bytes
        (0, 0x000F, 0x7FF8, 8),   # the last bytes of 32 KiB
        (1, 0x0008, 0x20, 40),    # small EEPROM at 0x51: chip select 1, one address byte
    ],
)
def test_eeprom_round_trip(device: korvane.Device, chip_select: int, mode: int, offset: int, length: int) -> None:
    data = bytes((offset + i * 7 + chip_select) & 0xFF for i in range(length))
    device.eeprom_write(offset, data, chip_select=chip_select, mode=mode, poll=100)
    assert device.eeprom_read(offset, length, chip_select=chip_select, mode=mode) == data


def test_eeprom_write_without_polling_then_read_after_the_write_cycle(device: korvane.Device) -> None:
    device.eeprom_write(0x0400, b"\xAA\x55", poll=100)
    device.eeprom_write(0x0400, b"\x01\x02")
    # The acknowledge-polling write only returns when the chip answers again, i.e. after
    # the earlier write cycle; its own data then land too.
    device.eeprom_write(0x0402, b"\x03", poll=100)
    assert device.eeprom_read(0x0400, 3) == b"\x01\x02\x03"


def test_plain_write_and_read(device: korvane.Device) -> None:
    # Register 3 of the sensor (over-temperature limit), most significant byte first.
    assert device.write(SENSOR, b"\x03\x12\x34") == 3  # reply value: bytes acknowledged
    device.write(SENSOR, b"\x03")
    assert device.read(SENSOR, 2) == b"\x12\x34"
    device.write(SENSOR, b"\x00")
    assert device.read(SENSOR, 2) == TEMPERATURE


def test_sequence_and_raw_steps_read_the_sensor(device: korvane.Device) -> None:
    # start, write pointer 0, repeated start, read 2 bytes, stop
    result = device.sequence(bytes([0x01, 0x02, SENSOR, 1, 0x00, 0x01, 0x03, SENSOR, 2, 0x04]))
    assert result == korvane.SequenceResult(TEMPERATURE, 5)  # 5 operations completed
    assert device.sequence(bytes([0x01, 0x03, SENSOR, 4]), result_size=3).data == (TEMPERATURE + b"\x19")

    device.raw_start()
    device.raw_send(SENSOR, 0)
    device.raw_send(0x00, 0)
    device.raw_send(SENSOR | 1, 1)  # flag bit 0: repeated start before the byte
    assert bytes([device.raw_get(1), device.raw_get(0)]) == TEMPERATURE
    device.raw_stop()


def test_digital_lines(device: korvane.Device) -> None:
    device.digital = 0x1A5C3  # 16 lines: the upper bits are dropped by the gateway
    assert device.digital == korvane.Digital(0xA5C3, 0xA5C3)
    device.write_digital(0)
    assert device.read_digital() == (0, 0)


def test_info_and_status(simulator) -> None:
    with simulator.device(bitrate=400) as dev:
        info = dev.info()
        assert len(info) == korvane.DEVICE_INFO_SIZE
        assert info[18] == 1  # device kind
        # Bytes 8-11 of the simulator's record: the configured bit rate (400 means kHz).
        assert int.from_bytes(info[8:12], "little") == 400_000
        assert dev.status().startswith("korvane-gwsim: uptime")
        assert dev.status(size=8) == "korvane"


@pytest.mark.parametrize(
    "call, code, text",
    [
        (lambda d: d.read(ABSENT, 1), 0x120, "I2C NACK (No Acknowledge)"),
        (lambda d: d.write(ABSENT, b"\x00"), 0x120, "I2C NACK (No Acknowledge)"),
        # No EEPROM at 7-bit 0x57: polling runs out.
        (lambda d: d.eeprom_write(0, b"x", chip_select=7, mode=0x0008, poll=3), 0x125,
         "I2C Acknowledge Polling timeout occured"),
        (lambda d: d.sequence(bytes([0x03, SENSOR, 1])), 0x1FF, "Korvane command failed"),  # read without start
        (lambda d: d.raw_get(0), 0x1FF, "Korvane command failed"),  # nothing addressed
    ],
)
def test_gateway_refusals_raise_with_code_and_text(device: korvane.Device, call, code: int, text: str) -> None:
    with pytest.raises(korvane.KorvaneError) as caught:
        call(device)
    assert (caught.value.code, caught.value.text) == (code, text)
    device.raw_stop()
    device.reset()


def test_open_failures(start_simulator) -> None:
    with pytest.raises(korvane.KorvaneError) as caught:
        korvane.Device("127.0.0.1", port_index=100)
    assert (caught.value.code, caught.value.text) == (korvane.ResultCode.INVALID_PARAMETER,
                                                      "Invalid function parameter")

    refusing = start_simulator("--refuse")
    with pytest.raises(korvane.KorvaneError) as caught:
        refusing.device()
    assert caught.value.code == korvane.ResultCode.CONNECTION_REFUSED
    assert caught.value.text == "Open failed, maximum number of connections reached"

    slow = start_simulator("--delay-ms", "400")
    with pytest.raises(korvane.KorvaneError) as caught:
        slow.device(timeout_ms=100)
    assert (caught.value.code, caught.value.text) == (korvane.ResultCode.TIMEOUT, "TCP/IP timeout occured")
    slow.stop()
    # Nothing listens there any more.
    with pytest.raises(korvane.KorvaneError) as caught:
        korvane.Device(slow.host, port_index=slow.port_index, timeout_ms=500)
    assert caught.value.code == korvane.ResultCode.NOT_CONNECTED


def test_argument_ranges_are_checked_before_the_call(device: korvane.Device) -> None:
    # The telegram fields are 16 bits wide; the library would silently truncate.
    for call in (lambda: device.read(SENSOR, 0x10000), lambda: device.read(0x10000, 1),
                 lambda: device.eeprom_write(0, b"", poll=-1), lambda: device.write_digital(1 << 32)):
        with pytest.raises(ValueError):
            call()


def test_context_manager_closes_the_handle(simulator) -> None:
    with simulator.device() as dev:
        handle = dev.handle
        assert not dev.closed
    assert dev.closed
    # The library itself no longer knows the handle.
    assert dev.library.I2CCloseDevice(handle) == korvane.ResultCode.INVALID_HANDLE
    with pytest.raises(korvane.KorvaneError) as caught:
        dev.reset()
    assert caught.value.code == korvane.ResultCode.INVALID_HANDLE
    dev.close()  # a second close is harmless

    with pytest.raises(ZeroDivisionError):
        with simulator.device() as dev:
            handle = dev.handle
            1 / 0
    assert dev.closed
    assert dev.library.I2CCloseDevice(handle) == korvane.ResultCode.INVALID_HANDLE


def test_dropped_device_is_closed_by_its_finalizer(simulator) -> None:
    import gc

    dev = simulator.device()
    handle, lib = dev.handle, dev.library
    del dev
    gc.collect()
    assert lib.I2CCloseDevice(handle) == korvane.ResultCode.INVALID_HANDLE


def test_raw_prototypes_pass_pointers_through(device: korvane.Device) -> None:
    # The declared argument types let the C functions be called directly.
    lib = device.library
    first, second = ctypes.c_int(-7), ctypes.c_int(-7)
    device.write_digital(0x0F0F)
    assert lib.I2CReadDigital(device.handle, ctypes.byref(first), None) == 0
    assert (first.value, second.value) == (0x0F0F, -7)
