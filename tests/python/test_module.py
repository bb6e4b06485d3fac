"""Tests of the module `brenvale`: its namespace, its exception classes and how engine
errors become exceptions (raised through the test-only extension _brenvale_testhooks)."""

import errno
import importlib
import os
import shutil
import subprocess
import sys
import unittest

import brenvale
import _brenvale_testhooks as hooks

# (name, docstring), in registration order.
EXCEPTIONS = [
    ("BrvlError", "Base exception for all brenvale errors."),
    ("BrvlIoError", "I/O error (file not found, permission denied, etc.)."),
    ("BrvlNotFoundError", "Dataset, segment, or handle not found."),
    ("BrvlAlreadyExistsError", "Dataset already exists."),
    ("BrvlInvalidDataError", "Invalid data: bad timestamp, out-of-order, duplicate, corrupt block."),
    ("BrvlSegmentFullError", "Segment file is full (expansion needed)."),
    ("BrvlMmapError", "Memory-mapping error."),
    ("BrvlCompressionError", "Compression failure."),
    ("BrvlDecompressionError", "Decompression failure."),
    ("BrvlExpiredError", "Timestamp is outside the retention window."),
    ("BrvlQueueAlreadyOpenError", "Queue is already open for this dataset."),
    ("BrvlQueueNotOpenError", "Queue is not open for this dataset."),
    ("BrvlConsumerGroupNotFoundError", "Consumer group not found."),
    ("BrvlConsumerGroupExistsError", "Consumer group already exists."),
    ("BrvlQueueClosedError", "Queue has been closed."),
    ("BrvlPendingFullError", "Too many pending entries for this consumer group."),
]
EXCEPTION_NAMES = [name for name, _ in EXCEPTIONS]

# The ordinary classes, which follow the exceptions in __all__ in this order.
CLASS_NAMES = [
    "Store", "DataSetInfo", "DataSetState", "DataSetInspectResult", "StoreConfig", "Dataset",
    "QueryIterator", "DatasetQueue", "DatasetQueueConsumer", "DatasetQueueConsumerInfo",
    "DatasetQueueConsumerPendingEntry", "DatasetQueueConsumerState",
    "DatasetQueueConsumerInspectResult", "JournalQueue", "JournalQueueConsumer",
]

# Engine error kinds by tag: (tag, detail, code, class name, display text).
KINDS = [
    (0, "", errno.ENOENT, "BrvlIoError", "I/O error: No such file or directory (os error 2)"),
    (1, "", 0, "BrvlInvalidDataError", 'invalid file magic: expected b"BRVL"'),
    (2, "", 3, "BrvlInvalidDataError", "unsupported version: 3"),
    (3, "segment is not mapped", 0, "BrvlMmapError", "mmap error: segment is not mapped"),
    (4, "out of memory", 0, "BrvlCompressionError", "compression error: out of memory"),
    (5, "truncated frame", 0, "BrvlDecompressionError", "decompression error: truncated frame"),
    (6, "dataset a/b is closed", 0, "BrvlInvalidDataError", "invalid data: dataset a/b is closed"),
    (7, "no segment contains offset 7", 0, "BrvlNotFoundError", "not found: no segment contains offset 7"),
    (8, "timestamp 5", 0, "BrvlExpiredError", "expired: timestamp 5"),
    (9, "a/b", 0, "BrvlAlreadyExistsError", "already exists: a/b"),
    (10, "", 0, "BrvlSegmentFullError", "segment full (expansion needed)"),
    (11, "q", 0, "BrvlQueueAlreadyOpenError", "queue already open: q"),
    (12, "q", 0, "BrvlQueueNotOpenError", "queue not open: q"),
    (13, "g", 0, "BrvlConsumerGroupNotFoundError", "consumer group not found: g"),
    (14, "g", 0, "BrvlConsumerGroupExistsError", "consumer group already exists: g"),
    (15, "q", 0, "BrvlQueueClosedError", "queue closed: q"),
    (16, "g", 0, "BrvlPendingFullError", "pending entries full: g"),
]


