// Drives the engine without Python, through the same entry points the
// binding calls: open, insert, find (uncached, cached, after a change),
// update, write, reopen. Exits non-zero when any check fails.
//   engine_driver [SCRATCH_DIR]   (default: a new directory under $TMPDIR or /tmp)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "json/writer.h"
#include "store/database.h"
#include "store/reading.h"
#include "store/system.h"
#include "store/writing.h"

using namespace quarn;
using test::check;
using test::json;

namespace {

// The found documents as compact JSON text, one array.
std::string text_of(const FoundDocuments& found) {
    auto documents = found.collection->read();
    std::string out = "[";
    const std::size_t count = found.matches ? found.matches->positions.size() : documents.documents().size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += ',';
        std::size_t at = found.matches ? found.matches->positions[i] : i;
        (void)append_json(out, documents.documents()[at], max_read_nesting);
    }
    return out + "]";
}

std::string find_text(Database& db, const std::string& name, const char* query_text) {
    const ValueSource query = given(query_text != nullptr ? json(query_text) : Value());
    auto found = db.find(name, query_text != nullptr ? &query : nullptr);
    if (!found) return "error: " + found.error().message;
    return text_of(*found);
}

// What a scan answers: the same documents in a collection of their own that
// no query has used yet (so that it has no index).
std::string scanned_answer(Database& db, const std::string& name, const char* query_text) {
    static int fresh = 0;
    const std::string copy = "scan" + std::to_string(fresh++);
    (void)db.insert(copy, given(json(find_text(db, name, nullptr))));
    return find_text(db, copy, query_text);
}

// Indexes built on a query's second use answer as the scan does, through
// appends and an update that changes what an indexed path holds.
void check_indexes(Database& db) {
    std::string documents = "[";
    for (int i = 0; i < 600; ++i)
        documents += (i ? "," : "") + std::string(R"({"k":)") + std::to_string(i % 50) + R"(,"x":)" +
                     std::to_string(i) + R"(.5,"n":{"k":)" + std::to_string(i) + "}}";
    check(db.insert("indexed", given(json(documents + "]"))).ok(), "insert for indexes");
    const char* queries[] = {R"({"k":7})", R"({"x.$gte":100,"x.$lt":130})", R"({"n.k":42})", R"({"k":3,"x.$gt":300})"};
    auto compare_all = [&](const char* when) {
        for (const char* query : queries) {
            for (int use = 0; use < 3; ++use) {
                db.clear_cache();
                check(find_text(db, "indexed", query) == scanned_answer(db, "indexed", query), when);
            }
        }
    };
    compare_all("indexed finds answer as a scan");
    check(db.in_memory_collections().at("indexed")->access_paths().index_count() == 3, "an index for each path and kind used");
    check(db.insert("indexed", given(json(R"([{"k":7,"x":120,"n":{"k":42}},{"k":3,"x":301.0}])"))).ok(), "append");
    compare_all("indexes take appended documents");
    const ValueSource some = given(json(R"({"n.k.$lt":20})"));
    check(db.update("indexed", given(json(R"({"k":{"$set":7},"x":{"$set":125}})")), &some).ok(), "update");
    compare_all("indexes follow an update");
}

void run(const std::string& directory) {
    auto opened = Database::open(directory + "/db");
    check(opened.ok(), "a new database opens");
    if (!opened) return;
    Database& db = *opened;

    check(db.insert("people", given(json(R"([{"name":"ann","age":31,"address":{"city":"Oslo"}},)"
                                         R"({"name":"bob","age":17},{"name":"cy","age":45.5}])")))
              .ok(),
          "insert_many");
    check(db.insert("people", given(json(R"({"name":"dee","age":18})"))).ok(), "insert");
    check(!db.insert("../escape", given(json("{}"))).ok(), "a name leaving the directory is refused");

    const char* adults = R"({"age":{"$gte":18}})";
    const std::string expected_adults =
        R"([{"address":{"city":"Oslo"},"age":31,"name":"ann"},{"age":45.5,"name":"cy"},{"age":18,"name":"dee"}])";
    check(find_text(db, "people", adults) == expected_adults, "uncached find");
    check(find_text(db, "people", adults) == expected_adults, "cached find");
    check(find_text(db, "people", R"({"address.city":"Oslo"})").find("ann") != std::string::npos, "nested path");
    check(find_text(db, "people", nullptr).find("bob") != std::string::npos, "find without a query");
    check(find_text(db, "nobody", adults) == "error: Collection with name 'nobody' not found on disk",
          "a missing collection is reported before the query is looked at");

    check(db.insert("people", given(json(R"({"name":"eve","age":70})"))).ok(), "insert after a cached find");
    check(find_text(db, "people", adults).find("eve") != std::string::npos, "a change is never hidden by the cache");

    const ValueSource minors = given(json(R"({"age":{"$lt":18}})"));
    auto updated = db.update("people", given(json(R"({"age":{"$inc":1}})")), &minors);
    check(updated.ok(), "update");
    check(find_text(db, "people", R"({"name":"bob"})") == R"([{"age":18.0,"name":"bob"}])",
          "update applied to the selected documents only");

    check(db.insert("mixed", given(json(R"([{"a":1},2])"))).ok(), "insert a non-object");
    auto refused = db.update("mixed", given(json(R"({"a":{"$set":5}})")), nullptr);
    check(!refused.ok() && find_text(db, "mixed", nullptr) == R"([{"a":1},2])",
          "an update meeting a non-object document changes nothing");

    check_indexes(db);

    check(db.write("people").ok() && db.write_all().ok(), "write");
    auto reopened = Database::open(directory + "/db");
    check(reopened.ok(), "the written database reopens");
    if (reopened)
        check(find_text(*reopened, "people", adults) == find_text(db, "people", adults), "reopened documents");

    // Another writer's file appears after the existence check: creation must
    // leave it whole, not put the empty collection in its place.
    const std::string raced = directory + "/db/raced.json";
    auto other_writer = sys::open_file(raced, O_WRONLY | O_CREAT | O_EXCL);
    check(other_writer && sys::write_all(other_writer->get(), "[1,2,3]", 7) == 0, "the other writer's file");
    auto created = create_collection_file(raced, "raced");
    check(created.ok() && !*created, "creation over an existing file does nothing");
    auto raced_value = read_document(raced);
    check(raced_value && *raced_value == json("[1,2,3]"), "the existing file keeps its documents");

    check(db.drop_all().ok(), "drop_all");
    check(!sys::path_exists(directory + "/db"), "drop_all removes the emptied directory");
}

}  // namespace

int main(int argc, char** argv) {
    test::program = "engine_driver";
    const bool own_directory = argc <= 1;
    const std::string directory = test::scratch_directory(argc, argv, "quarn-engine");
    run(directory);
    if (own_directory) (void)sys::remove_directory(directory);
    return test::finish();
}
