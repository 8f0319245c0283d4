# SPDX-License-Identifier: MIT
"""The package against bdesim (conftest.py): values, transfers, errors, threads."""

import os
import re
import shutil
import subprocess
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timedelta
from pathlib import Path

import pytest
from conftest import BOOK, FLEET, TYPES

import xelbde
from xelbde._terminal import _terminal_time


def test_queries(sim: Path) -> None:
    with xelbde.connect("HALLE1") as t:
        assert (t.type(), t.version(), t.status()) == ("5214-031", "KORVO 5214-031 PY", b"\xb5\xd8")
        assert t.clock() == xelbde.Clock(datetime(2007, 2, 3, 14, 5, 9), "3", "W", "070203140509")
        # bdesim's page: byte i = (i + 17 page + 31 (segment mod 256) + 7 (segment / 256)) mod 256
        assert t.page(0x1A2B, 3) == bytes((i + 17 * 3 + 31 * 0x2B + 7 * 0x1A) % 256 for i in range(256))


@pytest.mark.parametrize("text, time", [("791231235959", datetime(2079, 12, 31, 23, 59, 59)),
                                        ("800101000000", datetime(1980, 1, 1)), ("070431120000", None), ("07 2", None)])
def test_terminal_time(text: str, time: datetime | None) -> None:
    assert _terminal_time(text) == time


def test_set_clock(sim: Path) -> None:
    with xelbde.connect("HALLE1") as t:
        t.set_clock(datetime(2031, 7, 4, 8, 9, 10), date_format="2")
        clock = t.clock()  # runs on from the time set
        assert clock.date_format == "2" and clock.time is not None
        assert timedelta(0) <= clock.time - datetime(2031, 7, 4, 8, 9, 10) < timedelta(minutes=5)
        t.set_clock()
        assert abs(t.clock().time - datetime.now()) < timedelta(minutes=5)  # type: ignore[operator]


def test_transfers(sim: Path) -> None:
    reports: list[xelbde.Progress] = []
    Path("new.dat").write_bytes(b"n" * 2000)
    with xelbde.connect("HALLE1") as t:
        t.upload("book.dat", "BOOK", progress=reports.append)
        assert Path("book.dat").read_bytes() == BOOK
        assert reports[-1] == xelbde.Progress("APUPL00B", len(BOOK), None, 3, True) and not reports[-2].done
        t.download("new.dat", "NEW", progress=reports.append)
        assert reports[-1] == xelbde.Progress("APDNLOAD", 2000, 2000, 2, True)
        t.download("book.dat", "NEW", replace=False)
        assert Path("HALLE1/NEW.dat").read_bytes() == b"n" * 2000 + BOOK
        assert t.directory() == [xelbde.DirectoryEntry("BOOK", "D", 5120), xelbde.DirectoryEntry("NEW", "D", 7168)]
        t.upload("back.dat", "NEW", delete=True)
        assert Path("back.dat").read_bytes() == b"n" * 2000 + BOOK
        t.delete("BOOK")
        assert t.directory() == []


def test_exit_disconnects_after_an_exception(sim: Path) -> None:
    with pytest.raises(KeyError), xelbde.connect("HALLE1") as t:
        t.type()
        raise KeyError
    with xelbde.connect("HALLE1") as t:
        assert t.type() == "5214-031"


@pytest.mark.parametrize("name, command, kind, function, code, code_name", [
    ("NOWHERE", None, xelbde.ConnectionFailed, "APALC00B", 6, "no-address"),  # not in terminal.ini
    ("GHOST", None, xelbde.ConnectionFailed, "APALC00B", 7, "connect-timeout"),  # refused
    ("HALLE1", lambda t: t.upload("x.dat", "NOFILE"), xelbde.TerminalStatus, "APUPL00B", 96, "terminal-status"),
    ("HALLE1", lambda t: t.download("no.dat", "X"), xelbde.LocalFileError, "APDNLOAD", 10, "download-file-missing"),
])
def test_errors(sim: Path, name, command, kind, function, code, code_name) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(kind) as failure, xelbde.connect(name) as t:
        command(t)
    error = failure.value
    assert (error.function, error.code, error.name) == (function, code, code_name)
    assert str(error) == f"{function} ended with {code:02d} ({code_name}): {error.meaning}"


def test_every_code_has_the_class_of_its_name() -> None:
    for code in range(1, 100):
        name = xelbde.XelbdeError(code, "APTYP01B").name
        kind = xelbde.error_class(code)
        assert kind is not xelbde.XelbdeError and (kind is xelbde.TerminalStatus) == (name == "terminal-status"), code


def test_a_failing_progress_callback_cancels_the_transfer(sim: Path) -> None:
    calls = []

    def fail(progress: xelbde.Progress) -> None:
        calls.append(progress)
        raise ZeroDivisionError

    with xelbde.connect("STALL") as t:
        with pytest.raises(ZeroDivisionError) as failure:  # at once, not after the silent block's time-out
            t.upload("book.dat", "BOOK", progress=fail)
        assert len(calls) == 1 and "APUPL00B ended with 16" in failure.value.__notes__[0]
        assert "Abbruch durch XelbdeCancel" in Path("xelbde.log").read_text(encoding="latin-1")
        t.download("bdesim.conf", "CONF")  # without the callback
        assert len(calls) == 1


def test_threads_on_terminals_of_their_own(sim: Path) -> None:
    start = threading.Barrier(len(FLEET))

    def work(name: str) -> tuple[str, bytes]:
        start.wait()
        with xelbde.connect(name) as t:
            t.upload(f"{name}.dat", "DATA")
            return t.type(), Path(f"{name}.dat").read_bytes()

    with ThreadPoolExecutor(len(FLEET)) as pool:
        results = dict(zip(FLEET, pool.map(work, FLEET)))
    assert results == {name: (TYPES[status], data) for name, (status, data) in FLEET.items()}


def test_installs_offline_into_a_venv_with_the_header_version() -> None:
    header = (Path(__file__).parents[2] / "xelbde" / "xelbde.h").read_text()
    parts = (re.search(rf"#define XELBDE_VERSION_{p} (\d+)", header)[1] for p in ("MAJOR", "MINOR", "PATCH"))
    with tempfile.TemporaryDirectory(prefix="xelbde-venv-") as name:
        here, python = Path(name), Path(name) / "venv/bin/python"
        # The build writes into the tree it installs: a copy, not the source. Debian's pip and wheel serve the venv.
        shutil.copytree(Path(__file__).parents[1], here / "src", ignore=shutil.ignore_patterns("tests"))
        venv = ["/usr/bin/python3", "-m", "venv", "--system-site-packages", "--without-pip", str(here / "venv")]
        subprocess.run(venv, check=True)
        pip = [python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", "--no-cache-dir"]
        subprocess.run([*pip, here / "src"], check=True, env={**os.environ, "TMPDIR": name})
        script = "import xelbde as x, importlib.metadata as m; print(x.version(), m.version('xelbde'), x.__file__)"
        shown = subprocess.run([python, "-c", script], cwd=here, check=True, capture_output=True, text=True).stdout
        version, package_version, module = shown.split()
        assert version == package_version == xelbde.__version__ == ".".join(parts)
        assert Path(module).is_relative_to(here / "venv")  # the installed copy
