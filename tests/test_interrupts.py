"""Calls interrupted from outside: Ctrl-C while waiting to open a FIFO or
during the first call's probe of NumPy, the wait for a FIFO writer in one
thread while another runs, and a fork while another thread is inside a
one-time creation."""

import os
import signal
import subprocess
import sys
import time

import pytest
from test_resources import run_python

from conftest import ROW, ROW_MS


def test_ctrl_c_ends_the_wait_for_a_fifo_writer(tmp_path):
    fifo = tmp_path / "pipe.sts"
    os.mkfifo(fifo)
    script = """
import sys
from quillrow import read_sts
print("waiting", flush=True)
try:
    read_sts(sys.argv[1])
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""
    child = subprocess.Popen(
        [sys.executable, "-c", script, str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.5)  # inside open() by now
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            # Still blocked: a writer releases it so the test can end.
            with open(fifo, "wb"):
                pass
            child.kill()
            child.wait()
    assert out == "interrupted\n", err


def test_wait_for_a_fifo_writer_in_a_thread_lets_the_main_thread_run(tmp_path):
    fifo = tmp_path / "pipe.sts"
    os.mkfifo(fifo)
    # A wait that held the interpreter lock would stop the main thread at
    # its first sleep; the child would then hang until the timeout.
    out = run_python(
        """
        import os, signal, sys, threading, time
        from quillrow import read_sts
        fifo = sys.argv[1]
        outcome = []
        def work():
            try:
                outcome.append(read_sts(fifo))
            except BaseException as error:
                outcome.append(repr(error))
        worker = threading.Thread(target=work)
        worker.start()
        try:
            time.sleep(0.3)  # the worker is inside open() by now
            ticks, stop = 0, time.monotonic() + 0.5
            while time.monotonic() < stop:
                ticks += 1
            print("ticked", ticks > 1000)
            try:
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(10)
            except KeyboardInterrupt:
                print("interrupted")
        finally:
            with open(fifo, "wb"):  # a writer ends the worker's wait
                pass
            worker.join()
        print(*outcome)
        """,
        str(fifo),
        timeout=30,
    )
    # Opened at last, the FIFO cannot be mapped: the call ends as on the main thread.
    assert out.stdout.split("\n") == [
        "ticked True",
        "interrupted",
        "OSError('No such device (os error 19)')",
        "",
    ], out.stderr


@pytest.mark.parametrize("raised", ["KeyboardInterrupt", "SystemExit", "MemoryError", "GeneratorExit"])
def test_interruptions_of_the_numpy_probe_pass_through(sts_file, raised):
    path = sts_file(ROW)
    out = run_python(
        f"""
        import sys
        import numpy.lib
        from quillrow import read_sts

        real = numpy.lib.NumpyVersion
        def interrupted(version):
            raise {raised}()
        numpy.lib.NumpyVersion = interrupted  # called by the first call's probe
        for _ in range(2):  # nothing is kept: the second call probes again
            try:
                read_sts(sys.argv[1])
            except {raised}:
                print("passed through")
        numpy.lib.NumpyVersion = real
        print(read_sts(sys.argv[1])[0].view("i8").tolist() == [{ROW_MS}])
        """,
        path,
    )
    assert out.stdout.split("\n") == ["passed through", "passed through", "True", ""]
    assert "internal failure" not in out.stderr


def test_fork_while_another_thread_makes_a_one_time_value(sts_file):
    path = sts_file(ROW)
    out = run_python(
        f"""
        import os, signal, sys, threading, warnings
        import numpy.lib
        from quillrow import read_sts
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running

        # The first call's probe of NumPy waits here, holding the one-time
        # creation's locks, until the parent has forked.
        real = numpy.lib.NumpyVersion
        entered, go = threading.Event(), threading.Event()
        def slow(version):
            entered.set()
            go.wait()
            return real(version)
        numpy.lib.NumpyVersion = slow
        thread = threading.Thread(target=read_sts, args=(sys.argv[1],))
        thread.start()
        entered.wait()
        pid = os.fork()
        if pid == 0:
            numpy.lib.NumpyVersion = real
            signal.alarm(20)  # a child stuck on a lock ends here instead
            ok = read_sts(sys.argv[1])[0].view("i8").tolist() == [{ROW_MS}]
            os._exit(0 if ok else 1)
        go.set()
        thread.join()
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        """,
        path,
    )
    assert out.stdout.split() == ["0"], out.stderr
