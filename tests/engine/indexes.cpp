// The indexes against a scan, on random collections. Alone, an equality or
// ordering index built on part of the documents and extended in steps must
// give, in ascending order, every position the scan finds (a superset: the
// caller evaluates each). Through find_matches and update_documents the
// indexes are made as queries repeat, extended as documents are appended and
// made stale or dropped as updates change them; every answer must be the
// scan's, failures included, and the indexes must answer a good share.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "collections/collection_query.h"
#include "collections/equality_index.h"
#include "collections/ordering_index.h"

using namespace quarn;
using test::check;

namespace {

test::Random rng(0x696E646578);

std::string number(int below) { return std::to_string(rng.below(below)); }
std::string plus(const std::string& integer, int more) { return std::to_string(std::stoi(integer) + more); }

// Mostly integers and halves, sometimes an edge: zeros of both signs compare equal.
std::string number_text(std::uint64_t edges_one_in = 8) {
    static const char* const edges[] = {"0", "0.0", "-0.0", "2.5", "-7", "1e300", "-1e-300", "0.1"};
    if (rng.one_in(edges_one_in)) return rng.pick(edges);
    return std::to_string(static_cast<int>(rng.below(2000)) - 1000) + (rng.one_in(2) ? ".5" : "");
}

// Members k (mostly small integers), x (numbers, and now and then a string
// when strings_at_x), n (an object holding k, or not an object) and t; each
// may be missing.
std::vector<Value> random_documents(std::size_t count, bool strings_at_x) {
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i) {
        std::string document;
        auto member = [&](const char* key, const std::string& value) {
            if (!rng.one_in(8)) document += (document.empty() ? "\"" : ",\"") + std::string(key) + "\":" + value;
        };
        member("k", rng.one_in(20) ? "3.0" : number(50));
        member("x", strings_at_x && rng.one_in(300) ? "\"9\"" : number_text());
        member("n", rng.one_in(30) ? "5" : "{\"k\":" + number(300) + "}");
        member("t", "\"s" + number(40) + "\"");
        text += (i ? ",{" : "{") + document + "}";
    }
    const Value array = test::json(text + "]");
    return std::vector<Value>(array.array_begin(), array.array_end());
}

using Positions = std::vector<std::uint32_t>;

bool covers(const Positions& candidates, const Positions& matches) {
    return std::is_sorted(candidates.begin(), candidates.end()) &&
           std::adjacent_find(candidates.begin(), candidates.end()) == candidates.end() &&
           std::includes(candidates.begin(), candidates.end(), matches.begin(), matches.end());
}

// Built on a part of documents, then extended by random steps to all of them.
template <typename Index>
void build_in_steps(Index& index, const FieldPath& path, const std::vector<Value>& documents) {
    std::vector<Value> part(documents.begin(), documents.begin() + rng.below(documents.size() / 2));
    index.build(path, part);
    while (part.size() < documents.size()) {
        const std::size_t end = std::min(documents.size(), part.size() + 1 + rng.below(documents.size() / 3));
        part.insert(part.end(), documents.begin() + part.size(), documents.begin() + end);
        index.extend(path, part);
    }
}

bool compares(QueryOperator op, double x, double bound) {
    switch (op) {
        case QueryOperator::GreaterThan: return x > bound;
        case QueryOperator::GreaterThanEqual: return x >= bound;
        case QueryOperator::LessThan: return x < bound;
        default: return x <= bound;
    }
}

