"""A first look at brenvale from Python: import the module and meet its exceptions.

Run it with `bash scripts/setup.sh --example` (it builds the module first)."""

import brenvale

print(f"brenvale loaded from {brenvale.__file__}")
print(f"exported names: {len(brenvale.__all__)}")

print("\nexception classes (every engine error is raised as one of them):")
for name in brenvale.__all__:
    cls = getattr(brenvale, name)
    if isinstance(cls, type) and issubclass(cls, BaseException):
        print(f"  {name:<32} <- {cls.__bases__[0].__name__:<10} {cls.__doc__}")

# A handler for the base class catches every engine error; the text is the only argument.
try:
    raise brenvale.BrvlNotFoundError("not found: sensors/temperature")
except brenvale.BrvlError as exc:
    print(f"\ncaught {type(exc).__name__}: {exc}")
