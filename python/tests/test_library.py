"""Loading the library, the version text, result texts and the exception."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import korvane

PACKAGE_DIR = Path(korvane.__file__).resolve().parent


def test_version_text() -> None:
    assert korvane.version() == "Korvane I2C DLL V1.8-2.18"


@pytest.mark.parametrize(
    "code, text",
    [
        (0, "no error"),
        (0x120, "I2C NACK (No Acknowledge)"),
        (0x40000, "TCP/IP timeout occured"),
        (0x900000, "Device handle is invalid"),
        # Second try with bits 8-15 cleared.
        (0xC0100, "Korvane TCP/IP telegram confirmation is invalid"),
        (0x1FF, "Korvane command failed"),
        (0x150, "Unknown error code: 80"),
        # Negative codes and their unsigned form reach the library as the same 32 bits.
        (-1, "Unknown error code: -65281"),
        (0xFFFFFFFF, "Unknown error code: -65281"),
        (0x910000, "Device type invalid (handle is connected device type, which does not support called function"),
    ],
)
def test_error_text(code: int, text: str) -> None:
    assert korvane.error_text(code) == text


@pytest.mark.parametrize("code", [0x100000000, -0x80000001])
def test_error_text_refuses_codes_wider_than_32_bits(code: int) -> None:
    with pytest.raises(ValueError):
        korvane.error_text(code)


def test_error_carries_code_and_library_text() -> None:
    err = korvane.KorvaneError(0x121)
    assert (err.code, err.text) == (0x121, "I2C timeout occured (no response)")
    assert str(err) == "I2C timeout occured (no response) (0x121)"
    assert err.args == (0x121, "I2C timeout occured (no response)")


def test_explicit_path_is_loaded_and_a_wrong_one_is_reported() -> None:
    lib = korvane.load_library()
    explicit = korvane.Library(lib.path)
    assert korvane.version(library=explicit) == "Korvane I2C DLL V1.8-2.18"
    with pytest.raises(korvane.LibraryNotFoundError, match="no-such-library"):
        korvane.Library("/nonexistent/no-such-library.so")
    # A shared object that is not ours is refused by name, not called blindly.
    libc = next(p for p in ("/lib/x86_64-linux-gnu/libc.so.6", "/lib64/libc.so.6", "/usr/lib/libc.so.6")
                if os.path.exists(p)) if sys.platform.startswith("linux") else None
    if libc:
        with pytest.raises(korvane.LibraryNotFoundError, match="does not export"):
            korvane.Library(libc)


def _import_in_subprocess(package_parent: Path, env_library: str | None) -> str:
    env = {k: v for k, v in os.environ.items() if k not in ("KORVANE_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    if env_library is not None:
        env["KORVANE_LIBRARY"] = env_library
    code = "import korvane; print(korvane.load_library().path); print(korvane.version())"
    out = subprocess.run([sys.executable, "-c", code], cwd=package_parent, env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_bundled_library_next_to_the_package_is_found(tmp_path: Path) -> None:
    built = Path(korvane.load_library().path).resolve()
    shutil.copytree(PACKAGE_DIR, tmp_path / "korvane", ignore=shutil.ignore_patterns("__pycache__", "*.so*"))
    bundled = tmp_path / "korvane" / "libKorvaneI2C64.so.1"
    shutil.copy2(built, bundled)
    lines = _import_in_subprocess(tmp_path, None).splitlines()
    assert lines == [str(bundled), "Korvane I2C DLL V1.8-2.18"]
    # The environment variable still wins over the bundled copy.
    elsewhere = tmp_path / "elsewhere.so"
    shutil.copy2(built, elsewhere)
    assert _import_in_subprocess(tmp_path, str(elsewhere)).splitlines()[0] == str(elsewhere)


def test_missing_library_is_reported_with_what_was_tried(tmp_path: Path) -> None:
    import ctypes.util

    if ctypes.util.find_library("KorvaneI2C64"):
        pytest.skip("a Korvane library is installed system-wide, so the search cannot fail here")
    shutil.copytree(PACKAGE_DIR, tmp_path / "korvane", ignore=shutil.ignore_patterns("__pycache__", "*.so*"))
    env = {k: v for k, v in os.environ.items() if k not in ("KORVANE_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    code = ("import korvane\n"
            "try:\n    korvane.version()\n"
            "except korvane.LibraryNotFoundError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert "KORVANE_LIBRARY" in out.stdout and "libKorvaneI2C64.so.1" in out.stdout
