// The session: one text after another, each statement split off, parsed by
// sqloxide on its own (so one bad statement loses nothing else), read into
// the engine's model, given its tables, resolved and turned into a
// keldra_lineage.Statement.  What a statement creates or fills is recorded in
// the session's tables for every statement after it, in this text and the
// texts that follow.
#include "session.hpp"
#include "recovery.hpp"

#include "parse.hpp"
#include "scripts.hpp"
#include "split.hpp"

#include "keldra/args.hpp"
#include "keldra/guard.hpp"

#include <cstdio>
#include <cstring>

namespace keldra::engine {

namespace {

// A RecursionError while a statement is analysed makes it an error record
// (any other error goes on up).
void refuse(Statement& st, Message why) {
    Statement fresh;
    fresh.index = st.index;
    fresh.start = st.start;
    fresh.fail(why.kind, why.pos ? why.pos : st.start, std::move(why.text));
    st = std::move(fresh);
}

void too_deep(Statement& st) {
    if (!PyErr_ExceptionMatches(PyExc_RecursionError)) raise_current();
    PyErr_Clear();
    refuse(st, Message{MessageKind::too_deep, st.start, "the statement is nested too deeply to analyse"});
}

// A table name as SQL writes it: parts separated by dots, each bare or
// quoted ("a", `a`, [a], a doubled closing quote standing for itself).
std::vector<Name> object_name(PyObject* name, const Dialect& d) {
    const std::string_view s = str_view(name);
    std::vector<Name> parts;
    size_t i = 0;
    auto bad = [&](const char* what) {
        raise(PyExc_ValueError, "table name %R: %s at character %zd", name, what, static_cast<Py_ssize_t>(i + 1));
    };
    auto blanks = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    };
    for (;;) {
        blanks();
        if (i >= s.size()) bad("a name part is missing");
        const char open = s[i];
        const char close = open == '"' ? '"' : open == '`' ? '`' : open == '[' ? ']' : 0;
        std::string text;
        if (close) {
            const size_t opened = i++;
            for (;;) {
                if (i >= s.size()) {
                    i = opened;
                    bad("a quote is not closed");
                }
                if (s[i] == close) {
                    if (i + 1 < s.size() && s[i + 1] == close) {
                        text += close;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text += s[i++];
            }
            parts.push_back(make_name(std::move(text), true, d));
        } else {
            while (i < s.size() && s[i] != '.' && s[i] != ' ' && s[i] != '\t') text += s[i++];
            if (text.empty()) bad("a name part is empty");
            parts.push_back(make_name(std::move(text), false, d));
        }
        blanks();
        if (i >= s.size()) return parts;
        if (s[i] != '.') bad("a dot or the end was expected");
        ++i;
    }
}

// Gives the text's last query the caller's name, so that it defines that
// table; a text without a query says so on its last statement.
void name_last_query(std::deque<Statement>& statements, const std::vector<Name>& target, PyObject* name) {
    for (auto it = statements.rbegin(); it != statements.rend(); ++it)
        if (it->kind == Kind::query && it->error.empty()) {
            it->target = target;
            it->named = true;
            return;
        }
    if (!statements.empty() && statements.back().error.empty())
        statements.back().warn(MessageKind::no_defining_query, {}, "no query of this text defines " + std::string(str_view(name)));
}

void append(State& state, PyObject* out, Statement& st) {
    check(PyList_Append(out, build_statement(state.types, st).get()));
}

Statement refused(int index, Pos start, MessageKind kind, std::string why, Pos at = {}) {
    Statement st;
    st.index = index;
    st.start = start;
    st.fail(kind, at ? at : start, std::move(why));
    return st;
}

// A statement whose quote or comment is not closed: an error at its opening.
Statement unclosed(int index, const Piece& piece, const Dialect& d) {
    return refused(index, piece.start, MessageKind::unterminated, unclosed_message(*piece.unclosed, d),
                   piece.unclosed->pos);
}

// With the parser's exception on a piece with a doubtful quote pending:
// whether the parser stopped after that quote closed, which is what a stray
// quote paired with a quote of a later statement gives (the text after the
// pair is no SQL).  Then the exception is cleared; else it stays pending.
bool stray_quote(const Source& src, const Piece& piece) {
    Ref exc = take_exception();
    const Pos at = parse_error(src, exc.get()).pos;
    const Pos closed = piece.doubtful->closed;
    if (at.line > closed.line || (at.line == closed.line && at.column > closed.column)) return true;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return false;
}

bool ident_word(unsigned char c) {
    return c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// With the parser's exception pending: where, in `src.text`, the parser
// expected the end of the statement and found a word that begins another
// (statements without a semicolon between them, as T-SQL writes them), or
// npos.  The exception stays pending.
size_t next_statement_at(const Source& src) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    size_t at = std::string_view::npos;
    if (PyObject* s = value ? PyObject_Str(value) : nullptr) {
        Py_ssize_t n = 0;
        if (const char* c = PyUnicode_AsUTF8AndSize(s, &n)) {
            const std::string_view text(c, static_cast<size_t>(n));
            const std::string_view expected = "Expected: end of statement, found: ";
            const size_t e = text.find(expected);
            const size_t where = text.rfind(" at Line: ");
            int line = 0, column = 0;
            if (e != std::string_view::npos && where != std::string_view::npos && where > e &&
                std::sscanf(std::string(text.substr(where)).c_str(), " at Line: %d, Column: %d", &line, &column) == 2) {
                size_t k = src.offset(line, column);
                if (k != std::string_view::npos && !begins_statement(text.substr(e + expected.size(), where - e - expected.size()))) {
                    // the word before it, if the parser took that for an alias (`FROM t UPDATE u SET ...`)
                    size_t w = k;
                    while (w > 0 && std::strchr(" \t\r\n\f\v", src.text[w - 1])) --w;
                    size_t b = w;
                    while (b > 0 && ident_word(static_cast<unsigned char>(src.text[b - 1]))) --b;
                    k = b < w && begins_statement(src.text.substr(b, w - b)) ? b : std::string_view::npos;
                }
                if (k != std::string_view::npos && k > 0 && k < src.text.size()) at = k;
            }
        } else {
            PyErr_Clear();
        }
        Py_DECREF(s);
    } else {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    return at;
}

}  // namespace

const Dialect* dialect_of(PyObject* name) {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "dialect must be a str, not %.200s", Py_TYPE(name)->tp_name);
    const Dialect* d = find_dialect(str_view(name));
    if (!d) raise(PyExc_ValueError, "unknown dialect %R: expected one of %s", name, dialect_names().c_str());
    return d;
}

Ref analyse_text(State& state, Session& session, PyObject* sql, PyObject* name) {
    if (!PyUnicode_Check(sql)) raise(PyExc_TypeError, "sql must be a str, not %.200s", Py_TYPE(sql)->tp_name);
    if (name != Py_None && !PyUnicode_Check(name))
        raise(PyExc_TypeError, "name must be a str or None, not %.200s", Py_TYPE(name)->tp_name);
    const Dialect& d = *session.dialect;
    Ref parser_dialect = Ref::steal(PyUnicode_InternFromString(d.parser));  // the parser's closest dialect
    std::vector<Name> target;
    if (name != Py_None) target = object_name(name, d);
    if (session.busy)
        raise(PyExc_RuntimeError, "the session is analysing another text: a session serves one call at a time");
    session.busy = true;
    struct Free {
        bool& busy;
        ~Free() { busy = false; }
    } free_{session.busy};

    // Lone surrogates go through as they are: the parser rejects them.
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(sql, "utf-8", "surrogatepass"));
    std::string lf_text;
    const std::string_view text = lf_lines(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))), lf_text);
    Tables& tables = session.tables;
    tables.catalog = session.catalog.get();
    tables.resolve_name = state.resolve;

    // Every statement is read first, then resolved in order: a name given to
    // the text goes to its last query, wherever that is.
    std::deque<Statement> statements;  // they hold pointers into themselves: never moved
    int index = 0;
    Splitter splitter(text, d);
    Script script(text, d);  // blocks, control flow, procedures (scripts.cpp)
    std::vector<Unit> units;
    Ref parse = Ref::borrow(state.parse_sql);

    // One statement for the parser: `stray` when the piece's doubtful quote
    // turns out a stray one, `split` when the parser found the next
    // statement at `next` (nothing was added then), else `done`.
    // With `tentative`, a parser's failure adds nothing either: `failed`.
    enum class Outcome : std::uint8_t { done, stray, split, failed };
    size_t next = 0;
    auto analyse = [&](std::string_view body, Pos start, const Piece* doubt, bool tentative = false) {
        const CollectorPaused paused;  // while its tree is built, read and released
        Source src{body, start, &d, {}, &script.variables()};
        Ref piece_text = Ref::steal(PyUnicode_DecodeUTF8(body.data(), static_cast<Py_ssize_t>(body.size()), "surrogatepass"));
        PyObject* parsed_raw = nullptr;
        try {
            parsed_raw = call_parser(parse.get(), piece_text.get(), parser_dialect.get(), body, d);
        } catch (const ParseRefused& no_stack) {
            statements.push_back(refused(++index, start, MessageKind::too_deep, no_stack.why,
                                         no_stack.at ? src.absolute(no_stack.at.line, no_stack.at.column) : Pos{}));
            return Outcome::done;
        }
        if (!parsed_raw && doubt && parser_failure() && stray_quote(src, *doubt)) return Outcome::stray;
        if (!parsed_raw && parser_failure() && (next = next_statement_at(src)) != std::string_view::npos) {
            PyErr_Clear();
            return Outcome::split;
        }
        if (!parsed_raw && tentative && parser_failure()) {
            PyErr_Clear();
            return Outcome::failed;
        }
        Recovery recovered;  // a statement the parser rejects, rewritten (recovery.cpp)
        if (!parsed_raw && parser_failure())
            if ((parsed_raw = recover(src, parse.get(), piece_text.get(), d, parser_dialect.get(), recovered)))
                src.text = recovered.text;
        if (!parsed_raw) {
            if (!parser_failure()) raise_current();
            Ref exc = take_exception();
            Statement st;
            st.index = ++index;
            st.start = start;
            st.error = parse_error(src, exc.get());
            statements.push_back(std::move(st));
            return Outcome::done;
        }
        Ref parsed = Ref::steal(parsed_raw);
        if (!PyList_Check(parsed.get())) raise(PyExc_TypeError, "sqloxide.parse_sql returned %R", parsed.get());
        // Usually one statement; the parser may find more where the text
        // had no semicolon between them.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parsed.get()); ++i) {
            Statement& st = statements.emplace_back();
            st.index = ++index;
            st.start = start;
            if (!recovered.note.empty()) st.warn(MessageKind::recovered_statement, {}, recovered.note);
            try {
                read_statement(state.names, src, PyList_GET_ITEM(parsed.get(), i), st);
            } catch (const PyErrorSet&) {
                too_deep(st);
            }
        }
        return Outcome::done;  // the tree is read; nothing of it is kept
    };

    for (Piece piece; splitter.next(piece);) {
        if (PyErr_CheckSignals() < 0) raise_current();  // Ctrl-C between statements
        if (piece.unclosed) {
            statements.push_back(unclosed(++index, piece, d));
            continue;
        }
        units.clear();
        script.read(piece, units);
        for (size_t u = 0; u < units.size(); ++u) {
            if (PyErr_CheckSignals() < 0) raise_current();
            const Unit& unit = units[u];
            if (unit.kind == Unit::Kind::statement) {
                const std::string_view whole = unit.owner ? std::string_view(*unit.owner) : text;
                const bool holds_doubt = piece.doubtful && !unit.owner && unit.begin <= piece.doubtful->at &&
                                         piece.doubtful->at < unit.end;
                Outcome outcome = Outcome::failed;
                if (unit.line) {
                    // A unit cut at a line: with the next units while it
                    // fails alone (a few at most, so the cost stays linear)
                    size_t last = u;
                    for (;;) {
                        const std::string_view tried = whole.substr(unit.begin, units[last].end - unit.begin);
                        outcome = analyse(tried, unit.start, nullptr, true);
                        if (outcome != Outcome::failed) break;
                        if (last + 1 >= units.size() || !units[last + 1].line || units[last + 1].owner != unit.owner ||
                            last - u >= 8)
                            break;
                        ++last;
                    }
                    if (outcome == Outcome::done) {
                        u = last;  // the units it took are analysed
                        continue;
                    }
                    if (outcome != Outcome::failed && last > u) {  // rare: no erasing in the common case
                        units[u].end = units[last].end;
                        units.erase(units.begin() + static_cast<std::ptrdiff_t>(u + 1),
                                    units.begin() + static_cast<std::ptrdiff_t>(last + 1));
                    }
                }
                const Unit& unit_now = units[u];
                const std::string_view body = whole.substr(unit_now.begin, unit_now.end - unit_now.begin);
                if (outcome == Outcome::failed)
                    outcome = analyse(body, unit_now.start, holds_doubt ? &piece : nullptr);
                if (outcome == Outcome::done) continue;
                if (outcome == Outcome::split) {
                    // the statement up to the next one, then what the rest holds
                    Unit first = unit;
                    first.end = unit.begin + next;
                    while (first.end > first.begin && std::strchr(" \t\r\n\f\v", whole[first.end - 1])) --first.end;
                    Source at{body, unit.start, &d, {}, nullptr};
                    int line = 1, column = 1;
                    for (size_t k = 0; k < next; ++k) {
                        if (body[k] == '\n') {
                            ++line;
                            column = 1;
                        } else if ((static_cast<unsigned char>(body[k]) & 0xC0) != 0x80) {
                            ++column;
                        }
                    }
                    std::vector<Unit> rest{std::move(first)};
                    // the rest cut at its lines, since it may hold many more
                    script.read_lines(whole, unit.owner, unit.begin + next, unit.end, at.absolute(line, column), rest);
                    units.erase(units.begin() + static_cast<std::ptrdiff_t>(u));
                    units.insert(units.begin() + static_cast<std::ptrdiff_t>(u), std::make_move_iterator(rest.begin()),
                                 std::make_move_iterator(rest.end()));
                    --u;  // the first part is analysed next
                    continue;
                }
                splitter.cut(piece);  // the rest of the text is split anew after the cut
                statements.push_back(unclosed(++index, piece, d));
                break;
            }
            Statement& st = statements.emplace_back();
            st.index = ++index;
            st.start = unit.start;
            if (unit.kind == Unit::Kind::unclosed) {
                st.fail(MessageKind::unterminated, unit.start, unit.note);
            } else if (unit.kind == Unit::Kind::procedure) {
                st.kind = unit.function ? Kind::create_function : Kind::create_procedure;
                st.target = unit.name;
                if (!unit.note.empty()) st.warn(MessageKind::unsupported_construct, unit.start, unit.note);
            } else if (!unit.note.empty()) {
                st.warn(MessageKind::unsupported_construct, unit.start, unit.note);
            }
        }
    }
    if (!target.empty()) name_last_query(statements, target, name);

    Ref out = Ref::steal(PyList_New(0));
    for (Statement& st : statements) {
        if (PyErr_CheckSignals() < 0) raise_current();
        if (st.error.empty()) {
            tables.attach(st, d);  // the catalog's own errors go on up
            try {
                resolve_statement(st, d);
                tables.record(st);
            } catch (const PyErrorSet&) {
                too_deep(st);
            } catch (StatementRefused& limit) {  // a limit of the engine's (max_columns)
                refuse(st, std::move(limit.why));
            }
        }
        append(state, out.get(), st);
        st = Statement();  // its model is of no more use
    }
    return out;
}

