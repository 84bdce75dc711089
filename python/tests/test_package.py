"""The binding's own parts: loading the library, the declared exports against the header, the
error codes, handler lifetimes, the message record; and the settings reference against the
library's sources."""

from __future__ import annotations

import ctypes
import gc
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import support
import zorcomm
from zorcomm import DriveMessage, ErrorCode, LibraryNotFoundError, _native


class LoadingTest(unittest.TestCase):
    """Where Library() finds the library: ZORCOMM_LIBRARY, pkg-config's libdir, the loader's
    search, beside the package. Each case runs a fresh interpreter that sees only the places it
    sets up (pkg-config searches an empty folder unless told otherwise)."""

    def setUp(self) -> None:
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = Path(folder.name)
        # An installed prefix: what pkg-config searches (empty until a test fills it).
        self.prefix = self.folder / "prefix"
        self.pkgconfig = self.prefix / "lib/pkgconfig"
        self.pkgconfig.mkdir(parents=True)

    def run_python(self, code: str, **environment: str) -> subprocess.CompletedProcess[str]:
        hidden = ("ZORCOMM_LIBRARY", "LD_LIBRARY_PATH", "PKG_CONFIG_PATH")
        env = {k: v for k, v in os.environ.items() if k not in hidden}
        env["ZORCOMM_SHM"] = os.environ["ZORCOMM_SHM"] + "-child"
        env["PKG_CONFIG_LIBDIR"] = str(self.pkgconfig)
        env.update(environment)
        return subprocess.run(
            [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=30
        )

    def loaded_path(self, **environment: str) -> str:
        done = self.run_python(
            "import zorcomm; library = zorcomm.Library(); print(library.path);"
            "print(library.raw.MSK_UpdateSettings(), repr(library.last_error()))",
            **environment,
        )
        self.assertEqual(done.returncode, 0, done.stderr)
        path, works = done.stdout.splitlines()
        # It is the library: a call without a channel fails with its own text.
        self.assertEqual(works, f"0 {zorcomm.error_text(ErrorCode.PORT_NOT_OPENED)!r}")
        return path

    def write_pc(self, libdir: str) -> None:
        (self.pkgconfig / "zorcomm.pc").write_text(
            f"libdir={libdir}\nName: zorcomm\nDescription: test\nVersion: {support.VERSION}\n"
            "Libs: -L${libdir} -lzorcomm\nCflags:\n"
        )

    def package_copy_without_library(self) -> Path:
        """A copy of the package under test in a folder of its own, first on PYTHONPATH."""
        copy = self.folder / "site"
        shutil.copytree(Path(zorcomm.__file__).parent, copy / "zorcomm",
                        ignore=shutil.ignore_patterns("__pycache__"))
        return copy

    def skip_if_the_system_has_the_library(self) -> None:
        done = self.run_python("import ctypes; ctypes.CDLL('libzorcomm.so.0')")
        if done.returncode == 0:
            self.skipTest("the loader finds a libzorcomm.so.0 installed on this machine")

    def test_the_loader_finds_the_library_by_its_soname(self) -> None:
        self.assertEqual(self.loaded_path(LD_LIBRARY_PATH=support.LIBRARY_DIR), "libzorcomm.so.0")

    def test_the_libdir_of_pkg_config_comes_before_the_loader(self) -> None:
        # The build's own pkg-config file, whose libdir is worked out from its folder, in a
        # prefix with the library.
        shutil.copy(os.environ["ZORCOMM_TEST_PC"], self.pkgconfig)
        (self.prefix / "lib/libzorcomm.so.0").symlink_to(Path(support.LIBRARY_DIR, "libzorcomm.so.0"))
        # The loader would find another copy: pkg-config's is taken.
        elsewhere = self.folder / "elsewhere"
        elsewhere.mkdir()
        shutil.copy(Path(support.LIBRARY_DIR, "libzorcomm.so.0"), elsewhere)
        self.assertEqual(self.loaded_path(LD_LIBRARY_PATH=str(elsewhere)),
                         str(self.prefix / "lib/libzorcomm.so.0"))

    def test_a_libdir_without_the_library_leaves_it_to_the_loader(self) -> None:
        self.write_pc(str(self.folder / "empty-lib"))
        self.assertEqual(self.loaded_path(LD_LIBRARY_PATH=support.LIBRARY_DIR), "libzorcomm.so.0")

    def test_beside_the_package_comes_last(self) -> None:
        self.skip_if_the_system_has_the_library()
        copy = self.package_copy_without_library()
        beside = copy / "zorcomm/libzorcomm.so.0"
        beside.symlink_to(Path(support.LIBRARY_DIR, "libzorcomm.so.0").resolve())
        self.assertEqual(self.loaded_path(PYTHONPATH=str(copy)),
                         str(copy.resolve() / "zorcomm/libzorcomm.so.0"))

    def test_a_failed_search_names_every_place(self) -> None:
        self.skip_if_the_system_has_the_library()
        copy = self.package_copy_without_library()
        done = self.run_python(
            "import zorcomm\ntry: zorcomm.Library()\nexcept zorcomm.LibraryNotFoundError as e: print(e)",
            PYTHONPATH=str(copy),
        )
        self.assertEqual(done.returncode, 0, done.stderr)
        message = done.stdout
        self.assertTrue(message.startswith("cannot load libzorcomm: pkg-config knows no zorcomm; "),
                        message)
        self.assertIn("libzorcomm.so.0: cannot open shared object file", message)
        self.assertIn(f"no {copy.resolve() / 'zorcomm/libzorcomm.so.0'}", message)
        self.assertIn(f"no {copy.resolve() / 'libzorcomm.so.0'}", message)

    def test_the_environment_names_the_library(self) -> None:
        # Named on purpose, it is the only place tried, though the loader would find one.
        done = self.run_python(
            "import zorcomm\ntry: zorcomm.Library()\nexcept zorcomm.LibraryNotFoundError as e: print(e)",
            ZORCOMM_LIBRARY="/nonexistent/libzorcomm.so", LD_LIBRARY_PATH=support.LIBRARY_DIR,
        )
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.startswith("cannot load libzorcomm: /nonexistent/libzorcomm.so:"),
                        done.stdout)
        self.assertNotIn(";", done.stdout)

    def test_files_that_are_not_the_library_are_refused(self) -> None:
        with self.assertRaisesRegex(LibraryNotFoundError, "/nonexistent/libzorcomm.so"):
            zorcomm.Library("/nonexistent/libzorcomm.so")
        with self.assertRaisesRegex(LibraryNotFoundError, "is not libzorcomm"):
            zorcomm.Library(support.SIMDRIVER)


