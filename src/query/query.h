// Parsed query and update objects: ordered lists of terms, each naming a
// field path, an operator and an operand.
#pragma once

#include <concepts>
#include <functional>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "json/reader.h"
#include "json/value.h"
#include "query/field_path.h"
#include "query/operators.h"

namespace quarn {

// Updates may not make a document nest deeper than a document may be: its
// collection file, one level more, must stay within what the reader accepts.
inline constexpr std::size_t max_updated_nesting = max_document_nesting;

// One term. Op is QueryOperator or UpdateOperator.
template <typename Op>
struct Query {
    FieldPath fields;  // may be empty: the term then fails when evaluated
    Value value;       // the operand, a copy owned by the term
    Op operator_;
};

// Receives the trace lines of each update term as it is built (the binding
// writes them to standard output); the query language itself writes nothing.
using TraceSink = std::function<void(std::string_view lines)>;

template <typename Op>
class QueryEngine {
public:
    std::vector<Query<Op>> queries;  // in the key order of the parsed object

    // One term per entry of object (an object value), in key order. Building
    // an update engine hands two trace lines per term to trace, if given, as
    // each term is built (so the terms before a faulty one are traced).
    // Fails with a PanicException error carrying the parse message.
    static Result<QueryEngine> parse(const Value& object, const TraceSink* trace = nullptr);

    // Whether document (an object) satisfies every term. ValueError for an
    // ordering operator meeting a non-number; PanicException for a reached
    // term with an empty path. Allocates nothing unless it fails.
    Result<bool> execute(const Value& document) const
        requires std::same_as<Op, QueryOperator>;

    // After execute(document) failed with error: adds the notes (as advice)
    // that tell which value made it fail, naming the document as
    // collection[position]. Kept out of execute, which stays as fast as the
    // success path needs.
    void explain_failure(Error& error, const Value& document, std::string_view collection,
                         std::size_t position) const
        requires std::same_as<Op, QueryOperator>;

    // Applies every term to document (an object) in place. Fails only on a
    // term with an empty path, after the terms before it were applied.
    Status execute(Value& document) const
        requires std::same_as<Op, UpdateOperator>;

    // The positions of the Set terms that leave a document deeper than
    // max_updated_nesting wherever they take effect: the member at the end of
    // a path of n pieces sits at level n + 1, so the levels of its new value
    // end at level n plus the operand's nesting.
    std::vector<std::size_t> too_deep_sets() const
        requires std::same_as<Op, UpdateOperator>;

    // Whether the term at position changes document when its turn comes, the
    // terms before it applied: its member is there then. Each earlier Set or
    // Delete of a member on its path counts where that member is there at its
    // own turn; the path is then followed into the value a Set puts in.
    // document itself is left as it is.
    bool takes_effect(std::size_t position, const Value& document) const
        requires std::same_as<Op, UpdateOperator>;

    bool has_empty_path() const noexcept {
        for (const Query<Op>& term : queries)
            if (term.fields.empty()) return true;
        return false;
    }
};

}  // namespace quarn
