// Warnings and errors as data: what went wrong (a short stable kind), where
// (a position in the whole text) and the message.  The list of kinds is here
// and only here; the module exports it as keldra_lineage.MESSAGE_KINDS, and
// the command line's summaries and the lineage store count by these names.
#pragma once

#include <cstdint>
#include <string>

namespace keldra::engine {

// X(name): every kind a warning or an error can have.  Append new kinds at
// the end of their group; a kind is never renamed once released.
#define KELDRA_MESSAGE_KINDS(X)                                                              \
    /* warnings of the engine */                                                             \
    X(ambiguous_column)      /* a column more than one source in scope has */               \
    X(unattributed_column)   /* a column no source in scope has */                          \
    X(unknown_column)        /* a column missing from the known columns of its source */    \
    X(unknown_qualifier)     /* a qualifier that names no source in scope */                \
    X(unexpanded_star)       /* a star over a source whose columns are not known */          \
    X(unsupported_construct) /* a clause the reader does not know */                         \
    X(branch_width)          /* set operation branches with different numbers of columns */ \
    X(target_width)          /* a target with another number of columns than the query */   \
    X(no_defining_query)     /* a named text (a dbt model) without a query to define it */   \
    X(recovered_statement)   /* sqloxide rejected it; read as another parser rewrote it */   \
    /* errors of the engine */                                                               \
    X(parse_error)           /* the parser rejected the statement */                         \
    X(too_deep)              /* nested too deeply to analyse */                              \
    X(unterminated)          /* a quote or block comment that is never closed */             \
    X(too_wide)              /* more output columns than the engine keeps (max_columns) */   \
    /* made by the Python layer (inputs, query logs, the runner) */                          \
    X(unreadable_input)      /* a file or log that cannot be read */                         \
    X(missing_query)         /* a query-log row without a query text */                      \
    X(engine_fault)          /* the analysis of an input failed as a whole */               \
    X(worker_died)           /* the process analysing the statement died (a crash, a kill) */

enum class MessageKind : std::uint8_t {
#define KELDRA_KIND_ENUM(name) name,
    KELDRA_MESSAGE_KINDS(KELDRA_KIND_ENUM)
#undef KELDRA_KIND_ENUM
};

inline constexpr const char* message_kind_names[] = {
#define KELDRA_KIND_NAME(name) #name,
    KELDRA_MESSAGE_KINDS(KELDRA_KIND_NAME)
#undef KELDRA_KIND_NAME
};
inline constexpr int message_kind_count = sizeof(message_kind_names) / sizeof(message_kind_names[0]);

}  // namespace keldra::engine
