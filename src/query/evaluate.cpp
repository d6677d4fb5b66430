// Whether a document matches a query: every term must hold.
#include "query/query.h"

#include <string>

namespace quarn {

namespace {

// The document value is the left side, the operand the right side.
bool compare(QueryOperator op, double found, double operand) noexcept {
    switch (op) {
        case QueryOperator::GreaterThan: return found > operand;
        case QueryOperator::GreaterThanEqual: return found >= operand;
        case QueryOperator::LessThan: return found < operand;
        case QueryOperator::LessThanEqual: return found <= operand;
        default: return false;
    }
}

}  // namespace

template <typename Op>
Result<bool> QueryEngine<Op>::execute(const Value& document) const
    requires std::same_as<Op, QueryOperator>
{
    for (const Query<QueryOperator>& term : queries) {
        if (term.fields.empty()) return Error::panic("a query term has an empty field path");
        const Value* found = term.fields.resolve(document);
        if (found == nullptr) return false;
        switch (term.operator_) {
            case QueryOperator::Equal:
                if (!(*found == term.value)) return false;
                break;
            case QueryOperator::NotEqual:
                if (*found == term.value) return false;
                break;
            default:
                if (!found->is_number() || !term.value.is_number())
                    return Error::value_error("Malformed query, non-numeric value found for operator " +
                                              std::string(operator_name(term.operator_)));
                if (!compare(term.operator_, found->to_double(), term.value.to_double())) return false;
        }
    }
    return true;
}

template Result<bool> QueryEngine<QueryOperator>::execute(const Value&) const;

}  // namespace quarn
