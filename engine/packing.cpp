// Statements packed into bytes and back (see packing.hpp).
//
// The layout, every integer little-endian:
//
//   "KLS1", u32 count, count statements
//   statement: i64 index, i64 line, str kind, str target (or none),
//              u32 count, count columns (str name, sources),
//              sources (the indirect ones),
//              u32 count, count messages (the warnings), message or none (the error)
//   sources:   u32 count, count times: str table (or none), str column, str type, str subtype
//   message:   str kind, i64 line (0: none), i64 column (0: none), str message
//   str:       u32 n: 0xFFFFFFFF is none; with the top bit set, the string
//              numbered n & 0x7FFFFFFF among those written before; else n
//              bytes of UTF-8 (lone surrogates kept) follow
//
// A string that recurs (a table's name, a type) is written once.  Unpacking
// checks every length against what is left, so damaged bytes are a
// ValueError, never a read past the end.
#include "packing.hpp"

#include "results.hpp"
#include "session.hpp"

#include "keldra/guard.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace keldra::engine {

namespace {

constexpr char magic[4] = {'K', 'L', 'S', '1'};
constexpr uint32_t none_tag = 0xFFFFFFFFu;
constexpr uint32_t seen_bit = 0x80000000u;

const ResultTypes& types_of(PyObject* module) { return state_of(module)->types; }

class Packer {
public:
    explicit Packer(const ResultTypes& t) : t_(t) { out_.append(magic, sizeof magic); }

    void statements(PyObject* tuple) {
        const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
        u32(static_cast<uint32_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) statement(PyTuple_GET_ITEM(tuple, i));
    }

