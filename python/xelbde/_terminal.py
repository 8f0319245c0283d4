# SPDX-License-Identifier: MIT
"""The connection to one terminal and the commands on it."""

import ctypes
import os
import tempfile
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime
from types import TracebackType
from typing import Self

from ._api import PROGRESS_CALLBACK, ProgressRecord, library
from .errors import XelbdeError, error_for

StrPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]
"""A host file name: anything :func:`os.fsencode` takes."""

NAME_WIDTH = 15  # the terminal name field: a name counts with 10 characters, a dotted address with 15
OBJECT_NAME_WIDTH = 8  # terminal file names
VERSION_WIDTH = 128  # the version text: reply bytes 81-208, up to the terminal's clock
PAGE_SIZE = 256
SYSTEM_TIME = b"*SYSVAL     "  # the clock field that stands for the host's local time
DIRECTORY_TOTAL = slice(12, 16)  # in the directory file: total memory, units of 256 bytes
DIRECTORY_ENTRIES = 28  # where the entries start, 16 bytes each
DIRECTORY_ENTRY = 16


@dataclass(frozen=True)
class Clock:
    """The terminal's clock as ``APRTVCLK`` reads it.

    ``time`` is the terminal's local date and time (naive), or None when its
    twelve characters (``text``, YYMMDDHHMMSS; years 80-99 are 1980-1999,
    00-79 are 2000-2079) are no valid date and time: reading the clock still
    succeeded, only its setting is unusable. ``date_format`` is the
    terminal's date-format character, ``radio`` its radio-clock status
    character ("W" or "S": synchronised).
    """

    time: datetime | None
    date_format: str
    radio: str
    text: str

    @property
    def synchronised(self) -> bool:
        """Whether the terminal's radio clock is synchronised."""
        return self.radio in ("W", "S")


@dataclass(frozen=True)
class Progress:
    """One progress report of a transfer (``XelbdeProgress``).

    ``function`` is the API function ("APDNLOAD", "APUPL00B"), ``bytes_done``
    the data bytes moved so far, ``bytes_total`` the file's size for a
    download and None for an upload (unknown before its end), ``blocks`` the
    blocks exchanged so far, and ``done`` is true on the last report of the
    transfer, which comes whatever its outcome.
    """

    function: str
    bytes_done: int
    bytes_total: int | None
    blocks: int
    done: bool


@dataclass(frozen=True)
class DirectoryEntry:
    """One object stored on the terminal: its ``name``, its ``kind`` ("D" a
    data file, "P" a program) and the ``memory`` it takes in bytes (a
    multiple of 256). A full directory ends with an entry named "*REST" that
    holds the memory of the objects not listed."""

    name: str
    kind: str
    memory: int


def _terminal_time(text: str) -> datetime | None:
    """The date and time of the terminal's YYMMDDHHMMSS, or None when invalid."""
    if len(text) != 12 or not (text.isascii() and text.isdigit()):
        return None
    year, month, day, hour, minute, second = (int(text[i : i + 2]) for i in range(0, 12, 2))
    try:
        return datetime(year + (2000 if year < 80 else 1900), month, day, hour, minute, second)
    except ValueError:
        return None


def _parse_directory(data: bytes) -> list[DirectoryEntry]:
    """The entries of the directory information that ``APDIR00B`` files:
    16 bytes each from offset 28, the memory in units of 256 bytes in the
    first four characters, the name in the next eight, the kind after a
    blank; the list ends at the first entry without a number."""
    entries = []
    for start in range(DIRECTORY_ENTRIES, len(data) - DIRECTORY_ENTRY + 1, DIRECTORY_ENTRY):
        entry = data[start : start + DIRECTORY_ENTRY].decode("latin-1")
        units = entry[:4].strip()
        if not (units.isascii() and units.isdigit()):
            break
        entries.append(DirectoryEntry(entry[4:12].rstrip(" "), entry[13], int(units) * 256))
    return entries


def _text(area: bytes) -> str:
    """A text the terminal sent: up to its first zero byte, without trailing blanks."""
    return area.partition(b"\0")[0].rstrip(b" ").decode("latin-1")


def _file_name(path: StrPath) -> bytes:
    """A host file name as the library takes it: a terminated text."""
    encoded = os.fsencode(path)
    if not encoded or b"\0" in encoded:
        raise ValueError(f"not a usable file name: {path!r}")
    return encoded


def _object_name(name: str) -> bytes:
    """A terminal file name: 1 to 8 characters, sent as a terminated text."""
    encoded = name.encode("latin-1")
    if not 0 < len(encoded) <= OBJECT_NAME_WIDTH or b"\0" in encoded:
        raise ValueError(f"a terminal file name has 1 to {OBJECT_NAME_WIDTH} characters: {name!r}")
    return encoded