void check_alone(const std::vector<Value>& documents) {
    const char* const operands[] = {"3", "3.0", "0", "-0.0", "2.5", "\"s7\"", "{\"k\":12}", "5", "null", "1e300"};
    const QueryOperator ops[] = {QueryOperator::GreaterThan, QueryOperator::GreaterThanEqual, QueryOperator::LessThan,
                                 QueryOperator::LessThanEqual};
    const std::vector<std::vector<std::string>> paths = {{"k"}, {"x"}, {"n"}, {"n", "k"}, {"t"}};
    for (const std::vector<std::string>& pieces : paths) {
        const FieldPath path = FieldPath::from_pieces(pieces);
        EqualityIndex equality;
        build_in_steps(equality, path, documents);
        for (const char* text : operands) {
            const Value operand = test::json(text);
            Positions matches;
            for (std::uint32_t i = 0; i < documents.size(); ++i)
                if (const Value* found = path.resolve(documents[i]); found && *found == operand) matches.push_back(i);
            check(covers(equality.candidates(operand, documents.size()), matches), "equality index misses a match");
            const std::size_t limit = rng.below(4), limited = equality.candidates(operand, limit).size();
            check(limited <= limit + 1 && (matches.size() <= limit || limited == limit + 1), "equality index limit");
        }
        OrderingIndex ordering;
        build_in_steps(ordering, path, documents);
        std::size_t non_numbers = 0;
        for (const Value& document : documents)
            if (const Value* found = path.resolve(document)) non_numbers += !found->is_number();
        check(ordering.non_numbers() == non_numbers, "ordering index counts other non-numbers");
        for (int n = 0; n < 40; ++n) {
            // One or two bounds, as a query's terms on one path narrow the span.
            const QueryOperator op[2] = {rng.pick(ops), rng.pick(ops)};
            const double bound[2] = {test::json(number_text(2)).to_double(), test::json(number_text(2)).to_double()};
            const int terms = 1 + static_cast<int>(rng.below(2));
            OrderingIndex::Span span = ordering.all();
            for (int t = 0; t < terms; ++t) span = ordering.narrow(span, op[t], bound[t]);
            Positions matches;
            for (std::uint32_t i = 0; i < documents.size(); ++i) {
                const Value* found = path.resolve(documents[i]);
                bool holds = found && found->is_number();
                for (int t = 0; holds && t < terms; ++t) holds = compares(op[t], found->to_double(), bound[t]);
                if (holds) matches.push_back(i);
            }
            check(covers(ordering.positions(span, documents.size()), matches), "ordering index misses a match");
        }
    }
}

// What a scan answers: the positions, or none when the query fails.
std::optional<Positions> scanned(const std::vector<Value>& documents, const QueryEngine<QueryOperator>& query) {
    Positions positions;
    for (std::uint32_t i = 0; i < documents.size(); ++i) {
        if (!documents[i].is_object()) return std::nullopt;
        auto matched = query.execute(documents[i]);
        if (!matched) return std::nullopt;
        if (*matched) positions.push_back(i);
    }
    return positions;
}

// One query of each shape, with random operands. Few enough that the
// indexes they use stay recently used, and all fit the memory allowed.
std::vector<std::string> random_queries() {
    const std::string k = number(55), nk = number(300), x = std::to_string(static_cast<int>(rng.below(2000)) - 1000);
    return {
        "{\"k\":" + k + "}", "{\"k\":3.0}", "{\"n.k\":" + nk + "}",
        "{\"x.$gte\":" + x + ",\"x.$lt\":" + plus(x, 40) + "}",
        "{\"k\":" + k + ",\"x.$gt\":" + x + "}", "{\"n.k.$lte\":" + nk + ",\"n.k.$gt\":" + plus(nk, -9) + "}",
        "{\"t\":\"s" + k + "\"}", "{\"x\":-0.0}", "{\"x.$gte\":-0.0,\"x.$lte\":0}", "{\"x\":" + number_text() + "}",
        "{\"k.$ne\":3,\"n.k\":" + nk + "}", "{\"n\":{\"$eq\":{\"k\":" + nk + "}}}", "{\"x.$gte\":\"a\"}",
        // The range term first: a string at k fails it wherever t is, so the index on t must not answer then.
        "{\"k.$gte\":0,\"t\":\"s" + number(40) + "\"}",
    };
}

