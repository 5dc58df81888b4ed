"""Table schemas for the lineage engine: which columns each table has.

A `Catalog` maps table names -- ``table``, ``schema.table`` or
``catalog.schema.table`` -- to their column names, in order. It is built from
a mapping, a JSON / YAML / SQL file or a live database, merged from several
sources, and asked by the engine, for each table a query names, which table
that name means (`Catalog.resolve`). A catalog never changes once built.
"""
from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any, NamedTuple

__all__ = ["Catalog"]

_MAX_PARTS = 3            # catalog.schema.table
_CACHE_LIMIT = 1 << 16    # resolved names kept per catalog before the cache starts over
_MISSING = object()

# Schemas a database keeps for itself; `from_database` skips them unless asked.
_SYSTEM_SCHEMAS = frozenset(
    {"information_schema", "pg_catalog", "pg_toast", "performance_schema", "mysql", "sys"}
)

_SCHEMA_FILE_TYPES = (".json", ".yaml", ".yml", ".sql")


class _Table(NamedTuple):
    parts: tuple[str, ...]      # name parts as the source spells them
    folded: tuple[str, ...]     # the same, lower-cased, for matching
    name: str                   # dotted name, as reported
    columns: tuple[str, ...]


def _fold(parts: Iterable[str]) -> tuple[str, ...]:
    return tuple(p.lower() for p in parts)


def _show(value: Any) -> str:
    """A short description of a bad value for an error message."""
    if isinstance(value, (Mapping, list, tuple, set)):
        return f"a {type(value).__name__}"
    text = repr(value)
    return text if len(text) <= 60 else f"a {type(value).__name__}"


# -- building from a mapping -------------------------------------------------

def _entry_error(parts: tuple[str, ...], message: str) -> ValueError:
    where = f"schema entry {'.'.join(parts)!r}" if parts else "schema top level"
    return ValueError(f"{where}: {message}")


def _split_key(key: Any, prefix: tuple[str, ...]) -> tuple[str, ...]:
    if not isinstance(key, str):
        raise _entry_error(prefix, f"names must be strings, got {_show(key)}")
    parts = tuple(key.split("."))
    if not all(parts):
        raise _entry_error(prefix + (key,), "a name part is empty")
    return parts


def _is_nested(value: Any) -> bool:
    return isinstance(value, (Mapping, list, tuple))


def _holds_tables(parts: tuple[str, ...], value: Mapping) -> bool:
    """Whether mapping `value` under name `parts` nests further tables (True)
    or is the columns of table `parts` (False).

    Values all str/None (or any other scalar, reported later as a bad type):
    columns. Values all mappings or lists: nested tables. Both kinds: an error.
    An empty mapping is an empty namespace, unless `parts` is already a full
    catalog.schema.table name (then: a table without columns).
    """
    if not value:
        return len(parts) < _MAX_PARTS
    if all(v is None or type(v) is str for v in value.values()):
        return False
    nested = [k for k, v in value.items() if _is_nested(v)]
    if not nested:
        return False
    if len(nested) < len(value):
        flat = next(k for k, v in value.items() if not _is_nested(v))
        raise _entry_error(
            parts,
            f"mixes column types ({flat!r}: {_show(value[flat])}) with nested tables "
            f"({nested[0]!r}: {_show(value[nested[0]])}); a mapping holds one or the other",
        )
    if len(parts) >= _MAX_PARTS:
        raise _entry_error(
            parts, f"nests tables deeper than catalog.schema.table ({nested[0]!r} inside it)"
        )
    return True


def _column_name(parts: tuple[str, ...], name: Any) -> str:
    if not isinstance(name, str):
        raise _entry_error(parts, f"column names must be strings, got {_show(name)}")
    if not name:
        raise _entry_error(parts, "a column name is empty")
    return name


def _plain_names(names: Iterable) -> bool:
    return all(type(n) is str and n for n in names)


def _column_list(parts: tuple[str, ...], value: list | tuple) -> tuple[str, ...]:
    columns = tuple(value) if _plain_names(value) else tuple(_column_name(parts, c) for c in value)
    if len(set(columns)) < len(columns):
        seen: set[str] = set()
        twice = next(c for c in columns if c in seen or seen.add(c))
        raise _entry_error(parts, f"column {twice!r} is listed twice")
    return columns


