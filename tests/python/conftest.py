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