// ------------------------------------------------------------ the Python type

namespace {

struct SessionObject {
    PyObject_HEAD
    Session* session;
};

Session& session_of(PyObject* self) { return *reinterpret_cast<SessionObject*>(self)->session; }

State& state_for(PyTypeObject* defining_class) {
    return *static_cast<State*>(PyType_GetModuleState(defining_class));
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"dialect", "catalog"};
        static constexpr Signature sig = signature("Session", false, names);
        PyObject* bound[2];
        bind_tuple_args(sig, args, kwargs, bound);
        const Dialect* d = dialect_of(bound[0]);
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        auto* obj = reinterpret_cast<SessionObject*>(self.get());
        obj->session = new Session{d, Ref::borrow(bound[0]), Ref::borrow(bound[1]), {}, false};
        return self.release();
    });
}

PyObject* session_lineage(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"sql", "name"};
        static constexpr Signature sig = signature("Session.lineage", true, names, 1);
        PyObject* bound[2];
        bind_args(sig, args, nargs, kwnames, bound);
        // keep the session alive whatever the catalog does during the call
        Ref keep = Ref::borrow(self);
        return analyse_text(state_for(defining_class), session_of(self), bound[0], bound[1] ? bound[1] : Py_None)
            .release();
    });
}

PyObject* session_tables(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Ref out = Ref::steal(PyDict_New());
        for (const KnownTable* t : session_of(self).tables.in_order()) {
            Ref columns = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(t->columns.size())));
            for (size_t i = 0; i < t->columns.size(); ++i)
                PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i),
                                 Ref::steal(PyUnicode_DecodeUTF8(t->columns[i].data(),
                                                                 static_cast<Py_ssize_t>(t->columns[i].size()),
                                                                 "surrogatepass"))
                                     .release());
            Ref key = Ref::steal(
                PyUnicode_DecodeUTF8(t->name.data(), static_cast<Py_ssize_t>(t->name.size()), "surrogatepass"));
            check(PyDict_SetItem(out.get(), key.get(), columns.get()));
        }
        return out.release();
    });
}

