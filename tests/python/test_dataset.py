"""The Dataset class: its methods, properties, representation, read-only guard and errors."""

import os
import time
import unittest

import brenvale
from dataset_util import DatasetCase, caught, payload

# (method, text signature), in table order.
METHODS = [
    ("write", "($self, timestamp, data)"), ("append", "($self, timestamp, data)"), ("write_now", "($self, data)"),
    ("append_now", "($self, data)"), ("read", "($self, timestamp)"), ("read_latest", "($self)"),
    ("inspect", "($self)"), ("delete", "($self, timestamp)"), ("query", "($self, start_ts, end_ts)"),
    ("query_all", "($self, start_ts, end_ts)"), ("flush", "($self)"), ("read_exist", "($self, timestamp)"),
    ("query_exist", "($self, start_ts, end_ts)"), ("read_length", "($self, timestamp)"),
    ("query_length", "($self, start_ts, end_ts)"), ("query_length_all", "($self, start_ts, end_ts)"),
]
PROPERTIES = [
    ("data_dir", "Base directory of this dataset."),
    ("id", "Internal dataset ID (used for queue operations)."),
    ("identifier", "Store-assigned numeric dataset identifier."),
    ("latest_timestamp", "Latest successfully written timestamp (None if the dataset is empty)."),
]
WRITE_DOC = ("Write a record (timestamp, data).\n\nArgs:\n    timestamp: Signed i64 business timestamp. Negative "
             "values and 0 are valid.\n    data: Payload bytes.\n\nRaises:\n    BrvlInvalidDataError: out-of-order "
             "missing timestamp or oversized record.")
DELETE_DOC = ("Delete the record at the given timestamp.\n\nMarks the index entry as sentinel (block_offset = "
              "0xFFFF..., in_block = 0xFFFF)\nand increments the data segment's invalid_record_count. The physical "
              "data\nremains on disk until retention-based reclamation or future compaction.\n\nArgs:\n    "
              "timestamp: Exact signed business timestamp of the record to delete.\n\nRaises:\n    "
              "BrvlNotFoundError: no real data exists at that timestamp.\n    BrvlInvalidDataError: dataset is "
              "empty or timestamp is expired.")
MUTATING = {"write": (1, b"x"), "append": (1, b"x"), "write_now": (b"x",), "append_now": (b"x",), "delete": (1,)}
ARGS = dict(MUTATING, read=(1,), read_latest=(), inspect=(), query=(0, 1), query_all=(0, 1), flush=(),
            read_exist=(1,), query_exist=(0, 1), read_length=(1,), query_length=(0, 1), query_length_all=(0, 1))


class DatasetClassTest(unittest.TestCase):
    def test_class(self):
        cls = brenvale.Dataset
        self.assertEqual((cls.__module__, cls.__name__, cls.__qualname__), ("builtins", "Dataset", "Dataset"))
        self.assertFalse(cls.__doc__)
        self.assertIsNone(cls.__text_signature__)
        self.assertEqual(str(caught(cls)), "cannot create 'builtins.Dataset' instances")
        self.assertIs(type(caught(type, "Sub", (cls,), {})), TypeError)
        methods = [k for k, v in vars(cls).items() if callable(v) and not k.startswith("__")]
        self.assertEqual(methods, [m for m, _ in METHODS])
        for name, signature in METHODS:
            method = getattr(cls, name)
            self.assertEqual(method.__text_signature__, signature, name)
            self.assertTrue(method.__doc__, name)
        self.assertEqual((cls.write.__doc__, cls.delete.__doc__), (WRITE_DOC, DELETE_DOC))
        for name, doc in PROPERTIES:
            self.assertEqual(getattr(cls, name).__doc__, doc, name)


