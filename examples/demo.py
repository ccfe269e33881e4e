"""A first look at vorel in one process."""

import vorel
from vorel import _vorel


def main() -> None:
    print(f"vorel core loaded from {_vorel.__file__}")
    print("exceptions an ask can raise:")
    for name in vorel.__all__:
        cls = getattr(vorel, name)
        if isinstance(cls, type) and issubclass(cls, BaseException):
            base = cls.__mro__[1].__name__
            summary = (cls.__doc__ or "").split("\n")[0]
            print(f"  {name:<16} ({base}): {summary}")


if __name__ == "__main__":
    main()
