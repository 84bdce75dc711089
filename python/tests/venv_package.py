#!/usr/bin/env python3
"""The package installed as a user installs it: ``pip install --no-build-isolation ./python``
into a virtual environment made with the interpreter that runs this script.

    venv_package.py install VENV    make VENV and install the package from the source tree
    venv_package.py identify VENV   run python/examples/identify.py with VENV's interpreter
    venv_package.py remove VENV     remove VENV

``install`` works offline: pip sees no index and no configuration of this machine, and takes
setuptools and wheel from the interpreter's own site packages (Debian's python3-setuptools and
python3-wheel). The environment of ctest gives the paths (support.py)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(os.environ["ZORCOMM_TEST_SOURCE_DIR"])
PIP_TIMEOUT = 180
RUN_TIMEOUT = 60


def fail(message: str) -> None:
    raise SystemExit(f"venv_package: {message}")


def run(command: list[str], timeout: float, **environment: str) -> str:
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("PIP_") and key != "PYTHONPATH"}
    env.update(environment)
    try:
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        fail(f"{' '.join(command)} took longer than {timeout} s")
    if done.returncode != 0:
        sys.stderr.write(done.stdout + done.stderr)
        fail(f"{' '.join(command)} ended with status {done.returncode}")
    return done.stdout


def interpreter(venv: Path) -> str:
    return str(venv / "bin" / "python")


def install(venv: Path) -> None:
    shutil.rmtree(venv, ignore_errors=True)
    # The folders setuptools builds in, inside the source tree: removed again when this made them.
    leftovers = [path for path in (SOURCE / "python/build", SOURCE / "python/zorcomm.egg-info")
                 if not path.exists()]
    try:
        run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], RUN_TIMEOUT)
        print(run([interpreter(venv), "-m", "pip", "install", "--no-index", "--no-build-isolation",
                   "--no-cache-dir", str(SOURCE / "python")], PIP_TIMEOUT,
                  PIP_CONFIG_FILE=os.devnull), end="")
    finally:
        for path in leftovers:
            shutil.rmtree(path, ignore_errors=True)
    # What was installed is the package with its generated modules, at the project's version.
    # -I: nothing from the environment or the current folder on the module path.
    shown = run([interpreter(venv), "-I", "-c",
                 "import importlib.metadata, zorcomm; print(zorcomm.__file__);"
                 "print(zorcomm.__version__, importlib.metadata.version('zorcomm'));"
                 "print(len(zorcomm.ERROR_TEXTS))"], RUN_TIMEOUT).split("\n")
    location, versions, texts = shown[0], shown[1], shown[2]
    if not Path(location).resolve().is_relative_to(venv.resolve()):
        fail(f"zorcomm was imported from {location}, not from {venv}")
    expected = os.environ["ZORCOMM_TEST_VERSION"]
    if versions != f"{expected} {expected}":
        fail(f"zorcomm.__version__ and the installed version are {versions}, not {expected}")
    if int(texts) < 100:
        fail(f"the installed error table has {texts} texts")
    print(f"zorcomm {expected} installed in {venv}")


def identify(venv: Path) -> None:
    """identify.py finds the library as an installed application would: through the loader
    (pkg-config knows no zorcomm here)."""
    with tempfile.TemporaryDirectory() as empty:
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("ZORCOMM_LIBRARY", "PKG_CONFIG_PATH", "PYTHONPATH")}
        environment.update(
            LD_LIBRARY_PATH=os.environ["ZORCOMM_TEST_LIBRARY_DIR"],
            PKG_CONFIG_LIBDIR=empty,
            ZORCOMM_SIM_OPTIONS="--axes 4,9 --version 9=F909B --baud 57600 --read-timeout 200",
        )
        done = subprocess.run(
            [interpreter(venv), str(SOURCE / "python/examples/identify.py"),
             "--driver", os.environ["ZORCOMM_TEST_SIMDRIVER"], "--axis", "9"],
            env=environment, capture_output=True, text=True, timeout=RUN_TIMEOUT,
        )
    expected = "host axis:   4\nactive axis: 9\nfirmware:    F909B\nbaud rate:   57600\n"
    if done.returncode != 0 or done.stdout != expected:
        fail(f"identify.py ended with {done.returncode}:\n{done.stdout}{done.stderr}")
    print(done.stdout, end="")


def main(arguments: list[str]) -> int:
    commands = {"install": install, "identify": identify, "remove": lambda venv: shutil.rmtree(venv, True)}
    if len(arguments) != 2 or arguments[0] not in commands:
        print(__doc__, file=sys.stderr)
        return 2
    commands[arguments[0]](Path(arguments[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