def _column_types(parts: tuple[str, ...], value: Mapping) -> tuple[str, ...]:
    if _plain_names(value) and all(v is None or type(v) is str for v in value.values()):
        return tuple(value)
    for name, type_ in value.items():
        _column_name(parts, name)
        if type_ is not None and not isinstance(type_, str):
            raise _entry_error(
                parts, f"the type of column {name!r} must be a string or null, got {_show(type_)}"
            )
    return tuple(value)


def _add_entries(level: Mapping, prefix: tuple[str, ...], out: dict) -> None:
    for key, value in level.items():
        parts = prefix + _split_key(key, prefix)
        if len(parts) > _MAX_PARTS:
            raise _entry_error(parts, "a table name has at most 3 parts (catalog.schema.table)")
        if isinstance(value, (list, tuple)):
            columns = _column_list(parts, value)
        elif isinstance(value, Mapping):
            if _holds_tables(parts, value):
                _add_entries(value, parts, out)
                continue
            columns = _column_types(parts, value)
        else:
            raise _entry_error(
                parts,
                "expected a list of column names, a mapping of column name to type, "
                f"or a mapping of nested tables; got {_show(value)}",
            )
        if parts in out:
            raise _entry_error(parts, "the table is defined twice")
        out[parts] = columns


def _entries_from_mapping(m: Any) -> dict[tuple[str, ...], tuple[str, ...]]:
    if not isinstance(m, Mapping):
        raise TypeError(f"a schema must be a mapping of table names to columns, got {type(m).__name__}")
    out: dict[tuple[str, ...], tuple[str, ...]] = {}
    _add_entries(m, (), out)
    return out


def _check_default(label: str, value: Any) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{label} must be a string or None, got {type(value).__name__}")
    if not value:
        raise ValueError(f"{label} must not be empty")
    return value


def _same_case(a: tuple[str, ...], b: tuple[str, ...]) -> bool:
    n = min(len(a), len(b))
    return a[-n:] == b[-n:]


def _prefer_case(tables: list[_Table], ref: tuple[str, ...]) -> list[_Table]:
    """Among tables whose names differ only by case, the one spelled as `ref`."""
    if len(tables) < 2:
        return tables
    same = [t for t in tables if _same_case(t.parts, ref)]
    return same if len(same) == 1 else tables


def _restore(entries, default_schema, default_database, views=()) -> "Catalog":
    return Catalog._build(dict(entries), default_schema, default_database, views)


