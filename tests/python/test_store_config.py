"""StoreConfig: keyword-only options, their defaults, clamps and argument errors."""

import unittest

import brenvale
from dataset_util import caught

U64 = 2**64 - 1
# (option, default), in parameter order.
DEFAULTS = [
    ("flush_interval", 15), ("idle_timeout", 1800), ("data_segment_size", 67108864),
    ("index_segment_size", 16777216), ("initial_data_segment_size", 262144), ("initial_index_segment_size", 16384),
    ("compress_level", 6), ("cache_max_memory", 268435456), ("cache_idle_timeout", 1800),
    ("retention_check_hour", 0), ("enable_background_thread", True), ("enable_journal", True), ("read_only", None),
]
OPTIONS = [name for name, _ in DEFAULTS]
SIGNATURE = "(*, " + ", ".join(f"{n}={v}" for n, v in DEFAULTS) + ")"


def values(config):
    return {name: getattr(config, name) for name in OPTIONS}


class StoreConfigTest(unittest.TestCase):
    def test_class(self):
        cls = brenvale.StoreConfig
        self.assertEqual((cls.__module__, cls.__name__, cls.__text_signature__), ("builtins", "StoreConfig", SIGNATURE))
        self.assertFalse(cls.__doc__)
        self.assertEqual([k for k in vars(cls) if not k.startswith("__")], ["default"] + OPTIONS)
        for name in OPTIONS:
            self.assertIsNone(getattr(cls, name).__doc__, name)
        self.assertEqual((cls.default.__text_signature__, cls.default.__doc__), ("($cls)", None))
        self.assertIs(type(caught(type, "Sub", (cls,), {})), TypeError)

    def test_defaults(self):
        expected = dict(DEFAULTS)
        for config in (brenvale.StoreConfig(), brenvale.StoreConfig.default()):
            self.assertEqual(values(config), expected)
            self.assertIs(type(config), brenvale.StoreConfig)
        self.assertIsNot(brenvale.StoreConfig.default(), brenvale.StoreConfig.default())

    def test_given_values_resolved(self):
        given = dict(flush_interval=0, idle_timeout=U64, data_segment_size=1, index_segment_size=U64,
                     initial_data_segment_size=0, initial_index_segment_size=7, compress_level=255,
                     cache_max_memory=0, cache_idle_timeout=2**63, retention_check_hour=255,
                     enable_background_thread=False, enable_journal=False, read_only=True)
        config = brenvale.StoreConfig(**given)
        # Sizes are not validated here; levels and hours are lowered to their maximum.
        self.assertEqual(values(config), dict(given, compress_level=9, retention_check_hour=23))
        clamps = [("compress_level", 9, 9), ("compress_level", 10, 9), ("compress_level", 12, 9),
                  ("compress_level", 0, 0), ("retention_check_hour", 23, 23), ("retention_check_hour", 24, 23),
                  ("retention_check_hour", 30, 23), ("read_only", False, False), ("read_only", None, None)]
        for name, value, shown in clamps:
            with self.subTest(name=name, value=value):
                self.assertEqual(getattr(brenvale.StoreConfig(**{name: value}), name), shown)

    def test_argument_errors(self):
        int_none = "'NoneType' object cannot be interpreted as an integer"
        cases = [
            ((1,), {}, TypeError, "StoreConfig.__new__() takes 0 positional arguments but 1 was given"),
            ((), {"flush": 1}, TypeError, "StoreConfig.__new__() got an unexpected keyword argument 'flush'"),
            ((), {"flush_interval": None}, TypeError, f"argument 'flush_interval': {int_none}"),
            ((), {"compress_level": None}, TypeError, f"argument 'compress_level': {int_none}"),
            ((), {"enable_journal": None}, TypeError, "argument 'enable_journal': 'None' is not an instance of 'bool'"),
            ((), {"read_only": 0}, TypeError, "argument 'read_only': 'int' object is not an instance of 'bool'"),
            ((), {"idle_timeout": 1.5}, TypeError,
             "argument 'idle_timeout': 'float' object cannot be interpreted as an integer"),
            ((), {"cache_max_memory": -1}, OverflowError, "can't convert negative int to unsigned"),
            ((), {"data_segment_size": 2**64}, OverflowError, "int too big to convert"),
            ((), {"compress_level": 256}, OverflowError, "out of range integral type conversion attempted"),
            ((), {"retention_check_hour": -1}, OverflowError, "out of range integral type conversion attempted"),
        ]
        for args, kwargs, cls, text in cases:
            with self.subTest(kwargs=kwargs):
                exc = caught(brenvale.StoreConfig, *args, **kwargs)
                self.assertEqual((type(exc), str(exc)), (cls, text))
        # Options are converted in parameter order: the first bad one is reported.
        exc = caught(brenvale.StoreConfig, read_only=1, flush_interval="x", compress_level=300)
        self.assertEqual(str(exc), "argument 'flush_interval': 'str' object cannot be interpreted as an integer")
        self.assertIs(type(exc.__cause__), TypeError)
        self.assertIs(type(caught(brenvale.StoreConfig.default, 1)), TypeError)

    def test_immutable(self):
        config = brenvale.StoreConfig(flush_interval=3)
        for name in OPTIONS + ["extra"]:
            self.assertIs(type(caught(setattr, config, name, 1)), AttributeError, name)
        self.assertEqual(config.flush_interval, 3)


if __name__ == "__main__":
    unittest.main()
