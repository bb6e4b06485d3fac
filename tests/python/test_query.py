"""QueryIterator and QueryLengthIterator: walking, skipping, reversing, collecting, closing,
errors met while iterating, a broken mutex and two threads on one iterator."""

import threading
import unittest

import brenvale
import _brenvale_testhooks as hooks
from dataset_util import DatasetCase, caught, payload

TS = [1, 2, 3, 5, 8]


def rec(ts):
    return (ts, payload(ts))


class IteratorClassTest(DatasetCase):
    def test_classes(self):
        ds = self.make()
        lengths = type(ds.query_length(0, 1))
        self.assertIs(type(ds.query_length(5, 9)), lengths)
        self.assertEqual((lengths.__name__, lengths.__module__), ("QueryLengthIterator", "builtins"))
        self.assertFalse(hasattr(brenvale, "QueryLengthIterator"))
        for cls in (brenvale.QueryIterator, lengths):
            with self.subTest(cls=cls.__name__):
                self.assertIsNone(cls.__doc__)
                self.assertIsNone(cls.__text_signature__)
                for name, sig in (("reverse", "($self)"), ("skip", "($self, count)"),
                                  ("collect_all", "($self)"), ("collect_take", "($self, count)"),
                                  ("close", "($self)")):
                    self.assertEqual((getattr(cls, name).__text_signature__, getattr(cls, name).__doc__),
                                     (sig, None), name)
                self.assertIs(type(caught(cls)), TypeError)
                self.assertIs(type(caught(type, "Sub", (cls,), {})), TypeError)


class IterateTest(DatasetCase):
    def setUp(self):
        super().setUp()
        self.ds = self.make(records=TS)

    def test_walks(self):
        q = self.ds.query
        cases = [
            ("forward", lambda: list(q(0, 10)), [rec(t) for t in TS]),
            ("inclusive bounds", lambda: list(q(2, 5)), [rec(2), rec(3), rec(5)]),
            ("empty range", lambda: list(q(6, 7)), []),
            ("start above end", lambda: list(q(9, 1)), []),
            ("reverse", lambda: list(q(0, 10).reverse()), [rec(t) for t in reversed(TS)]),
            ("skip", lambda: list(q(0, 10).skip(2)), [rec(3), rec(5), rec(8)]),
            ("reverse then skip", lambda: list(q(0, 10).reverse().skip(1)), [rec(5), rec(3), rec(2), rec(1)]),
            ("skip past the end", lambda: list(q(0, 10).skip(2**64 - 1)), []),
            ("skips add up", lambda: q(0, 10).skip(1).skip(1).collect_all(), [rec(3), rec(5), rec(8)]),
            ("chained take", lambda: q(0, 10).reverse().skip(1).collect_take(2), [rec(5), rec(3)]),
            ("take more than there is", lambda: q(0, 3).collect_take(10), [rec(1), rec(2), rec(3)]),
            ("take none", lambda: q(0, 10).collect_take(0), []),
            ("lengths", lambda: list(self.ds.query_length(0, 10)), [(t, len(payload(t))) for t in TS]),
            ("lengths reversed", lambda: self.ds.query_length(0, 10).reverse().collect_take(2), [(8, 2), (5, 2)]),
            ("keyword count", lambda: q(0, 10).skip(count=4).collect_take(count=9), [rec(8)]),
        ]
        for label, call, expected in cases:
            with self.subTest(label=label):
                self.assertEqual(call(), expected)

    def test_next_then_reverse_continues_from_the_other_end(self):
        it = self.ds.query(0, 10)
        self.assertIs(iter(it), it)
        self.assertEqual([next(it), it.reverse() is it, next(it), next(it)], [rec(1), True, rec(8), rec(5)])
        self.assertEqual(it.reverse().collect_all(), [rec(2), rec(3)])

    def test_closed_states(self):
        ended = self.ds.query(0, 10)
        self.assertEqual(len(list(ended)), 5)  # reaching the end closes it
        taken = self.ds.query(0, 10)
        self.assertEqual(taken.collect_take(2), [rec(1), rec(2)])  # the rest is discarded
        closed = self.ds.query(0, 10)
        self.assertIsNone(closed.close())
        self.assertIsNone(closed.close())
        empty = self.ds.query(6, 7)
        self.assertEqual(list(empty), [])
        for it in (ended, taken, closed, empty, self.ds.query_length(0, 10)):
            if type(it) is not brenvale.QueryIterator:
                it.collect_all()
            self.assertEqual(list(it), [])
            self.assertIs(it.reverse(), it)
            self.assertIs(it.skip(1), it)
            self.assertEqual((it.collect_all(), it.collect_take(3)), ([], []))
            self.assertIsNone(it.close())

    def test_deleted_records_do_not_appear_or_count(self):
        self.ds.delete(2)
        self.ds.delete(5)
        self.assertEqual(list(self.ds.query_length(0, 10)), [(1, 2), (3, 2), (8, 2)])
        self.assertEqual(list(self.ds.query(0, 10).skip(1)), [rec(3), rec(8)])

    def test_count_conversion(self):
        it = self.ds.query(0, 10)
        self.assertIs(type(caught(it.skip, -1)), OverflowError)
        self.assertIs(type(caught(it.collect_take, 2**64)), OverflowError)
        exc = caught(it.skip, "1")
        self.assertEqual(str(exc), "argument 'count': 'str' object cannot be interpreted as an integer")
        self.assertIs(type(exc.__cause__), TypeError)

        class Index:
            def __index__(self):  # runs before the iterator's mutex is taken
                self.seen = next(it)
                return 1

        index = Index()
        self.assertEqual(it.skip(index).collect_all(), [rec(3), rec(5), rec(8)])
        self.assertEqual(index.seen, rec(1))

    def test_the_iterator_keeps_its_dataset(self):
        it = self.ds.query(0, 10)
        del self.ds
        self.assertEqual(len(list(it)), 5)


