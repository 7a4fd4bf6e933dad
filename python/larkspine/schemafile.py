"""Schema files: a :class:`~larkspine.Schema` written as TOML, JSON or YAML.

The format, the same in all three languages: a table of named fields, in record order. A
field is a query string (every value, like parsel's ``getall()``) or a table with
``query``, ``first`` (``first = true``: the first value or nothing, like ``get()``) and
``absolute`` (``absolute = true``: URLs resolved against the page's base URL); a list
of queries in ``query`` is a fallback chain, the first that finds something giving the
value. A
group is a table with ``group`` (the container query), ``fields`` (its sub-fields, named
and written like fields) and optionally ``first``. A boolean at the top is an option of
the schema, not a field: ``fallback = true`` answers the queries the engine refuses through
parsel (lxml), as ``Schema(..., fallback=True)`` does. In TOML::

    fallback = true
    title = { query = "h1::text", first = true }
    links = "a::attr(href)"

    [offers]
    group = "li.offer"
    fields.name = { query = "b::text", first = true }
    fields.price = ".price::text"

A file is refused, with the file and the field named, before any page is read: when it does
not parse, names a field twice, has a key the format does not know, a query that is not a
string, a name that is not an identifier (or starts with ``_``, which record keys such as
``_source`` use), a query the engine does not support (unless ``allow_unsupported``), or
more queries than the engine's budget.
"""

from __future__ import annotations

import json
import os
import re
import tomllib
from collections.abc import Mapping
from typing import Any

from ._fields import Field, Group
from ._lxml import require_parsel
from ._schema import Schema, check
from ._syntax import QuerySyntaxError, check_query

__all__ = [
    "SCHEMA_SUFFIXES",
    "SchemaFileError",
    "build_schema",
    "load_schema",
    "parse_declarations",
    "parse_schema",
    "read_declarations",
    "resolve_declarations",
    "resolve_schema",
    "resolve_source",
]

#: File suffixes read as schema files, and their languages.
SCHEMA_SUFFIXES = {".toml": "toml", ".json": "json", ".yaml": "yaml", ".yml": "yaml"}

_FIELD_KEYS = ("query", "first", "absolute")
_GROUP_KEYS = ("group", "fields", "first")
#: The options a file may set at its top, each a boolean (so no field can be taken for one).
_OPTIONS = ("fallback",)


class SchemaFileError(ValueError):
    """A schema file that cannot be used; the message names the file and the field."""


def read_declarations(path: str | os.PathLike[str]) -> dict[str, Field[Any] | Group]:
    """The fields and groups a schema file declares, checked for form only (not for support)."""
    return _read(path)[0]


def _read(path: str | os.PathLike[str]) -> tuple[dict[str, Field[Any] | Group], dict[str, bool]]:
    """The declarations of a schema file and the options at its top."""
    name = os.fspath(path)
    language = SCHEMA_SUFFIXES.get(os.path.splitext(name)[1].lower())
    if language is None:
        raise SchemaFileError(f"larkspine: {name}: a schema file must end in {', '.join(SCHEMA_SUFFIXES)}")
    try:
        with open(name, "rb") as f:
            data = f.read()
    except OSError as e:
        raise SchemaFileError(f"larkspine: {name}: cannot read the schema file: {e.strerror or e}") from None
    return _parsed(data, language, name)


def parse_declarations(data: bytes | str, language: str, name: str = "<schema>") -> dict[str, Field[Any] | Group]:
    """The fields and groups declared by ``data`` in ``language`` (``"toml"``, ``"json"``, ``"yaml"``)."""
    return _parsed(data, language, name)[0]


def _parsed(data: bytes | str, language: str, name: str) -> tuple[dict[str, Field[Any] | Group], dict[str, bool]]:
    text = _decode(data, name) if isinstance(data, bytes) else data
    tree = _parse(text, language, name)
    options: dict[str, bool] = {}
    if isinstance(tree, Mapping):
        options = {key: value for key, value in tree.items() if key in _OPTIONS and isinstance(value, bool)}
        tree = {key: value for key, value in tree.items() if key not in options}
        if not tree and options:
            raise SchemaFileError(f"larkspine: {name}: the schema file defines no fields")
    return _declarations(tree, name), options