class VersionTest(unittest.TestCase):
    def test_the_version_is_the_library_s(self) -> None:
        self.assertEqual(zorcomm.__version__, support.VERSION)
        # The file the SONAME link names carries the same version.
        library = Path(support.LIBRARY_DIR, "libzorcomm.so.0").resolve()
        self.assertEqual(library.name, f"libzorcomm.so.{zorcomm.__version__}")


HEADER_TYPES = {
    "void": None,
    "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16,
    "uint32_t": ctypes.c_uint32,
    "int32_t": ctypes.c_int32,
    "const char *": ctypes.c_char_p,
    "char *": ctypes.c_char_p,
    "uint16_t *": ctypes.POINTER(ctypes.c_uint16),
    "const uint16_t *": ctypes.POINTER(ctypes.c_uint16),
    "DriveMessage *": ctypes.POINTER(_native.CDriveMessage),
    "const DriveMessage *": ctypes.POINTER(_native.CDriveMessage),
    "ProgressCallback": _native.ProgressCallback,
    "DebugLogHandler": _native.DebugLogHandler,
    "UnsolicitedMessageHandler": _native.UnsolicitedMessageHandler,
}


def header_type(declaration: str) -> object:
    """The ctypes type of a declaration such as ``const uint16_t *buffer`` or ``uint32_t``."""
    declaration = " ".join(declaration.split())
    match = re.fullmatch(r"(.*?)\s*(\**)\s*[A-Za-z_]\w*", declaration)
    if match and match.group(1):
        base, stars = match.group(1), match.group(2)
    else:
        base, stars = declaration, ""
    key = f"{base} {stars}" if stars else base
    return HEADER_TYPES[key]


class ChannelTypesTest(unittest.TestCase):
    def test_every_channel_type_of_the_header_has_its_constant(self) -> None:
        header = (support.SOURCE_DIR / "include/zorcomm/zorcomm.h").read_text()
        defined = dict(re.findall(r"^#define CHANNEL_(\w+) (\d+)$", header, re.M))
        self.assertIn("SOCKETCAN", defined)
        self.assertEqual({name: int(value) for name, value in defined.items()},
                         {channel.name: channel.value for channel in zorcomm.ChannelType})


class ExportsTest(unittest.TestCase):
    def test_every_export_is_declared_as_the_header_declares_it(self) -> None:
        header = (support.SOURCE_DIR / "include/zorcomm/zorcomm.h").read_text()
        declared = re.findall(
            r"^ZORCOMM_API ([^\n]*?)\s*ZORCOMM_CALL\s*(MSK_\w+)\(([^)]*)\);", header, re.M
        )
        self.assertEqual(len(declared), 24)
        self.assertEqual({name for _, name, _ in declared}, set(_native.PROTOTYPES))
        for result, name, arguments in declared:
            with self.subTest(name):
                expected_result, expected_arguments = _native.PROTOTYPES[name]
                self.assertIs(header_type(result), expected_result)
                parts = [] if arguments.strip() == "void" else arguments.split(",")
                self.assertEqual([header_type(part) for part in parts], expected_arguments)

    def test_the_message_record_has_the_c_layout(self) -> None:
        record = _native.CDriveMessage
        self.assertEqual(ctypes.sizeof(record), 14)
        offsets = [getattr(record, field).offset for field in ("length", "address", "opCode", "data")]
        self.assertEqual(offsets, [0, 2, 4, 6])


