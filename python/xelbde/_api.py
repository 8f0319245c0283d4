# SPDX-License-Identifier: MIT
"""The ctypes declarations of libxelbde: the library is loaded once, at the
first use, as ``libxelbde.so.1`` (or the file that ``XELBDE_LIBRARY`` names),
and every function the package calls gets its argument and result types.

The API functions take fixed-width text fields by reference and write their
two-digit return code into the last one; output areas are passed as
``ctypes.create_string_buffer`` objects of the field's exact width.
"""

import ctypes
import os
import threading

_TEXT = ctypes.c_char_p  # an input field or a terminated text (bytes, or None)
_AREA = ctypes.POINTER(ctypes.c_char)  # an output area: a create_string_buffer

_PROTOTYPES: dict[str, tuple[list[type], type | None]] = {
    "APALC00B": ([_TEXT, _TEXT, _AREA], None),
    "APDLC00B": ([_TEXT, _TEXT, _AREA], None),
    "APTYP01B": ([_TEXT, _AREA, _AREA], None),
    "APDMTVER": ([_TEXT, _AREA, ctypes.c_uint32, _AREA], None),
    "APRST00B": ([_TEXT, _AREA, _AREA], None),
    "APRTVCLK": ([_TEXT, _AREA, _AREA, _AREA, _AREA], None),
    "APSCL00B": ([_TEXT, _TEXT, _TEXT, _AREA], None),
    "APDNLOAD": ([_TEXT, _TEXT, _TEXT, _TEXT, _AREA], None),
    "APUPL00B": ([_TEXT, _TEXT, _TEXT, _TEXT, _AREA], None),
    "APDIR00B": ([_TEXT, _TEXT, _AREA], None),
    "APDEL00B": ([_TEXT, _TEXT, _AREA], None),
    "APDSPPGE": ([_TEXT, _TEXT, _TEXT, _TEXT, _AREA], None),
    "XelbdeVersion": ([], ctypes.c_char_p),
    "XelbdeReturnCode": ([_AREA], ctypes.c_int),
    "XelbdeReturnCodeName": ([ctypes.c_int], ctypes.c_char_p),
    "XelbdeReturnCodeText": ([ctypes.c_int], ctypes.c_char_p),
    "XelbdeCancel": ([_TEXT], None),
}


class ProgressRecord(ctypes.Structure):
    """``XelbdeProgress``: what the library reports after every block of a transfer."""

    _fields_ = [
        ("function", ctypes.c_char_p),
        ("bytesDone", ctypes.c_longlong),
        ("bytesTotal", ctypes.c_longlong),
        ("blocks", ctypes.c_long),
        ("done", ctypes.c_int),
    ]


PROGRESS_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(ProgressRecord))
"""``XelbdeProgressCallback``: (context, progress record)."""

_lock = threading.Lock()
_library: ctypes.CDLL | None = None


def library() -> ctypes.CDLL:
    """The loaded library with its functions declared; loaded at the first call."""
    global _library
    with _lock:
        if _library is None:
            loaded = ctypes.CDLL(os.environ.get("XELBDE_LIBRARY") or "libxelbde.so.1")
            for name, (arguments, result) in _PROTOTYPES.items():
                function = getattr(loaded, name)
                function.argtypes = arguments
                function.restype = result
            loaded.XelbdeSetProgressCallback.argtypes = [PROGRESS_CALLBACK, ctypes.c_void_p]
            loaded.XelbdeSetProgressCallback.restype = None
            _library = loaded
        return _library
