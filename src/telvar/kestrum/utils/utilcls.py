"""Small container classes shared by the framework and the modules."""
import collections


class DotDict(dict):
    """A dict whose entries can also be read, written and deleted as attributes."""

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def copy(self):
        return type(self)(self)

    def __dir__(self):
        return list(super().__dir__()) + [k for k in self if isinstance(k, str)]


class OrderedDict(collections.OrderedDict):
    """The framework's ordered record: an ``OrderedDict`` with attribute read access.

    Records (instrument information, code-list rows) keep their field order and
    can be read as ``record.Market`` as well as ``record['Market']``.
    """

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None


__all__ = ["DotDict", "OrderedDict"]
