import os
import subprocess
import sys
import textwrap

import pytest


def _run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter; for checks that would crash, hang or poison this one."""
    code = textwrap.dedent(code)
    try:
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pass
    pytest.fail(f"child interpreter did not finish within {timeout}s (hang):\n{code}")


@pytest.fixture
def run_python():
    return _run_python


# Memory-growth checks measure the resident set; under AddressSanitizer (whose runtime the
# sanitizer runs preload) freed memory sits in quarantine, so they would measure the sanitizer.
measures_memory = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="resident memory is not meaningful under AddressSanitizer")


# For a child interpreter: in_use() is what the general allocator has handed out and not had back
# (after a collection), or None where the C library cannot tell (glibc before 2.33, others).
IN_USE = """
import ctypes as _ctypes, gc as _gc
class _Info(_ctypes.Structure):
    _fields_ = [(f, _ctypes.c_size_t) for f in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                "fsmblks", "uordblks", "fordblks", "keepcost")]
try:
    _mallinfo2 = _ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _Info
except AttributeError:
    _mallinfo2 = None
def in_use():
    if _mallinfo2 is None:
        return None
    _gc.collect()
    info = _mallinfo2()
    return info.uordblks + info.hblkhd
"""