def _decode(data: bytes, name: str) -> str:
    """The text of a schema file, which is UTF-8 (as TOML and JSON require), with or without a BOM."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise SchemaFileError(
            f"larkspine: {name}: line 1, column 1: not UTF-8 (it starts with a UTF-16 byte-order mark); "
            "save the file as UTF-8"
        )
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        bad = e.object[e.start]
        # The place is counted in the characters before the bad byte, each valid up to it.
        place = _place(data[: e.start].decode("utf-8-sig"), e.start)
        raise SchemaFileError(
            f"larkspine: {name}: {place}: not UTF-8 (byte 0x{bad:02x}); save the file as UTF-8"
        ) from None


def _place(text: str, index: int) -> str:
    """``line L, column C`` (both from 1) of ``text[index]``."""
    index = min(index, len(text))
    line_start = text.rfind("\n", 0, index) + 1
    return f"line {text.count(chr(10), 0, index) + 1}, column {index - line_start + 1}"


def load_schema(
    path: str | os.PathLike[str], *, allow_unsupported: bool = False, fallback: bool = False
) -> Schema:
    """The schema a TOML, JSON or YAML file describes (the language is told by the suffix).
    ``fallback=True`` (or ``fallback = true`` in the file) answers the queries the engine
    refuses through parsel."""
    name = os.fspath(path)
    decls, options = _read(name)
    return build_schema(
        decls, name, allow_unsupported=allow_unsupported, fallback=fallback or options.get("fallback", False)
    )


def parse_schema(
    data: bytes | str, language: str, name: str = "<schema>", *, allow_unsupported: bool = False,
    fallback: bool = False,
) -> Schema:
    """The schema described by ``data`` in ``language``; ``name`` is how messages refer to it."""
    decls, options = _parsed(data, language, name)
    return build_schema(
        decls, name, allow_unsupported=allow_unsupported, fallback=fallback or options.get("fallback", False)
    )


def build_schema(
    decls: Mapping[str, Field[Any] | Group], name: str, *, allow_unsupported: bool = False, fallback: bool = False
) -> Schema:
    """A schema from declarations, refused (naming ``name``) if a query is unsupported (with
    ``fallback``: one that neither the engine nor parsel answers) or the schema is over
    budget."""
    if fallback:
        try:
            require_parsel()
        except ImportError as e:
            raise SchemaFileError(f"larkspine: {name}: {str(e).removeprefix('larkspine: ')}") from None
    report = check(decls, fallback=fallback)
    if report.unsupported and not allow_unsupported:
        problems = [f"{q.name} = {q.query!r}: {q.reason}" for q in report.unsupported]
        raise SchemaFileError(
            f"larkspine: {name}: unsupported {'query' if len(problems) == 1 else 'queries'} "
            "(each would extract nothing; `larkspine check` explains, --allow-unsupported "
            "accepts them):\n  " + "\n  ".join(problems)
        )
    if not report.within_budget:
        raise SchemaFileError(
            f"larkspine: {name}: the schema is over the engine's budget: {report.members} of "
            f"{report.max_members} selector members, {report.sib_bits} of {report.max_sib_bits} "
            "sibling-combinator bits; split it into several schemas"
        )
    try:
        # Unsupported queries allowed are still told, once each, naming the file.
        return Schema._declared(decls, False, f"{name}: ", fallback=fallback)
    except ValueError as e:
        raise SchemaFileError(f"larkspine: {name}: {e}") from None


def is_schema_file(ref: str) -> bool:
    """Whether ``ref`` names a schema file (by its suffix) rather than ``module:PageClass``."""
    return os.path.splitext(ref)[1].lower() in SCHEMA_SUFFIXES


def resolve_declarations(ref: str) -> tuple[dict[str, Field[Any] | Group], str]:
    """The declarations of a schema file or of ``module:PageClass`` (or ``module:schema``,
    or ``path/to/file.py:PageClass``), and the name to use for it in messages."""
    decls, name, _ = resolve_source(ref)
    return decls, name


def resolve_source(ref: str) -> tuple[dict[str, Field[Any] | Group], str, bool]:
    """:func:`resolve_declarations`, and whether the schema asks for the fallback (the file's
    ``fallback = true``, the Page class's or Schema's ``fallback=True``)."""
    if is_schema_file(ref):
        decls, options = _read(ref)
        return decls, ref, options.get("fallback", False)
    if ":" not in ref:
        raise SchemaFileError(
            f"larkspine: {ref}: a schema is a file ending in {', '.join(SCHEMA_SUFFIXES)} or a "
            "module:PageClass reference"
        )
    target = _import_object(ref)
    found = getattr(target, "__schema__", None) if isinstance(target, type) else target
    if not isinstance(found, Schema):
        raise SchemaFileError(
            f"larkspine: {ref}: is {type(target).__name__}, not a larkspine Page class or Schema"
        )
    return dict(found.fields), ref, found.fallback


def resolve_schema(ref: str, *, allow_unsupported: bool = False, fallback: bool = False) -> Schema:
    """The schema of a schema file or ``module:PageClass`` reference, checked as
    :func:`build_schema`; with the fallback if ``fallback`` or the schema asks for it."""
    decls, name, own = resolve_source(ref)
    return build_schema(decls, name, allow_unsupported=allow_unsupported, fallback=fallback or own)


def _import_object(ref: str) -> object:
    import importlib
    import importlib.util
    import sys

    module_name, _, attr = ref.rpartition(":")
    try:
        if module_name.endswith(".py"):
            spec = importlib.util.spec_from_file_location(
                os.path.splitext(os.path.basename(module_name))[0], module_name
            )
            if spec is None or spec.loader is None:
                raise ImportError(f"cannot load {module_name}")
            module = importlib.util.module_from_spec(spec)
            sys.modules[spec.name] = module  # so that its classes pickle by reference
            spec.loader.exec_module(module)
        else:
            # As `python -m` does, find modules in the current directory first.
            if "" not in sys.path and os.getcwd() not in sys.path:
                sys.path.insert(0, os.getcwd())
            module = importlib.import_module(module_name)
    except Exception as e:  # whatever the module raises on import (an over-budget Page class, ...)
        raise SchemaFileError(f"larkspine: {ref}: cannot import {module_name}: {type(e).__name__}: {e}") from None
    target: object = module
    for part in attr.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise SchemaFileError(f"larkspine: {ref}: {module_name} has no {attr}") from None
    return target


#: A deeper nesting than any schema needs; where a file first goes deeper is named when its
#: parser runs out of stack.
_DEEP = 100
#: Python converts no more digits than this to a number (``sys.get_int_max_str_digits``).
_LONG_NUMBER = re.compile(r"\d[\d_]{4300,}")


def _parse(text: str, language: str, name: str) -> object:
    """The parsed file; a file its parser cannot take (too deep for the stack, a number too long
    to convert) is refused with the place, as a syntax error is."""
    try:
        return _parse_language(text, language, name)
    except RecursionError:
        where = _too_deep(text)
        place = "" if where is None else f"{_place(text, where)}: "
        raise SchemaFileError(f"larkspine: {name}: {place}nested too deeply to read") from None
    except SchemaFileError:
        raise
    except ValueError as e:
        found = _LONG_NUMBER.search(text)
        if found is None:
            raise SchemaFileError(f"larkspine: {name}: cannot read the schema file: {e}") from None
        digits = len(found.group().replace("_", ""))
        raise SchemaFileError(f"larkspine: {name}: {_place(text, found.start())}: a number of {digits} digits") from None


def _too_deep(text: str) -> int | None:
    """Where brackets first nest more than :data:`_DEEP` levels (brackets inside strings count
    too: this only names a place once the parser has found the file too deep)."""
    depth = 0
    for i, ch in enumerate(text):
        if ch in "[{":
            depth += 1
            if depth > _DEEP:
                return i
        elif ch in "]}":
            depth -= 1
    return None


def _parse_language(text: str, language: str, name: str) -> object:
    if language == "toml":
        try:
            return tomllib.loads(text)
        except tomllib.TOMLDecodeError as e:
            raise SchemaFileError(f"larkspine: {name}: not valid TOML: {e}") from None
    if language == "json":
        try:
            return json.loads(text, object_pairs_hook=lambda pairs: _unique(pairs, name))
        except json.JSONDecodeError as e:
            raise SchemaFileError(f"larkspine: {name}: not valid JSON: {e}") from None
    if language == "yaml":
        return _parse_yaml(text, name)
    raise ValueError(f"larkspine: unknown schema language {language!r} (toml, json or yaml)")


def _unique(pairs: list[tuple[Any, Any]], name: str) -> dict[Any, Any]:
    out: dict[Any, Any] = {}
    for key, value in pairs:
        if key in out:
            raise SchemaFileError(f"larkspine: {name}: {_shown(key)} is defined twice")
        out[key] = value
    return out


def _parse_yaml(text: str, name: str) -> object:
    try:
        import yaml
    except ImportError:
        raise SchemaFileError(
            f"larkspine: {name}: reading YAML schema files needs PyYAML: pip install 'larkspine[yaml]'"
        ) from None

    class UniqueKeyLoader(yaml.SafeLoader):
        pass

    def mapping(loader: yaml.SafeLoader, node: yaml.MappingNode) -> dict[Any, Any]:
        for key, _ in node.value:
            if not isinstance(key, yaml.ScalarNode):
                # A complex key (`? [a, b]`) would be a list or table: no name, and unhashable.
                kind = "a list" if isinstance(key, yaml.SequenceNode) else "a table"
                mark = key.start_mark
                raise SchemaFileError(
                    f"larkspine: {name}: line {mark.line + 1}, column {mark.column + 1}: "
                    f"a field name must be a plain name, got {kind}"
                )
        pairs = [(loader.construct_object(k, deep=True), loader.construct_object(v, deep=True)) for k, v in node.value]
        return _unique(pairs, name)

    UniqueKeyLoader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_MAPPING_TAG, mapping)
    try:
        return yaml.load(text, Loader=UniqueKeyLoader)  # noqa: S506 - a SafeLoader subclass
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        place = "" if mark is None else f"line {mark.line + 1}, column {mark.column + 1}: "
        problem = " ".join(str(e.problem or e.context).split())
        raise SchemaFileError(f"larkspine: {name}: {place}not valid YAML: {problem}") from None
    except yaml.YAMLError as e:
        raise SchemaFileError(f"larkspine: {name}: not valid YAML: {' '.join(str(e).split())}") from None


def _declarations(tree: object, name: str) -> dict[str, Field[Any] | Group]:
    if tree is None or tree == {}:
        raise SchemaFileError(f"larkspine: {name}: the schema file defines no fields")
    if not isinstance(tree, Mapping):
        raise SchemaFileError(
            f"larkspine: {name}: expected a table of named fields at the top, got {_kind(tree)}"
        )
    decls: dict[str, Field[Any] | Group] = {}
    for key, spec in tree.items():
        field_name = _field_name(key, name, "field")
        where = f"larkspine: {name}: field {field_name!r}"
        try:
            if isinstance(spec, Mapping) and "group" in spec:
                decls[field_name] = _group(spec, where, name)
            else:
                flat = _field(spec, where)
                check_query(flat.query)  # a top-level field is a flat query
                decls[field_name] = flat
        except QuerySyntaxError as e:
            raise SchemaFileError(f"{where}: {e.args[0].removeprefix('larkspine: ')}") from None
    return decls


def _field_name(key: object, name: str, what: str) -> str:
    if not isinstance(key, str) or not key.isidentifier():
        raise SchemaFileError(
            f"larkspine: {name}: {what} name {_shown(key)} is not an identifier (letters, digits, _)"
        )
    if key.startswith("_"):
        raise SchemaFileError(
            f"larkspine: {name}: {what} name {key!r} starts with _, which record keys such as "
            "_source use; rename it"
        )
    return key


def _field(spec: object, where: str) -> Field[Any]:
    if isinstance(spec, str):
        return Field(_query(spec, where, "query"))
    if not isinstance(spec, Mapping):
        raise SchemaFileError(
            f"{where}: expected a query string, a table with `query` (a field) or a table with "
            f"`group` (a group), got {_kind(spec)}"
        )
    _known_keys(spec, _FIELD_KEYS, where, "a field")
    if "query" not in spec:
        raise SchemaFileError(f"{where}: a field table needs `query` (or `group` for a group)")
    given = spec["query"]
    if isinstance(given, list):
        # A fallback chain: the first query that finds something gives the value.
        if not given:
            raise SchemaFileError(f"{where}: `query` is an empty list; give one query or several to try in turn")
        queries = [_query(q, where, "query") for q in given]
    else:
        queries = [_query(given, where, "query")]
    return Field(
        queries[0], first=_flag(spec, where), absolute=_flag(spec, where, "absolute"), fallbacks=queries[1:]
    )


def _group(spec: Mapping[Any, Any], where: str, name: str) -> Group:
    _known_keys(spec, _GROUP_KEYS, where, "a group")
    container = _query(spec["group"], where, "group")
    subs = spec.get("fields")
    if not isinstance(subs, Mapping) or not subs:
        raise SchemaFileError(
            f"{where}: a group needs `fields`, a table of named sub-fields, got {_kind(subs)}"
        )
    fields: dict[str, Field[Any]] = {}
    for key, sub in subs.items():
        sub_name = _field_name(key, name, "sub-field")
        sub_where = f"{where[: -1]}.{sub_name}'" if where.endswith("'") else f"{where}.{sub_name}"
        if isinstance(sub, Mapping) and "group" in sub:
            raise SchemaFileError(f"{sub_where}: groups do not nest; a sub-field is a query")
        fields[sub_name] = _field(sub, sub_where)
        if fields[sub_name].fallbacks:
            raise SchemaFileError(f"{sub_where}: a sub-field takes one query, not a list to try in turn")
    return Group(container, fields, first=_flag(spec, where))


def _known_keys(spec: Mapping[Any, Any], known: tuple[str, ...], where: str, what: str) -> None:
    for key in spec:
        if key not in known:
            raise SchemaFileError(
                f"{where}: unknown key {_shown(key)} ({what} takes {', '.join(repr(k) for k in known)})"
            )


def _query(value: object, where: str, key: str) -> str:
    if not isinstance(value, str):
        raise SchemaFileError(f"{where}: `{key}` must be a query string, got {_kind(value)}")
    if not value.strip():
        raise SchemaFileError(f"{where}: `{key}` is an empty query")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as e:  # JSON and YAML escapes can make half a surrogate pair
        raise SchemaFileError(
            f"{where}: `{key}` holds a lone surrogate (\\u{ord(value[e.start]):04x}), which is no character"
        ) from None
    return value


def _flag(spec: Mapping[Any, Any], where: str, key: str = "first") -> bool:
    value = spec.get(key, False)
    if not isinstance(value, bool):
        raise SchemaFileError(f"{where}: `{key}` must be true or false, got {_kind(value)}")
    return value


def _shown(value: object) -> str:
    """``repr(value)``, but for a number too long to convert to digits."""
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 64:
        return "(a number too long to show)"
    return repr(value)


def _kind(value: object) -> str:
    if value is None:
        return "nothing"
    kinds = {bool: "a boolean", int: "a number", float: "a number", str: "a string", list: "a list"}
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 64:
        # A hex or binary literal converts at any length, but not back to decimal digits.
        return "a number (too long to show)"
    for t, text in kinds.items():
        if isinstance(value, t):
            return f"{text} ({value!r})" if not isinstance(value, list) else text
    if isinstance(value, Mapping):
        return "a table"
    return type(value).__name__
