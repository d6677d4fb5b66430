#include "query/operators.h"

#include <array>
#include <utility>

namespace quarn {

namespace {

constexpr std::array<std::pair<std::string_view, QueryOperator>, 6> query_keys{{
    {"$eq", QueryOperator::Equal},
    {"$ne", QueryOperator::NotEqual},
    {"$gt", QueryOperator::GreaterThan},
    {"$gte", QueryOperator::GreaterThanEqual},
    {"$lt", QueryOperator::LessThan},
    {"$lte", QueryOperator::LessThanEqual},
}};

constexpr std::array<std::pair<std::string_view, UpdateOperator>, 6> update_keys{{
    {"$set", UpdateOperator::Set},
    {"$add", UpdateOperator::Add},
    {"$substract", UpdateOperator::Substract},
    {"$inc", UpdateOperator::Increment},
    {"$dec", UpdateOperator::Decrement},
    {"$delete", UpdateOperator::Delete},
}};

template <typename Op, std::size_t N>
std::optional<Op> find_operator(const std::array<std::pair<std::string_view, Op>, N>& table,
                                std::string_view piece) noexcept {
    for (const auto& [key, op] : table)
        if (key == piece) return op;
    return std::nullopt;
}

}  // namespace

std::string_view operator_name(QueryOperator op) noexcept {
    switch (op) {
        case QueryOperator::Equal: return "Equal";
        case QueryOperator::NotEqual: return "NotEqual";
        case QueryOperator::GreaterThan: return "GreaterThan";
        case QueryOperator::GreaterThanEqual: return "GreaterThanEqual";
        case QueryOperator::LessThan: return "LessThan";
        case QueryOperator::LessThanEqual: return "LessThanEqual";
    }
    return "?";
}

std::string_view operator_name(UpdateOperator op) noexcept {
    switch (op) {
        case UpdateOperator::Set: return "Set";
        case UpdateOperator::Add: return "Add";
        case UpdateOperator::Substract: return "Substract";
        case UpdateOperator::Increment: return "Increment";
        case UpdateOperator::Decrement: return "Decrement";
        case UpdateOperator::Delete: return "Delete";
    }
    return "?";
}

std::optional<QueryOperator> OperatorSyntax<QueryOperator>::lookup(std::string_view piece) noexcept {
    return find_operator(query_keys, piece);
}

std::optional<UpdateOperator> OperatorSyntax<UpdateOperator>::lookup(std::string_view piece) noexcept {
    return find_operator(update_keys, piece);
}

}  // namespace quarn
