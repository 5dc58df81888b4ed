// Dialects and identifiers: how names compare and how they are reported.
#include "engine.hpp"

namespace keldra::engine {

namespace {
// name, reported folding, quoted identifiers compare case-insensitively,
// backslash escapes in strings, '#' comments, [bracket] identifiers
constexpr Dialect dialects[] = {
    {"ansi", Folding::keep, false, false, false, false},
    {"bigquery", Folding::keep, true, true, true, false},
    {"clickhouse", Folding::keep, false, true, false, false},
    {"databricks", Folding::keep, true, true, false, false},
    {"duckdb", Folding::keep, false, false, false, false},
    {"generic", Folding::keep, false, false, false, false},
    {"hive", Folding::keep, true, true, false, false},
    {"mssql", Folding::keep, true, false, false, true},
    {"mysql", Folding::keep, true, true, true, false},
    {"postgres", Folding::lower, false, false, false, false},
    {"redshift", Folding::lower, false, false, false, false},
    {"snowflake", Folding::upper, false, true, false, false},
    {"sqlite", Folding::keep, true, false, false, true},
};
}  // namespace

const Dialect* find_dialect(std::string_view name) {
    for (const Dialect& d : dialects)
        if (name == d.name) return &d;
    return nullptr;
}

std::string dialect_names() {
    std::string out;
    for (const Dialect& d : dialects) {
        if (!out.empty()) out += ", ";
        out += d.name;
    }
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

namespace {
constexpr unsigned char fold(char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}
}  // namespace

// FNV-1a over the folded bytes.
size_t FoldedHash::operator()(std::string_view s) const noexcept {
    std::uint64_t h = 14695981039346656037ull;
    for (const char c : s) h = (h ^ fold(c)) * 1099511628211ull;
    return static_cast<size_t>(h);
}

bool FoldedEqual::operator()(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

void ColumnList::reserve(size_t n) {
    names_.reserve(n);
    size_t want = 16;
    while (want < 2 * n) want *= 2;
    if (want <= slots_.size()) return;
    slots_.assign(want, 0);
    for (std::uint32_t i = 0; i < names_.size(); ++i) insert(i);
}

void ColumnList::insert(std::uint32_t position) {
    const size_t mask = slots_.size() - 1;
    const std::string& name = names_[position];
    for (size_t i = FoldedHash{}(name) & mask;; i = (i + 1) & mask) {
        if (!slots_[i]) {
            slots_[i] = position + 1;
            return;
        }
        if (FoldedEqual{}(names_[slots_[i] - 1], name)) return;  // the first keeps the name
    }
}

void ColumnList::add(std::string name) {
    if (2 * (names_.size() + 1) > slots_.size()) reserve(names_.size() + 1 > 8 ? 2 * names_.size() : 8);
    names_.push_back(std::move(name));
    insert(static_cast<std::uint32_t>(names_.size() - 1));
}

const std::string* ColumnList::find(std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const size_t mask = slots_.size() - 1;
    for (size_t i = FoldedHash{}(name) & mask; slots_[i]; i = (i + 1) & mask)
        if (FoldedEqual{}(names_[slots_[i] - 1], name)) return &names_[slots_[i] - 1];
    return nullptr;
}

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// Unquoted identifiers compare case-insensitively; quoted ones exactly, as the
// dialect folds the unquoted ones (Snowflake folds to upper case, so "ID"
// matches id there while "id" does not).  Dialects whose identifiers are
// case-insensitive even when quoted compare every name folded.
Name make_name(std::string text, bool quoted, const Dialect& d) {
    Name n;
    if (!quoted || d.quoted_insensitive)
        n.key = ascii_lower(text);
    else if (d.report == Folding::upper)
        n.key = ascii_upper(text) == text ? ascii_lower(text) : text + "\x01";
    else
        n.key = ascii_lower(text) == text ? text : text + "\x01";
    n.text = std::move(text);
    n.quoted = quoted;
    return n;
}

std::string reported(const Name& n, const Dialect& d) {
    if (n.quoted) return n.text;
    switch (d.report) {
        case Folding::lower: return ascii_lower(n.text);
        case Folding::upper: return ascii_upper(n.text);
        default: return n.text;
    }
}

}  // namespace keldra::engine
