#include "query/operators.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

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

// Operators a newcomer may reach for that quarn does not have, with how to do the same here.
struct Missing {
    std::string_view key;
    std::string_view how;
};

constexpr std::array<Missing, 7> missing_query_operators{{
    {"$in", "quarn has no $in: run one find per value and join the results, or find without a query and "
            "filter in Python"},
    {"$nin", "quarn has no $nin: $ne excludes one value; for several, find without a query and filter in Python"},
    {"$or", "quarn has no $or: run one find per alternative and join the results (a document matching two "
            "comes back twice), or find without a query and filter in Python"},
    {"$and", "quarn has no $and: every term of a query must hold already; a second term on the same path "
             "takes a dotted key, e.g. {\"age\": {\"$gte\": 18}, \"age.$lt\": 65}"},
    {"$not", "quarn has no $not: use the opposite operator ($ne for an equality, $lt for $gte, ...), or filter "
             "in Python; a document without the path matches neither"},
    {"$exists", "quarn has no $exists: a document without the path matches no term on it; to find those that "
                "have it or lack it, find without a query and filter in Python"},
    {"$regex", "quarn has no $regex: strings compare only by $eq and $ne; find without a query and filter in "
               "Python with re"},
}};

constexpr std::array<Missing, 2> missing_update_operators{{
    {"$push", "quarn has no $push: $set replaces a member's list whole, so read it, extend it in Python and "
              "$set the new list; no update adds a member: to add one, find the documents, change them in "
              "Python, then drop_collection, insert_many and write"},
    {"$unset", "quarn has no $unset: $delete removes a member"},
}};

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Levenshtein distance, ignoring ASCII case.
std::size_t distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Whether the shorter of a and b begins the longer, ignoring case; "$" and
// one letter are too little to tell ("$d" begins both "$dec" and "$delete").
bool begins_other(std::string_view a, std::string_view b) noexcept {
    const std::string_view& shorter = a.size() < b.size() ? a : b;
    const std::string_view& longer = a.size() < b.size() ? b : a;
    if (shorter.size() < 3) return false;
    for (std::size_t i = 0; i < shorter.size(); ++i)
        if (lower(shorter[i]) != lower(longer[i])) return false;
    return true;
}

// The keys of table that piece probably meant, the nearest by edit distance:
// among those it begins or that begin it ("$del", "$increment"), else among
// those within one edit (two for longer pieces).
template <typename Op, std::size_t N>
std::vector<std::string_view> meant(const std::array<std::pair<std::string_view, Op>, N>& table,
                                    std::string_view piece) {
    std::vector<std::string_view> found;
    for (bool by_prefix : {true, false}) {
        std::size_t best = by_prefix ? std::numeric_limits<std::size_t>::max() : (piece.size() >= 6 ? 2 : 1);
        for (const auto& entry : table) {
            if (by_prefix && !begins_other(piece, entry.first)) continue;
            const std::size_t d = distance(piece, entry.first);
            if (d > best) continue;
            if (d < best) found.clear();
            best = d;
            found.push_back(entry.first);
        }
        if (!found.empty()) return found;
    }
    return found;
}

// "a, b and c"
template <typename Keys>
std::string listed(const Keys& keys, std::string_view last_joint) {
    std::string out;
    std::size_t i = 0;
    for (const auto& key : keys) {
        if (i > 0) out += i + 1 == std::size(keys) ? last_joint : std::string_view(", ");
        out += key;
        ++i;
    }
    return out;
}

template <typename Op, std::size_t N>
std::vector<std::string_view> keys_of(const std::array<std::pair<std::string_view, Op>, N>& table) {
    std::vector<std::string_view> keys;
    for (const auto& entry : table) keys.push_back(entry.first);
    return keys;
}

template <std::size_t N>
std::string_view how_without(const std::array<Missing, N>& table, std::string_view piece) noexcept {
    for (const Missing& missing : table)
        if (missing.key == piece) return missing.how;
    return {};
}

}  // namespace

std::string_view operator_key(QueryOperator op) noexcept {
    for (const auto& [key, entry] : query_keys)
        if (entry == op) return key;
    return "?";
}

std::string unknown_operator_advice(std::string_view piece, bool update) {
    std::string first;
    if (update && find_operator(query_keys, piece)) {
        first = std::string(piece) + " is a query operator: the query is update's third argument, after the update";
    } else if (!update && find_operator(update_keys, piece)) {
        first = std::string(piece) + " is an update operator: it belongs in update's second argument, not in a query";
    } else if (std::string_view how = update ? how_without(missing_update_operators, piece)
                                             : how_without(missing_query_operators, piece);
               !how.empty()) {
        first = how;
    } else {
        auto guesses = update ? meant(update_keys, piece) : meant(query_keys, piece);
        if (!guesses.empty()) first = "did you mean " + listed(guesses, " or ") + "?";
    }
    std::string all = update ? "the update operators are " + listed(keys_of(update_keys), " and ")
                             : "the query operators are " + listed(keys_of(query_keys), " and ");
    return first.empty() ? all : first + "\n" + all;
}

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