class Catalog:
    """The tables a query may name, with their columns in order.

    Build one with `from_mapping`, `from_file`, `from_database`, or `merge`
    (also ``a | b``). Column types, where a source gives them, are accepted and
    not kept.

    Names match case-insensitively; among tables whose names differ only by
    case, the one spelled exactly as written wins. A name written with fewer
    parts than a table's (``orders`` for ``sales.orders``) matches it; so does a
    name written with more parts than a table's (``sales.orders`` for a table
    listed as ``orders``), but only when no table has the written parts. With
    `default_schema` (and `default_database`), an unqualified name is first
    looked up as ``default_database.default_schema.name`` (``schema.name``
    as ``default_database.schema.name``) and only if that finds nothing as
    written. A name that fits several tables equally well is ambiguous: it
    resolves to nothing.
    """

    __slots__ = ("_tables", "_entries", "_index", "_default_schema", "_default_database",
                 "_views", "_cache", "__weakref__")

    def __init__(self, mapping: Mapping | None = None, *,
                 default_schema: str | None = None, default_database: str | None = None):
        """The same as ``Catalog.from_mapping(mapping, ...)``; no mapping: an empty catalog."""
        entries = _entries_from_mapping(mapping) if mapping is not None else {}
        self._setup(entries, default_schema, default_database)

    def _setup(self, entries: dict, default_schema, default_database, views=()) -> None:
        if hasattr(self, "_tables"):
            raise AttributeError("Catalog objects are immutable")
        tables = tuple(_Table(parts, _fold(parts), ".".join(parts), cols)
                       for parts, cols in entries.items())
        index: dict[str, list[_Table]] = {}
        for t in tables:
            index.setdefault(t.folded[-1], []).append(t)
        setter = object.__setattr__
        setter(self, "_entries", entries)
        setter(self, "_tables", tables)
        setter(self, "_index", index)
        setter(self, "_default_schema", _check_default("default_schema", default_schema))
        setter(self, "_default_database", _check_default("default_database", default_database))
        setter(self, "_views", tuple(views))
        setter(self, "_cache", {})

    @classmethod
    def _build(cls, entries: dict, default_schema, default_database, views=()) -> "Catalog":
        self = object.__new__(cls)
        self._setup(entries, default_schema, default_database, views)
        return self

    def __setattr__(self, name, value):
        raise AttributeError("Catalog objects are immutable")

    def __delattr__(self, name):
        raise AttributeError("Catalog objects are immutable")

    def __reduce__(self):
        return _restore, (tuple(self._entries.items()), self._default_schema, self._default_database,
                          self._views)

    # -- construction --------------------------------------------------------

    @classmethod
    def from_mapping(cls, m: Mapping, *, default_schema: str | None = None,
                     default_database: str | None = None) -> "Catalog":
        """A catalog from a mapping of table names to columns.

        Keys name tables or namespaces; a dotted key counts as several parts
        (``{"db.orders": ...}`` is ``{"db": {"orders": ...}}``); a table name has
        at most three parts. A value is
        - a list or tuple of column names: the table's columns;
        - a mapping whose values are all strings or None: column name -> type;
        - a mapping whose values are all mappings, lists or tuples: a database
          or schema holding further entries (an empty mapping: an empty one,
          unless its name already has three parts).
        Anything else -- a mapping mixing both kinds, a non-string name, an
        empty name part, a column listed twice, a table defined twice, a name of
        four parts -- raises ValueError naming the entry, e.g.
        ``schema entry 'db.orders': column names must be strings, got 3``.
        A non-mapping `m` raises TypeError.
        """
        return cls._build(_entries_from_mapping(m), default_schema, default_database)

    @classmethod
    def from_file(cls, path: str | os.PathLike, *, dialect: str = "generic",
                  default_schema: str | None = None,
                  default_database: str | None = None) -> "Catalog":
        """A catalog from a schema file, by its extension.

        ``.json`` / ``.yaml`` / ``.yml``: a mapping as `from_mapping` takes it
        (an empty YAML file is an empty catalog; duplicate JSON keys are an
        error). ``.sql``: the tables and views its ``CREATE TABLE`` /
        ``CREATE TABLE ... AS`` / ``CREATE VIEW`` statements define, parsed in
        `dialect`; other statements are ignored; a later definition of a table
        (its name in any case) replaces an earlier one. Every error is a
        ValueError starting with the file's path; a statement the parser
        rejects gives its line and column (``PATH: line L, column C:
        message``). An unreadable file raises OSError.
        """
        name = os.fspath(path)
        kind = Path(name).suffix.lower()
        if kind not in _SCHEMA_FILE_TYPES:
            raise ValueError(f"{name}: unknown schema file type {kind or '(no extension)'!r}; "
                             f"expected one of {', '.join(_SCHEMA_FILE_TYPES)}")
        with open(name, "rb") as f:
            data = f.read()
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError as e:
            raise ValueError(f"{name}: not UTF-8 text (byte {e.start}: {e.reason})") from None
        if kind == ".sql":
            entries = _entries_from_sql(name, text, dialect)
        else:
            m = _load_json(name, text) if kind == ".json" else _load_yaml(name, text)
            if not isinstance(m, Mapping):
                raise ValueError(f"{name}: the top level must be a mapping of table names, "
                                 f"got {_show(m)}")
            try:
                entries = _entries_from_mapping(m)
            except ValueError as e:
                raise ValueError(f"{name}: {e}") from None
        return cls._build(entries, default_schema, default_database)

    @classmethod
    def from_database(cls, url, schemas: str | Iterable[str] | None = None, *,
                      default_schema: str | None = None,
                      default_database: str | None = None) -> "Catalog":
        """A catalog of the tables and views of a live database, through SQLAlchemy.

        `url`: a SQLAlchemy URL (str or URL), or an Engine or Connection (left
        open). `schemas`: the schemas to read (a str for one); None reads every
        schema but the database's own (information_schema, pg_catalog, ...).
        Tables are named ``schema.table``, columns in their declared order;
        views and materialised views are included, and the SQL that defines
        each view is kept in `views`. `default_schema` defaults to the
        database's default schema (``public``, SQLite's ``main``).

        A URL SQLAlchemy cannot use, a SQLite file that does not exist, or a
        schema the database does not have raises ValueError; a database that
        cannot be reached raises SQLAlchemy's error.
        """
        import sqlalchemy
        from sqlalchemy.engine import ObjectKind

        owned = None
        if isinstance(url, (sqlalchemy.engine.Engine, sqlalchemy.engine.Connection)):
            bind = url
        else:
            bind = owned = _create_engine(url)
        try:
            inspector = sqlalchemy.inspect(bind)
            available = inspector.get_schema_names()
            if schemas is None:
                wanted = [s for s in available
                          if s.lower() not in _SYSTEM_SCHEMAS and not s.lower().startswith("pg_")]
            else:
                wanted = [schemas] if isinstance(schemas, str) else list(schemas)
                for s in wanted:
                    if s not in available:
                        raise ValueError(f"the database has no schema {s!r}; "
                                         f"it has: {', '.join(map(repr, available))}")
            entries: dict[tuple[str, ...], tuple[str, ...]] = {}
            views: list[tuple[str, str]] = []
            for schema in wanted:
                found = inspector.get_multi_columns(schema=schema, kind=ObjectKind.ANY)
                for (_, table), columns in sorted(found.items(), key=lambda kv: kv[0][1]):
                    entries[(schema, table)] = tuple(c["name"] for c in columns)
                for view in sorted(inspector.get_view_names(schema=schema)):
                    definition = inspector.get_view_definition(view, schema=schema)
                    if definition and definition.strip():
                        views.append((f"{schema}.{view}", definition))
            if default_schema is None:
                default_schema = inspector.default_schema_name
        finally:
            if owned is not None:
                owned.dispose()
        return cls._build(entries, default_schema, default_database, views)

    @classmethod
    def merge(cls, *catalogs: "Catalog | Mapping", default_schema: str | None = None,
              default_database: str | None = None) -> "Catalog":
        """One catalog from several; later ones win.

        A table of a later catalog replaces every table of an earlier one whose
        name is the same ignoring case (at the earlier one's place in
        `tables`). A mapping is read with `from_mapping`. The defaults are the
        ones given here, else the last ones set among `catalogs`.
        """
        cats = []
        for c in catalogs:
            cat = _as_catalog(c)
            if cat is None:
                raise TypeError(f"Catalog.merge takes catalogs or mappings, got {type(c).__name__}")
            cats.append(cat)
        # Tables grouped by their case-folded name: a later catalog's group
        # replaces an earlier one's whole.
        groups: dict[tuple[str, ...], dict] = {}
        for cat in cats:
            mine: dict[tuple[str, ...], dict] = {}
            for t in cat._tables:
                mine.setdefault(t.folded, {})[t.parts] = t.columns
            groups.update(mine)
        entries = {parts: cols for group in groups.values() for parts, cols in group.items()}
        if default_schema is None:
            default_schema = next((c._default_schema for c in reversed(cats)
                                   if c._default_schema is not None), None)
        if default_database is None:
            default_database = next((c._default_database for c in reversed(cats)
                                     if c._default_database is not None), None)
        views = [view for cat in cats for view in cat._views]
        return cls._build(entries, default_schema, default_database, views)

    def __or__(self, other):
        if _as_catalog(other) is None:
            return NotImplemented
        return Catalog.merge(self, other)

    def __ror__(self, other):
        if _as_catalog(other) is None:
            return NotImplemented
        return Catalog.merge(other, self)

    # -- lookups -------------------------------------------------------------

    def resolve(self, parts: tuple[str, ...]) -> tuple[str, tuple[str, ...]] | None:
        """The table `parts` names -> (its qualified name, its column names).

        `parts`: 1 to 3 name parts as written, quotes removed. None when no
        table or several fit (see the class's description), or for more than
        three parts. Non-string parts raise TypeError.
        """
        try:
            hit = self._cache.get(parts, _MISSING)
        except TypeError:           # unhashable: a list
            parts = tuple(parts)
            hit = self._cache.get(parts, _MISSING)
        if hit is not _MISSING:
            return hit
        if isinstance(parts, str):
            raise TypeError("resolve takes a tuple of name parts, not a str; "
                            "columns() takes a dotted name")
        if not all(isinstance(p, str) for p in parts):
            bad = next(p for p in parts if not isinstance(p, str))
            raise TypeError(f"table name parts must be strings, got {type(bad).__name__}")
        found = self._matches(tuple(parts))
        result = (found[0].name, found[0].columns) if len(found) == 1 else None
        cache = self._cache
        if len(cache) >= _CACHE_LIMIT:
            cache.clear()
        cache[parts] = result
        return result

    def columns(self, name: str | Iterable[str]) -> tuple[str, ...]:
        """The columns of table `name` (dotted, or a sequence of parts).

        Looked up as `resolve` does; an unknown or ambiguous name raises KeyError
        saying which.
        """
        parts = _name_parts(name)
        label = ".".join(parts)
        found = self._matches(parts) if 1 <= len(parts) <= _MAX_PARTS else []
        if len(found) == 1:
            return found[0].columns
        if not found:
            raise KeyError(f"no table {label!r} in the catalog")
        raise KeyError(f"table name {label!r} is ambiguous: {', '.join(t.name for t in found)}")

    def __contains__(self, name) -> bool:
        try:
            parts = _name_parts(name)
        except TypeError:
            return False
        return 1 <= len(parts) <= _MAX_PARTS and len(self._matches(parts)) == 1

    def _matches(self, parts: tuple[str, ...]) -> list[_Table]:
        """The tables `parts` fits best: one, several (ambiguous) or none."""
        if not 1 <= len(parts) <= _MAX_PARTS:
            return []
        completed = self._complete(parts)
        if completed is not None:
            found = self._match(completed)
            if found:
                return found
        return self._match(parts)

    def _complete(self, parts: tuple[str, ...]) -> tuple[str, ...] | None:
        schema, database = self._default_schema, self._default_database
        if len(parts) == 1 and schema is not None:
            return ((database,) if database is not None else ()) + (schema,) + parts
        if len(parts) == 2 and database is not None:
            return (database,) + parts
        return None

    def _match(self, ref: tuple[str, ...]) -> list[_Table]:
        bucket = self._index.get(ref[-1].lower())
        if not bucket:
            return []
        folded = _fold(ref)
        k = len(ref)
        # The name in full; else a table with more parts that ends in it; else a
        # table with fewer parts that it ends in.
        found = [t for t in bucket if t.folded == folded]
        if not found:
            found = [t for t in bucket if len(t.folded) > k and t.folded[-k:] == folded]
        if not found:
            found = [t for t in bucket
                     if len(t.folded) < k and folded[-len(t.folded):] == t.folded]
        return _prefer_case(found, ref)

    # -- the whole catalog ---------------------------------------------------

    @property
    def tables(self) -> tuple[str, ...]:
        """The qualified (dotted) names of all tables, in the order they were added."""
        return tuple(t.name for t in self._tables)

    @property
    def views(self) -> tuple[tuple[str, str], ...]:
        """(qualified name, SQL) of every view whose definition the source gave
        (`from_database`), in order; a lineage run analyses them first, so
        that a query over a view traces through it to its tables. The SQL is
        the view's query, or a whole ``CREATE VIEW`` statement where the
        database keeps that."""
        return self._views

    @property
    def default_schema(self) -> str | None:
        return self._default_schema

    @property
    def default_database(self) -> str | None:
        return self._default_database

    def to_dict(self) -> dict[str, list[str]]:
        """{qualified name: [column, ...]}: JSON-ready; `from_mapping` reads it back."""
        return {t.name: list(t.columns) for t in self._tables}

    def __len__(self) -> int:
        return len(self._tables)

    def __eq__(self, other):
        if not isinstance(other, Catalog):
            return NotImplemented
        return (self._entries == other._entries
                and self._default_schema == other._default_schema
                and self._default_database == other._default_database)

    def __hash__(self):
        return hash((frozenset(self._entries.items()), self._default_schema,
                     self._default_database))

    def __repr__(self):
        shown = []
        for t in self._tables[:4]:
            cols = ", ".join(t.columns[:5])
            if len(t.columns) > 5:
                cols += f", ... +{len(t.columns) - 5}"
            shown.append(f"{t.name}({cols})")
        if len(self._tables) > 4:
            shown.append(f"... +{len(self._tables) - 4} more")
        n = len(self._tables)
        text = f"{n} table{'' if n == 1 else 's'}"
        if shown:
            text += ": " + ", ".join(shown)
        for label, value in (("default_schema", self._default_schema),
                             ("default_database", self._default_database)):
            if value is not None:
                text += f"; {label}={value!r}"
        return f"<Catalog {text}>"