// An update, and the query selecting what it changes; with strings, one that
// puts a string where range queries look, which the scan must answer then.
std::pair<std::string, std::string> random_update(bool strings) {
    const std::string k = number(50), nk = number(300), x = std::to_string(static_cast<int>(rng.below(2000)) - 1000);
    const std::pair<std::string, std::string> updates[] = {
        {"{\"x\":{\"$set\":" + number_text() + "}}", "{\"k\":" + k + "}"},
        {"{\"n.k\":{\"$inc\":1}}", "{\"n.k.$lt\":" + nk + "}"},
        {"{\"k\":{\"$set\":" + k + "}}", "{\"x.$gte\":" + x + ",\"x.$lt\":" + plus(x, 20) + "}"},
        {"{\"n\":{\"$set\":{\"k\":" + nk + "}}}", "{\"k\":" + k + "}"},
        {"{\"k\":{\"$delete\":1}}", "{\"n.k\":" + nk + "}"},
        {"{\"x\":{\"$set\":\"text\"}}", "{\"k\":" + k + "}"},
        {"{\"k\":{\"$set\":\"text\"}}", "{\"n.k\":" + nk + "}"},
    };
    return updates[strings ? 5 + rng.below(2) : rng.below(5)];
}

template <typename Op>
QueryEngine<Op> parsed(const std::string& text) {
    auto engine = QueryEngine<Op>::parse(test::json(text));
    if (!engine) std::exit(2);
    return std::move(*engine);
}

void check_planned(bool strings_at_x) {
    const CollectionRef collection = std::make_shared<SharedCollection>(random_documents(3000, strings_at_x));
    std::vector<Value> reference = collection->read().documents();
    const std::vector<std::string> queries = random_queries();
    std::size_t asked = 0, answered = 0;
    for (int round = 0; round < 6; ++round) {
        for (const std::string& text : queries) {
            const auto query = parsed<QueryOperator>(text);
            const std::optional<Positions> expected = scanned(reference, query);
            for (int use = 0; use < 2; ++use) {
                const auto candidates = collection->access_paths().candidates(reference, query);
                ++asked;
                answered += candidates.has_value();
                check(!candidates || (expected && covers(*candidates, *expected)), "candidates miss a match: " + text);
                auto found = find_matches(collection, "c", query);
                std::optional<Positions> got;
                if (found) got.emplace((*found)->positions.begin(), (*found)->positions.end());
                check(got == expected, "round " + std::to_string(round) + ", find differs from the scan: " + text);
            }
        }
        // Appended documents, and updates applied here as the scan selects.
        const std::vector<Value> more = random_documents(rng.below(200), strings_at_x);
        {
            auto guard = collection->write();
            guard.documents().insert(guard.documents().end(), more.begin(), more.end());
        }
        reference.insert(reference.end(), more.begin(), more.end());
        for (int n = 0; n < 3; ++n) {
            const auto [update_text, selector_text] = random_update(n == 0 && round % 2 == 1);
            const auto update = parsed<UpdateOperator>(update_text);
            const auto selector = parsed<QueryOperator>(selector_text);
            const std::optional<Positions> selected = scanned(reference, selector);
            const bool done = update_documents(*collection, "c", update, &selector).ok();
            check(done == selected.has_value(), "update refused otherwise than the scan: " + update_text);
            for (std::uint32_t position : selected.value_or(Positions{})) (void)update.execute(reference[position]);
            check(collection->read().documents() == reference, "the update changed other documents: " + update_text);
        }
    }
    check(answered * 4 > asked, "the indexes answered " + std::to_string(answered) + " of " + std::to_string(asked));
    // A document that is not an object: every find fails, through an index or not.
    collection->write().documents().push_back(Value::unsigned_int(7));
    for (const std::string& text : queries)
        check(!find_matches(collection, "c", parsed<QueryOperator>(text)), "found past a non-object: " + text);
}

}  // namespace

int main() {
    test::program = "engine_indexes";
    check_alone(random_documents(5000, true));
    check_planned(false);
    check_planned(true);
    return test::finish();
}