def _one_character(text: str, what: str) -> bytes:
    encoded = text.encode("latin-1")
    if len(encoded) != 1:
        raise ValueError(f"{what} is one character: {text!r}")
    return encoded


@contextmanager
def _private_file(name: str) -> Iterator[str]:
    """A path in a fresh directory of this user's own, removed with all in it afterwards."""
    with tempfile.TemporaryDirectory(prefix="xelbde-") as directory:
        yield os.path.join(directory, name)


class _ProgressRelay:
    """Hands the library's progress reports of one call to a Python callable.

    An exception that the callable raises is kept (it must not unwind
    through the library) and no further reports are handed on; the transfer
    is cancelled from another thread (the callback itself must not call the
    library), and the caller re-raises the exception once the call is over.
    """

    def __init__(self, callback: Callable[[Progress], object], cancel: Callable[[], None]) -> None:
        self.callback = callback
        self.cancel = cancel
        self.error: BaseException | None = None
        self.canceller: threading.Thread | None = None
        self.function = PROGRESS_CALLBACK(self._report)  # kept alive as long as the relay

    def _report(self, _context: int | None, record: "ctypes._Pointer[ProgressRecord]") -> None:
        if self.error is not None:
            return
        p = record.contents
        progress = Progress(
            function=(p.function or b"").decode("ascii"),
            bytes_done=p.bytesDone,
            bytes_total=p.bytesTotal if p.bytesTotal >= 0 else None,
            blocks=p.blocks,
            done=bool(p.done),
        )
        try:
            self.callback(progress)
        except BaseException as error:  # KeyboardInterrupt too: raised after the call
            self.error = error
            self.canceller = threading.Thread(target=self.cancel, name="xelbde-cancel")
            self.canceller.start()


