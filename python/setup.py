"""Builds the binding from the zorcomm source tree it sits in: the version is the project
version of the top-level CMakeLists.txt, and the table of error codes and texts is generated
from the library's sources into the built package, as the CMake build does."""

from __future__ import annotations

import importlib.util
import re
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
TOP = HERE.parent
VERSION_PATTERN = re.compile(r"project\(\s*zorcomm\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)[\s)]")


def source(relative: str) -> Path:
    path = TOP / relative
    if not path.is_file():
        raise SystemExit(f"setup.py: {path} is missing: build the package from python/ in a zorcomm clone")
    return path


def project_version() -> str:
    match = VERSION_PATTERN.search(source("CMakeLists.txt").read_text(encoding="utf-8"))
    if not match:
        raise SystemExit("setup.py: no project(zorcomm VERSION ...) in CMakeLists.txt")
    return match.group(1)


def version_module(version: str) -> str:
    return (
        '"""The library\'s version: the project version it was built with."""\n\n'
        f'__version__ = "{version}"\n'
    )


class BuildWithGeneratedModules(build_py):
    """Adds _version.py and _error_texts.py to the package being built."""

    def run(self) -> None:
        super().run()
        package = Path(self.build_lib, "zorcomm")
        package.mkdir(parents=True, exist_ok=True)
        (package / "_version.py").write_text(version_module(project_version()), encoding="utf-8")
        located = importlib.util.spec_from_file_location(
            "generate_error_texts", HERE / "tools" / "generate_error_texts.py"
        )
        assert located is not None and located.loader is not None
        generator = importlib.util.module_from_spec(located)
        located.loader.exec_module(generator)
        status = generator.main([
            str(source("src/core/error_texts.cpp")),
            str(source("src/core/errors.h")),
            str(package / "_error_texts.py"),
        ])
        if status != 0:
            raise SystemExit("setup.py: the error table could not be generated")


setup(version=project_version(), cmdclass={"build_py": BuildWithGeneratedModules})
