// Name resolution and the output columns of every query block.
//
// A scope is one SELECT's FROM items; its parent is the scope of the block
// that encloses it (correlated and LATERAL references reach it).  The outputs
// of a query block are computed once and kept on the block, so every
// reference into a derived table or CTE reads them: the work is linear in the
// size of the statement.
#include "engine.hpp"
#include "keldra/stack.hpp"

#include <algorithm>

namespace keldra::engine {

struct Scope {
    Scope* parent;
    Select& sel;
};

namespace {

// Where an unqualified column can come from, within one scope.
struct Candidates {
    std::vector<FromItem*> known;    // the item is known to have the column
    std::vector<FromItem*> unknown;  // the item's columns are not known
};

// 100000 as "100,000".
std::string thousands(size_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// The sources an ambiguous column could come from, as a warning lists them:
// the first few and how many more, so that a warning's length does not grow
// with the number of sources (n columns over n tables would otherwise write
// n * n names).
constexpr size_t names_listed = 5;

std::string join_names(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size() && i < names_listed; ++i) {
        if (!out.empty()) out += ", ";
        out += names[i];
    }
    if (names.size() > names_listed) out += " and " + thousands(names.size() - names_listed) + " more";
    return out;
}

// Output columns under the names a column list gives them, by position.  An
// unexpanded star stands for every name left: each gets the star's sources.
std::vector<OutCol> apply_names(const std::vector<OutCol>& outs, const std::vector<Name>& names) {
    std::vector<OutCol> out;
    size_t j = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (j >= outs.size()) break;
        OutCol c = outs[j];
        if (!c.star || i + 1 == names.size()) ++j;  // a star also takes the next names
        c.name = names[i];
        c.star = false;
        out.push_back(std::move(c));
    }
    for (; j < outs.size(); ++j) out.push_back(outs[j]);
    return out;
}

class Resolver {
public:
    Resolver(Statement& st, const Dialect& d) : st_(st), d_(d) {}

    const std::vector<OutCol>& outputs(Query* q) {
        if (q->state == Query::State::fresh) compute(q);
        return q->outputs;
    }

    void finish();

private:
    Statement& st_;
    const Dialect& d_;
    int depth_ = 0;
    bool in_pivot_ = false;  // reading the pivoted table under a PIVOT
    size_t columns_ = 0;     // output columns made so far, in every block

    // `more` output columns are about to be made (by the item at `pos`):
    // the statement stops before they would pass max_columns, so what it
    // holds never grows past the limit.
    void spend(size_t more, Pos pos) {
        columns_ += more;
        if (columns_ > max_columns)
            throw StatementRefused{Message{MessageKind::too_wide, pos,
                                           "the statement's queries have more than " + thousands(max_columns) +
                                               " output columns in all (stars over joins multiply them): "
                                               "it is not analysed"}};
    }

    struct Deeper {
        Resolver& r;
        explicit Deeper(Resolver& rs) : r(rs) {
            if (++r.depth_ > 25000 || stack_low()) {
                --r.depth_;
                raise(PyExc_RecursionError, "the statement is nested too deeply to analyse");
            }
        }
        ~Deeper() { --r.depth_; }
    };

    static Scope* scope_of(Query* q) { return q->parent ? q->parent->scope : nullptr; }

    void compute(Query* q);
    std::vector<OutCol> select_outputs(Select& s, Scope* parent, const std::vector<Clause>& order_by);
    void natural_joins(Select& s);
    // A column a PIVOT / UNPIVOT adds over the item, or nullptr.
    static const FromItem::Added* pivoted(const FromItem& item, const Name& column) {
        for (const FromItem::Added& a : item.added)
            if (a.name.key == column.key) return &a;
        return nullptr;
    }
    // A column of the item that a PIVOT / UNPIVOT consumes.
    static bool hidden(const FromItem& item, const Name& column) {
        return std::any_of(item.hidden.begin(), item.hidden.end(), [&](const Name& n) { return same_name(n, column); });
    }
    std::vector<Name> known_names(FromItem& item);
    void merge_positional(const std::vector<OutCol>& outs);
    void indirect(const Srcs& srcs, Sub sub) {
        for (const Src& s : srcs) st_.indirect.push_back(Src{s.table, s.column, sub});
    }

