// Applying update terms to a document in place.
#include <cmath>

#include "query/query.h"

namespace quarn {

namespace {

// The object holding the last piece of fields (not empty), or null when an
// intermediate member is missing or not an object.
Value* resolve_parent(Value& document, const FieldPath& fields) noexcept {
    Value* at = &document;
    const std::size_t last = fields.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
        Value* member = at->find(fields[i]);
        if (member == nullptr || !member->is_object()) return nullptr;
        at = member;
    }
    return at;
}

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
        Value* parent = resolve_parent(document, term.fields);
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

}  // namespace quarn