def raised(tag, detail="", code=0):
    """The exception that the engine error `tag` becomes."""
    try:
        hooks.raise_engine_error(tag, detail, code)
    except BaseException as exc:  # noqa: B036 - the class is what is under test
        return exc
    raise AssertionError(f"tag {tag} raised nothing")


class NamespaceTest(unittest.TestCase):
    def test_all_lists_the_exceptions_first_then_the_classes_in_order(self):
        names = brenvale.__all__
        self.assertIsInstance(names, list)
        self.assertEqual(names[:16], EXCEPTION_NAMES)
        # Then the 15 ordinary classes, in their fixed order.
        self.assertEqual(names[16:], CLASS_NAMES)
        self.assertEqual((len(names), names[0], names[-1]), (31, "BrvlError", "JournalQueueConsumer"))
        self.assertEqual(len(set(names)), len(names))

    def test_every_listed_name_is_the_attribute(self):
        for name in brenvale.__all__:
            self.assertTrue(hasattr(brenvale, name), name)

    def test_no_public_name_outside_all_and_no_functions(self):
        public = {n for n in dir(brenvale) if not n.startswith("_")}
        self.assertEqual(public, set(brenvale.__all__))
        for name in public:
            self.assertIsInstance(getattr(brenvale, name), type, name)
        self.assertEqual(brenvale.__doc__, "")
        self.assertEqual(brenvale.__name__, "brenvale")

    def test_query_length_iterator_is_not_exported(self):
        self.assertNotIn("QueryLengthIterator", brenvale.__all__)
        self.assertFalse(hasattr(brenvale, "QueryLengthIterator"))

    def test_test_hooks_stay_out_of_the_module(self):
        self.assertFalse(hasattr(brenvale, "raise_engine_error"))
        self.assertNotEqual(os.path.dirname(brenvale.__file__), os.path.dirname(hooks.__file__))

    @unittest.skipUnless(shutil.which("nm"), "nm is not installed")
    def test_only_the_init_function_is_exported(self):
        out = subprocess.run(["nm", "-D", "--defined-only", brenvale.__file__],
                             check=True, capture_output=True, text=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
        self.assertEqual(symbols, ["PyInit_brenvale"])


class ExceptionClassTest(unittest.TestCase):
    def test_names_module_and_docstrings(self):
        for name, doc in EXCEPTIONS:
            cls = getattr(brenvale, name)
            with self.subTest(name=name):
                self.assertEqual(cls.__module__, "brenvale")
                self.assertEqual(cls.__name__, name)
                self.assertEqual(cls.__qualname__, name)
                self.assertEqual(cls.__doc__, doc)

    def test_two_level_hierarchy(self):
        self.assertEqual(brenvale.BrvlError.__bases__, (Exception,))
        for name in EXCEPTION_NAMES[1:]:
            self.assertEqual(getattr(brenvale, name).__bases__, (brenvale.BrvlError,), name)
        self.assertEqual(brenvale.BrvlPendingFullError.__mro__,
                         (brenvale.BrvlPendingFullError, brenvale.BrvlError, Exception,
                          BaseException, object))

    def test_classes_add_nothing_of_their_own(self):
        for name in EXCEPTION_NAMES:
            cls = getattr(brenvale, name)
            own = set(vars(cls)) - {"__module__", "__doc__", "__weakref__"}
            self.assertEqual(own, set(), name)
            exc = cls("text")
            self.assertEqual(exc.args, ("text",))
            self.assertEqual(vars(exc), {})


class ErrorConversionTest(unittest.TestCase):
    def test_every_kind_raises_its_class_with_the_display_text_alone(self):
        for tag, detail, code, class_name, text in KINDS:
            with self.subTest(tag=tag):
                exc = raised(tag, detail, code)
                self.assertIs(type(exc), getattr(brenvale, class_name))
                self.assertEqual(exc.args, (text,))
                self.assertEqual(str(exc), text)
                self.assertIsNone(exc.__cause__)
                self.assertIsNone(exc.__context__)

    def test_every_subclass_is_reachable_and_none_maps_to_the_base(self):
        produced = {type(raised(tag, detail, code)) for tag, detail, code, _, _ in KINDS}
        self.assertNotIn(brenvale.BrvlError, produced)
        self.assertEqual(produced, {getattr(brenvale, n) for n in EXCEPTION_NAMES[1:]})

    def test_a_base_class_handler_catches_every_kind(self):
        for tag, detail, code, _, text in KINDS:
            with self.subTest(tag=tag):
                try:
                    hooks.raise_engine_error(tag, detail, code)
                except brenvale.BrvlError as exc:
                    self.assertEqual(str(exc), text)
                else:
                    self.fail("nothing raised")

    def test_invalid_kinds_share_one_class_and_differ_by_text(self):
        magic = raised(1)
        self.assertIsInstance(magic, brenvale.BrvlInvalidDataError)
        self.assertTrue(magic.args[0].startswith("invalid file magic: expected"))
        self.assertEqual(len(magic.args[0]), 36)
        self.assertTrue(raised(2, code=65535).args[0].startswith("unsupported version"))
        self.assertEqual(raised(6, "").args, ("invalid data: ",))

    def test_io_texts(self):
        self.assertEqual(raised(0, code=errno.EACCES).args,
                         (f"I/O error: {os.strerror(errno.EACCES)} (os error {errno.EACCES})",))
        self.assertEqual(raised(0, "failed to write whole buffer").args,
                         ("I/O error: failed to write whole buffer",))

    def test_payload_text_is_kept_as_is(self):
        self.assertEqual(raised(7, "données/é 😀").args, ("not found: données/é 😀",))
        self.assertEqual(raised(7, "{} %s \\n").args, ("not found: {} %s \\n",))

    def test_bytes_that_are_not_utf8_are_replaced(self):
        exc = raised(7, b"dir/\xff\xfe/meta")
        self.assertIs(type(exc), brenvale.BrvlNotFoundError)
        self.assertEqual(exc.args, ("not found: dir/\ufffd\ufffd/meta",))


class ImportTest(unittest.TestCase):
    def test_reimport_and_reload_give_the_same_classes(self):
        before = {name: getattr(brenvale, name) for name in EXCEPTION_NAMES}
        saved = sys.modules.pop("brenvale")
        try:
            fresh = importlib.import_module("brenvale")
            self.assertIsNot(fresh, saved)
            self.assertEqual(fresh.__all__[:16], EXCEPTION_NAMES)
            for name, cls in before.items():
                self.assertIs(getattr(fresh, name), cls, name)
            importlib.reload(fresh)
            self.assertEqual(fresh.__all__, saved.__all__)
        finally:
            sys.modules["brenvale"] = saved

    def test_legacy_subinterpreter_shares_the_classes(self):
        try:
            import _interpreters
        except ImportError:
            self.skipTest("no subinterpreter support")
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        try:
            _interpreters.set___main___attrs(iid, {"expected": id(brenvale.BrvlPendingFullError)})
            failure = _interpreters.exec(iid, (
                "import brenvale\n"
                "assert id(brenvale.BrvlPendingFullError) == expected\n"
                "assert brenvale.__all__[0] == 'BrvlError'\n"))
            self.assertIsNone(failure)
        finally:
            _interpreters.destroy(iid)

    def test_isolated_subinterpreter_refuses_the_module(self):
        try:
            from concurrent import interpreters
        except ImportError:
            self.skipTest("no concurrent.interpreters")
        interp = interpreters.create()
        try:
            with self.assertRaises(interpreters.ExecutionFailed) as ctx:
                interp.exec("import brenvale")
            self.assertIn("ImportError", str(ctx.exception))
        finally:
            interp.close()


if __name__ == "__main__":
    unittest.main()
