"""The native engine, when it is built; ``native`` is None otherwise."""

try:
    from tavrinex import _tavrinex as native
except ImportError:  # pure-Python installation
    native = None


if native is not None:
    NativeFallback = native.NativeFallback
else:
    class NativeFallback(Exception):
        """Stands in for the engine's class when the engine is absent."""
