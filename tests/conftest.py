import os
import signal
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest

# A shell that starts the suite in the background without job control leaves
# SIGINT ignored, as nohup does SIGHUP, and an ignored signal stays ignored in
# every program started from here: the Ctrl-C and hang-up tests need the
# usual dispositions, in this process and in the interpreters they start.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
for _sig in (signal.SIGHUP, signal.SIGTERM):
    if signal.getsignal(_sig) is signal.SIG_IGN:
        signal.signal(_sig, signal.SIG_DFL)


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


@pytest.fixture
def run(capsys, monkeypatch):
    """Runs the command line in this process: (returncode, stdout, stderr) as a subprocess would give."""

    def call(*args, cwd=None):
        from orvelta.__main__ import main

        if cwd is not None:
            monkeypatch.chdir(cwd)
        capsys.readouterr()
        try:
            code = main([str(a) for a in args])
        except SystemExit as e:
            code = e.code
        out = capsys.readouterr()
        return SimpleNamespace(returncode=code, stdout=out.out, stderr=out.err)

    return call
