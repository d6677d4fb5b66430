// Applying update terms to a document in place.
#include <algorithm>
#include <cmath>

#include "query/query.h"

namespace quarn {

namespace {

// Arithmetic results are floats; an overflow to infinity is stored as null.
Value arithmetic_result(double number) noexcept {
    return std::isfinite(number) ? Value::floating(number) : Value::null();
}

// A term that does not fit the member (wrong kinds) leaves it unchanged.
void apply(const Query<UpdateOperator>& term, Value& member) {
    const Value& operand = term.value;
    switch (term.operator_) {
        case UpdateOperator::Set: member = operand; return;
        case UpdateOperator::Add:
            if (member.is_number() && operand.is_number())
                member = arithmetic_result(member.to_double() + operand.to_double());
            return;
        case UpdateOperator::Substract:
            if (member.is_number() && operand.is_number())
                member = arithmetic_result(member.to_double() - operand.to_double());
            return;
        case UpdateOperator::Increment:
            if (member.is_number()) member = arithmetic_result(member.to_double() + 1.0);
            return;
        case UpdateOperator::Decrement:
            if (member.is_number()) member = arithmetic_result(member.to_double() - 1.0);
            return;
        case UpdateOperator::Delete: return;  // handled by the caller: it removes the member itself
    }
}

}  // namespace

template <typename Op>
Status QueryEngine<Op>::execute(Value& document) const
    requires std::same_as<Op, UpdateOperator>
{
    for (const Query<UpdateOperator>& term : queries) {
        if (term.fields.empty()) return Error::panic("an update term has an empty field path");
        Value* parent = term.fields.parent_in(document);
        if (parent == nullptr) continue;
        if (term.operator_ == UpdateOperator::Delete) {
            parent->erase(term.fields.back()->text());
            continue;
        }
        // No operator creates a member.
        if (Value* member = parent->find(term.fields.back())) apply(term, *member);
    }
    return success();
}

template Status QueryEngine<UpdateOperator>::execute(Value&) const;

namespace {

// Levels of arrays and objects in value (operands come from converted
// arguments, so the recursion is shallow).
std::size_t nesting_of(const Value& value) noexcept {
    std::size_t deepest = 0;
    if (value.is_array()) {
        for (const Value* element = value.array_begin(); element != value.array_end(); ++element)
            deepest = std::max(deepest, nesting_of(*element));
    } else if (value.is_object()) {
        for (const Entry* entry = value.object_begin(); entry != value.object_end(); ++entry)
            deepest = std::max(deepest, nesting_of(entry->value));
    } else {
        return 0;
    }
    return deepest + 1;
}

// Whether prefix's pieces begin path (or are all of it).
// Whether an earlier term can change whether path resolves: a Set or Delete of
// a member on it. Arithmetic changes numbers only, which a path never goes
// through and which stay members.
bool reroutes(const Query<UpdateOperator>& earlier, const FieldPath& path) noexcept {
    return (earlier.operator_ == UpdateOperator::Set || earlier.operator_ == UpdateOperator::Delete) &&
           !earlier.fields.empty() && earlier.fields.leads_into(path);
}

// at[i] for i > from, from at[from]: the member the first i pieces of path
// lead to, or null, as resolution goes (objects only).
void follow(const FieldPath& path, std::vector<const Value*>& at, std::size_t from) noexcept {
    for (std::size_t i = from; i < path.size(); ++i)
        at[i + 1] = at[i] != nullptr && at[i]->is_object() ? at[i]->find(path[i]) : nullptr;
}

}  // namespace

template <typename Op>
std::vector<std::size_t> QueryEngine<Op>::too_deep_sets() const
    requires std::same_as<Op, UpdateOperator>
{
    std::vector<std::size_t> positions;
    for (std::size_t position = 0; position < queries.size(); ++position) {
        const Query<UpdateOperator>& term = queries[position];
        if (term.operator_ == UpdateOperator::Set && term.fields.size() + nesting_of(term.value) > max_updated_nesting)
            positions.push_back(position);
    }
    return positions;
}

template <typename Op>
bool QueryEngine<Op>::takes_effect(std::size_t position, const Value& document) const
    requires std::same_as<Op, UpdateOperator>
{
    const FieldPath& path = queries[position].fields;
    const auto end = queries.begin() + static_cast<std::ptrdiff_t>(position);
    const auto first = std::find_if(queries.begin(), end, [&](const auto& earlier) { return reroutes(earlier, path); });
    if (first == end) return path.resolve(document) != nullptr;
    // The earlier terms' effects along path, in order, without changing document:
    // a Set whose member is there puts its operand in its place, and the rest of
    // path is then followed into that operand; a Delete leaves nothing there.
    std::vector<const Value*> at(path.size() + 1);
    at[0] = &document;
    follow(path, at, 0);
    for (auto earlier = first; earlier != end; ++earlier) {
        const std::size_t level = earlier->fields.size();
        if (!reroutes(*earlier, path) || at[level] == nullptr) continue;
        at[level] = earlier->operator_ == UpdateOperator::Set ? &earlier->value : nullptr;
        follow(path, at, level);
    }
    return at[path.size()] != nullptr;
}

template std::vector<std::size_t> QueryEngine<UpdateOperator>::too_deep_sets() const;
template bool QueryEngine<UpdateOperator>::takes_effect(std::size_t, const Value&) const;

}  // namespace quarn