def _as_catalog(value) -> Catalog | None:
    if isinstance(value, Catalog):
        return value
    if isinstance(value, Mapping):
        return Catalog.from_mapping(value)
    return None


def _name_parts(name) -> tuple[str, ...]:
    if isinstance(name, str):
        return tuple(name.split("."))
    if isinstance(name, (tuple, list)) and all(isinstance(p, str) for p in name):
        return tuple(name)
    raise TypeError(f"a table name is a dotted string or a sequence of strings, "
                    f"got {type(name).__name__}")


# -- files and databases -----------------------------------------------------

def _reject_duplicate_keys(pairs):
    out = {}
    for key, value in pairs:
        if key in out:
            raise ValueError(f"key {key!r} appears twice in one object")
        out[key] = value
    return out


def _load_json(name: str, text: str):
    try:
        return json.loads(text, object_pairs_hook=_reject_duplicate_keys)
    except json.JSONDecodeError as e:
        raise ValueError(f"{name}: invalid JSON: line {e.lineno}, column {e.colno}: {e.msg}") from None
    except ValueError as e:
        raise ValueError(f"{name}: invalid JSON: {e}") from None


# The values that aliases of one YAML file may stand for in all: an alias
# repeats its anchor's whole value, so nine aliases of nine aliases of ...
# make a few lines stand for millions of columns.
_YAML_ALIAS_BUDGET = 100_000


