"""Native Larkspine core: treeless, one-pass HTML extraction."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, Final, Literal, final, overload

from typing_extensions import Buffer

__all__ = [
    "__doc__",
    "extract",
    "extract_grouped",
    "audit_schema",
    "selector_terminals",
    "selector_node_identity",
    "resolve_label",
    "detect_encoding",
    "Plan",
    "ArrowBatch",
]

_Html = bytes | str
_Group = tuple[str, Sequence[tuple[str, str]]]
_Flat = list[list[str]]
_Grouped = list[list[list[list[str]]]]
_Support = tuple[bool, str | None]

def extract(html: _Html, queries: Sequence[str], encoding: str | None = None) -> _Flat: ...
def extract_grouped(
    html: _Html, flat_queries: Sequence[str], groups: Sequence[_Group], encoding: str | None = None
) -> tuple[_Flat, _Grouped]: ...
def audit_schema(
    flat_queries: Sequence[str], groups: Sequence[_Group]
) -> tuple[list[_Support], list[tuple[_Support, list[_Support]]], tuple[int, int, int, int]]: ...
def selector_terminals(queries: Sequence[str]) -> list[str | None]: ...
def selector_node_identity(queries: Sequence[str]) -> list[tuple[str | None, bool]]: ...
def resolve_label(label: str) -> str | None: ...
def detect_encoding(html: _Html, encoding: str | None = None) -> str: ...
def _query_syntax_error(query: str, sub_field: bool = False) -> tuple[int, str] | None: ...
def _sub_field_budget(groups: Sequence[_Group]) -> tuple[int, int]: ...
def _join_link_array(
    values: Any,
    pages: Sequence[tuple[int, int, tuple[str, bool | None, str, str | None, str | None] | None]],
    fallback: Callable[[int, str], str],
) -> tuple[bytes, bytes]: ...
@overload
def _records_text(
    batch: object, format: Literal["jsonl", "csv"], *, escape_formulas: bool = True, row_ends: Literal[False] = False
) -> bytes: ...
@overload
def _records_text(
    batch: object, format: Literal["jsonl", "csv"], *, escape_formulas: bool = True, row_ends: Literal[True]
) -> tuple[bytes, bytes]: ...
def _join_links(
    links: list[str], base: str, https: bool, origin: str, directory: str | None, fragmentless: str | None
) -> tuple[list[str | None], int]: ...
@final
class Plan:
    def __new__(
        cls, flat_queries: Sequence[str], groups: Sequence[_Group], first_only: Sequence[bool] | None = None
    ) -> Plan: ...
    @property
    def flat_queries(self) -> tuple[str, ...]: ...
    @property
    def groups(self) -> tuple[tuple[str, tuple[tuple[str, str], ...]], ...]: ...
    @property
    def first_only(self) -> tuple[bool, ...]: ...
    def extract(self, html: _Html, encoding: str | None = None) -> _Flat: ...
    def extract_grouped(self, html: _Html, encoding: str | None = None) -> tuple[_Flat, _Grouped]: ...
    def extract_arrow(
        self,
        documents: Iterable[bytes | str | Buffer],
        encoding: str | Sequence[str | None] | None = None,
        *,
        threads: int = 1,
        names: Sequence[str] | None = None,
    ) -> ArrowBatch: ...
    def __reduce__(self) -> tuple[type[Plan], tuple[tuple[str, ...], tuple[tuple[str, tuple[tuple[str, str], ...]], ...], tuple[bool, ...] | None]]: ...
    def __copy__(self) -> Plan: ...
    def __deepcopy__(self, memo: object, /) -> Plan: ...
@final
class ArrowBatch:
    @property
    def num_rows(self) -> int: ...
    @property
    def column_names(self) -> tuple[str, ...]: ...
    @property
    def nbytes(self) -> int: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# Private: the archive run behind the Python layer's inputs (not in __all__).
_Failure = tuple[str, int | None, str]
_PageTuple = tuple[str, int | None, str | None, int | None, str | None, str | None, str | None, str | None, bytes]

@final
class _ArchiveRun:
    def __new__(
        cls,
        plan: Plan | None,
        *,
        names: Sequence[str] | None = None,
        threads: int = 1,
        max_page_size: int = ...,
        only_2xx: bool = False,
        encoding: str | None = None,
        charsets: dict[str, str] | None = None,
        batch_pages: int = 64,
        batch_bytes: int = ...,
        part_bytes: int = ...,
    ) -> _ArchiveRun: ...
    def add(
        self,
        source: str,
        path: str | bytes | None = None,
        *,
        fd: int | None = None,
        stream: object = None,
        found: bool = False,
        failure: str | None = None,
    ) -> None: ...
    def finish(self) -> None: ...
    def next(
        self, timeout: float | None = None
    ) -> tuple[ArrowBatch | list[_PageTuple] | None, list[_Failure], int, int] | None: ...
    def stop(self) -> None: ...
    @property
    def pending(self) -> int: ...
    def counts(self) -> dict[str, Any]: ...
    def close(self) -> None: ...
