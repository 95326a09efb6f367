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