    Srcs resolve(const Expr& e, Scope& sc, const std::vector<OutCol>* aliases, Aliases mode);
    void resolve_ref(const ColRef& r, Scope& sc, Srcs& out, const std::vector<OutCol>* aliases,
                     Aliases mode);
    bool from_alias(const Name& name, Sub sub, const std::vector<OutCol>* aliases, Srcs& out);
    Candidates candidates(Scope& s, const Name& name);
    FromItem* struct_root(Scope& sc, const Name& column);
    FromItem* struct_star(Scope& sc, const std::vector<Name>& qualifier);
    FromItem* find_item(Scope& s, const std::vector<Name>& qualifier);
    void from_item(Scope& owner, FromItem& item, const Name& column, Sub sub, Pos pos, Srcs& out);
    const Srcs& function_args(Scope& owner, FromItem& item);
    const std::vector<OutCol>& item_outputs(FromItem& item);
    bool has_column(FromItem& item, const Name& column, bool* open);
    std::string describe(const FromItem& item) const;
    void expand(Scope& sc, SelectItem& item, std::vector<OutCol>& outs);
    static void append(Srcs& out, const Srcs& srcs, Sub outer) {
        for (const Src& s : srcs) out.push_back(Src{s.table, s.column, compose(outer, s.sub)});
    }
};

void Resolver::compute(Query* q) {
    Deeper guard(*this);
    q->state = Query::State::running;
    switch (q->kind) {
        case BodyKind::select:
            q->outputs = select_outputs(*q->select, scope_of(q), q->order_by);
            break;
        case BodyKind::query:  // the parenthesised query is this one's alone
            outputs(q->inner);
            q->outputs = std::move(q->inner->outputs);
            break;
        case BodyKind::set_operation: {
            // Names from the first branch, sources merged by position.  The
            // first branch's outputs stand while the others are read, so a
            // recursive CTE's reference to itself sees its anchor.
            // (the branches are this operation's alone: their outputs move)
            outputs(q->left);
            q->outputs = std::move(q->left->outputs);
            outputs(q->right);
            const std::vector<OutCol> right = std::move(q->right->outputs);
            const size_t n = std::min(q->outputs.size(), right.size());
            for (size_t i = 0; i < n; ++i) {
                OutCol& merged = q->outputs[i];
                if (merged.star || right[i].star) merged.every = merged.star = merged.star && right[i].star;
                append(merged.srcs, right[i].srcs, Sub::identity);
            }
            if (q->outputs.size() != right.size())
                st_.warn(MessageKind::branch_width, {}, "the branches of a set operation have " + std::to_string(q->outputs.size()) +
                                 " and " + std::to_string(right.size()) +
                                 " columns: only the first " + std::to_string(n) + " are merged");
            break;
        }
        case BodyKind::values: {
            Select empty;
            Scope sc{scope_of(q), empty};
            for (const auto& row : q->rows)
                for (size_t i = 0; i < row.size(); ++i) {
                    if (q->outputs.size() <= i)
                        q->outputs.push_back(OutCol{make_name("column" + std::to_string(i + 1), false, d_), {}});
                    Srcs s = resolve(row[i], sc, nullptr, Aliases::fallback);
                    q->outputs[i].srcs.insert(q->outputs[i].srcs.end(), s.begin(), s.end());
                }
            break;
        }
        case BodyKind::unsupported:
            break;
    }
    if (q->kind != BodyKind::select && !q->order_by.empty()) {
        // ORDER BY of a set operation: output names and positions
        Select empty;
        Scope sc{scope_of(q), empty};
        for (const Clause& c : q->order_by) {
            if (c.expr.ordinal && *c.expr.ordinal >= 1 && static_cast<size_t>(*c.expr.ordinal) <= q->outputs.size()) {
                indirect(q->outputs[*c.expr.ordinal - 1].srcs, Sub::sort);
                continue;
            }
            indirect(resolve(c.expr, sc, &q->outputs, Aliases::first), Sub::sort);
        }
    }
    q->state = Query::State::done;
}

std::vector<OutCol> Resolver::select_outputs(Select& s, Scope* parent, const std::vector<Clause>& order_by) {
    Scope sc{parent, s};
    s.scope = &sc;
    struct Leave {
        Select& s;
        ~Leave() { s.scope = nullptr; }
    } leave{s};

    natural_joins(s);
    std::vector<OutCol> outs;
    outs.reserve(s.items.size());
    for (SelectItem& item : s.items) {
        if (item.kind == ItemKind::expr) {
            spend(1, item.pos);
            // an earlier alias of this select list is a fallback for a name
            // no source has (lateral column aliases)
            outs.push_back(OutCol{item.name, resolve(item.expr, sc, &outs, Aliases::fallback)});
        } else {
            expand(sc, item, outs);
        }
    }
    // An explicit column beside a star wins over the star's column of that name.
    if (std::any_of(outs.begin(), outs.end(), [](const OutCol& c) { return c.from_star; })) {
        std::vector<std::string> explicit_keys;
        for (const auto& c : outs)
            if (!c.from_star && !c.star) explicit_keys.push_back(c.name.key);
        std::erase_if(outs, [&](const OutCol& c) {
            return c.from_star && std::find(explicit_keys.begin(), explicit_keys.end(), c.name.key) != explicit_keys.end();
        });
    }

    if (s.group_by_all)  // GROUP BY ALL: every output that is no aggregate
        for (const OutCol& c : outs)
            if (std::none_of(c.srcs.begin(), c.srcs.end(), [](const Src& x) { return x.sub == Sub::aggregation; }))
                indirect(c.srcs, Sub::group_by);
    for (const Clause& c : s.clauses) {
        if (c.sub == Sub::group_by && c.expr.ordinal) {
            const long k = *c.expr.ordinal;
            if (k >= 1 && static_cast<size_t>(k) <= outs.size()) indirect(outs[k - 1].srcs, c.sub);
            continue;
        }
        indirect(resolve(c.expr, sc, &outs, c.aliases), c.sub);
    }
    for (const Clause& c : order_by) {
        if (c.expr.ordinal) {
            const long k = *c.expr.ordinal;
            if (k >= 1 && static_cast<size_t>(k) <= outs.size()) indirect(outs[k - 1].srcs, Sub::sort);
            continue;
        }
        indirect(resolve(c.expr, sc, &outs, Aliases::first), Sub::sort);
    }
    return outs;
}

// The names an item is known to have (none where they are unknown).
std::vector<Name> Resolver::known_names(FromItem& item) {
    std::vector<Name> out;
    if (!item.alias_columns.empty()) return item.alias_columns;
    if (item.kind == FromKind::base && item.known_columns) {
        for (const std::string& c : *item.known_columns) out.push_back(catalog_name(c, d_));
    } else if (item.kind == FromKind::query && item.query->state != Query::State::running) {
        for (const OutCol& c : item_outputs(item))
            if (!c.star) out.push_back(c.name);
    }
    return out;
}

// NATURAL JOIN joins on the columns both sides are known to have: they are
// joined as by USING.
void Resolver::natural_joins(Select& s) {
    for (const size_t right : s.natural) {
        Expr used;
        for (const Name& n : known_names(s.from[right])) {
            bool left = false;
            for (size_t i = 0; i < right && !left; ++i) {
                bool open = false;
                left = has_column(s.from[i], n, &open);
            }
            if (!left) continue;
            s.using_keys.push_back(n.key);
            used.cols.push_back(ColRef{{n}, Sub::join, {}});
        }
        if (!used.cols.empty()) s.clauses.push_back(Clause{std::move(used), Sub::join});
    }
    s.natural.clear();
}

Srcs Resolver::resolve(const Expr& e, Scope& sc, const std::vector<OutCol>* aliases, Aliases mode) {
    Srcs out;
    for (const ColRef& r : e.cols) resolve_ref(r, sc, out, aliases, mode);
    for (const SubRef& q : e.subqueries) {
        const std::vector<OutCol>& outs = outputs(q.query);
        if (q.exists) continue;
        for (const OutCol& c : outs) append(out, c.srcs, q.sub);
    }
    return out;
}

bool Resolver::from_alias(const Name& name, Sub sub, const std::vector<OutCol>* aliases, Srcs& out) {
    if (!aliases) return false;
    for (const OutCol& c : *aliases) {
        if (c.star || c.from_star || !same_name(c.name, name)) continue;
        append(out, c.srcs, sub);
        return true;
    }
    return false;
}

void Resolver::resolve_ref(const ColRef& r, Scope& sc, Srcs& out, const std::vector<OutCol>* aliases,
                           Aliases mode) {
    Deeper guard(*this);
    const Name& column = r.parts.back();
    if (r.parts.size() == 1) {
        if (mode == Aliases::first && from_alias(column, r.sub, aliases, out)) return;
        for (Scope* s = &sc; s; s = s->parent) {
            Candidates c = candidates(*s, column);
            const bool joined = std::find(s->sel.using_keys.begin(), s->sel.using_keys.end(), column.key) !=
                                s->sel.using_keys.end();
            std::vector<FromItem*>& pick = c.known.empty() ? c.unknown : c.known;
            // GROUP BY d, where d is an output alias and the sources' columns
            // are unknown: the alias, not a guessed column of the source
            if (s == &sc && mode == Aliases::before_unknown && c.known.empty() &&
                from_alias(column, r.sub, aliases, out))
                return;
            if (pick.size() == 1 || (pick.size() > 1 && joined)) {
                for (FromItem* item : pick) from_item(*s, *item, column, r.sub, r.pos, out);
                return;
            }
            if (pick.size() > 1) {
                std::vector<std::string> names;
                for (FromItem* item : pick) {
                    if (names.size() == names_listed) break;
                    names.push_back(describe(*item));
                }
                names.resize(pick.size());  // the rest are counted, not named
                st_.warn(MessageKind::ambiguous_column, r.pos, "column '" + column.text + "' is ambiguous: it could come from " +
                                    join_names(names));
                out.push_back(Src{-1, reported(column, d_), r.sub});
                return;
            }
        }
        if (from_alias(column, r.sub, aliases, out)) return;
        // No source is known to have it: with one source in the block, that
        // source (the schema may be incomplete); otherwise nobody.
        if (sc.sel.from.size() == 1) {
            FromItem& only = sc.sel.from[0];
            if (!(only.kind == FromKind::query && only.query->state == Query::State::running)) {
                from_item(sc, only, column, r.sub, r.pos, out);  // warns where the column is unknown
                return;
            }
        }
        st_.warn(MessageKind::unattributed_column, r.pos, "column '" + column.text + "' cannot be attributed: no source in scope has it");
        out.push_back(Src{-1, reported(column, d_), r.sub});
        return;
    }
    const std::vector<Name> qualifier(r.parts.begin(), r.parts.end() - 1);
    for (Scope* s = &sc; s; s = s->parent)
        if (FromItem* item = find_item(*s, qualifier)) {
            from_item(*s, *item, column, r.sub, r.pos, out);
            return;
        }
    if (r.parts.size() >= 3) {
        // t.struct_column.field
        const std::vector<Name> first(r.parts.begin(), r.parts.begin() + 1);
        for (Scope* s = &sc; s; s = s->parent)
            if (FromItem* item = find_item(*s, first)) {
                from_item(*s, *item, r.parts[1], r.sub, r.pos, out);
                return;
            }
    }
    // column.field on a struct column of the one source known to have it
    if (FromItem* item = struct_root(sc, r.parts[0])) {
        from_item(sc, *item, r.parts[0], r.sub, r.pos, out);
        return;
    }
    std::string q;
    for (const Name& n : qualifier) q += (q.empty() ? "" : ".") + n.text;
    st_.warn(MessageKind::unknown_qualifier, r.pos, "unknown qualifier '" + q + "' of column '" + column.text + "'");
    out.push_back(Src{-1, reported(column, d_), r.sub});
}

const std::vector<OutCol>& Resolver::item_outputs(FromItem& item) {
    const std::vector<OutCol>& outs = outputs(item.query);
    if (item.alias_columns.empty()) return outs;
    if (item.query->state == Query::State::running) {
        // a recursive reference: the anchor's outputs under the CTE's names
        item.renamed = apply_names(outs, item.alias_columns);
        return item.renamed;
    }
    if (!item.renamed_ready) {
        item.renamed = apply_names(outs, item.alias_columns);
        item.renamed_ready = true;
    }
    return item.renamed;
}

bool Resolver::has_column(FromItem& item, const Name& column, bool* open) {
    *open = false;
    if (!in_pivot_) {
        if (pivoted(item, column)) return true;
        if (hidden(item, column)) return false;
    }
    switch (item.kind) {
        case FromKind::base:
            if (!item.alias_columns.empty())  // t AS x(p, q): the list names its columns
                return std::any_of(item.alias_columns.begin(), item.alias_columns.end(),
                                   [&](const Name& n) { return n.key == column.key; });
            if (!item.known_columns) {
                *open = true;
                return false;
            }
            return item.known_columns->find(column.text) != nullptr;
        case FromKind::query: {
            if (item.query->state == Query::State::running && item.query->outputs.empty()) return false;
            for (const OutCol& c : item_outputs(item)) {
                if (c.star) *open = true;
                else if (same_name(c.name, column)) return true;
            }
            return false;
        }
        case FromKind::function:
            for (const Name& n : item.alias_columns)
                if (n.key == column.key) return true;
            if (!item.alias_columns.empty()) return false;
            if (item.known_function)  // its columns are known (table_functions.cpp)
                return std::any_of(item.function_columns.begin(), item.function_columns.end(),
                                   [&](const Name& n) { return n.key == column.key; });
            *open = true;
            return false;
    }
    return false;
}

Candidates Resolver::candidates(Scope& s, const Name& name) {
    Candidates c;
    for (FromItem& item : s.sel.from) {
        if (item.kind == FromKind::query && item.query->state == Query::State::running &&
            !item.query->recursive_cte)
            continue;  // the block being computed (a derived table's own item)
        if (item.kind == FromKind::function && item.args_state == 1) continue;
        bool open = false;
        if (has_column(item, name, &open)) c.known.push_back(&item);
        else if (open) c.unknown.push_back(&item);
    }
    return c;
}

// The item holding the struct of a star t.rec.* (or rec.*), or nullptr.
FromItem* Resolver::struct_star(Scope& sc, const std::vector<Name>& qualifier) {
    if (qualifier.size() >= 2)
        if (FromItem* item = find_item(sc, {qualifier[0]})) return item;
    return qualifier.empty() ? nullptr : struct_root(sc, qualifier[0]);
}

// The item whose column `column` is, when a path column.field... names no
// item: the one source known to have the column (without a schema an
// unknown qualifier is never guessed to be a column).
FromItem* Resolver::struct_root(Scope& sc, const Name& column) {
    Candidates c = candidates(sc, column);
    return c.known.size() == 1 ? c.known[0] : nullptr;
}

FromItem* Resolver::find_item(Scope& s, const std::vector<Name>& q) {
    for (FromItem& item : s.sel.from) {
        if (item.alias) {
            if (q.size() == 1 && item.alias->key == q[0].key) return &item;
            continue;
        }
        if (item.is_cte) {
            if (q.size() == 1 && item.cte_name.key == q[0].key) return &item;
            continue;
        }
        if (q.size() > item.table.size() || item.table.empty()) continue;
        bool match = true;
        for (size_t i = 0; i < q.size() && match; ++i)
            match = item.table[item.table.size() - q.size() + i].key == q[i].key;
        if (match) return &item;
    }
    return nullptr;
}

std::string Resolver::describe(const FromItem& item) const {
    if (item.alias) return reported(*item.alias, d_);
    if (item.is_cte) return reported(item.cte_name, d_);
    if (item.kind == FromKind::base && item.table_index >= 0) return st_.tables[item.table_index];
    std::string out;
    for (const Name& n : item.table) out += (out.empty() ? "" : ".") + reported(n, d_);
    return out.empty() ? "a table function" : out;
}

// The columns a function's arguments read, resolved where the function stands
// (UNNEST(t.arr) reads its sibling t), once.
const Srcs& Resolver::function_args(Scope& owner, FromItem& item) {
    if (!item.args_state) {
        item.args_state = 1;
        item.resolved_args = resolve(item.args, owner, nullptr, Aliases::fallback);
        item.args_state = 2;
    }
    return item.resolved_args;
}

void Resolver::from_item(Scope& owner, FromItem& item, const Name& column, Sub sub, Pos pos, Srcs& out) {
    Deeper guard(*this);
    if (!in_pivot_) {
        if (const FromItem::Added* added = pivoted(item, column)) {
            // a PIVOT's value column (UNPIVOT's value column): its expressions
            // over the pivoted item's own columns (even one named like it)
            in_pivot_ = true;
            for (const ColRef& r : added->expr.cols)
                from_item(owner, item, r.parts.back(), compose(sub, r.sub), r.pos, out);
            in_pivot_ = false;
            return;
        }
        if (hidden(item, column)) {
            st_.warn(MessageKind::unknown_column, pos, "column '" + column.text + "' is consumed by the PIVOT or UNPIVOT of " + describe(item));
            out.push_back(Src{-1, reported(column, d_), sub});
            return;
        }
    }
    switch (item.kind) {
        case FromKind::base: {
            std::string name = reported(column, d_);
            if (!item.alias_columns.empty()) {
                // t AS x(p, q) names t's columns by position: known through
                // the schema, else only as t's star
                const auto it = std::find_if(item.alias_columns.begin(), item.alias_columns.end(),
                                             [&](const Name& n) { return n.key == column.key; });
                if (it == item.alias_columns.end()) {
                    st_.warn(MessageKind::unknown_column, pos, "column '" + column.text + "' is not among the columns named for " + describe(item));
                } else {
                    const size_t i = static_cast<size_t>(it - item.alias_columns.begin());
                    name = item.known_columns && i < item.known_columns->size() ? (*item.known_columns)[i] : "*";
                }
            } else if (item.known_columns) {
                if (const std::string* known = item.known_columns->find(column.text))
                    name = *known;
                else
                    st_.warn(MessageKind::unknown_column, pos, "column '" + column.text + "' is not in the schema of " + describe(item));
            }
            out.push_back(Src{item.table_index, std::move(name), sub});
            return;
        }
        case FromKind::query: {
            const std::vector<OutCol>& outs = item_outputs(item);
            Srcs behind;          // the tables behind the block's stars
            bool every = true;    // each of them feeds the column (set operations)
            const OutCol* implicit = nullptr;
            for (const OutCol& c : outs) {
                if (c.star) {
                    behind.insert(behind.end(), c.srcs.begin(), c.srcs.end());
                    every = every && c.every;
                } else if (same_name(c.name, column)) {
                    if (!c.from_star) {
                        append(out, c.srcs, sub);
                        return;
                    }
                    if (!implicit) implicit = &c;
                }
            }
            if (implicit) {
                append(out, implicit->srcs, sub);
                return;
            }
            if (!behind.empty() && (behind.size() == 1 || every)) {
                // star pass-through: the column of that name of the table (or
                // of each table of a set operation) behind the star
                for (const Src& t : behind)
                    out.push_back(Src{t.table, reported(column, d_), compose(sub, t.sub)});
                return;
            }
            if (!behind.empty()) {
                std::vector<std::string> names;
                for (const Src& t : behind) {
                    if (names.size() == names_listed) break;
                    names.push_back(t.table >= 0 ? st_.tables[t.table] : "?");
                }
                names.resize(behind.size());  // the rest are counted, not named
                st_.warn(MessageKind::ambiguous_column, pos, "column '" + column.text + "' is ambiguous: it could come from " + join_names(names));
            } else if (!(item.query->state == Query::State::running)) {
                st_.warn(MessageKind::unknown_column, pos, "column '" + column.text + "' is not an output of " + describe(item));
            } else {
                return;  // a recursive reference before its anchor is known
            }
            out.push_back(Src{-1, reported(column, d_), sub});
            return;
        }
        case FromKind::function:
            // the arguments' columns feed every column of the function
            append(out, function_args(owner, item), compose(sub, Sub::transformation));
            return;
    }
}

void Resolver::expand(Scope& sc, SelectItem& item, std::vector<OutCol>& outs) {
    std::vector<FromItem*> targets;
    if (item.kind == ItemKind::star) {
        for (FromItem& f : sc.sel.from) targets.push_back(&f);
    } else if (FromItem* f = find_item(sc, item.qualifier)) {
        targets.push_back(f);
    } else if (FromItem* root = struct_star(sc, item.qualifier)) {
        // t.rec.* / rec.*: the fields of a struct column, not known here: one
        // column "*" fed by the struct
        const Name& column = item.qualifier.size() >= 2 && find_item(sc, {item.qualifier[0]}) ? item.qualifier[1]
                                                                                              : item.qualifier[0];
        outs.push_back(OutCol{item.name, {}});
        from_item(sc, *root, column, Sub::identity, item.pos, outs.back().srcs);
        return;
    } else {
        std::string q;
        for (const Name& n : item.qualifier) q += (q.empty() ? "" : ".") + n.text;
        st_.warn(MessageKind::unknown_qualifier, item.pos, "unknown qualifier '" + q + "' of a star");
        outs.push_back(OutCol{item.name, {Src{-1, "*", Sub::identity}}, true});
        return;
    }
    auto excluded = [&](const Name& n) {
        return std::any_of(item.excluded.begin(), item.excluded.end(), [&](const Name& e) { return e.key == n.key; });
    };
    const size_t first = outs.size();
    OutCol star{item.name, {}, true};
    for (FromItem* f : targets) {
        switch (f->kind) {
            case FromKind::base:
                spend(!f->alias_columns.empty() ? f->alias_columns.size()
                      : f->known_columns        ? f->known_columns->size()
                                                : 0,
                      item.pos);
                if (!f->alias_columns.empty()) {
                    for (size_t i = 0; i < f->alias_columns.size(); ++i) {
                        const Name& n = f->alias_columns[i];
                        if (excluded(n)) continue;
                        const bool known = f->known_columns && i < f->known_columns->size();
                        outs.push_back(OutCol{n, {Src{f->table_index, known ? (*f->known_columns)[i] : "*", Sub::identity}},
                                              false, true});
                    }
                } else if (f->known_columns) {
                    for (const std::string& c : *f->known_columns) {
                        Name n = catalog_name(c, d_);
                        if (excluded(n) || hidden(*f, n)) continue;
                        outs.push_back(OutCol{n, {Src{f->table_index, c, Sub::identity}}, false, true});
                    }
                } else {
                    star.srcs.push_back(Src{f->table_index, "*", Sub::identity});
                }
                break;
            case FromKind::query:
                spend(item_outputs(*f).size(), item.pos);
                for (const OutCol& c : item_outputs(*f)) {
                    if (c.star) {
                        star.srcs.insert(star.srcs.end(), c.srcs.begin(), c.srcs.end());
                    } else if (!excluded(c.name) && !hidden(*f, c.name)) {
                        outs.push_back(c);
                        outs.back().from_star = true;
                    }
                }
                break;
            case FromKind::function:
                spend(std::max(f->alias_columns.size(), f->function_columns.size()), item.pos);
                if (!f->alias_columns.empty()) {
                    for (const Name& n : f->alias_columns)
                        if (!excluded(n)) {
                            outs.push_back(OutCol{n, {}, false, true});
                            append(outs.back().srcs, function_args(sc, *f), Sub::transformation);
                        }
                } else if (f->known_function) {
                    // the known columns (explode's array form: col, not key and value)
                    const size_t count = f->star_columns ? std::min(f->star_columns, f->function_columns.size())
                                                         : f->function_columns.size();
                    for (size_t i = 0; i < count; ++i) {
                        if (excluded(f->function_columns[i])) continue;
                        outs.push_back(OutCol{f->function_columns[i], {}, false, true});
                        append(outs.back().srcs, function_args(sc, *f), Sub::transformation);
                    }
                } else {
                    // a table function's columns are not known: one column
                    // "*" fed by its arguments
                    st_.warn(MessageKind::unexpanded_star, item.pos, "the columns of " + describe(*f) + " are not known: its star is not expanded");
                    outs.push_back(OutCol{item.name, {}, false, true});
                    append(outs.back().srcs, function_args(sc, *f), Sub::transformation);
                }
                break;
        }
        for (const FromItem::Added& a : f->added) {  // a PIVOT's or UNPIVOT's columns
            if (excluded(a.name)) continue;
            outs.push_back(OutCol{a.name, {}, false, true});
            from_item(sc, *f, a.name, Sub::identity, item.pos, outs.back().srcs);
        }
    }
    if (item.kind == ItemKind::star && !sc.sel.using_keys.empty()) {
        // A column joined by USING (or NATURAL) comes out once, first, fed by
        // every side.
        std::vector<OutCol> joined;
        for (const std::string& key : sc.sel.using_keys) {
            if (std::any_of(joined.begin(), joined.end(), [&](const OutCol& c) { return c.name.key == key; })) continue;
            for (size_t i = first; i < outs.size();) {
                if (outs[i].star || outs[i].name.key != key) {
                    ++i;
                    continue;
                }
                auto same = std::find_if(joined.begin(), joined.end(), [&](const OutCol& c) { return c.name.key == key; });
                if (same == joined.end()) joined.push_back(std::move(outs[i]));
                else same->srcs.insert(same->srcs.end(), outs[i].srcs.begin(), outs[i].srcs.end());
                outs.erase(outs.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        outs.insert(outs.begin() + static_cast<std::ptrdiff_t>(first), joined.begin(), joined.end());
    }
    for (auto& [name, expr] : item.replaced)
        for (size_t i = first; i < outs.size(); ++i)
            if (outs[i].name.key == name.key) outs[i].srcs = resolve(expr, sc, nullptr, Aliases::fallback);
    for (auto& [from, to] : item.renamed)
        for (size_t i = first; i < outs.size(); ++i)
            if (outs[i].name.key == from.key) outs[i].name = to;
    if (!star.srcs.empty()) outs.push_back(std::move(star));
}

void Resolver::finish() {
    Statement& st = st_;
    if (!st.query) {
        for (const Name& n : st.target_columns) st.columns.push_back({reported(n, d_), {}});
        return;
    }
    const std::vector<OutCol>& outs = outputs(st.query);
    const bool star = std::any_of(outs.begin(), outs.end(), [](const OutCol& c) { return c.star; });
    std::vector<Name> names = st.target_columns;
    if (!names.empty()) {
        if (names.size() != outs.size() && !star)
            st.warn(MessageKind::target_width, {}, std::to_string(names.size()) + " target columns are named for " +
                            std::to_string(outs.size()) + " output columns");
    } else if (st.kind == Kind::insert && st.target_known) {
        for (const std::string& c : st.target_known->columns) names.push_back(make_name(c, true, d_));
        if (names.size() != outs.size() && !star)
            st.warn(MessageKind::target_width, {}, "the target table has " + std::to_string(names.size()) + " columns; " +
                            std::to_string(outs.size()) + " are inserted");
    }
    if (!st.positional.empty()) {
        merge_positional(outs);
        return;
    }
    for (const OutCol& c : names.empty() ? outs : apply_names(outs, names))
        st.columns.push_back({reported(c.name, d_), c.srcs});
}

// MERGE ... INSERT VALUES (...) without a column list: the values name the
// target's columns by position; a column also written by name is one column.
void Resolver::merge_positional(const std::vector<OutCol>& outs) {
    Statement& st = st_;
    const FromItem& target = st.query->select->from[0];
    const ColumnList* known = target.known_columns;
    bool unnamed = false;
    for (const OutCol& c : outs) {
        std::string name = reported(c.name, d_);
        if (!c.name.text.empty() && c.name.text[0] == '\x01') {
            const size_t at = std::stoul(c.name.text.substr(1)) - 1;
            if (known && at < known->size()) {
                name = (*known)[at];
            } else {
                name = "column" + std::to_string(at + 1);
                unnamed = true;
            }
        }
        auto same = std::find_if(st.columns.begin(), st.columns.end(),
                                 [&](const Statement::Column& x) { return ascii_lower(x.name) == ascii_lower(name); });
        if (same == st.columns.end()) st.columns.push_back({name, c.srcs});
        else same->srcs.insert(same->srcs.end(), c.srcs.begin(), c.srcs.end());
    }
    if (unnamed)
        st.warn(MessageKind::target_width, {}, "MERGE inserts values without a column list and the columns of " + st.target_name +
                        " are not known: they are named by position");
}

}  // namespace

void resolve_statement(Statement& st, const Dialect& d) {
    Resolver r(st, d);
    r.finish();
}

}  // namespace keldra::engine
