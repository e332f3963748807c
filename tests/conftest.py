import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (same venv) and returns its stdout.

    Used where a test needs its own process: thread counts fixed by the
    environment, address-space limits, other interpreters."""

    def run(code: str, env: dict[str, str] | None = None, timeout: float = 300) -> str:
        full_env = dict(os.environ)
        full_env.update(env or {})
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=full_env,
            timeout=timeout,
        )
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    return run
