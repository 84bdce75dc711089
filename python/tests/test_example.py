"""python/examples/identify.py run as a user would run it."""

from __future__ import annotations

import os
import subprocess
import sys
import unittest

import support

EXAMPLE = support.SOURCE_DIR / "python/examples/identify.py"


def identify(*arguments: str, **environment: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env.update(environment)
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *arguments],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )


class IdentifyExampleTest(unittest.TestCase):
    def test_it_identifies_the_simulated_drive(self) -> None:
        done = identify(
            "--driver", support.SIMDRIVER, "--axis", "7",
            ZORCOMM_SIM_OPTIONS="--axes 6,7 --version 7=F707A --baud 38400 --read-timeout 200",
        )
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(
            done.stdout.splitlines(),
            ["host axis:   6", "active axis: 7", "firmware:    F707A", "baud rate:   38400"],
        )

    def test_it_reports_failures_on_standard_error(self) -> None:
        done = identify("--driver", "/nonexistent/driver.so")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stdout, "")
        self.assertEqual(
            done.stderr, "identify: open /nonexistent/driver.so: No such file or directory\n"
        )
        done = identify("--driver", support.SIMDRIVER, "--library", "/nonexistent/libzorcomm.so")
        self.assertEqual(done.returncode, 1)
        self.assertIn("cannot load libzorcomm", done.stderr)


if __name__ == "__main__":
    unittest.main()
