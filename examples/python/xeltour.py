#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A tour of the terminal API from Python (ctypes, no compiled extension):
connect to a terminal, read its type and version, set its clock to the
host's time, upload one of its files and disconnect, checking the return
code of every call. The exit status is the failing code.

Usage: xeltour.py [TERMINAL [TERMINAL-FILE [HOST-FILE]]]
       (defaults HALLE1, BOOK, book.dat)
The library is loaded as libxelbde.so.1 (set LD_LIBRARY_PATH for one that
is not installed in a system directory). The package xelbde wraps these
calls for Python programs; this example shows the calls themselves.
Try it against a simulated terminal, in the source tree: make examples
(examples/run.sh BUILD_DIR python runs this one alone).
"""
import ctypes
import sys

lib = ctypes.CDLL("libxelbde.so.1")

# Every text parameter is a char pointer; numbers are 32-bit by value.
TEXT = ctypes.c_char_p
AREA = ctypes.c_char_p  # an output area: pass a ctypes.create_string_buffer
for name, arguments in {
    "APALC00B": [TEXT, TEXT, AREA],
    "APDLC00B": [TEXT, TEXT, AREA],
    "APTYP01B": [TEXT, AREA, AREA],
    "APDMTVER": [TEXT, AREA, ctypes.c_uint32, AREA],
    "APSCL00B": [TEXT, TEXT, TEXT, AREA],
    "APUPL00B": [TEXT, TEXT, TEXT, TEXT, AREA],
}.items():
    function = getattr(lib, name)
    function.argtypes = arguments
    function.restype = None  # the API functions return nothing
for name in ("XelbdeReturnCodeText", "XelbdeReturnCodeName"):
    getattr(lib, name).argtypes = [ctypes.c_int]
    getattr(lib, name).restype = ctypes.c_char_p
lib.XelbdeReturnCode.argtypes = [AREA]
lib.XelbdeReturnCode.restype = ctypes.c_int


def field(text, width):
    """A blank-padded fixed-width field."""
    return text.encode().ljust(width)[:width]


class Terminal:
    def __init__(self, name):
        self.given = name
        self.name = field(name, 15)  # a name counts with 10 characters, an address with up to 15
        self.rc = ctypes.create_string_buffer(3)  # two digits and a terminating zero
        self.connected = False

    def check(self, function):
        """Shows the code of the last call; any code but 00 disconnects and
        ends the program with that code."""
        code = lib.XelbdeReturnCode(self.rc)
        print(f"{function}: {self.rc.value.decode()}")
        if code != 0:
            print(f"{lib.XelbdeReturnCodeText(code).decode()} ({lib.XelbdeReturnCodeName(code).decode()})")
            if self.connected:
                lib.APDLC00B(self.name, None, ctypes.create_string_buffer(3))
            else:
                print(f"xeltour: terminal {self.given} not reached. Give its address, or name it in terminal.ini\n"
                      "(in the directory TERMINI names, else the current one). To try this program against a\n"
                      "simulated terminal, run `make examples` in the source tree.", file=sys.stderr)
            sys.exit(code)


def main(argv):
    name = argv[1] if len(argv) > 1 else "HALLE1"
    terminal_file = argv[2] if len(argv) > 2 else "BOOK"  # at most 8 characters
    host_file = argv[3] if len(argv) > 3 else "book.dat"
    t = Terminal(name)

    lib.APALC00B(t.name, None, t.rc)  # no type: None
    t.check("APALC00B")
    t.connected = True

    kind = ctypes.create_string_buffer(10)  # zero-padded model designation
    lib.APTYP01B(t.name, kind, t.rc)
    t.check("APTYP01B")
    print("type:", kind.raw.rstrip(b"\0").decode())

    version = ctypes.create_string_buffer(64)
    lib.APDMTVER(t.name, version, len(version), t.rc)  # the length by value
    t.check("APDMTVER")
    print("version:", version.raw.rstrip(b"\0 ").decode())

    lib.APSCL00B(t.name, b"*SYSVAL     ", b"1", t.rc)  # the host's local time
    t.check("APSCL00B")
    print("clock set to the host's time")

    # Both file names are terminated texts: ctypes adds the zero.
    lib.APUPL00B(t.name, host_file.encode(), terminal_file.encode(), b"0", t.rc)
    t.check("APUPL00B")
    print(f"uploaded {terminal_file} into {host_file}")

    t.connected = False
    lib.APDLC00B(t.name, None, t.rc)
    t.check("APDLC00B")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