    Ref bytes() const { return Ref::steal(PyBytes_FromStringAndSize(out_.data(), static_cast<Py_ssize_t>(out_.size()))); }

private:
    // Every object below is an item of a tuple held by the caller's tuple of
    // statements (tuples cannot change), or a value this packer holds.
    void statement(PyObject* st) {
        item_of(st, t_.statement, 8, "statement");
        i64(integer(PyTuple_GET_ITEM(st, 0), "Statement.index"));
        i64(integer(PyTuple_GET_ITEM(st, 1), "Statement.line"));
        str(PyTuple_GET_ITEM(st, 2), "Statement.kind");
        str_or_none(PyTuple_GET_ITEM(st, 3), "Statement.target");
        PyObject* columns = tuple_of(PyTuple_GET_ITEM(st, 4), "Statement.columns");
        u32(static_cast<uint32_t>(PyTuple_GET_SIZE(columns)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
            PyObject* c = PyTuple_GET_ITEM(columns, i);
            item_of(c, t_.column, 2, "column");
            str(PyTuple_GET_ITEM(c, 0), "Column.name");
            sources(PyTuple_GET_ITEM(c, 1), "Column.sources");
        }
        sources(PyTuple_GET_ITEM(st, 5), "Statement.indirect");
        PyObject* warnings = tuple_of(PyTuple_GET_ITEM(st, 6), "Statement.warnings");
        u32(static_cast<uint32_t>(PyTuple_GET_SIZE(warnings)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(warnings); ++i) message(PyTuple_GET_ITEM(warnings, i));
        PyObject* error = PyTuple_GET_ITEM(st, 7);
        if (error == Py_None) {
            u32(none_tag);
        } else {
            u32(0);
            message(error);
        }
    }

    void sources(PyObject* o, const char* what) {
        PyObject* srcs = tuple_of(o, what);
        u32(static_cast<uint32_t>(PyTuple_GET_SIZE(srcs)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(srcs); ++i) {
            PyObject* s = PyTuple_GET_ITEM(srcs, i);
            item_of(s, t_.source, 4, "source");
            str_or_none(PyTuple_GET_ITEM(s, 0), "Source.table");
            str(PyTuple_GET_ITEM(s, 1), "Source.column");
            str(PyTuple_GET_ITEM(s, 2), "Source.type");
            str(PyTuple_GET_ITEM(s, 3), "Source.subtype");
        }
    }

    // A Message by its parts; they are held until the end, so that no string
    // this packer has numbered is freed and its address given to another.
    void message(PyObject* m) {
        if (!PyObject_TypeCheck(m, reinterpret_cast<PyTypeObject*>(t_.message)))
            raise(PyExc_TypeError, "a warning or error must be a Message, not %.200s", Py_TYPE(m)->tp_name);
        const char* names[] = {"kind", "line", "column", "message"};
        PyObject* parts[4];
        for (int i = 0; i < 4; ++i) {
            held_.push_back(Ref::steal(PyObject_GetAttrString(m, names[i])));
            parts[i] = held_.back().get();
        }
        str(parts[0], "Message.kind");
        i64(parts[1] == Py_None ? 0 : integer(parts[1], "Message.line"));
        i64(parts[2] == Py_None ? 0 : integer(parts[2], "Message.column"));
        str(parts[3], "Message.message");
    }

    void item_of(PyObject* o, PyTypeObject* type, Py_ssize_t size, const char* what) {
        if (!Py_IS_TYPE(o, type) || PyTuple_GET_SIZE(o) != size)
            raise(PyExc_TypeError, "expected a %s, not %.200s", what, Py_TYPE(o)->tp_name);
    }

    static PyObject* tuple_of(PyObject* o, const char* what) {
        if (!PyTuple_Check(o)) raise(PyExc_TypeError, "%s must be a tuple, not %.200s", what, Py_TYPE(o)->tp_name);
        return o;
    }

    static long long integer(PyObject* o, const char* what) {
        if (!PyLong_Check(o)) raise(PyExc_TypeError, "%s must be an int, not %.200s", what, Py_TYPE(o)->tp_name);
        const long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) raise_current();
        return v;
    }

    void str_or_none(PyObject* s, const char* what) {
        if (s == Py_None)
            u32(none_tag);
        else
            str(s, what);
    }

    void str(PyObject* s, const char* what) {
        if (!PyUnicode_Check(s)) raise(PyExc_TypeError, "%s must be a str, not %.200s", what, Py_TYPE(s)->tp_name);
        auto [at, fresh] = numbers_.try_emplace(s, static_cast<uint32_t>(numbers_.size()));
        if (!fresh) {
            u32(seen_bit | at->second);
            return;
        }
        if (numbers_.size() >= seen_bit) raise(PyExc_OverflowError, "too many strings to pack");
        Ref encoded;
        const std::string_view utf8 = utf8_of(s, encoded);
        if (utf8.size() >= seen_bit) raise(PyExc_OverflowError, "a string too long to pack");
        u32(static_cast<uint32_t>(utf8.size()));
        out_.append(utf8);
    }

    void u32(uint32_t v) {
        char b[4];
        for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        out_.append(b, 4);
    }

    void i64(long long value) {
        const auto v = static_cast<uint64_t>(value);
        char b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        out_.append(b, 8);
    }

    const ResultTypes& t_;
    std::string out_;
    std::unordered_map<PyObject*, uint32_t> numbers_;
    std::vector<Ref> held_;
};

class Unpacker {
public:
    Unpacker(const ResultTypes& t, const char* data, size_t size) : t_(t), begin_(data), p_(data), end_(data + size) {}

    Ref statements() {
        if (left() < sizeof magic || std::memcmp(p_, magic, sizeof magic) != 0) damaged("not packed statements");
        p_ += sizeof magic;
        const uint32_t n = count(8);
        std::vector<Ref> items;
        items.reserve(n);
        for (uint32_t i = 0; i < n; ++i) items.push_back(statement());
        if (p_ != end_) damaged("bytes after the last statement");
        return list_of(items);
    }

private:
    Ref statement() {
        Ref index = Ref::steal(PyLong_FromLongLong(i64()));
        Ref line = Ref::steal(PyLong_FromLongLong(i64()));
        Ref kind = str(true);
        Ref target = str_or_none(false);
        const uint32_t n = count(8);
        std::vector<Ref> items;
        items.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            Ref name = str(false);
            items.push_back(make(t_.column, {std::move(name), sources()}));
        }
        Ref columns = tuple_of(items);
        Ref indirect = sources();
        const uint32_t w = count(24);
        items.clear();
        for (uint32_t i = 0; i < w; ++i) items.push_back(message());
        Ref warnings = tuple_of(items);
        Ref error;
        const uint32_t has_error = u32();
        if (has_error == none_tag)
            error = Ref::none();
        else if (has_error == 0)
            error = message();
        else
            damaged("an error that is neither none nor a message");
        return make(t_.statement, {std::move(index), std::move(line), std::move(kind), std::move(target),
                                   std::move(columns), std::move(indirect), std::move(warnings), std::move(error)});
    }

    Ref sources() {
        const uint32_t n = count(16);
        std::vector<Ref> items;
        items.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            Ref table = str_or_none(false);
            Ref column = str(false);
            Ref type = str(true);
            Ref subtype = str(true);
            items.push_back(make(t_.source, {std::move(table), std::move(column), std::move(type), std::move(subtype)}));
        }
        return tuple_of(items);
    }

