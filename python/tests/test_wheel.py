"""A wheel built with the library bundled installs and finds that library by itself."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import korvane

PROJECT_DIR = Path(__file__).resolve().parents[1]


@pytest.mark.skipif(importlib.util.find_spec("wheel") is None,
                    reason="setuptools needs the 'wheel' package (Debian: python3-wheel) to build wheels")
def test_wheel_bundles_the_library(tmp_path: Path) -> None:
    source = tmp_path / "src"
    shutil.copytree(PROJECT_DIR, source, ignore=shutil.ignore_patterns(
        "__pycache__", "*.so*", "build", "dist", "*.egg-info", ".pytest_cache", "tests"))
    shutil.copy2(Path(korvane.load_library().path).resolve(), source / "korvane" / "libKorvaneI2C64.so.1")

    # The build backend's own hook, as any PEP 517 front end calls it, without network.
    build = subprocess.run(
        [sys.executable, "-c", "import setuptools.build_meta as b; print(b.build_wheel('dist'))"],
        cwd=source, capture_output=True, text=True, timeout=300)
    assert build.returncode == 0, build.stderr
    wheel = source / "dist" / build.stdout.strip().splitlines()[-1]
    # A wheel with a native library in it must not claim to fit every platform.
    assert wheel.name.startswith("korvane-1.8.2-") and not wheel.name.endswith("-none-any.whl"), wheel.name
    with zipfile.ZipFile(wheel) as zf:
        names = set(zf.namelist())
        assert {"korvane/__init__.py", "korvane/py.typed", "korvane/libKorvaneI2C64.so.1"} <= names
        zf.extractall(tmp_path / "site")

    env = {k: v for k, v in os.environ.items() if k not in ("KORVANE_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONPATH"] = str(tmp_path / "site")
    code = "import korvane; print(korvane.load_library().path); print(korvane.version())"
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [str(tmp_path / "site" / "korvane" / "libKorvaneI2C64.so.1"),
                                       "Korvane I2C DLL V1.8-2.18"]
