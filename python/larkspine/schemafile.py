"""Schema files: a :class:`~larkspine.Schema` written as TOML, JSON or YAML.

The format, the same in all three languages: a table of named fields, in record order. A
field is a query string (every value, like parsel's ``getall()``) or a table with
``query`` and ``first`` (``first = true``: the first value or nothing, like ``get()``). A
group is a table with ``group`` (the container query), ``fields`` (its sub-fields, named
and written like fields) and optionally ``first``. In TOML::

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
import tomllib
from collections.abc import Mapping
from typing import Any

from ._check import check
from ._fields import Field, Group
from ._schema import Schema
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
]

#: File suffixes read as schema files, and their languages.
SCHEMA_SUFFIXES = {".toml": "toml", ".json": "json", ".yaml": "yaml", ".yml": "yaml"}

_FIELD_KEYS = ("query", "first")
_GROUP_KEYS = ("group", "fields", "first")


class SchemaFileError(ValueError):
    """A schema file that cannot be used; the message names the file and the field."""


def read_declarations(path: str | os.PathLike[str]) -> dict[str, Field[Any] | Group]:
    """The fields and groups a schema file declares, checked for form only (not for support)."""
    name = os.fspath(path)
    language = SCHEMA_SUFFIXES.get(os.path.splitext(name)[1].lower())
    if language is None:
        raise SchemaFileError(f"larkspine: {name}: a schema file must end in {', '.join(SCHEMA_SUFFIXES)}")
    try:
        with open(name, "rb") as f:
            data = f.read()
    except OSError as e:
        raise SchemaFileError(f"larkspine: {name}: cannot read the schema file: {e.strerror or e}") from None
    return parse_declarations(data, language, name)


def parse_declarations(data: bytes | str, language: str, name: str = "<schema>") -> dict[str, Field[Any] | Group]:
    """The fields and groups declared by ``data`` in ``language`` (``"toml"``, ``"json"``, ``"yaml"``)."""
    text = data.decode("utf-8-sig") if isinstance(data, bytes) else data
    return _declarations(_parse(text, language, name), name)


def load_schema(path: str | os.PathLike[str], *, allow_unsupported: bool = False) -> Schema:
    """The schema a TOML, JSON or YAML file describes (the language is told by the suffix)."""
    name = os.fspath(path)
    return build_schema(read_declarations(name), name, allow_unsupported=allow_unsupported)


def parse_schema(
    data: bytes | str, language: str, name: str = "<schema>", *, allow_unsupported: bool = False
) -> Schema:
    """The schema described by ``data`` in ``language``; ``name`` is how messages refer to it."""
    return build_schema(parse_declarations(data, language, name), name, allow_unsupported=allow_unsupported)


def build_schema(
    decls: Mapping[str, Field[Any] | Group], name: str, *, allow_unsupported: bool = False
) -> Schema:
    """A schema from declarations, refused (naming ``name``) if a query is unsupported or the
    schema is over budget."""
    report = check(decls)
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
        return Schema(decls)
    except ValueError as e:
        raise SchemaFileError(f"larkspine: {name}: {e}") from None


def is_schema_file(ref: str) -> bool:
    """Whether ``ref`` names a schema file (by its suffix) rather than ``module:PageClass``."""
    return os.path.splitext(ref)[1].lower() in SCHEMA_SUFFIXES


def resolve_declarations(ref: str) -> tuple[dict[str, Field[Any] | Group], str]:
    """The declarations of a schema file or of ``module:PageClass`` (or ``module:schema``,
    or ``path/to/file.py:PageClass``), and the name to use for it in messages."""
    if is_schema_file(ref):
        return read_declarations(ref), ref
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
    return dict(found.fields), ref


def resolve_schema(ref: str, *, allow_unsupported: bool = False) -> Schema:
    """The schema of a schema file or ``module:PageClass`` reference, checked as :func:`build_schema`."""
    decls, name = resolve_declarations(ref)
    return build_schema(decls, name, allow_unsupported=allow_unsupported)


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


def _parse(text: str, language: str, name: str) -> object:
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
            raise SchemaFileError(f"larkspine: {name}: {key!r} is defined twice")
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
        pairs = [(loader.construct_object(k, deep=True), loader.construct_object(v, deep=True)) for k, v in node.value]
        return _unique(pairs, name)

    UniqueKeyLoader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_MAPPING_TAG, mapping)
    try:
        return yaml.load(text, Loader=UniqueKeyLoader)  # noqa: S506 - a SafeLoader subclass
    except yaml.YAMLError as e:
        raise SchemaFileError(f"larkspine: {name}: not valid YAML: {e}") from None


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
            f"larkspine: {name}: {what} name {key!r} is not an identifier (letters, digits, _)"
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
    return Field(_query(spec["query"], where, "query"), first=_flag(spec, where))


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
    return Group(container, fields, first=_flag(spec, where))


def _known_keys(spec: Mapping[Any, Any], known: tuple[str, ...], where: str, what: str) -> None:
    for key in spec:
        if key not in known:
            raise SchemaFileError(
                f"{where}: unknown key {key!r} ({what} takes {', '.join(repr(k) for k in known)})"
            )


def _query(value: object, where: str, key: str) -> str:
    if not isinstance(value, str):
        raise SchemaFileError(f"{where}: `{key}` must be a query string, got {_kind(value)}")
    if not value.strip():
        raise SchemaFileError(f"{where}: `{key}` is an empty query")
    return value


def _flag(spec: Mapping[Any, Any], where: str) -> bool:
    value = spec.get("first", False)
    if not isinstance(value, bool):
        raise SchemaFileError(f"{where}: `first` must be true or false, got {_kind(value)}")
    return value


def _kind(value: object) -> str:
    if value is None:
        return "nothing"
    kinds = {bool: "a boolean", int: "a number", float: "a number", str: "a string", list: "a list"}
    for t, text in kinds.items():
        if isinstance(value, t):
            return f"{text} ({value!r})" if not isinstance(value, list) else text
    if isinstance(value, Mapping):
        return "a table"
    return type(value).__name__