    // Message(kind, line, column, message), as the engine makes them (0 is none).
    Ref message() {
        Ref kind = str(true);
        Ref line = Ref::steal(PyLong_FromLongLong(i64()));
        Ref column = Ref::steal(PyLong_FromLongLong(i64()));
        Ref body = str(false);
        Ref type = Ref::borrow(t_.message);
        return call(type.get(), kind.get(), line.get(), column.get(), body.get());
    }

    Ref str_or_none(bool intern) {
        if (peek_u32() == none_tag) {
            p_ += 4;
            return Ref::none();
        }
        return str(intern);
    }

    // A name from a small set (a kind, a type) is interned: it is then the
    // very string the engine's own results hold.
    Ref str(bool intern) {
        const uint32_t n = u32();
        if (n == none_tag) damaged("none where a string must be");
        if (n & seen_bit) {
            const uint32_t k = n & ~seen_bit;
            if (k >= strings_.size()) damaged("a string numbered before it was written");
            return strings_[k];
        }
        if (n > left()) damaged("a string longer than what is left");
        PyObject* s = text(std::string_view(p_, n)).release();
        p_ += n;
        if (intern) PyUnicode_InternInPlace(&s);
        Ref owned = Ref::steal(s);
        strings_.push_back(owned);
        return owned;
    }

    // A count of items each at least `least` bytes long: no more than fit in
    // what is left, so that damaged bytes cannot ask for a vast tuple.
    uint32_t count(size_t least) {
        const uint32_t n = u32();
        if (static_cast<size_t>(n) > left() / least) damaged("more items than bytes left for them");
        return n;
    }

    uint32_t peek_u32() {
        if (left() < 4) damaged("the bytes end inside a number");
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(p_[i])) << (8 * i);
        return v;
    }

    uint32_t u32() {
        const uint32_t v = peek_u32();
        p_ += 4;
        return v;
    }

    int64_t i64() {
        if (left() < 8) damaged("the bytes end inside a number");
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(p_[i])) << (8 * i);
        p_ += 8;
        return static_cast<int64_t>(v);
    }

    size_t left() const { return static_cast<size_t>(end_ - p_); }

    [[noreturn]] void damaged(const char* what) const {
        raise(PyExc_ValueError, "damaged packed statements: %s (at byte %zd)", what, static_cast<Py_ssize_t>(p_ - begin_));
    }

    const ResultTypes& t_;
    const char* begin_;
    const char* p_;
    const char* end_;
    std::vector<Ref> strings_;
};

}  // namespace

PyObject* pack_statements_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 1) raise(PyExc_TypeError, "pack_statements() takes 1 argument (statements)");
        // a tuple of our own: nothing the packing runs can change what it holds
        Ref statements = Ref::steal(PySequence_Tuple(args[0]));
        Packer packer(types_of(module));
        packer.statements(statements.get());
        return packer.bytes().release();
    });
}

PyObject* unpack_statements_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 1) raise(PyExc_TypeError, "unpack_statements() takes 1 argument (data)");
        if (!PyBytes_Check(args[0]))
            raise(PyExc_TypeError, "data must be bytes, not %.200s", Py_TYPE(args[0])->tp_name);
        Ref data = Ref::borrow(args[0]);
        Unpacker unpacker(types_of(module), PyBytes_AS_STRING(data.get()), static_cast<size_t>(PyBytes_GET_SIZE(data.get())));
        return unpacker.statements().release();
    });
}

}  // namespace keldra::engine
