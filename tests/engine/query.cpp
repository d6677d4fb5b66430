// The query language against a reference written here. Random queries, spelt
// dotted, nested or half of each, parse into the terms they were made from
// and match random documents exactly when the reference says so, failing
// where it fails (an ordering term meeting a non-number). Random updates are
// applied one term at a time, each checked for what it must do: a $set
// member reads back its operand, a $delete member is gone, arithmetic gives
// the float the numbers make, no term creates a member or touches another,
// and takes_effect foretells whether the member is there at its turn.
#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "query/parse.h"
#include "query/query.h"

using namespace quarn;
using test::check;

namespace {

test::Random rng(0x7175657279);

// A JSON value as the reference sees it: integers compare by their text,
// floats by their number (so 0.0 is -0.0), and the two never equal each other.
struct Node {
    enum Type { Null, Bool, Int, Float, Str, Arr, Obj } type;
    std::string text = {};  // of a scalar
    double number = 0;
    std::map<std::string, Node> members = {};
    bool is_number() const { return type == Int || type == Float; }
};

bool same(const Node& a, const Node& b) {
    if (a.type != b.type) return false;
    if (a.type == Node::Float) return a.number == b.number;
    if (a.type != Node::Obj) return a.text == b.text;
    if (a.members.size() != b.members.size()) return false;
    for (auto x = a.members.begin(), y = b.members.begin(); x != a.members.end(); ++x, ++y)
        if (x->first != y->first || !same(x->second, y->second)) return false;
    return true;
}

std::string text(const Node& node) {
    if (node.type != Node::Obj) return node.text;
    std::string out = "{";
    for (const auto& [key, member] : node.members) out += (out.size() > 1 ? ",\"" : "\"") + key + "\":" + text(member);
    return out + "}";
}

const Node scalars[] = {
    {Node::Int, "0", 0}, {Node::Int, "1", 1}, {Node::Int, "2", 2}, {Node::Int, "-1", -1},
    {Node::Int, "18446744073709551615", 18446744073709551615.0}, {Node::Float, "1.0", 1}, {Node::Float, "2.5", 2.5},
    {Node::Float, "-0.0", 0}, {Node::Float, "0e5", 0}, {Node::Str, "\"1\""}, {Node::Str, "\"x\""},
    {Node::Bool, "true"}, {Node::Null, "null"}, {Node::Arr, "[1]"},
};
const char* const pieces[] = {"a", "b", "c"};

Node random_node(int depth) {
    if (depth > 0 && !rng.one_in(3)) return rng.pick(scalars);
    Node object{Node::Obj};
    for (const char* piece : pieces)
        if (!rng.one_in(3)) object.members[piece] = random_node(depth + 1);
    return object;
}

struct Term {
    std::vector<std::string> path;
    const char* op;  // as spelt, "" for the default
    Node operand;
    std::string value = {};  // the text under the term's top key
};

bool plain(const Node& operand) {
    return operand.type != Node::Obj && operand.type != Node::Arr && operand.type != Node::Null;
}

// The term's top key and value, spelt one of the ways the parser accepts:
// the path dotted up to a split, nested after it.
std::string spell(Term& term) {
    std::vector<std::string> keys = term.path;
    if (*term.op != '\0') keys.push_back(term.op);
    // Under a dotted operator, as under a path, null and arrays are refused and an object is more path.
    const std::size_t split = 1 + rng.below(plain(term.operand) ? keys.size() : keys.size() - 1);
    std::string key = keys[0];
    for (std::size_t i = 1; i < split; ++i) key += "." + keys[i];
    term.value = text(term.operand);
    // A nested object counts by its first key only: a later one ("~" sorts last) is ignored.
    for (std::size_t i = keys.size(); i-- > split;)
        term.value = "{\"" + keys[i] + "\":" + term.value + (rng.one_in(3) ? ",\"~\":0}" : "}");
    return key;
}

// Random terms by their top keys, in the parser's order; a term whose key was taken is left out.
std::map<std::string, Term> random_terms(const char* const (&ops)[7], bool objects_as_operands) {
    std::map<std::string, Term> terms;
    for (std::uint64_t n = 1 + rng.below(3); n > 0; --n) {
        Term term{{}, rng.pick(ops), objects_as_operands && rng.one_in(4) ? random_node(1) : rng.pick(scalars)};
        for (std::uint64_t length = rng.one_in(4) ? 3 : 1 + rng.below(2); length > 0; --length)
            term.path.push_back(rng.pick(pieces));
        // Bare, an object would read as more path, and null or an array is refused.
        if (!plain(term.operand) && *term.op == '\0') term.op = ops[1];
        const std::string key = spell(term);
        terms.emplace(key, std::move(term));
    }
    return terms;
}

std::string object_text(const std::map<std::string, Term>& terms) {
    std::string out = "{";
    for (const auto& [key, term] : terms) out += (out.size() > 1 ? ",\"" : "\"") + key + "\":" + term.value;
    return out + "}";
}

const Node* resolve(const Node& document, const std::vector<std::string>& path) {
    const Node* at = &document;
    for (const std::string& piece : path) {
        if (at->type != Node::Obj || !at->members.count(piece)) return nullptr;
        at = &at->members.at(piece);
    }
    return at;
}

enum class Outcome { Holds, Fails, Error };

Outcome reference(const std::map<std::string, Term>& terms, const Node& document) {
    for (const auto& [key, term] : terms) {
        const Node* found = resolve(document, term.path);
        if (found == nullptr) return Outcome::Fails;
        const std::string op = term.op;
        bool holds;
        if (op == "" || op == "$eq" || op == "$ne") {
            holds = same(*found, term.operand) == (op != "$ne");
        } else {
            if (!found->is_number() || !term.operand.is_number()) return Outcome::Error;
            const double x = found->number, y = term.operand.number;
            holds = op == "$gt" ? x > y : op == "$gte" ? x >= y : op == "$lt" ? x < y : x <= y;
        }
        if (!holds) return Outcome::Fails;
    }
    return Outcome::Holds;
}

// Whether the parsed terms are, in order, the terms the object was made of.
template <typename Op>
bool parsed_as_made(const QueryEngine<Op>& engine, const std::map<std::string, Term>& terms, Op default_op) {
    if (engine.queries.size() != terms.size()) return false;
    auto term = terms.begin();
    for (const Query<Op>& parsed : engine.queries) {
        const Term& made = (term++)->second;
        bool holds = parsed.fields.size() == made.path.size() && parsed.value == test::json(text(made.operand));
        for (std::size_t i = 0; holds && i < parsed.fields.size(); ++i) holds = parsed.fields.text(i) == made.path[i];
        if (!holds || parsed.operator_ != (*made.op ? OperatorSyntax<Op>::lookup(made.op).value() : default_op))
            return false;
    }
    return true;
}

void check_queries(int count) {
    static const char* const ops[] = {"", "$eq", "$ne", "$gt", "$gte", "$lt", "$lte"};
    for (int n = 0; n < count; ++n) {
        auto terms = random_terms(ops, false);
        const std::string query_text = object_text(terms);
        auto query = QueryEngine<QueryOperator>::parse(test::json(query_text));
        if (!check(query && parsed_as_made(*query, terms, QueryOperator::Equal), "parsed otherwise: " + query_text))
            continue;
        for (int d = 0; d < 20; ++d) {
            const Node document = random_node(0);
            const Outcome expected = reference(terms, document);
            auto matched = query->execute(test::json(text(document)));
            const Outcome got = !matched ? Outcome::Error : *matched ? Outcome::Holds : Outcome::Fails;
            check(got == expected && (matched || matched.error().kind == ErrorKind::ValueError),
                  query_text + " on " + text(document) + ": not what the reference says");
        }
    }
}

const Value* member_at(const Value& document, const std::vector<std::string>& path) {
    const Value* at = &document;
    for (const std::string& piece : path)
        if (at == nullptr || !at->is_object() || (at = at->find(piece)) == nullptr) return nullptr;
    return at;
}

// The document without the member at path, if it is there.
Value without(Value document, const std::vector<std::string>& path) {
    Value* at = &document;
    for (std::size_t i = 0; at != nullptr && i + 1 < path.size(); ++i)
        at = at->is_object() ? at->find(path[i]) : nullptr;
    if (at != nullptr && at->is_object()) at->erase(path.back());
    return document;
}

double number_of(const Value& v) {
    if (v.kind() == Kind::Unsigned) return static_cast<double>(v.as_unsigned());
    return v.kind() == Kind::Negative ? static_cast<double>(v.as_negative()) : v.as_float();
}

void check_updates(int count) {
    static const char* const ops[] = {"", "$set", "$add", "$substract", "$inc", "$dec", "$delete"};
    for (int n = 0; n < count; ++n) {
        auto terms = random_terms(ops, true);
        const std::string update_text = object_text(terms);
        auto update = QueryEngine<UpdateOperator>::parse(test::json(update_text));
        if (!check(update && parsed_as_made(*update, terms, UpdateOperator::Set), "parsed otherwise: " + update_text))
            continue;
        const Value original = test::json(text(random_node(0)));
        Value document = original;
        const std::string where = update_text + " on " + test::text_of(original);
        auto term = terms.begin();
        for (std::size_t k = 0; k < update->queries.size(); ++k, ++term) {
            const Query<UpdateOperator>& parsed = update->queries[k];
            QueryEngine<UpdateOperator> alone;
            alone.queries.push_back({parsed.fields.copy(), parsed.value, parsed.operator_});
            Value after = document;
            check(alone.execute(after).ok(), where + ": a term fails");
            const std::vector<std::string>& path = term->second.path;
            const Value *was = member_at(document, path), *is = member_at(after, path);
            check(update->takes_effect(k, original) == (was != nullptr), where + ": takes_effect foretells wrongly");
            check(without(document, path) == without(after, path), where + ": a term changed another member");
            const UpdateOperator op = parsed.operator_;
            const Value& operand = parsed.value;
            const bool counts = op == UpdateOperator::Increment || op == UpdateOperator::Decrement;
            if (op == UpdateOperator::Delete || was == nullptr) {
                check(is == nullptr, where + ": a member is there that should not be");
            } else if (op == UpdateOperator::Set) {
                check(is && *is == operand, where + ": $set does not read back");
            } else if (was->is_number() && (counts || operand.is_number())) {
                const double step = counts ? (op == UpdateOperator::Increment ? 1.0 : -1.0)
                                           : (op == UpdateOperator::Add ? 1.0 : -1.0) * number_of(operand);
                check(is && *is == Value::floating(number_of(*was) + step), where + ": arithmetic gives another value");
            } else {
                check(is && *is == *was, where + ": arithmetic on a non-number changed it");
            }
            document = std::move(after);
        }
        Value whole = original;
        check(update->execute(whole).ok() && whole == document, where + ": all terms at once differ from one by one");
    }
}

// A $set that would leave a document deeper than it may be, and one just within.
void check_too_deep() {
    for (int levels : {max_document_nesting - 2, max_document_nesting - 1}) {
        // Two pieces put the member at level 3: its operand may nest 124 more levels, not 125.
        auto deep = QueryEngine<UpdateOperator>::parse(
            test::json("{\"a.b\":{\"$set\":" + std::string(levels, '[') + std::string(levels, ']') + "}}"));
        check(deep && deep->too_deep_sets().size() == (2 + levels > max_document_nesting),
              "too_deep_sets at the limit");
    }
}

}  // namespace

int main() {
    test::program = "engine_query";
    check_queries(3000);
    check_updates(3000);
    check_too_deep();
    return test::finish();
}
