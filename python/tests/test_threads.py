"""Use from several threads: one device per thread, and one device shared by threads."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import korvane

THREADS = 8
ROUNDS = 25


def test_one_device_per_thread(simulator) -> None:
    # One bus behind all connections: an EEPROM busy with a write cycle would refuse the
    # other threads, so the data are written first and the threads only read. Each
    # sequence sets the sensor's register pointer and reads within one request.
    regions = {n: bytes((n * 31 + i) & 0xFF for i in range(24 + n)) for n in range(THREADS)}
    with simulator.device() as dev:
        for n, data in regions.items():
            dev.eeprom_write(0x2000 + n * 0x100, data, poll=200)
    read_temperature = bytes([0x01, 0x02, 0x90, 1, 0x00, 0x01, 0x03, 0x90, 2, 0x04])

    def worker(n: int) -> int:
        with simulator.device() as dev:
            for _ in range(ROUNDS):
                assert dev.eeprom_read(0x2000 + n * 0x100, len(regions[n])) == regions[n]
                assert dev.sequence(read_temperature).data == b"\x19\x80"
        return n

    with ThreadPoolExecutor(THREADS) as pool:
        assert sorted(pool.map(worker, range(THREADS))) == list(range(THREADS))


def test_threads_sharing_one_device(simulator) -> None:
    # Every reply must reach the thread that asked, with its own data.
    regions = {n: bytes([0x40 + n] * (8 + n)) for n in range(THREADS)}
    with simulator.device() as dev:
        for n, data in regions.items():
            dev.eeprom_write(0x3000 + n * 0x40, data, poll=200)

        def worker(n: int) -> None:
            for _ in range(ROUNDS):
                assert dev.eeprom_read(0x3000 + n * 0x40, len(regions[n])) == regions[n]
                assert dev.read_digital() == dev.read_digital()

        with ThreadPoolExecutor(THREADS) as pool:
            list(pool.map(worker, range(THREADS)))


def test_close_waits_for_a_running_call(simulator) -> None:
    # A close from another thread must not pull the handle from under a running request.
    with simulator.device(timeout_ms=2000) as dev:
        with ThreadPoolExecutor(2) as pool:
            reads = [pool.submit(dev.eeprom_read, 0, 4096) for _ in range(4)]
            closing = pool.submit(dev.close)
            closing.result()
            outcomes = []
            for f in reads:
                try:
                    outcomes.append(len(f.result()))
                except korvane.KorvaneError as err:
                    outcomes.append(err.code)
    # Reads either completed before the close or found the handle closed; nothing else.
    assert set(outcomes) <= {4096, korvane.ResultCode.INVALID_HANDLE}
    assert dev.closed