def _schema_loader():
    """PyYAML's safe loader, refusing aliases past `_YAML_ALIAS_BUDGET` values
    and a key repeated in one mapping (a table or column defined twice)."""
    import yaml
    from yaml.composer import ComposerError
    from yaml.constructor import ConstructorError

    class SchemaLoader(yaml.SafeLoader):
        def __init__(self, stream):
            super().__init__(stream)
            self._sizes: dict[int, int] = {}   # id(node) -> values it stands for
            self._spent = 0

        def _size(self, node, mark) -> int:
            # Iterative, memoised by node: each node is counted once however
            # often it is repeated; a node that holds itself is refused.
            sizes, stack = self._sizes, [(node, False)]
            while stack:
                n, children_done = stack.pop()
                if id(n) in sizes:
                    continue
                children = [] if isinstance(n, yaml.ScalarNode) else (
                    n.value if isinstance(n, yaml.SequenceNode) else [x for pair in n.value for x in pair])
                if children_done:
                    sizes[id(n)] = 1 + sum(sizes.get(id(c), 0) for c in children)
                    continue
                if any(c is node for c in children):
                    raise ComposerError(None, None, "an alias refers to a value that holds it", mark)
                stack.append((n, True))
                stack.extend((c, False) for c in children if id(c) not in sizes)
            return sizes[id(node)]

        def compose_node(self, parent, index):
            if self.check_event(yaml.AliasEvent):
                event = self.peek_event()
                anchored = self.anchors.get(event.anchor)
                if anchored is not None:
                    self._spent += self._size(anchored, event.start_mark)
                    if self._spent > _YAML_ALIAS_BUDGET:
                        raise ComposerError(
                            None, None, f"the aliases of this file stand for more than "
                            f"{_YAML_ALIAS_BUDGET:,} values: refused", event.start_mark)
            return super().compose_node(parent, index)

        def construct_mapping(self, node, deep=False):
            if isinstance(node, yaml.MappingNode):
                first: dict = {}
                for key_node, _ in node.value:
                    if key_node.tag == "tag:yaml.org,2002:merge":
                        continue  # `<<: *base`: its keys may be given again here
                    key = self.construct_object(key_node, deep=True)
                    try:
                        earlier = first.setdefault(key, key_node.start_mark)
                    except TypeError:
                        continue  # an unhashable key: the constructor says so
                    if earlier is not key_node.start_mark:
                        raise ConstructorError(
                            None, None, f"{key!r} is defined twice in one mapping (first at line "
                            f"{earlier.line + 1}, column {earlier.column + 1})", key_node.start_mark)
            return super().construct_mapping(node, deep=deep)

    return SchemaLoader