class Terminal:
    """The connection to one terminal.

    Nothing is sent before :meth:`open` (or entering a ``with`` block, which
    opens and at its end closes the connection, also when the block raised).
    Every command raises a :class:`~xelbde.XelbdeError` subclass when its
    return code is not 0; a command on a terminal that is not open raises
    :class:`~xelbde.ConnectionFailed` with code 33.

    Different terminals may be used from different threads at once. One
    terminal's connection carries one call at a time: a ``Terminal`` is not
    to be shared between threads, except for :meth:`cancel`.
    """

    def __init__(self, name: str) -> None:
        """Names the terminal: its section in terminal.ini, a host name or a
        dotted IPv4 address (the library keys connections by at most 10
        characters of a name and 15 of an address)."""
        encoded = name.encode("latin-1")
        if not 0 < len(encoded) <= NAME_WIDTH or b" " in encoded or b"\0" in encoded:
            raise ValueError(f"a terminal name has 1 to {NAME_WIDTH} characters and no blank: {name!r}")
        self._name = name
        self._field = encoded.ljust(NAME_WIDTH)
        self._open = False

    @property
    def name(self) -> str:
        """The terminal's name as given."""
        return self._name

    @property
    def is_open(self) -> bool:
        """Whether this object holds the terminal's connection."""
        return self._open

    def __repr__(self) -> str:
        return f"<Terminal {self._name!r} {'open' if self._open else 'closed'}>"

    def _call(self, function: str, *arguments: object) -> None:
        rc = ctypes.create_string_buffer(3)  # two digits and a zero
        lib = library()
        getattr(lib, function)(self._field, *arguments, rc)
        code = lib.XelbdeReturnCode(rc)
        if code != 0:
            raise error_for(code, function)

    def _transfer(self, function: str, progress: Callable[[Progress], object] | None, *arguments: object) -> None:
        """A call that reports its progress to ``progress`` (registered for
        this thread during the call only)."""
        if progress is None:
            self._call(function, *arguments)
            return
        relay = _ProgressRelay(progress, self.cancel)
        lib = library()
        lib.XelbdeSetProgressCallback(relay.function, None)
        try:
            self._call(function, *arguments)
        except XelbdeError as failure:
            if relay.error is None:
                raise
            relay.error.add_note(f"the transfer then ended: {failure}")
        finally:
            lib.XelbdeSetProgressCallback(PROGRESS_CALLBACK(0), None)  # NULL: none
            if relay.canceller is not None:
                relay.canceller.join()
        if relay.error is not None:
            raise relay.error

    def open(self) -> Self:
        """Connects to the terminal (``APALC00B``); returns the terminal."""
        self._call("APALC00B", None)
        self._open = True
        return self

    def close(self) -> None:
        """Disconnects (``APDLC00B``); does nothing when not open."""
        if self._open:
            self._open = False  # the library releases the connection on a failure too
            self._call("APDLC00B", None)

    def __enter__(self) -> Self:
        return self if self._open else self.open()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if error is None:
            self.close()
            return
        try:
            self.close()
        except XelbdeError as failure:  # the block's own exception is the one to see
            error.add_note(f"closing the connection failed too: {failure}")

    def cancel(self) -> None:
        """Cancels the call running on this terminal's connection, from
        another thread: it ends at its next wait and raises
        :class:`~xelbde.ExchangeFailed` (16). Does nothing while no call runs."""
        library().XelbdeCancel(self._field)

    def type(self) -> str:
        """The terminal's model designation, e.g. "5214-031" (``APTYP01B``)."""
        area = ctypes.create_string_buffer(10)
        self._call("APTYP01B", area)
        return _text(area.raw)

    def version(self) -> str:
        """The terminal's version text (``APDMTVER``)."""
        area = ctypes.create_string_buffer(VERSION_WIDTH)
        self._call("APDMTVER", area, VERSION_WIDTH)
        return _text(area.raw)

    def status(self) -> bytes:
        """The two status bytes the terminal reports, e.g. b"\\xb5\\xd8" (``APRST00B``)."""
        area = ctypes.create_string_buffer(2)
        self._call("APRST00B", area)
        return area.raw

    def clock(self) -> Clock:
        """The terminal's clock (``APRTVCLK``)."""
        time, date_format, radio = (ctypes.create_string_buffer(n) for n in (12, 1, 1))
        self._call("APRTVCLK", time, date_format, radio)
        text = time.raw.decode("latin-1")
        return Clock(_terminal_time(text), date_format.raw.decode("latin-1"), radio.raw.decode("latin-1"), text)

    def set_clock(self, time: datetime | None = None, *, date_format: str = "1") -> None:
        """Sets the terminal's clock (``APSCL00B``) to ``time`` (to the
        second), or to the host's local time when None, and its date-format
        character. A time with a time zone is converted to the host's local
        time first; the terminal keeps years 1980 to 2079."""
        if time is None:
            field = SYSTEM_TIME
        else:
            if time.tzinfo is not None:
                time = time.astimezone().replace(tzinfo=None)
            if not 1980 <= time.year <= 2079:
                raise ValueError(f"the terminal's clock keeps the years 1980 to 2079: {time}")
            field = time.strftime("%H%M%S%d%m%y").encode("ascii")
        self._call("APSCL00B", field, _one_character(date_format, "the date format"))

    def upload(
        self,
        path: StrPath,
        name: str,
        delete: bool = False,
        progress: Callable[[Progress], object] | None = None,
    ) -> None:
        """Copies the terminal's data file ``name`` into the host file
        ``path`` (``APUPL00B``), then deletes it on the terminal when
        ``delete`` is true. ``progress`` is called with a :class:`Progress`
        after every block and once more at the end, between two blocks of
        the transfer, so it must not use a terminal itself; an exception it
        raises cancels the transfer and is raised once the call is over."""
        arguments = (_file_name(path), _object_name(name), b"1" if delete else b"0")
        self._transfer("APUPL00B", progress, *arguments)

    def download(
        self,
        path: StrPath,
        name: str,
        replace: bool = True,
        progress: Callable[[Progress], object] | None = None,
    ) -> None:
        """Sends the host file ``path`` to the terminal as its data file
        ``name`` (``APDNLOAD``), replacing the file there, or appending to it
        when ``replace`` is false. ``progress`` as for :meth:`upload`."""
        arguments = (_file_name(path), _object_name(name), b"1" if replace else b"0")
        self._transfer("APDNLOAD", progress, *arguments)

    def directory(self) -> list[DirectoryEntry]:
        """The objects stored on the terminal (``APDIR00B``)."""
        with _private_file("directory") as path:
            encoded = os.fsencode(path)
            if b" " in encoded or len(encoded) > 259:  # the library reads this name up to a blank
                raise ValueError(f"the temporary directory does not fit APDIR00B (set TMPDIR): {path!r}")
            self._call("APDIR00B", encoded)
            with open(path, "rb") as file:
                return _parse_directory(file.read())

    def delete(self, name: str) -> None:
        """Deletes the terminal's data file ``name`` (``APDEL00B``)."""
        self._call("APDEL00B", _object_name(name))

    def page(self, segment: int, offset: int) -> bytes:
        """The 256 bytes of the terminal's memory page ``offset`` (0-255,
        the page starts at offset x 256) in ``segment`` (0-65535) (``APDSPPGE``)."""
        if not (0 <= segment <= 0xFFFF and 0 <= offset <= 0xFF):
            raise ValueError(f"segment 0-65535 and page offset 0-255: {segment}, {offset}")
        with _private_file("page") as path:
            self._call("APDSPPGE", b"%04X" % segment, b"%02X" % offset, os.fsencode(path))
            with open(path, "rb") as file:
                return file.read()
