// Reading identifiers, names and positions out of the AST.
#include "ast.hpp"
#include "keldra/stack.hpp"

namespace keldra::engine {

void Names::init() {
#define KELDRA_INTERN(k) k = PyUnicode_InternFromString(#k); if (!k) raise_current();
    KELDRA_AST_KEYS(KELDRA_INTERN)
#undef KELDRA_INTERN
    using_ = PyUnicode_InternFromString("using");
    if (!using_) raise_current();
}

void Names::clear() {
#define KELDRA_CLEAR(k) Py_CLEAR(k);
    KELDRA_AST_KEYS(KELDRA_CLEAR)
#undef KELDRA_CLEAR
    Py_CLEAR(using_);
}

Pos Source::absolute(int line, int column) const {
    if (line <= 0) return origin;
    if (line == 1) return Pos{origin.line, origin.column + column - 1};
    return Pos{origin.line + line - 1, column};
}

size_t Source::offset(int line, int column) const {
    if (line_starts.empty()) {
        line_starts.push_back(0);
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\n') line_starts.push_back(i + 1);
    }
    if (line <= 0 || column <= 0 || static_cast<size_t>(line) > line_starts.size())
        return std::string_view::npos;
    size_t i = line_starts[line - 1];
    for (int c = 1; c < column && i < text.size(); ++c) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return i;
}

Name Reader::ident(PyObject* node) const {
    PyObject* payload = nullptr;
    if (node && PyDict_Check(node) && !field(node, n.value)) {
        // {"Identifier": Ident} as an object-name part
        variant(node, &payload);
        node = payload;
    }
    std::string text(str_view(field(node, n.value)));
    const bool quoted = field(node, n.quote_style) != nullptr;
    return make_name(std::move(text), quoted, *src.dialect);
}

std::vector<Name> Reader::object_name(PyObject* node) const {
    std::vector<Name> out;
    const ListView parts = items(node);
    out.reserve(parts.size());
    for (Py_ssize_t i = 0; i < parts.size(); ++i) out.push_back(ident(parts[i]));
    return out;
}

Pos Reader::pos_of(PyObject* node) const {
    PyObject* payload = nullptr;
    if (node && PyDict_Check(node) && !field(node, n.span) && PyDict_GET_SIZE(node) == 1) {
        variant(node, &payload);
        node = payload;
    }
    PyObject* start = field(field(node, n.span), n.start);
    PyObject* line = field(start, n.line);
    PyObject* column = field(start, n.column);
    if (!line || !column || !PyLong_Check(line) || !PyLong_Check(column)) return {};
    const long l = PyLong_AsLong(line), c = PyLong_AsLong(column);
    if (PyErr_Occurred()) raise_current();
    if (l <= 0) return {};
    return src.absolute(static_cast<int>(l), static_cast<int>(c));
}

void Reader::unsupported(std::string_view what, PyObject* near) {
    st.warn(MessageKind::unsupported_construct, pos_of(near), "unsupported construct " + std::string(what) +
                              ": its columns have no lineage");
}

const Reader::Cte* Reader::find_cte(const std::vector<Name>& parts) const {
    if (parts.size() != 1) return nullptr;
    for (auto it = ctes.rbegin(); it != ctes.rend(); ++it)
        if (it->key == parts[0].key) return &*it;
    return nullptr;
}

Reader::Descend::Descend(Reader& rd) : r(rd) {
    // sqlparser bounds the nesting of what it parses, but chains of binary
    // operators come out as deep trees; the stack bounds the walk in any thread.
    if (++r.depth > 25000 || stack_low()) {
        --r.depth;
        raise(PyExc_RecursionError, "the statement is nested too deeply to analyse");
    }
}

void Expr::append(Expr&& o) {
    for (auto& c : o.cols) cols.push_back(std::move(c));
    for (auto& q : o.subqueries) subqueries.push_back(q);
}

int Statement::table_id(const std::string& name) {
    auto [it, added] = table_ids.emplace(name, static_cast<int>(tables.size()));
    if (added) tables.push_back(name);
    return it->second;
}

// A warning already given (same kind, position and text) is not repeated;
// the look-up is by hash, so n warnings cost n steps, not n * n.
void Statement::warn(MessageKind kind, Pos pos, std::string message) {
    Message m{kind, pos ? pos : start, std::move(message)};
    const size_t h = std::hash<std::string>{}(m.text) ^
                     (static_cast<size_t>(m.pos.line) * 1000003u + static_cast<size_t>(m.pos.column)) * 31u ^
                     static_cast<size_t>(m.kind);
    for (auto [it, end] = warned.equal_range(h); it != end; ++it)
        if (warnings[it->second] == m) return;
    warned.emplace(h, warnings.size());
    warnings.push_back(std::move(m));
}

void Statement::fail(MessageKind kind, Pos pos, std::string message) {
    error = Message{kind, pos ? pos : start, std::move(message)};
}

}  // namespace keldra::engine