def _load_yaml(name: str, text: str):
    import yaml

    try:
        m = yaml.load(text, Loader=_schema_loader())  # noqa: S506 -- a SafeLoader subclass
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        where = f"line {mark.line + 1}, column {mark.column + 1}: " if mark is not None else ""
        raise ValueError(f"{name}: invalid YAML: {where}{e.problem or e.context}") from None
    except yaml.YAMLError as e:
        raise ValueError(f"{name}: invalid YAML: {e}") from None
    return {} if m is None else m


def _entries_from_sql(name: str, text: str, dialect: str) -> dict[tuple[str, ...], tuple[str, ...]]:
    from keldra_lineage import Session

    # The tables the file's statements create, as a session keeps them: a
    # later CREATE of the same table, in any case, replaces the earlier one
    # and moves it to its own place.
    session = Session(dialect)
    for statement in session.lineage(text):
        if statement.error is not None:
            raise ValueError(f"{name}: {statement.error}")
        if statement.target is not None and any(c.name == "*" for c in statement.columns):
            raise ValueError(
                f"{name}: line {statement.line}: the columns of {statement.target!r} cannot be "
                "listed: it selects * from a table this file does not define")
    return {tuple(table.split(".")): columns for table, columns in session.tables.items()}


# Query-string parameters of a database URL that hold secrets.
_SECRET_PARAMETERS = ("password", "passwd", "pwd", "secret", "token", "key", "credential")