class IteratorErrorTest(DatasetCase):
    def test_engine_errors_are_runtime_errors(self):
        ds = self.make(records=TS)
        text = "invalid data: dataset sensor/raw is closed"
        it, lengths, taken = ds.query(0, 10), ds.query_length(0, 10), ds.query(0, 10)
        self.assertEqual(next(it), rec(1))
        self.store.close()
        for call in (lambda: next(it), lambda: next(it), lambda: next(lengths), lengths.collect_all,
                     lambda: taken.collect_take(1)):
            exc = caught(call)
            self.assertIs(type(exc), RuntimeError)
            self.assertEqual(exc.args, (text,))
        # __next__ leaves the iterator open, collecting closes it.
        self.assertEqual((lengths.collect_all(), taken.collect_all()), ([], []))
        self.assertIs(type(caught(it.collect_all)), RuntimeError)
        self.assertEqual(it.collect_all(), [])
        # At the call itself the error is the engine's exception class.
        exc = caught(ds.query, 0, 1)
        self.assertIs(type(exc), brenvale.BrvlInvalidDataError)
        self.assertEqual(str(exc), text)

    def test_a_broken_mutex_closes_the_iterator(self):
        ds = self.make(records=TS)
        for it in (ds.query(0, 10), ds.query_length(0, 10)):
            self.assertEqual(next(it)[0], 1)
            hooks.break_iterator(it)
            for call in (lambda: next(it), it.reverse, lambda: it.skip(1), it.collect_all,
                         lambda: it.collect_take(1)):
                exc = caught(call)
                self.assertIs(type(exc), RuntimeError)
                self.assertEqual(str(exc), "query iterator mutex poisoned")
            self.assertIsNone(it.close())
        ds.write(9, b"x")  # the dataset itself is untouched
        self.assertEqual(ds.read(9), (9, b"x"))

    def test_two_threads_share_one_iterator(self):
        ds = self.make(records=range(1, 2001))
        for make in (lambda: ds.query(0, 3000), lambda: ds.query_length(0, 3000)):
            it = make()
            seen = [[], []]
            start = threading.Barrier(2)

            def drain(out):
                start.wait()
                for item in it:
                    out.append(item[0])

            threads = [threading.Thread(target=drain, args=(seen[i],)) for i in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(sorted(seen[0] + seen[1]), list(range(1, 2001)))
            for part in seen:
                self.assertEqual(part, sorted(part))


if __name__ == "__main__":
    unittest.main()
