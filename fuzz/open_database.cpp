// A database directory holding one hostile file, opened through the engine's
// Database: as a collection file found when opening, as one loaded on demand,
// or as a document inserted from. Whatever opens is then used: find, update,
// insert, write; reopening must give back exactly the documents written, and
// no temporary file may remain.
//
// Input: one flags byte, then (flags >> 3 & 15) bytes of collection name
// ("c" when none), then the file's contents.
//   flags & 7: 0-3 open the directory, 4 load on demand, 5 insert_many_from_document,
//              6 load_from_document, 7 open with a directory in the file's place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.h"
#include "store/database.h"
#include "store/paths.h"
#include "store/system.h"

using namespace quarn;

namespace {

std::string base;      // a private directory under $TMPDIR (fuzz/run.sh gives a tmpfs)
std::string database;  // base/db
std::string document;  // base/doc.json

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "open_database: %s %s\n", what, detail.c_str());
    std::abort();
}

void remove_tree(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return;
    if (S_ISDIR(status.st_mode)) {
        if (auto names = sys::list_directory(path, sys::ListingErrors::Report))
            for (const std::string& name : *names) remove_tree(path + "/" + name);
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

void put_file(const std::string& path, std::string_view contents) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) fail("cannot create", path);
    if (::write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) fail("short write");
    ::close(fd);
}

Value parsed(std::string_view text) {
    auto value = parse_json(text);
    if (!value) fail("bad fixed text", std::string(text));
    return std::move(*value);
}

std::vector<std::string> entries() {
    auto names = sys::list_directory(database, sys::ListingErrors::Report);
    if (!names) fail("cannot list the database directory");
    return std::move(*names);
}

// Whether the methods can reach a collection of this name: Python gives only
// valid UTF-8, and the engine refuses names that could leave the directory.
bool reachable(const std::string& name) { return is_valid_utf8(name) && check_collection_name(name).ok(); }

// Exercises one collection through the operations the methods call; none of
// it may crash.
void use_collection(Database& db, const std::string& name) {
    static const Value query = parsed(R"({"a":{"$gt":0},"b.c":{"$ne":null}})");
    static const Value update = parsed(R"({"a":{"$inc":1},"d":{"$set":[1,{"e":2}]},"f":{"$delete":0}})");
    const ValueSource query_source = given(query);
    if (!db.find(name, nullptr)) fail("a collection in memory cannot be found", name);
    (void)db.find(name, &query_source);
    (void)db.find(name, &query_source);  // answered from the cache when the first succeeded
    (void)db.update(name, given(update), &query_source);
    (void)db.update(name, given(update), nullptr);
    if (Status inserted = db.insert(name, given(parsed(R"({"z":[1.5,-2,"\u00e9"]})"))); !inserted)
        fail("insert into a loaded collection failed", inserted.error().message);
}

// Writes every collection in memory, then reopens the directory: it must
// open and hold exactly what was written, with no file left over.
void write_and_reopen(Database& db) {
    // Writing may replace the files there and add collection files, nothing else.
    std::vector<std::string> allowed = entries();
    for (auto& [name, collection] : db.in_memory_collections()) allowed.push_back(name + ".json");
    bool reopenable = true;
    for (auto& [name, collection] : db.in_memory_collections()) {
        if (!reachable(name)) {  // such names never come from Python, and fail opening
            reopenable = false;
            continue;
        }
        if (Status written = db.write(name); !written) fail("write failed", written.error().message);
    }
    for (const std::string& entry : entries())
        if (std::find(allowed.begin(), allowed.end(), entry) == allowed.end()) fail("a file remains", entry);
    if (!reopenable) return;
    auto reopened = Database::open(database);
    if (!reopened) fail("the written directory does not open", reopened.error().message);
    if (reopened->in_memory_collections().size() != db.in_memory_collections().size()) fail("reopened with another collection count");
    for (auto& [name, collection] : db.in_memory_collections()) {
        auto found = reopened->in_memory_collections().find(name);
        if (found == reopened->in_memory_collections().end()) fail("collection missing after reopening", name);
        if (found->second->read().documents() != collection->read().documents())
            fail("documents differ after reopening", name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    pattern += "/quarn-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    base = pattern;
    database = base + "/db";
    document = base + "/doc.json";
    // Update terms print trace lines; keep them out of the fuzzer's output.
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd >= 0) ::dup2(null_fd, 1);
    std::atexit([] { remove_tree(base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned flags = data[0];
    const std::size_t name_size = std::min<std::size_t>(flags >> 3 & 15, size - 1);
    std::string name(reinterpret_cast<const char*>(data + 1), name_size);
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    if (name.empty()) name = "c";
    const std::string_view contents(reinterpret_cast<const char*>(data + 1 + name_size), size - 1 - name_size);

    remove_tree(base + "/db");
    remove_tree(document);
    if (::mkdir(database.c_str(), 0777) != 0) fail("mkdir");
    const std::string file = collection_path(database, name);
    const unsigned route = flags & 7;
    const bool usable_name = reachable(name);

    std::optional<Database> db;
    if (route == 4 && usable_name) {
        auto opened = Database::open(database);
        if (!opened) fail("an empty directory does not open");
        db.emplace(std::move(*opened));
        put_file(file, contents);
        if (!db->find(name, nullptr)) return 0;
    } else if (route == 5 || route == 6) {
        put_file(document, contents);
        auto opened = Database::open(database);
        if (!opened) fail("an empty directory does not open");
        db.emplace(std::move(*opened));
        Status loaded = route == 5 ? db->insert_many_from_document(usable_name ? name : "c", document)
                                   : db->load_from_document(document);
        if (!loaded) return 0;
    } else {
        if (route == 7) ::mkdir(file.c_str(), 0777);
        else put_file(file, contents);
        auto opened = Database::open(database);
        if (!opened) return 0;
        if (route == 7) fail("a directory in place of a collection file opened");
        db.emplace(std::move(*opened));
    }

    std::vector<std::string> names;
    for (auto& [collection_name, collection] : db->in_memory_collections()) names.push_back(collection_name);
    for (const std::string& collection_name : names)
        if (reachable(collection_name)) use_collection(*db, collection_name);
    write_and_reopen(*db);
    return 0;
}
