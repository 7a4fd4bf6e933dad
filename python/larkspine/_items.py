"""Pages as Scrapy items: an itemadapter adapter for :class:`~larkspine.Page`.

Scrapy's feed exports and item pipelines reach items through ``itemadapter``, whose
``ItemAdapter`` takes dicts, Scrapy ``Item``\\ s, dataclasses, attrs and pydantic objects,
and any type whose adapter is registered in ``ItemAdapter.ADAPTER_CLASSES``. An adapter is
the way in rather than the ``Mapping`` protocol for two reasons: itemadapter's dict
adapter takes ``dict`` instances only, so a ``Mapping`` would still be refused; and
``keys``, ``items``, ``values`` and ``get`` would become ``Page`` attributes, which field
names such as ``items`` (a common one) would clash with.

The adapter is registered when ``itemadapter`` is imported, never by importing it here:
importing it imports Scrapy when that is installed, which takes seconds. In a Scrapy
process it is already imported before the spider's module; otherwise an import hook
registers the adapter right after ``itemadapter`` is first imported.

The page class is handed in by :mod:`larkspine.page` rather than imported from it, so this
module depends on nothing of the package: what the adapter reads of a page is the
``_PageItem`` protocol below.
"""

from __future__ import annotations

import importlib.abc
import importlib.machinery
import importlib.util
import sys
from collections.abc import Iterator, Sequence
from types import ModuleType
from typing import Any, ClassVar, Protocol

__all__ = ["install"]


class _PageItem(Protocol):
    """What the adapter reads and writes of a page: its URL, the record key that carries
    it (or ``None``), and its field values by name."""

    __url_field__: ClassVar[str | None]
    url: str | None
    _values: dict[str, Any]


def _adapter_class(page_class: type) -> type:
    from itemadapter.adapter import AdapterInterface

    class PageAdapter(AdapterInterface):
        """Field values of a ``Page`` by name, in declaration order.

        A pipeline may replace a field's value (``adapter["price"] = float(...)``), as it may on
        an attrs or dataclass item; a page always has every field its class declares, so
        names outside the class are refused and a field cannot be removed.
        """

        item: _PageItem

        @classmethod
        def is_item_class(cls, item_class: type) -> bool:
            return isinstance(item_class, type) and issubclass(item_class, page_class)

        @classmethod
        def get_field_names_from_class(cls, item_class: type) -> list[str] | None:
            schema = getattr(item_class, "__schema__", None)
            if schema is None:
                return None
            url_field = getattr(item_class, "__url_field__", None)
            return ([url_field] if url_field is not None else []) + list(schema.fields)

        def __getitem__(self, name: str) -> Any:
            if name == self.item.__url_field__:
                return self.item.url
            return self.item._values[name]

        def __setitem__(self, name: str, value: Any) -> None:
            if name == self.item.__url_field__:
                self.item.url = value
                return
            values = self.item._values
            if name not in values:
                raise KeyError(f"larkspine: {type(self.item).__qualname__} has no field {name!r}")
            values[name] = value

        def __delitem__(self, name: str) -> None:
            raise KeyError(f"larkspine: a page keeps every field of its class; set {name!r} to None instead")

        def __iter__(self) -> Iterator[str]:
            url_field = self.item.__url_field__
            if url_field is not None:
                yield url_field
            yield from self.item._values

        def __len__(self) -> int:
            return len(self.item._values) + (self.item.__url_field__ is not None)

    return PageAdapter


_registered: list[type] = []
#: The class whose subclasses the adapter takes, set once by :func:`install`.
_page_class: list[type] = []


def _register(module: ModuleType) -> None:
    if not _registered:
        _registered.append(_adapter_class(_page_class[0]))
    adapters = module.ItemAdapter.ADAPTER_CLASSES
    if _registered[0] not in adapters:
        # First, so no generic adapter claims a page before this one.
        adapters.appendleft(_registered[0])


class _RegisterAfterImport(importlib.abc.MetaPathFinder):
    """Finds ``itemadapter`` as the other finders do, then registers the adapter once its
    module has run. It removes itself on first use, so it acts once per process."""

    def find_spec(
        self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None
    ) -> importlib.machinery.ModuleSpec | None:
        if fullname != "itemadapter":
            return None
        sys.meta_path.remove(self)
        spec = importlib.util.find_spec(fullname)
        loader = None if spec is None else spec.loader
        if loader is None or not hasattr(loader, "exec_module"):
            return spec
        run = loader.exec_module

        def exec_module(module: ModuleType) -> None:
            run(module)
            _register(module)

        # This loader serves this module alone (finders make a loader per module found).
        loader.exec_module = exec_module  # type: ignore[method-assign]
        return spec


def install(page_class: type) -> None:
    """Register the adapter of ``page_class`` and its subclasses now if ``itemadapter`` is
    imported, else as soon as it is. The first call's class is the one adapted."""
    if not _page_class:
        _page_class.append(page_class)
    module = sys.modules.get("itemadapter")
    if module is not None and hasattr(module, "ItemAdapter"):
        _register(module)
    elif not any(isinstance(f, _RegisterAfterImport) for f in sys.meta_path):
        sys.meta_path.insert(0, _RegisterAfterImport())
