"""The Arrow columns of a schema's records: the source keys, then each field typed as the
engine's values are (``list<string>``, ``string`` for ``first``, ``list<struct>`` for a group)
or as its processors' values turn out."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Protocol

from ._fields import MISSING, Field, Group

if TYPE_CHECKING:
    import pyarrow as pa

__all__ = ["Declared", "arrow_schema", "source_columns", "text_schema"]


class Declared(Protocol):
    """What the column types are read from: a :class:`~larkspine.Schema`'s declarations."""

    @property
    def fields(self) -> Mapping[str, Field[Any] | Group]: ...


def arrow_schema(schema: Declared, sample: Sequence[Mapping[str, Any]] = ()) -> pa.Schema:
    """The Parquet column types of a schema's records (see the module notes).

    ``sample`` gives the values from which the types of processed fields are inferred.
    """
    import pyarrow as pa

    columns = source_columns()
    for name, decl in schema.fields.items():
        kind = _declared_type(decl)
        if kind is None:
            kind = _inferred_type([r.get(name) for r in sample])
        columns.append(pa.field(name, kind))
    return pa.schema(columns)


def source_columns() -> list[pa.Field[Any]]:
    """The Parquet columns of :data:`SOURCE_KEYS`."""
    import pyarrow as pa

    return [
        pa.field("_source", pa.string()),
        pa.field("_offset", pa.int64()),
        pa.field("_url", pa.string()),
        pa.field("_status", pa.int16()),
        pa.field("_date", pa.timestamp("us", tz="UTC")),
        pa.field("_record_id", pa.string()),
        pa.field("_content_type", pa.string()),
        pa.field("_charset", pa.string()),
    ]


def _declared_type(decl: Field[Any] | Group) -> pa.DataType | None:
    """The type a declaration's values have, or ``None`` when its processors decide it."""
    import pyarrow as pa

    if isinstance(decl, Group):
        subs = []
        for sub_name, sub in decl.fields.items():
            kind = _declared_type(sub)
            if kind is None:
                return None
            subs.append(pa.field(sub_name, kind))
        row = pa.struct(subs)
        plain = decl.out is None
        return (row if decl.first else pa.list_(row)) if plain else None
    if decl.each is not None or decl.out is not None:
        return None
    default = decl.default
    if decl.first:
        ok = default is MISSING or default is None or isinstance(default, str)
        return pa.string() if ok else None
    ok = default is MISSING or default is None or (
        isinstance(default, list) and all(isinstance(v, str) for v in default)
    )
    return pa.list_(pa.string()) if ok else None


def _inferred_type(values: list[Any]) -> pa.DataType:
    """The type of the values, or of the first one pyarrow can type (the rows that do not fit
    it are rejected when written); ``string`` when nothing has a type."""
    import pyarrow as pa

    try:
        kind = pa.array(values).type
    except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError):
        kind = pa.null()
        for value in values:
            try:
                kind = pa.array([value]).type
            except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError):
                continue
            if not pa.types.is_null(kind):
                break
    return pa.string() if pa.types.is_null(kind) else kind


def text_schema(schema: Declared) -> pa.Schema:
    """The columns of the tables :meth:`JsonLinesWriter.write_table` and
    :meth:`CsvWriter.write_table` take: those of :func:`arrow_schema`, but ``_date`` is
    the text JSON Lines and CSV write (``2024-05-01T12:00:00Z``)."""
    import pyarrow as pa

    columns = arrow_schema(schema)
    return columns.set(columns.get_field_index("_date"), pa.field("_date", pa.string()))
