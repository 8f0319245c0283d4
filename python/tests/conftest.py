# SPDX-License-Identifier: MIT
"""The fixture ``sim``: bdesim (``XELBDE_BDESIM``) playing the terminals below on 127.0.0.x port 23 (in the
network namespace of run.sh), for each test in a temporary directory of its own, the current one, with
terminal.ini (``TERMINI``), the locks (``XELBDE_LOCKDIR``), the stores and the operations log."""

import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the package of this source tree
os.environ.setdefault("XELBDE_TIMEOUT", "4")  # read at the first connect; GHOST takes all of it

TYPES = {"B5D8": "5214-031", "B562": "5214-032", "A2D8": "4630-017"}
BOOK = bytes(b for b in range(256) if b != 0xA6) * 20  # three upload blocks; 0xA6 would end the data
# The 16 terminals of the thread test: name -> (status bytes, data file DATA)
FLEET = {f"T{n:02}": (list(TYPES)[n % 3], b"%02d" % n * (900 * n)) for n in range(1, 17)}
TERMINALS = {
    "HALLE1": "listen = 127.0.0.2\nversion = KORVO_5214-031_PY\nclock = 070203140509\ndateformat = 3\nradio = W",
    "STALL": "listen = 127.0.0.3\nfault = upload#2 silence",  # answers no second upload block
    **{name: f"listen = 127.0.0.{10 + n}\nstatus = {status}" for n, (name, (status, _)) in enumerate(FLEET.items())},
}
BDESIM = os.path.abspath(os.environ.get("XELBDE_BDESIM", "bdesim"))  # before the tests change directory


@pytest.fixture
def sim(monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    """Yields bdesim's directory, with a store per terminal: HALLE1 and STALL hold BOOK, Tnn its DATA."""
    with tempfile.TemporaryDirectory(prefix="xelbde-test-") as name:
        here = Path(name)
        config = [f"[terminal {terminal}]\n{keys}\nstore = {terminal}\n" for terminal, keys in TERMINALS.items()]
        ini = [f"[{terminal}]\r\nIP = {keys.split()[2]}\r\n" for terminal, keys in TERMINALS.items()]
        stores = {"HALLE1/BOOK.dat": BOOK, "STALL/BOOK.dat": BOOK}
        stores.update((f"{terminal}/DATA.dat", data) for terminal, (_, data) in FLEET.items())
        for path, data in stores.items():
            (here / path).parent.mkdir(exist_ok=True)
            (here / path).write_bytes(data)
        (here / "bdesim.conf").write_text("".join(config))
        ghost = "[GHOST]\r\nIP = 127.0.0.99\r\n"  # nothing listens there
        (here / "terminal.ini").write_text("".join(ini) + ghost, newline="")
        (here / "locks").mkdir()
        monkeypatch.setenv("TERMINI", name)
        monkeypatch.setenv("XELBDE_LOCKDIR", str(here / "locks"))
        monkeypatch.chdir(here)
        with open(here / "bdesim.out", "wb") as out:
            command = [BDESIM, "--config", "bdesim.conf", "--ready-file", "ready"]
            process = subprocess.Popen(command, stdout=out, stderr=out)
        try:
            for _ in range(100):  # 10 s at the most
                if (here / "ready").exists() or process.poll() is not None:
                    break
                time.sleep(0.1)
            assert (here / "ready").exists(), (here / "bdesim.out").read_text()
            yield here
        finally:
            process.terminate()
            process.wait()
