# SPDX-License-Identifier: MIT
"""The package's version: the same as the library's (XELBDE_VERSION_* in xelbde.h)."""

__version__ = "1.0.0"