def url_secrets(url) -> list[str]:
    """The secrets written in a database URL (its password, and the values of
    query parameters such as ``?password=`` or ``?token=``), so that no
    message shows them; none for a text that is no URL."""
    import sqlalchemy
    from sqlalchemy.exc import ArgumentError

    try:
        parsed = sqlalchemy.engine.make_url(url)
    except (ArgumentError, TypeError, ValueError):
        return []
    found = [parsed.password] if parsed.password else []
    for name, value in parsed.query.items():
        if any(word in name.lower() for word in _SECRET_PARAMETERS):
            found.extend([value] if isinstance(value, str) else value)
    return [str(v) for v in found if v]


def redacted(text: str, secrets) -> str:
    """`text` with every secret replaced by ***."""
    for secret in sorted(secrets, key=len, reverse=True):
        text = text.replace(secret, "***")
    return text


def _create_engine(url):
    import sqlalchemy
    from sqlalchemy.exc import ArgumentError, NoSuchModuleError

    try:
        parsed = sqlalchemy.engine.make_url(url)
    except ArgumentError:
        # the parser's message repeats the whole text, password and all
        raise ValueError("not a database URL: expected dialect[+driver]://user:password@host/database") from None
    secrets = url_secrets(parsed)
    shown = redacted(parsed.render_as_string(hide_password=True), secrets)
    database = parsed.database
    if (parsed.get_backend_name() == "sqlite" and database and database != ":memory:"
            and not database.startswith("file:") and not os.path.exists(database)):
        raise ValueError(f"{shown}: no such SQLite database file")
    try:
        return sqlalchemy.create_engine(parsed)
    except (ArgumentError, NoSuchModuleError) as e:
        raise ValueError(redacted(f"{shown}: {e}", secrets)) from None
