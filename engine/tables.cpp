// Base tables: the ones that earlier statements of the session created or
// filled, then the catalog's.  The catalog is the one place where the engine runs Python code,
// so it is asked here, after the AST has been read and let go, and once per
// table name and call.
#include "engine.hpp"

#include <algorithm>

namespace keldra::engine {

namespace {

std::string key_of(const std::vector<Name>& parts) {
    std::string k;
    for (const Name& n : parts) {
        if (!k.empty()) k += '\x1f';
        k += ascii_lower(n.text);
    }
    return k;
}

std::string reported_name(const std::vector<Name>& parts, const Dialect& d) {
    std::string out;
    for (const Name& n : parts) out += (out.empty() ? "" : ".") + reported(n, d);
    return out;
}

// One key is the other's trailing parts: `t` names `db.t`.
bool same_table(const std::string& a, const std::string& b) {
    const std::string& shorter = a.size() < b.size() ? a : b;
    const std::string& longer = a.size() < b.size() ? b : a;
    if (shorter == longer) return true;
    return longer.size() > shorter.size() && longer.compare(longer.size() - shorter.size(), shorter.size(), shorter) == 0 &&
           longer[longer.size() - shorter.size() - 1] == '\x1f';
}

std::optional<KnownTable> ask_catalog(PyObject* catalog, PyObject* method, const std::vector<Name>& parts) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    for (size_t i = 0; i < parts.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), i,
                         Ref::steal(PyUnicode_FromStringAndSize(parts[i].text.data(), parts[i].text.size())).release());
    Ref found = Ref::steal(PyObject_CallMethodOneArg(catalog, method, tuple.get()));
    if (found.get() == Py_None) return std::nullopt;
    // (qualified name, column names)
    if (!PyTuple_Check(found.get()) || PyTuple_GET_SIZE(found.get()) != 2 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(found.get(), 0)))
        raise(PyExc_TypeError, "the catalog's resolve() must return None or (name, columns), not %R", found.get());
    KnownTable t;
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(found.get(), 0), &size);
    if (!name) raise_current();
    t.name.assign(name, static_cast<size_t>(size));
    PyObject* listed = PyTuple_GET_ITEM(found.get(), 1);
    if (PyUnicode_Check(listed) || PyBytes_Check(listed))  // a str is no list of names
        raise(PyExc_TypeError, "the catalog's resolve() must give the columns as a sequence of str, not %R", listed);
    Ref columns = Ref::steal(PySequence_Tuple(listed));
    t.columns.reserve(static_cast<size_t>(PyTuple_GET_SIZE(columns.get())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns.get()); ++i) {
        PyObject* c = PyTuple_GET_ITEM(columns.get(), i);
        if (!PyUnicode_Check(c)) raise(PyExc_TypeError, "column names from the catalog must be str, not %R", c);
        const char* s = PyUnicode_AsUTF8AndSize(c, &size);
        if (!s) raise_current();
        t.columns.add(std::string(s, static_cast<size_t>(size)));
    }
    return t;
}

}  // namespace

// The key of a name's last part: the bucket of every created table that a
// name ending in it may mean.
static std::string_view last_part(const std::string& key) {
    const size_t at = key.rfind('\x1f');
    return at == std::string::npos ? std::string_view(key) : std::string_view(key).substr(at + 1);
}

const KnownTable* Tables::find(const std::vector<Name>& parts) {
    if (parts.empty()) return nullptr;
    const std::string key = key_of(parts);
    if (auto it = created.find(key); it != created.end()) return &it->second.table;
    const KnownTable* match = nullptr;
    if (auto bucket = by_last.find(std::string(last_part(key))); bucket != by_last.end())
        for (const std::string& k : bucket->second)
            if (same_table(k, key)) {
                if (match) return nullptr;  // two created tables answer to it
                match = &created.at(k).table;
            }
    if (match) return match;
    if (!catalog || catalog == Py_None) return nullptr;
    auto [it, added] = looked_up.try_emplace(key);
    if (added) {
        try {
            it->second = ask_catalog(catalog, resolve_name, parts);
        } catch (...) {
            looked_up.erase(it);
            throw;
        }
    }
    return it->second ? &*it->second : nullptr;
}

void Tables::attach(Statement& st, const Dialect& d) {
    for (Query& q : st.queries) {
        if (q.kind != BodyKind::select) continue;
        for (FromItem& item : q.select->from) {
            if (item.kind != FromKind::base) continue;
            const KnownTable* known = find(item.table);
            item.known_columns = known ? &known->columns : nullptr;
            item.table_index = st.table_id(known ? known->name : reported_name(item.table, d));
        }
    }
    if (!st.target.empty()) {
        const KnownTable* known = st.kind == Kind::insert ? find(st.target) : nullptr;
        st.target_name = known ? known->name : reported_name(st.target, d);
        if (known) st.target_known = *known;
    }
}

bool defines_target(const Statement& st) {
    if (st.target.empty() || !st.error.empty()) return false;
    switch (st.kind) {
        case Kind::create_table:
        case Kind::create_table_as:
        case Kind::create_view:
            return true;
        case Kind::insert:
            return !st.target_known;
        case Kind::query:
            return st.named;
        case Kind::create_procedure:
        case Kind::create_function:
        case Kind::other:
            return false;
    }
    return false;
}

const std::vector<std::vector<Name>>& forgets(const Statement& st) {
    static const std::vector<std::vector<Name>> none;
    return st.error.empty() ? st.dropped : none;
}

void Tables::record(const Statement& st) {
    for (const std::vector<Name>& parts : forgets(st)) {
        // the created table the name means (as find() reads it), if any
        std::string key = key_of(parts);
        if (!created.count(key))
            if (auto bucket = by_last.find(std::string(last_part(key))); bucket != by_last.end()) {
                int matches = 0;
                for (const std::string& k : bucket->second)
                    if (same_table(k, key)) {
                        ++matches;
                        key = k;
                    }
                if (matches != 1) continue;
            }
        if (created.erase(key)) {
            auto& bucket = by_last[std::string(last_part(key))];
            bucket.erase(std::remove(bucket.begin(), bucket.end(), key), bucket.end());
        }
    }
    if (!defines_target(st)) return;
    KnownTable t;
    t.name = st.target_name;
    for (const auto& c : st.columns) {
        if (c.name == "*") return;  // its columns are not known
        t.columns.add(c.name);
    }
    std::string key = key_of(st.target);
    auto [it, added] = created.try_emplace(key);
    if (added) by_last[std::string(last_part(key))].push_back(key);
    it->second = Created{std::move(t), defined++};
}

std::vector<const KnownTable*> Tables::in_order() const {
    std::vector<const Created*> all;
    all.reserve(created.size());
    for (const auto& [key, c] : created) all.push_back(&c);
    std::sort(all.begin(), all.end(), [](const Created* a, const Created* b) { return a->order < b->order; });
    std::vector<const KnownTable*> out;
    out.reserve(all.size());
    for (const Created* c : all) out.push_back(&c->table);
    return out;
}

}  // namespace keldra::engine
