"""Helpers shared by the Python tests: a fresh store directory per test with a writable store
over it, datasets made through that store, and the small tools the tests share."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import brenvale
import _brenvale_testhooks as hooks

# A blocked poll must end long before this: the tests join its thread after half of it.
DEADLINE_MS = 120_000
JOIN_S = DEADLINE_MS / 2000


def config(**options):
    """A StoreConfig for tests: no background thread unless asked for."""
    options.setdefault("enable_background_thread", False)
    return brenvale.StoreConfig(**options)


def close_quietly(store):
    try:
        store.close()
    except RuntimeError:  # closed by the test itself
        pass


class DatasetCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="brvl-py-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.store = self.open_store()

    def open_store(self, root=None, **options):
        """A store over `root` (the test's directory by default), closed at the test's end."""
        store = brenvale.Store.open(root or self.root, config(**options))
        self.addCleanup(close_quietly, store)
        return store

    def make(self, name="sensor", dataset_type="raw", records=(), **options):
        """A new dataset of the test's store (options as create_dataset takes them) with
        `records` (an iterable of timestamps, each written with the payload b"r%d")."""
        ds = self.store.create_dataset(name, dataset_type, **options)
        for ts in records:
            ds.write(ts, payload(ts))
        return ds

    def read_only(self, name="sensor", dataset_type="raw"):
        """The dataset as a read-only store over the same directory hands it out."""
        return self.open_store(read_only=True).open_dataset(name, dataset_type)

    def standalone(self, name="sensor", dataset_type="raw", records=(), **options):
        """A dataset that no store makes (a retention window, a failing journal hook), in a
        directory of its own."""
        root = tempfile.mkdtemp(prefix="brvl-py-alone-")
        self.addCleanup(shutil.rmtree, root, True)
        ds = hooks.standalone_dataset(root, name, dataset_type, **options)
        for ts in records:
            ds.write(ts, payload(ts))
        return ds

    def in_thread(self, fn, *args):
        """Runs fn(*args) in a thread; returns (thread, outcome), outcome filled with the result or the
        exception once the thread ends."""
        outcome, started = [], threading.Event()

        def run():
            started.set()
            try:
                outcome.append(fn(*args))
            except BaseException as exc:  # noqa: B036 - handed to the test
                outcome.append(exc)

        thread = threading.Thread(target=run)
        thread.start()
        started.wait()
        return thread, outcome

    def joined(self, thread, cleanup):
        """Joins a thread that must end well before its poll deadline; `cleanup` unblocks it otherwise."""
        thread.join(JOIN_S)
        alive = thread.is_alive()
        if alive:
            cleanup()
            thread.join()
        self.assertFalse(alive, "the poll was not woken")


class Unraisable:
    """Collects what reaches sys.unraisablehook while active."""

    def __enter__(self):
        self.seen, self.saved = [], sys.unraisablehook
        sys.unraisablehook = self.seen.append
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.saved


def payload(ts):
    return b"r%d" % ts


def caught(fn, *args, **kwargs):
    """The exception that the call raises (BaseException included)."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - the class is what is under test
        return exc
    raise AssertionError(f"{fn!r} raised nothing")


def python(code, *args, **popen):
    """A child interpreter running `code` with the module on its path."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.Popen([sys.executable, "-c", code, *args], env=env, text=True, **popen)


def thread_count():
    """The threads of this process, as the kernel counts them."""
    return len(os.listdir("/proc/self/task"))
