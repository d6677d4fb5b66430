#include "query/parse.h"

#include "query/query.h"
#include "query/trace.h"

namespace quarn {

namespace {

void append_pieces(std::string_view key, std::vector<std::string>& fields) {
    for (;;) {
        std::size_t dot = key.find('.');
        fields.emplace_back(key.substr(0, dot));
        if (dot == std::string_view::npos) return;
        key.remove_prefix(dot + 1);
    }
}

bool is_operator_piece(std::string_view piece) noexcept { return !piece.empty() && piece.front() == '$'; }

// One term from one top-level entry of the object.
template <typename Op>
Result<Query<Op>> build_term(const Entry& entry) {
    std::vector<std::string> pieces;
    auto operand = parse_query(entry.value, entry.key->text(), pieces);
    if (!operand) return std::move(operand.error());
    Op op = OperatorSyntax<Op>::default_operator;
    if (!pieces.empty() && is_operator_piece(pieces.back())) {
        auto named = OperatorSyntax<Op>::lookup(pieces.back());
        if (!named) {
            Error unknown = Error::panic(std::string(OperatorSyntax<Op>::unknown_message) + pieces.back());
            unknown.advice = unknown_operator_advice(pieces.back(), std::is_same_v<Op, UpdateOperator>);
            return unknown;
        }
        op = *named;
        pieces.pop_back();
    }
    return Query<Op>{FieldPath::from_pieces(pieces), std::move(*operand), op};
}

}  // namespace

// A loop rather than recursion: the depth follows the query's nesting.
Result<Value> parse_query(const Value& value, std::string_view key, std::vector<std::string>& fields) {
    const Value* current = &value;
    for (;;) {
        append_pieces(key, fields);
        switch (current->kind()) {
            case Kind::Null:
            case Kind::Array: return Error::panic("Not Valid query");
            case Kind::Object: break;
            default: return Value(*current);
        }
        if (current->object_size() == 0) return Error::panic("Error while parsing query");
        // Entries are in key order: the first is the smallest key; the rest are ignored.
        const Entry& first = *current->object_begin();
        std::string_view first_key = first.key->text();
        if (is_operator_piece(first_key)) {
            fields.emplace_back(first_key);
            return Value(first.value);
        }
        current = &first.value;
        key = first_key;
    }
}

template <typename Op>
Result<QueryEngine<Op>> QueryEngine<Op>::parse(const Value& object, const TraceSink* trace) {
    QueryEngine engine;
    engine.queries.reserve(object.object_size());
    for (const Entry* entry = object.object_begin(); entry != object.object_end(); ++entry) {
        auto term = build_term<Op>(*entry);
        if (!term) return std::move(term.error());
        if constexpr (std::is_same_v<Op, UpdateOperator>)
            if (trace != nullptr) (*trace)(update_trace(*term));
        engine.queries.push_back(std::move(*term));
    }
    return engine;
}

template Result<QueryEngine<QueryOperator>> QueryEngine<QueryOperator>::parse(const Value&, const TraceSink*);
template Result<QueryEngine<UpdateOperator>> QueryEngine<UpdateOperator>::parse(const Value&, const TraceSink*);

}  // namespace quarn
