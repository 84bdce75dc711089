"""Where the binding looks for libzorcomm when no path is given: ZORCOMM_LIBRARY, else the
installed prefix (pkg-config's libdir of zorcomm, then the dynamic loader's own search), else
beside the package."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path
from typing import Iterator

from ._native import SONAME

PKG_CONFIG_TIMEOUT = 10.0


def pkg_config_libdir() -> tuple[str | None, str]:
    """The libdir pkg-config gives for zorcomm, or None, and what was found out, for the message
    of a failed search."""
    try:
        done = subprocess.run(
            ["pkg-config", "--variable=libdir", "zorcomm"],
            capture_output=True,
            text=True,
            timeout=PKG_CONFIG_TIMEOUT,
            check=False,
        )
    except FileNotFoundError:
        return None, "pkg-config is not installed"
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, f"pkg-config failed: {error}"
    libdir = done.stdout.strip()
    if done.returncode != 0 or not libdir:
        return None, "pkg-config knows no zorcomm"
    return os.path.normpath(libdir), f"pkg-config's libdir {os.path.normpath(libdir)}"


def candidates(notes: list[str]) -> Iterator[str]:
    """The files (or loader names) to try in turn; ``notes`` collects the places that gave
    nothing to try."""
    named = os.environ.get("ZORCOMM_LIBRARY")
    if named:
        yield named
        return  # a library named on purpose is not replaced by another one
    libdir, note = pkg_config_libdir()
    in_libdir = Path(libdir, SONAME) if libdir else None
    if in_libdir is not None and in_libdir.is_file():
        yield str(in_libdir)
    else:
        notes.append(f"{note}: no {SONAME} there" if libdir else note)
    # The loader's search: LD_LIBRARY_PATH, the loader's cache, the system's library folders.
    yield SONAME
    yield "libzorcomm.so"
    package = Path(__file__).resolve().parent
    for folder in (package, package.parent):
        beside = folder / SONAME
        if beside.is_file():
            yield str(beside)
        else:
            notes.append(f"no {beside}")
