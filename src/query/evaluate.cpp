// Whether a document matches a query: every term must hold.
#include "query/query.h"

#include <string>

#include "json/writer.h"

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

enum class Outcome { Holds, Fails, NotNumbers };

// One term (its path not empty) on document; found is where its path led.
// Shared by execute and explain_failure, so both see the same failing term.
inline Outcome evaluate_term(const Query<QueryOperator>& term, const Value& document, const Value*& found) noexcept {
    found = term.fields.resolve(document);
    if (found == nullptr) return Outcome::Fails;
    switch (term.operator_) {
        case QueryOperator::Equal: return *found == term.value ? Outcome::Holds : Outcome::Fails;
        case QueryOperator::NotEqual: return *found == term.value ? Outcome::Fails : Outcome::Holds;
        default:
            if (!found->is_number() || !term.value.is_number()) return Outcome::NotNumbers;
            return compare(term.operator_, found->to_double(), term.value.to_double()) ? Outcome::Holds
                                                                                       : Outcome::Fails;
    }
}

bool has_control(std::string_view text) noexcept {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// A collection name as it is, or quoted when it holds characters that would break a note's line.
std::string readable(std::string_view text) {
    if (!has_control(text)) return std::string(text);
    std::string out;
    append_json_string(out, text);
    return out;
}

// A piece that reads well after a dot: letters, digits, "_", "-" (any non-ASCII byte counts as a letter).
bool plain_piece(std::string_view piece) noexcept {
    if (piece.empty()) return false;
    for (unsigned char c : piece)
        if (!(c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
              c == '-'))
            return false;
    return true;
}

// The path as a query spells it: address.zip, quoted when a piece is not plain.
std::string dotted(const FieldPath& fields) {
    std::string out;
    bool plain = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += '.';
        out += fields.text(i);
        plain = plain && plain_piece(fields.text(i));
    }
    if (plain) return out;
    std::string quoted;
    append_json_string(quoted, out);
    return quoted;
}

// people[17].address.zip, or people[17]["first name"] for a piece that is not plain.
std::string located(std::string_view collection, std::size_t position, const FieldPath& fields) {
    std::string out = readable(collection) + "[" + std::to_string(position) + "]";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (plain_piece(fields.text(i))) {
            out += '.';
            out += fields.text(i);
        } else {
            out += '[';
            append_json_string(out, fields.text(i));
            out += ']';
        }
    }
    return out;
}

// Compact JSON, cut short past a few dozen bytes, and what kind of value it is:
// null; "18", a string.
std::string shown(const Value& value) {
    constexpr std::size_t longest = 48;
    std::string text;
    // Too deep to write whole: what was written is cut short below anyway.
    (void)append_json(text, value, max_read_nesting);
    if (text.size() > longest) {
        std::size_t cut = longest - 3;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
        text.resize(cut);
        text += "...";
    }
    switch (value.kind()) {
        case Kind::Null: return text;
        case Kind::Bool: return text + ", a boolean";
        case Kind::String: return text + ", a string";
        case Kind::Array: return text + ", an array";
        case Kind::Object: return text + ", an object";
        default: return text + ", a number";
    }
}

}  // namespace

template <typename Op>
Result<bool> QueryEngine<Op>::execute(const Value& document) const
    requires std::same_as<Op, QueryOperator>
{
    for (const Query<QueryOperator>& term : queries) {
        if (term.fields.empty()) return Error::panic("a query term has an empty field path");
        const Value* found = nullptr;
        switch (evaluate_term(term, document, found)) {
            case Outcome::Holds: break;
            case Outcome::Fails: return false;
            case Outcome::NotNumbers:
                return Error::value_error("Malformed query, non-numeric value found for operator " +
                                          std::string(operator_name(term.operator_)));
        }
    }
    return true;
}

template <typename Op>
void QueryEngine<Op>::explain_failure(Error& error, const Value& document, std::string_view collection,
                                      std::size_t position) const
    requires std::same_as<Op, QueryOperator>
{
    for (const Query<QueryOperator>& term : queries) {
        if (term.fields.empty()) return;
        const Value* found = nullptr;
        const Outcome outcome = evaluate_term(term, document, found);
        if (outcome == Outcome::Fails) return;
        if (outcome == Outcome::Holds) continue;
        const std::string op(operator_key(term.operator_));
        if (!term.value.is_number()) {
            error.advice = "the operand of " + op + " on " + dotted(term.fields) + " is " + shown(term.value) +
                           "\nrange operators ($gt, $gte, $lt, $lte) compare numbers: give " + op +
                           " an int or a float";
        } else {
            const std::string path = dotted(term.fields);
            error.advice = located(collection, position, term.fields) + " is " + shown(*found) +
                           "\nrange queries on " + path + " need a number there in every document that has it: " +
                           "one null or string at " + path + " makes every $gt, $gte, $lt and $lte on it raise; "
                           "set that value to a number, or remove it (update with $set or $delete)";
        }
        return;
    }
}

template Result<bool> QueryEngine<QueryOperator>::execute(const Value&) const;
template void QueryEngine<QueryOperator>::explain_failure(Error&, const Value&, std::string_view, std::size_t) const;

}  // namespace quarn
