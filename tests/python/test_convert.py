"""Argument binding, argument conversion, borrows and the method boundary: through Dataset
methods where they reach them, otherwise through the binder and conversion probes of the
test-only extension (the same code that brenvale runs)."""

import array
import collections.abc
import unittest

import brenvale
import _brenvale_testhooks as hooks
from dataset_util import DatasetCase, caught

WRITE = ("Dataset", "write", ("timestamp", "data"), 2, (), 0)
# A description with an optional positional parameter and keyword-only ones.
OPEN = ("Store", "open", ("data_dir", "config"), 1, (("level", False), ("mode", True)), 0)
NEW = (None, "StoreConfig", (), 0, (("flush_interval", False),), 0)
POSONLY = ("C", "m", ("a", "b", "c"), 3, (), 2)


class BindingTest(DatasetCase):
    def test_messages(self):
        ds = self.make()
        cases = [
            (lambda: ds.write(1, b"", 3), "Dataset.write() takes 2 positional arguments but 3 were given"),
            (lambda: ds.write(1), "Dataset.write() missing 1 required positional argument: 'data'"),
            (lambda: ds.write(),
             "Dataset.write() missing 2 required positional arguments: 'timestamp' and 'data'"),
            (lambda: ds.write(1, b"", timestamp=2), "Dataset.write() got multiple values for argument 'timestamp'"),
            (lambda: ds.write(ts=1), "Dataset.write() got an unexpected keyword argument 'ts'"),
            (lambda: ds.read(1, 2), "Dataset.read() takes 1 positional arguments but 2 were given"),
            (lambda: ds.write(1, "abc"), "argument 'data': Can't extract `str` to `Vec`"),
            (lambda: ds.write(1.5, b""), "argument 'timestamp': 'float' object cannot be interpreted as an integer"),
            (lambda: ds.query(1, end_ts=2, start=0), "Dataset.query() got an unexpected keyword argument 'start'"),
            (lambda: ds.query(0, 1).skip(), "QueryIterator.skip() missing 1 required positional argument: 'count'"),
            (lambda: ds.query_length(0, 1).collect_take(1, 2),
             "QueryLengthIterator.collect_take() takes 1 positional arguments but 2 were given"),
            (lambda: hooks.bind(OPEN, mode=1), "Store.open() missing 1 required positional argument: 'data_dir'"),
            (lambda: hooks.bind(OPEN, "d", None, 3, mode=1),
             "Store.open() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: hooks.bind(OPEN, "d"), "Store.open() missing 1 required keyword argument: 'mode'"),
            (lambda: hooks.bind(NEW, 1), "StoreConfig() takes 0 positional arguments but 1 was given"),
            (lambda: hooks.bind(POSONLY, c=1, b=2, a=3),
             "C.m() got some positional-only arguments passed as keyword arguments: 'b' and 'a'"),
            (lambda: hooks.bind(("C", "m", ("a", "b", "c"), 3, (), 0)),
             "C.m() missing 3 required positional arguments: 'a', 'b', and 'c'"),
            (lambda: hooks.bind_tuple(OPEN, ("d",), {"mode": 1, "levle": 2}),
             "Store.open() got an unexpected keyword argument 'levle'"),
            (lambda: hooks.bind_tuple(NEW, (), {1: 2}), "keywords must be strings"),
        ]
        for call, text in cases:
            with self.subTest(text=text):
                exc = caught(call)
                self.assertIs(type(exc), TypeError)
                self.assertEqual(str(exc), text)

    def test_keywords_bind_like_positionals(self):
        ds = self.make()
        ds.write(data=b"a", timestamp=1)
        ds.write(timestamp=2, data=b"b")
        ds.write(3, data=b"c")
        self.assertEqual(ds.query_all(end_ts=3, start_ts=1), [(1, b"a"), (2, b"b"), (3, b"c")])
        self.assertEqual(hooks.bind(OPEN, "d", level=2, mode=3), {"data_dir": "d", "level": 2, "mode": 3})
        self.assertEqual(hooks.bind_tuple(OPEN, ("d", None), {"mode": 0}), {"data_dir": "d", "config": None, "mode": 0})
        self.assertEqual(hooks.bind(NEW), {})

    def test_binding_comes_before_the_receiver_and_the_borrow(self):
        ds = self.make()

        class Reenter:
            def __index__(self):
                return ds.write(1)  # a binding error, raised before any borrow is asked

        exc = caught(ds.read, Reenter())
        self.assertIs(type(exc), TypeError)
        self.assertEqual(str(exc), "argument 'timestamp': Dataset.write() missing 1 required positional "
                                   "argument: 'data'")


class ConversionTest(unittest.TestCase):
    def test_table(self):
        class Index:
            def __init__(self, v):
                self.v = v

            def __index__(self):
                return self.v

        class Numpy:
            """Fakes of numpy's bool scalar types, told apart by name and module only."""

        truthy = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})()
        untruthy = type("bool", (), {"__module__": "numpy"})()
        other_bool_ = type("bool_", (), {"__module__": "mylib"})()
        ok = object()
        BigInt = type("BigInt", (int,), {"__index__": lambda self: 0})  # an int's own value counts
        # (kind, value, expected value, or (exception class, text, wrapped))
        cases = [
            ("i64", -2**63, -2**63), ("i64", 2**63 - 1, 2**63 - 1), ("i64", Index(-5), -5), ("i64", True, 1),
            ("i64", 1_700_000_000_000, 1_700_000_000_000), ("i64", -2**40, -2**40), ("i64", BigInt(2**40), 2**40),
            # Beyond the range: the interpreter's long long conversion's own message.
            ("i64", 2**63, (OverflowError, "int too big to convert", False)),
            ("i64", -2**63 - 1, (OverflowError, "int too big to convert", False)),
            ("i64", 1.0, (TypeError, "'float' object cannot be interpreted as an integer", True)),
            ("i64", "1", (TypeError, "'str' object cannot be interpreted as an integer", True)),
            ("u64", 0, 0), ("u64", 2**64 - 1, 2**64 - 1), ("u64", Index(7), 7), ("u64", 2**40, 2**40),
            ("u64", -1, (OverflowError, "can't convert negative int to unsigned", False)),
            ("u64", -2**40, (OverflowError, "can't convert negative int to unsigned", False)),
            ("u64", 2**64, (OverflowError, "int too big to convert", False)),
            ("u64", Index(-1), (OverflowError, None, False)),
            ("u64", None, (TypeError, "'NoneType' object cannot be interpreted as an integer", True)),
            ("u8", 255, 255), ("u8", Index(0), 0),
            ("u8", 256, (OverflowError, "out of range integral type conversion attempted", False)),
            ("u8", -1, (OverflowError, "out of range integral type conversion attempted", False)),
            ("u8", 2**64, (OverflowError, None, False)),
            ("u16", 65535, 65535),
            ("u16", 65536, (OverflowError, "out of range integral type conversion attempted", False)),
            ("u16", -1, (OverflowError, "out of range integral type conversion attempted", False)),
            ("text", "sensor", "sensor"), ("text", "été 😀", "été 😀"),
            ("text", type("S", (str,), {})("sub"), "sub"),
            ("text", 5, (TypeError, "'int' object is not an instance of 'str'", True)),
            ("text", None, (TypeError, "'None' is not an instance of 'str'", True)),
            ("text", b"x", (TypeError, "'bytes' object is not an instance of 'str'", True)),
            ("text", "\ud800", (UnicodeEncodeError, None, False)),
            ("flag", True, True), ("flag", False, False), ("flag", truthy, False),
            ("flag", 1, (TypeError, "'int' object is not an instance of 'bool'", True)),
            ("flag", None, (TypeError, "'None' is not an instance of 'bool'", True)),
            ("flag", other_bool_, (TypeError, "'bool_' object is not an instance of 'bool'", True)),
            ("flag", untruthy,
             (TypeError, "object of type 'numpy.bool' does not define a '__bool__' conversion", True)),
            ("optional_u64", None, None), ("optional_u64", 3, 3),
            ("optional_u64", "3", (TypeError, "'str' object cannot be interpreted as an integer", True)),
            ("dataset", ok, (TypeError, "'object' object is not an instance of 'Dataset'", True)),
            ("dataset", Numpy(), (TypeError, "'ConversionTest.test_table.<locals>.Numpy' object is not an "
                                             "instance of 'Dataset'", True)),
        ]
        for kind, value, expected in cases:
            with self.subTest(kind=kind, value=value):
                if not isinstance(expected, tuple):
                    self.assertEqual(hooks.convert(kind, value), expected)
                    self.assertIs(type(hooks.convert(kind, value)), type(expected))
                    continue
                cls, text, wrapped = expected
                exc = caught(hooks.convert, kind, value, "param")
                self.assertIs(type(exc), cls)
                if wrapped:
                    self.assertEqual(str(exc), f"argument 'param': {text}")
                    self.assertIs(type(exc.__cause__), TypeError)
                    self.assertEqual(str(exc.__cause__), text)
                else:
                    self.assertIsNone(exc.__cause__)
                    if text is not None:
                        self.assertEqual(str(exc), text)

    def test_only_exactly_type_error_is_wrapped(self):
        class Raises:
            def __init__(self, exc):
                self.exc = exc

            def __index__(self):
                raise self.exc

        class MyTypeError(TypeError):
            pass

        for exc in (ValueError("v"), MyTypeError("t"), KeyboardInterrupt()):
            with self.subTest(exc=exc):
                self.assertIs(caught(hooks.convert, "i64", Raises(exc)), exc)
        wrapped = caught(hooks.convert, "u64", Raises(TypeError("inner")))
        self.assertEqual(str(wrapped), "argument 'value': inner")
        self.assertEqual(str(wrapped.__cause__), "inner")

    def test_byte_payloads(self):
        class Seq(collections.abc.Sequence):
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError
                return 65 + i

        class Exporter(list):  # a sequence whose buffer holds its items
            def __buffer__(self, flags):
                return memoryview(b"exported")

        class NoSequence:
            def __buffer__(self, flags):
                return memoryview(b"exported")

        class LyingLength(list):
            def __len__(self):
                raise RuntimeError("no length")

        # Items one by one, copied; only an immutable bytes object is used in place.
        # (value, bytes, whether the object's own storage is used without a copy)
        cases = [
            (b"abc", b"abc", True), (type("B", (bytes,), {})(b"sub"), b"sub", True), (b"", b"", True),
            (bytearray(b"ab"), b"ab", False), (memoryview(b"xyz")[1:], b"yz", False),
            (memoryview(b"abcdef")[::2], b"ace", False), (array.array("B", [1, 255]), b"\x01\xff", False),
            (array.array("H", [1, 2]), b"\x01\x02", False), (array.array("b", [3]), b"\x03", False),
            (Exporter(), b"exported", False), ((104, 105), b"hi", False), ([1, 2, 3], b"\x01\x02\x03", False),
            (range(3), b"\x00\x01\x02", False), (Seq(), b"AB", False), ([], b"", False),
            (LyingLength([7]), b"\x07", False),
        ]
        for value, expected, borrowed in cases:
            with self.subTest(value=value):
                self.assertEqual(hooks.convert("bytes", value), (expected, borrowed))
        out_of_range = (OverflowError, "out of range integral type conversion attempted")
        refused = [
            ("abc", TypeError, "argument 'value': Can't extract `str` to `Vec`"),
            (type("S", (str,), {})("x"), TypeError, "argument 'value': Can't extract `str` to `Vec`"),
            ({1: 2}, TypeError, "argument 'value': 'dict' object is not an instance of 'Sequence'"),
            ({1}, TypeError, "argument 'value': 'set' object is not an instance of 'Sequence'"),
            (5, TypeError, "argument 'value': 'int' object is not an instance of 'Sequence'"),
            (None, TypeError, "argument 'value': 'None' is not an instance of 'Sequence'"),
            (NoSequence(), TypeError,
             f"argument 'value': '{NoSequence.__qualname__}' object is not an instance of 'Sequence'"),
            ([1, 256], *out_of_range), ([-1], *out_of_range), (array.array("H", [300]), *out_of_range),
            (array.array("b", [-1]), *out_of_range),
            (["a"], TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
            (array.array("d", [1.5]), TypeError,
             "argument 'value': 'float' object cannot be interpreted as an integer"),
            (memoryview(b"abcd").cast("B", (2, 2)), NotImplementedError,
             "multi-dimensional sub-views are not implemented"),
        ]
        class Interrupted(list):
            def __len__(self):
                raise KeyboardInterrupt

        self.assertIs(type(caught(hooks.convert, "bytes", Interrupted([1]))), KeyboardInterrupt)
        for value, cls, text in refused:
            with self.subTest(value=value):
                exc = caught(hooks.convert, "bytes", value)
                self.assertIs(type(exc), cls)
                self.assertEqual(str(exc), text)

    def test_buffers_are_released_on_every_path(self):
        buf = bytearray(b"payload")
        hooks.convert("bytes", buf)
        buf.extend(b"!")  # a buffer still exported would refuse the resize
        self.assertEqual(buf, b"payload!")


class BoundaryTest(DatasetCase):
    def test_borrows_refuse_reentrant_calls_at_once(self):
        ds = self.make(records=[1])
        calls = {
            "exclusive inside exclusive": (lambda: ds.read(1), "Already borrowed"),
            "shared inside exclusive": (lambda: ds.id, "Already mutably borrowed"),
            "repr inside exclusive": (lambda: repr(ds), "Already mutably borrowed"),
            "inspect inside exclusive": (lambda: ds.inspect(), "Already mutably borrowed"),
        }
        for label, (inner, text) in calls.items():
            seen = []

            class Index:
                def __index__(self):
                    seen.append(caught(inner))
                    return 1

            class Exporter(list):
                def __buffer__(self, flags):
                    seen.append(caught(inner))
                    return memoryview(b"x")

            class Items(list):
                def __iter__(self):
                    seen.append(caught(inner))
                    return super().__iter__()

            with self.subTest(label=label):
                ds.read(Index())
                ds.write(Index(), Exporter())
                ds.write(2, Items([1]))
                self.assertEqual([(type(e), str(e)) for e in seen], [(RuntimeError, text)] * 4)
        self.assertEqual((ds.read_exist(1), ds.id), (True, 1))  # every borrow was released

    def test_a_failing_exporter_leaves_the_object_free(self):
        ds = self.make()

        class Broken(list):
            def __buffer__(self, flags):
                raise ValueError("no buffer")

        self.assertEqual(str(caught(ds.write, 1, Broken())), "no buffer")
        ds.write(1, b"x")
        self.assertEqual(ds.read(1), (1, b"x"))

    def test_a_cpp_exception_becomes_the_internal_failure_exception(self):
        ds = self.standalone(journal="throw")
        exc = caught(ds.write, 1, b"x")
        cls = type(exc)
        self.assertEqual((cls.__name__, cls.__module__), ("PanicException", "brenvale"))
        self.assertEqual(cls.__mro__[1:], (BaseException, object))
        self.assertFalse(isinstance(exc, Exception))
        self.assertEqual(exc.args, ("journal hook exploded",))
        self.assertFalse(hasattr(brenvale, "PanicException"))
        # The exception went through the engine holding the dataset mutex: the dataset is
        # poisoned, no engine call runs on it, and the getters fall back.
        for call in (lambda: ds.write(2, b"y"), lambda: ds.read(1), ds.flush, ds.inspect, lambda: ds.query(0, 1)):
            err = caught(call)
            self.assertIs(type(err), brenvale.BrvlInvalidDataError)
            self.assertEqual(str(err), "invalid data: dataset mutex poisoned")
        self.assertEqual((ds.identifier, ds.latest_timestamp, ds.id), (0, None, 1))
        other = caught(self.standalone("other", journal="throw_other").write, 1, b"x")
        self.assertIs(type(other), cls)
        self.assertEqual(other.args, ("internal failure without a message",))

    def test_an_engine_error_after_the_record_was_stored_is_raised(self):
        ds = self.standalone(journal="error")
        for call in (lambda: ds.write(1, b"x"), lambda: ds.append(1, b"y"), lambda: ds.delete(1)):
            exc = caught(call)
            self.assertIs(type(exc), brenvale.BrvlIoError)
            self.assertEqual(str(exc), "I/O error: journal unavailable")
        self.assertIsNone(ds.read(1))
        self.assertEqual(ds.latest_timestamp, 1)


if __name__ == "__main__":
    unittest.main()
