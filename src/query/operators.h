// The operators of query terms and update terms. Their enumerator names are
// also their text in messages and trace lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarn {

enum class QueryOperator : std::uint8_t {
    Equal,
    NotEqual,
    GreaterThan,
    GreaterThanEqual,
    LessThan,
    LessThanEqual,
};

enum class UpdateOperator : std::uint8_t {
    Set,
    Add,
    Substract,
    Increment,
    Decrement,
    Delete,
};

std::string_view operator_name(QueryOperator op) noexcept;
std::string_view operator_name(UpdateOperator op) noexcept;
// The key that spells op in a query: "$gte".
std::string_view operator_key(QueryOperator op) noexcept;

// What differs between the two kinds of term while parsing.
template <typename Op>
struct OperatorSyntax;

template <>
struct OperatorSyntax<QueryOperator> {
    static constexpr QueryOperator default_operator = QueryOperator::Equal;
    static constexpr std::string_view unknown_message = "Unknown query operator found: ";
    // The operator spelled by a whole "$" path piece, if any.
    static std::optional<QueryOperator> lookup(std::string_view piece) noexcept;
};

template <>
struct OperatorSyntax<UpdateOperator> {
    static constexpr UpdateOperator default_operator = UpdateOperator::Set;
    static constexpr std::string_view unknown_message = "Unknown update query operator found: ";
    static std::optional<UpdateOperator> lookup(std::string_view piece) noexcept;
};

// Notes for an unknown operator piece of a query (update false) or of an
// update object, one a line: the one probably meant, or how to do without it,
// then the operators there are.
std::string unknown_operator_advice(std::string_view piece, bool update);

}  // namespace quarn
