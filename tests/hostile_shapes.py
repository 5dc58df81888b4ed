"""SQL shapes that an attacker (or a generator gone wrong) feeds the engine,
each built to a given size: chains of every operator, keyword and bracket
the parser knows, flat lists that are long but shallow, and the statements
whose cost once grew faster than their text.  Shared by the tests and by
bench/complexity.py."""

# One level of each chain: the expression so far, wrapped once more.  The
# parser builds these in a loop, not by recursion, so nothing but the stack
# bounds their depth.  (dialect, level)
CHAINS = {
    "plus": ("generic", "+1"),
    "minus": ("generic", " - 1"),
    "times": ("generic", "*1"),
    "divide": ("generic", "/1"),
    "modulo": ("generic", "%1"),
    "concat": ("generic", "||a"),
    "bit and": ("generic", "&1"),
    "bit or": ("generic", "|1"),
    "xor": ("generic", "^1"),
    "shift": ("generic", "<<1"),
    "equals": ("generic", "=1"),
    "not equals": ("generic", "<>1"),
    "less": ("generic", "<1"),
    "greater or equal": ("generic", ">=1"),
    "and": ("generic", " AND a"),
    "or": ("generic", " OR a"),
    "like": ("generic", " LIKE b"),
    "not like": ("generic", " NOT LIKE b"),
    "ilike": ("postgres", " ILIKE b"),
    "similar to": ("postgres", " SIMILAR TO b"),
    "regexp": ("mysql", " REGEXP b"),
    "is null": ("generic", " IS NULL"),
    "is not null": ("generic", " IS NOT NULL"),
    "is true": ("generic", " IS TRUE"),
    "in list": ("generic", " IN (1)"),
    "not in list": ("generic", " NOT IN (1)"),
    "between": ("generic", " BETWEEN 1 AND 2"),
    "at time zone": ("generic", " AT TIME ZONE 'a'"),
    "cast": ("postgres", "::int"),
    "subscript": ("postgres", "[1]"),
    "json arrow": ("postgres", "->'b'"),
    "json text arrow": ("postgres", "->>'b'"),
    "json path": ("postgres", "#>'{b}'"),
    "contains": ("postgres", "@>b"),
    "any": ("postgres", " = ANY(b)"),
    "array every 5,000 terms": ("generic", None),  # `+ 1` with `+ ARRAY[0,0]` now and then
    "snowflake path": ("snowflake", ":b"),
    "collate": ("generic", " COLLATE c"),
    "is distinct from": ("generic", " IS DISTINCT FROM b"),
}

# One level of each nesting: an opening and its closing text.  The parser
# recurses into these, as deep as its recursion counter allows; past it, the
# constructs from ARRAY[ on are read again another way at every level, so
# their time doubles per level (the engine refuses them first: MAX_NESTING).
NESTS = {
    "parentheses": ("generic", "(", ")"),
    "brackets": ("duckdb", "[", "]"),
    "braces": ("duckdb", "{'a': ", "}"),
    "function calls": ("generic", "f(", ")"),
    "case": ("generic", "CASE WHEN a THEN ", " END"),
    "not": ("generic", "NOT ", ""),
    "unary minus": ("generic", "- ", ""),
    "exists": ("generic", "EXISTS (SELECT ", ")"),
    "subqueries": ("generic", "(SELECT ", ")"),
    "array constructors": ("generic", "ARRAY[", "]"),
    "casts": ("generic", "CAST(", " AS int)"),
    "try casts": ("snowflake", "TRY_CAST(", " AS int)"),
    "convert": ("mssql", "CONVERT(", ", int)"),
    "substring": ("postgres", "SUBSTRING(", " FROM 1)"),
    "ceil": ("generic", "CEIL(", ")"),
    "floor": ("bigquery", "FLOOR(", ")"),
    "overlay": ("postgres", "OVERLAY(", " PLACING 'a' FROM 1)"),
}


def chain(name, depth):
    """`SELECT <a chain of `depth` levels> FROM t` and its dialect."""
    dialect, level = CHAINS[name]
    if level is None:
        terms = ["ARRAY[0,0]" if i % 5000 == 0 else "1" for i in range(depth)]
        return "SELECT " + "+".join(terms) + " FROM t", dialect
    return "SELECT a" + level * depth + " FROM t", dialect


def nest(name, depth):
    dialect, opening, closing = NESTS[name]
    return "SELECT " + opening * depth + "a" + closing * depth + " FROM t", dialect


def flat_case(whens):
    return "SELECT CASE " + " ".join(f"WHEN a = {i} THEN 'v{i}'" for i in range(whens)) + " END AS c FROM t"


def in_list(items):
    return "SELECT a FROM t WHERE a IN (" + ", ".join(str(i) for i in range(items)) + ")"


def self_join_stars(levels):
    """Each CTE joins the previous one to itself and selects `*`: the output
    doubles at every level."""
    ctes = ["c0 AS (SELECT a, b FROM t)"]
    for i in range(1, levels + 1):
        ctes.append(f"c{i} AS (SELECT * FROM c{i - 1} x JOIN c{i - 1} y ON x.a = y.a)")
    return f"WITH {', '.join(ctes)} SELECT * FROM c{levels}"


def wide_statement(columns):
    """A long select list over a join: the statement of a generated report."""
    items = ", ".join(f"CASE WHEN x.c{i} > 0 THEN x.c{i} + y.d{i} ELSE coalesce(y.e{i}, 0) END AS out{i}"
                      for i in range(columns))
    return f"SELECT {items} FROM db.x x JOIN db.y y ON x.id = y.id WHERE x.k = 1"


def ambiguous_columns(columns):
    """Unqualified columns over a join of two unknown tables: every one is
    ambiguous."""
    return "SELECT " + ", ".join(f"c{i}" for i in range(columns)) + " FROM t1 JOIN t2 ON t1.id = t2.id"


def yaml_alias_bomb(levels):
    """A schema file whose aliases multiply at each level."""
    lines = ["a0: &a0 [x, x, x, x, x, x, x, x, x]"]
    for i in range(1, levels + 1):
        lines.append(f"a{i}: &a{i} [" + ", ".join([f"*a{i - 1}"] * 9) + "]")
    lines.append(f"tables: {{t: {{columns: *a{levels}}}}}")
    return "\n".join(lines) + "\n"