class DatasetTest(DatasetCase):
    def test_properties_and_repr(self):
        self.make("first")
        ds = self.make()
        path = os.path.join(self.root, "sensor", "raw")
        self.assertEqual((ds.data_dir, ds.id, ds.identifier, ds.latest_timestamp), (path, 2, 2, None))
        self.assertEqual(repr(ds), f"Dataset(id=2, dir={path})")
        other = self.store.open_dataset("sensor", "raw")
        self.assertEqual(repr(other), f"Dataset(id=3, dir={path})")
        ds.write(-7, b"")
        self.assertEqual((ds.latest_timestamp, other.latest_timestamp), (-7, -7))
        for name, _ in PROPERTIES:
            self.assertIs(type(caught(setattr, ds, name, 1)), AttributeError)
        self.assertIs(type(caught(setattr, ds, "extra", 1)), AttributeError)

    def test_writes_and_reads(self):
        ds = self.make()
        self.assertEqual((ds.read(0), ds.read_latest(), ds.read_length(0), ds.read_exist(0)), (None, None, None, False))
        ds.write(-5, b"neg")
        ds.write(0, bytearray(b"zero"))
        ds.write(3, [1, 2, 3])
        ds.write(4, memoryview(b"four"))
        ds.append(4, b"+")
        ds.append(6, b"new")  # appending past the latest starts a record
        ds.write(0, b"Z")  # an out-of-order correction of an existing record
        expected = [(-5, b"neg"), (0, b"Z"), (3, b"\x01\x02\x03"), (4, b"four+"), (6, b"new")]
        self.assertEqual(ds.query_all(-10, 10), expected)
        self.assertEqual(list(ds.query(-10, 10)), expected)
        self.assertEqual(ds.query_length_all(-10, 10), [(t, len(d)) for t, d in expected])
        self.assertEqual((ds.read(4), ds.read_latest(), ds.read_length(4)), ((4, b"four+"), (6, b"new"), 5))
        self.assertIs(ds.read_exist(3), True)
        ds.delete(3)
        self.assertEqual((ds.read(3), ds.read_exist(3), ds.read_length(3)), (None, False, None))
        self.assertEqual(ds.query_all(7, 1), [])
        ds.write(7, b"")
        self.assertEqual((ds.read(7), ds.read_length(7)), ((7, b""), 0))
        self.assertIsNone(ds.flush())

    def test_now_methods_stamp_the_wall_clock(self):
        ds = self.make()
        before = int(time.time())
        ds.write_now(b"a")
        ds.append_now(b"b")
        after = int(time.time())
        ts, data = ds.read_latest()
        self.assertTrue(before <= ts <= after)
        self.assertIn(data, (b"ab", b"b"))  # "b" alone when the second ticked between them

    def test_query_exist(self):
        ds = self.make(records=[1, 9])
        cases = [((10, 9), b""), ((0, 7), b"\x02"), ((0, 8), b"\x02\x00"), ((0, 9), b"\x02\x02"),
                 ((1, 1), b"\x01"), ((2, 8), b"\x00")]
        for (start, end), expected in cases:
            self.assertEqual(ds.query_exist(start, end), expected, (start, end))
        self.assertEqual(len(ds.query_exist(0, 33554431)), 4194304)
        for (start, end), text in (((0, 33554432), "query_exist bitmap exceeds 4 MiB limit: 4194305 bytes"),
                                   ((-2**63, 2**63 - 1), "query_exist range overflow")):
            exc = caught(ds.query_exist, start, end)
            self.assertIs(type(exc), brenvale.BrvlInvalidDataError)
            self.assertEqual(str(exc), "invalid data: " + text)

    def test_engine_errors(self):
        ds = self.standalone(records=[10], retention_window=5)
        cases = [
            (lambda: ds.write(11, bytes(4194305)), brenvale.BrvlInvalidDataError,
             "invalid data: record data_len exceeds 4MiB limit"),
            (lambda: ds.write(4, b"x"), brenvale.BrvlExpiredError,
             "expired: timestamp 4 is older than retention threshold 5"),
            (lambda: ds.write(7, b"x"), brenvale.BrvlNotFoundError,
             "not found: no index entry at timestamp 7 (required for out-of-order write)"),
            (lambda: ds.append(9, b"x"), brenvale.BrvlInvalidDataError,
             "invalid data: append timestamp is older than latest_written_timestamp"),
            (lambda: ds.delete(8), brenvale.BrvlNotFoundError, "not found: no entry at timestamp 8 to delete"),
            (lambda: self.standalone("empty").delete(5), brenvale.BrvlNotFoundError,
             "not found: no entry to delete at timestamp 5 (dataset is empty)"),
        ]
        for call, cls, text in cases:
            with self.subTest(text=text):
                exc = caught(call)
                self.assertIs(type(exc), cls)
                self.assertEqual(exc.args, (text,))
        self.assertEqual(ds.read(4), None)  # a read below the threshold is no error
        self.assertEqual(ds.query_all(0, 20), [(10, payload(10))])

    def test_a_read_only_object(self):
        self.make(records=[1])
        ro = self.read_only()
        buf = bytearray(b"x")
        refused = {"write": (1, buf), "append": (1, buf), "write_now": (buf,), "append_now": (buf,), "delete": (1,)}
        unconvertible = {"write": (1, "t"), "append": (1, "t"), "write_now": ("t",), "append_now": ("t",),
                         "delete": ("1",)}
        for name, args in refused.items():
            with self.subTest(method=name):
                exc = caught(getattr(ro, name), *args)
                self.assertEqual((type(exc), exc.args), (RuntimeError, ("Dataset is read-only",)))
                # Conversion comes first.
                self.assertIs(type(caught(getattr(ro, name), *unconvertible[name])), TypeError)
        buf.extend(b"y")  # the refused payload's buffer was released
        self.assertEqual((ro.read(1), ro.query_all(0, 5), ro.latest_timestamp), ((1, b"r1"), [(1, b"r1")], 1))
        self.assertIsNone(ro.flush())

    def test_a_closed_dataset(self):
        ds = self.make(records=[1])
        it = ds.query(0, 5)
        self.store.close()  # closes the datasets it handed out
        for name, args in ARGS.items():
            with self.subTest(method=name):
                exc = caught(getattr(ds, name), *args)
                self.assertIs(type(exc), brenvale.BrvlInvalidDataError)
                self.assertEqual(exc.args, ("invalid data: dataset sensor/raw is closed",))
        self.assertEqual((ds.id, ds.identifier, ds.latest_timestamp), (1, 1, 1))
        self.assertTrue(repr(ds).startswith("Dataset(id=1, dir="))
        self.assertIs(type(caught(next, it)), RuntimeError)

    def test_objects_sharing_one_dataset(self):
        first = self.make()
        second = self.store.open_dataset("sensor", "raw")
        self.assertEqual((first.id, second.id, first.identifier, second.identifier), (1, 2, 1, 1))

        class Index:
            def __index__(self):  # the other object is free while this one is borrowed
                second.write(5, b"from second")
                return 5

        first.append(Index(), b"+first")
        self.assertEqual(second.read(5), (5, b"from second+first"))


if __name__ == "__main__":
    unittest.main()
