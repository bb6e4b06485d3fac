"""Helpers shared by the Dataset, query and result tests: datasets come from the test-only
extension _brenvale_testhooks until the store hands them out."""

import shutil
import tempfile
import unittest

import _brenvale_testhooks as hooks


class DatasetCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="brvl-py-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def make(self, name="sensor", dataset_type="raw", records=(), **options):
        """A brenvale.Dataset over a new (or reopened) engine dataset, with `records` (an
        iterable of timestamps, each written with the payload b"r%d") already written."""
        ds = hooks.create_dataset(self.root, name, dataset_type, **options)
        for ts in records:
            ds.write(ts, payload(ts))
        return ds


def payload(ts):
    return b"r%d" % ts


def caught(fn, *args, **kwargs):
    """The exception that the call raises (BaseException included)."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - the class is what is under test
        return exc
    raise AssertionError(f"{fn!r} raised nothing")
