"""`make run`: a short tour of what the engine does today."""

from tavrinex import _tavrinex as native


def main():
    names = sorted(n for n in dir(native) if not n.startswith("__"))
    print("tavrinex._tavrinex exposes:", ", ".join(names))
    print("NativeFallback:", native.NativeFallback.__doc__)


if __name__ == "__main__":
    main()
