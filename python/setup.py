"""Only here to mark a wheel that bundles the shared library as platform specific; the
metadata lives in pyproject.toml."""

from pathlib import Path

from setuptools import setup
from setuptools.dist import Distribution

_NATIVE = ("*.so", "*.so.*", "*.dylib", "*.dll")


class _Distribution(Distribution):
    def has_ext_modules(self) -> bool:  # the wheel tag follows this answer
        package = Path(__file__).resolve().parent / "korvane"
        return any(any(package.glob(pattern)) for pattern in _NATIVE)


setup(distclass=_Distribution)