int session_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (Session* s = reinterpret_cast<SessionObject*>(self)->session) {
        Py_VISIT(s->catalog.get());
        Py_VISIT(s->dialect_name.get());
    }
    return 0;
}

int session_clear(PyObject* self) {
    if (Session* s = reinterpret_cast<SessionObject*>(self)->session) {
        if (s->busy) return 0;  // a call is under way and holds them
        s->catalog = Ref::none();
        s->tables.catalog = nullptr;
    }
    return 0;
}

void session_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete std::exchange(reinterpret_cast<SessionObject*>(self)->session, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef session_methods[] = {
    {"lineage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(session_lineage)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "lineage(sql, name=None) -> list of Statement: the statements of one text, with what earlier texts of the "
     "session created"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    {"tables", session_tables, nullptr, "the tables created or filled so far: {name: (column, ...)}, oldest first",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(session_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(session_clear)},
    {Py_tp_methods, session_methods},
    {Py_tp_getset, session_getset},
    {Py_tp_doc, const_cast<char*>("Session(dialect, catalog): the engine's state across texts")},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "keldra_lineage._engine.Session",
    sizeof(SessionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    session_slots,
};

}  // namespace

PyTypeObject* make_session_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromModuleAndSpec(module, &session_spec, nullptr)).release());
}

}  // namespace keldra::engine
