"""Fixtures: the gateway simulator on a free port index of loopback, and devices on it.

The simulator is the program named by KORVANE_GWSIM (the stage script builds it and sets
it); the library is found by korvane's own search, normally through KORVANE_LIBRARY.
"""

from __future__ import annotations

import os
import random
import select
import subprocess
import sys
import threading
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import korvane  # noqa: E402

SIM_ENV = "KORVANE_GWSIM"
START_TIMEOUT_S = 20.0


class Simulator:
    """One korvane-gwsim process listening on loopback at 5000 + 100 * port_index."""

    def __init__(self, path: str, extra: List[str]) -> None:
        # The simulator's own bind is the free-port check: on a busy index it exits
        # before it announces itself, and the next index is tried.
        first = random.randrange(10, 100)
        for attempt in range(30):
            index = 10 + (first + attempt) % 90
            proc = subprocess.Popen([path, "--port-index", str(index), *extra], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            line = self._first_line(proc)
            if line.startswith("listening on "):
                self.proc = proc
                self.port_index = index
                self.line = line
                address = line[len("listening on "):].rsplit(":", 1)[0]
                self.host = address.strip("[]")
                # Keep reading its output so it never blocks on a full pipe.
                self._drains = [threading.Thread(target=stream.read, daemon=True)
                                for stream in (proc.stdout, proc.stderr)]
                for drain in self._drains:
                    drain.start()
                return
            self._stop(proc, [])
        raise RuntimeError("korvane-gwsim did not start on any of 30 port indexes")

    @staticmethod
    def _first_line(proc: subprocess.Popen) -> str:
        assert proc.stdout is not None
        ready, _, _ = select.select([proc.stdout], [], [], START_TIMEOUT_S)
        return proc.stdout.readline().strip() if ready else ""

    @staticmethod
    def _stop(proc: subprocess.Popen, drains: List[threading.Thread]) -> None:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        for drain in drains:
            drain.join(timeout=10)
        for stream in (proc.stdout, proc.stderr):
            if stream is not None:
                stream.close()

    def stop(self) -> int:
        """Stop the simulator by its PID; returns its exit status."""
        self._stop(self.proc, self._drains)
        return self.proc.returncode

    def device(self, **kwargs: object) -> korvane.Device:
        """Open a device on this simulator."""
        return korvane.Device(self.host, port_index=self.port_index, **kwargs)


@pytest.fixture(scope="session")
def sim_path() -> str:
    path = os.environ.get(SIM_ENV)
    if not path:
        pytest.skip(f"{SIM_ENV} is not set: these tests need the korvane-gwsim simulator "
                    "(scripts/test-all.sh python builds it and sets it)")
    if not os.access(path, os.X_OK):
        pytest.fail(f"{SIM_ENV}={path} is not an executable")
    return path


@pytest.fixture(scope="session")
def simulator(sim_path: str) -> Iterator[Simulator]:
    """One simulator shared by the tests; enough connections for the thread tests."""
    sim = Simulator(sim_path, ["--max-connections", "16"])
    yield sim
    sim.stop()


@pytest.fixture
def start_simulator(sim_path: str) -> Iterator[Callable[..., Simulator]]:
    """Factory for a simulator with its own options, stopped when the test ends."""
    started: List[Simulator] = []

    def start(*options: str) -> Simulator:
        sim = Simulator(sim_path, list(options))
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def device(simulator: Simulator) -> Iterator[korvane.Device]:
    with simulator.device() as dev:
        yield dev