class ErrorTableTest(unittest.TestCase):
    def test_a_code_is_given_only_where_the_text_tells_it(self) -> None:
        invalid = zorcomm.error_text(ErrorCode.INVALID_PARAMETER)
        self.assertEqual(invalid, "Invalid parameter.\r\n")
        self.assertEqual(zorcomm.code_for_text(invalid), ErrorCode.INVALID_PARAMETER)
        self.assertEqual(zorcomm.ZorcommError.from_text("x", invalid).code, 0x2000007B)
        # Two codes share this text: which one it was cannot be told.
        shared = zorcomm.error_text(0x200000F4)
        self.assertEqual(shared, zorcomm.error_text(0x200000F6))
        self.assertIsNone(zorcomm.code_for_text(shared))
        # A system error's text, a text cut differently, nothing.
        for text in ("No such file or directory", "Invalid parameter.", ""):
            self.assertIsNone(zorcomm.code_for_text(text))
        self.assertEqual(str(zorcomm.ZorcommError.from_text("reset_drive", "")),
                         "reset_drive: failed (the library gave no reason)")

    def test_a_refused_shared_region_gives_its_code_with_the_line_that_names_the_object(self) -> None:
        general = zorcomm.error_text(ErrorCode.REGION_OWNED_BY_OTHER_USER)
        named = general + "Shared memory object /zorcomm-0: owned by user 65534.\r\n"
        self.assertEqual(zorcomm.code_for_text(named), ErrorCode.REGION_OWNED_BY_OTHER_USER)
        self.assertEqual(zorcomm.code_for_text(general), ErrorCode.REGION_OWNED_BY_OTHER_USER)
        # Only those codes' texts carry such a line; nor is a line more without its CR LF one.
        self.assertIsNone(zorcomm.code_for_text("Invalid parameter.\r\nmore\r\n"))
        self.assertIsNone(zorcomm.code_for_text(named[:-2]))


class HandlerLifetimeTest(unittest.TestCase):
    def test_handlers_live_as_long_as_they_are_registered_in_the_process(self) -> None:
        library = support.library()
        lines: list[str] = []
        library.set_log_handler(lambda line: lines.append(line))
        self.addCleanup(library.set_log_handler, None)
        gc.collect()
        self.assertEqual(library.raw.MSK_UpdateSettings(), 0)  # no channel: one error line
        self.assertEqual(len(lines), 1)
        self.assertIn("MSK Error : Serial communication port not opened.", lines[0])

        # A second Library object for the same file is the same library of this process.
        other = zorcomm.Library(library.path)
        other.set_log_handler(None)
        gc.collect()
        self.assertEqual(library.raw.MSK_UpdateSettings(), 0)
        self.assertEqual(len(lines), 1)


class DriveMessageTest(unittest.TestCase):
    def test_addresses_of_axes_and_groups(self) -> None:
        single = DriveMessage.for_axis(2, 0x0402)
        self.assertEqual((single.address, single.axis, single.is_group), (0x0020, 2, False))
        group = DriveMessage.for_group(3, 0x1234, [1, 2])
        self.assertEqual((group.address, group.axis, group.is_group), (0x1030, 3, True))
        self.assertEqual(group.data, (1, 2))
        record = group.to_c()
        self.assertEqual((record.length, record.address, record.opCode), (2, 0x1030, 0x1234))
        self.assertEqual(DriveMessage.from_c(record), group)

    def test_what_does_not_fit_a_message_is_refused(self) -> None:
        with self.assertRaisesRegex(ValueError, "at most 4"):
            DriveMessage(0x10, 1, (1, 2, 3, 4, 5))
        with self.assertRaises(ValueError):
            DriveMessage.for_axis(256, 1)
        with self.assertRaises(ValueError):
            DriveMessage(0x10, 0x10000)
        # A length from the library beyond the record is not followed.
        record = _native.CDriveMessage(9, 0x10, 0x20, (1, 2, 3, 4))
        self.assertEqual(DriveMessage.from_c(record).data, (1, 2, 3, 4))


class SettingsReferenceTest(unittest.TestCase):
    """docs/settings.md and examples/kernel.cfg describe the keys the library reads."""

    def test_the_reference_and_the_sample_cover_every_key_the_library_reads(self) -> None:
        source = support.SOURCE_DIR
        read = set()
        for path in (source / "src").rglob("*.cpp"):
            read |= set(re.findall(r'ReadSetting\("([A-Z0-9_]+)"', path.read_text()))
        self.assertGreaterEqual(len(read), 20)

        reference = (source / "docs/settings.md").read_text()
        documented = dict(re.findall(r"^\| `([A-Z0-9_]+)` \| ([^|]+) \|", reference, re.M))
        sample = (source / "examples/kernel.cfg").read_text()
        section = sample.split("[ZORCOMM]", 1)[1].split("[PORTS]", 1)[0]
        in_sample = dict(re.findall(r"^;?([A-Z0-9_]+)=(-?\d+)$", section, re.M))

        self.assertEqual(set(documented), read)
        self.assertEqual(set(in_sample), read)
        for key, value in in_sample.items():
            with self.subTest(key):
                self.assertTrue(documented[key].startswith(value), (documented[key], value))


if __name__ == "__main__":
    unittest.main()
