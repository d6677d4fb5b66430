// Makes each system call of the store's file operations fail in turn, and
// checks what the failure leaves. For every operation the calls it makes are
// counted once; then each of them fails in a fresh database (ENOSPC, EIO,
// EDQUOT; EINTR where the call is retried, which must not change the outcome).
// Afterwards the directory must open with every collection holding its old or
// its new documents; a failure must name its file, a success must have put
// the new documents in place; the database that ran the operation must still
// write what it holds; and any temporary file left must be one the store's
// sweep removes.
//   engine_fault_injection [SCRATCH_DIR]   (default: a new directory under $TMPDIR or /tmp)
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "json/writer.h"
#include "store/database.h"
#include "store/paths.h"
#include "store/system.h"
#include "store/temporary_files.h"

using namespace quarn;
namespace injection = quarn::sys::injection;
using test::fail;
using test::json;

namespace {

std::string message_of(Status& status) {
    return status ? "success" : status.error().message + " [" + status.error().file.path + "]";
}

// The outcome without the file, which differs from one scratch directory to the next.
std::string outcome_of(Status& status) { return status ? "success" : status.error().message; }

bool is_refusal(Status& status) {
    return !status && status.error().message.find("changed on disk since it was read") != std::string::npos;
}

// Each collection a scratch database may hold, as the compact text of find
// without a query; absent when it is not there. c never exists at the start.
using Contents = std::map<std::string, std::optional<std::string>>;
const char* const collection_names[] = {"a", "b", "c"};

Contents contents_of(Database& db) {
    Contents contents;
    for (const char* name : collection_names) {
        auto found = db.find(name, nullptr);
        if (!found) {
            const std::string& message = found.error().message;
            if (message.find("not found on disk") != std::string::npos) contents[name] = std::nullopt;
            else contents[name] = "error: " + message;
            continue;
        }
        auto documents = found->collection->read();
        std::string text = "[";
        for (const Value& document : documents.documents()) {
            if (text.size() > 1) text += ',';
            (void)append_json(text, document, max_read_nesting);
        }
        contents[name] = text + "]";
    }
    return contents;
}

// What is on disk now, read by a database of its own.
std::optional<Contents> contents_on_disk(const std::string& directory, std::string* error) {
    auto opened = Database::open(directory);
    if (!opened) {
        *error = opened.error().message + " [" + opened.error().file.path + "]";
        return std::nullopt;
    }
    return contents_of(*opened);
}

std::string shown(const std::optional<std::string>& text) {
    if (!text) return "(absent)";
    return text->size() > 80 ? text->substr(0, 80) + "..." : *text;
}

// The directory's entries named as temporary files.
std::vector<std::string> temporaries_in(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.path().filename().string().find(".tmp.") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

// Puts a file's times an hour back, as for one abandoned long ago.
void backdate(const std::string& path) {
    const std::time_t then = std::time(nullptr) - 3600;
    const struct timespec times[2] = {{then, 0}, {then, 0}};
    (void)::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// A temporary that a killed writer of a.json left: sweeping it is among the
// calls of writing a.
const std::string abandoned_temporary = "a.json.tmp.4242.0";

// The scratch database an operation runs on: a directory holding a (more
// than one batch of text, so that writing it takes several writes) and b, the
// abandoned temporary, and the database opened on it.
struct Scratch {
    std::string directory;
    std::optional<Database> db;
};

void must(Status status, const char* what) {
    if (status) return;
    std::fprintf(stderr, "fault_injection: setting up, %s failed: %s\n", what, message_of(status).c_str());
    std::exit(2);
}

// The database at directory, for setting up: a failure ends the test.
// GCC 12 takes the string of the error a moved-from Result never held for a
// local buffer being freed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
#endif
Database setup_database(const std::string& directory) {
    auto opened = Database::open(directory);
    if (opened) return std::move(*opened);
    std::fprintf(stderr, "fault_injection: setting up, %s does not open\n", directory.c_str());
    std::exit(2);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The collection files every scratch directory starts with, written once by the store.
std::string template_directory;

void make_template(const std::string& directory) {
    std::string a = "[";
    for (int i = 0; i < 700; ++i)
        a += (i ? "," : "") + std::string(R"({"i":)") + std::to_string(i) + R"(,"text":")" +
             std::string(100, static_cast<char>('a' + i % 26)) + R"(","list":[1,2.5,null,true]})";
    Database created = setup_database(directory);
    must(created.insert("a", given(json(a + "]"))), "insert into a");
    must(created.insert("b", given(json(R"([{"name":"b0"},{"name":"b1","n":[1,2,3]}])"))), "insert into b");
    must(created.write_all(), "write_all");
    template_directory = directory;
}

Scratch fresh_scratch(const std::string& directory) {
    std::filesystem::copy(template_directory, directory);
    const std::string planted = join_path(directory, abandoned_temporary);
    std::FILE* file = std::fopen(planted.c_str(), "w");
    if (file == nullptr || std::fputs("[", file) < 0 || std::fclose(file) != 0) {
        std::perror(planted.c_str());
        std::exit(2);
    }
    backdate(planted);
    return Scratch{directory, setup_database(directory)};
}

struct Operation {
    const char* name;
    std::function<void(Scratch&)> prepare;  // unarmed, after the scratch database is made
    std::function<Status(Scratch&)> run;
    bool changes_files = true;
    // Another writer replaced the file first: the refusal is the outcome, and
    // the database goes on refusing to write that collection.
    bool refused = false;
};

void add_new_documents(Scratch& scratch) {
    must(scratch.db->insert("a", given(json(R"({"new":"in a"})"))), "insert new into a");
    must(scratch.db->insert("b", given(json(R"([{"new":"in b"},{"new":2}])"))), "insert new into b");
}

const Operation operations[] = {
    {"write", add_new_documents, [](Scratch& s) { return s.db->write("a"); }},
    {"write_all", add_new_documents, [](Scratch& s) { return s.db->write_all(); }},
    {"create_collection", nullptr, [](Scratch& s) { return s.db->create_collection("c"); }},
    {"insert into a new collection", nullptr,
     [](Scratch& s) { return s.db->insert("c", given(json(R"({"first":"in c"})"))); }},
    {"drop_collection", nullptr, [](Scratch& s) { return s.db->drop_collection("a"); }},
    {"open", [](Scratch& s) { s.db.reset(); },
     [](Scratch& s) -> Status {
         auto opened = Database::open(s.directory);
         if (!opened) return std::move(opened.error());
         s.db.emplace(std::move(*opened));
         return success();
     },
     false},
    {"write over another writer's file",
     [](Scratch& s) {
         add_new_documents(s);
         Database other = setup_database(s.directory);
         must(other.insert("a", given(json(R"({"other":"writer"})"))), "the other writer's insert");
         must(other.write("a"), "the other writer's write");
     },
     [](Scratch& s) { return s.db->write("a"); }, false, true},
};

const char* errno_name(int error) {
    switch (error) {
        case ENOSPC: return "ENOSPC";
        case EIO: return "EIO";
        case EDQUOT: return "EDQUOT";
        case EINTR: return "EINTR";
    }
    return "?";
}

// The unarmed run of an operation: what it makes of the directory, and its calls.
struct Baseline {
    Contents before, after;
    std::string outcome;
    std::vector<injection::Call> calls;
};

int scratch_counter = 0;

std::string next_directory(const std::string& root) {
    return join_path(root, "run" + std::to_string(scratch_counter++));
}

Baseline baseline_of(const Operation& operation, const std::string& root) {
    Baseline baseline;
    Scratch scratch = fresh_scratch(next_directory(root));
    if (operation.prepare) operation.prepare(scratch);
    std::string error;
    auto before = contents_on_disk(scratch.directory, &error);
    injection::arm(0, 0);
    Status status = operation.run(scratch);
    injection::disarm();
    baseline.calls = injection::calls();
    baseline.outcome = outcome_of(status);
    if (baseline.calls.empty()) fail(std::string(operation.name) + ", not armed: no call was counted");
    auto after = contents_on_disk(scratch.directory, &error);
    if (!before || !after) {
        fail(std::string(operation.name) + ", not armed: the database does not open: " + error);
        return baseline;
    }
    baseline.before = *before;
    baseline.after = *after;
    if (operation.refused != is_refusal(status))
        fail(std::string(operation.name) + ", not armed: unexpected outcome " + baseline.outcome);
    if (!operation.refused && !status) fail(std::string(operation.name) + ", not armed: " + baseline.outcome);
    if (operation.changes_files != (baseline.before != baseline.after))
        fail(std::string(operation.name) + ", not armed: the files " +
             (operation.changes_files ? "did not change" : "changed"));
    std::filesystem::remove_all(scratch.directory);
    return baseline;
}

// Runs operation with its nth call failing with error, and checks what is left.
// A temporary file left by the operation is counted in leftovers.
void run_injected(const Operation& operation, const Baseline& baseline, std::size_t nth, int error,
                  const std::string& root, int& leftovers) {
    Scratch scratch = fresh_scratch(next_directory(root));
    if (operation.prepare) operation.prepare(scratch);
    injection::arm(nth, error);
    Status status = operation.run(scratch);
    injection::disarm();
    const std::vector<injection::Call>& calls = injection::calls();
    const injection::Call call = nth <= calls.size() ? calls[nth - 1] : injection::Call{"?", false};
    const std::string where = std::string(operation.name) + ", call " + std::to_string(nth) + " (" + call.name +
                              ") failing with " + errno_name(error);
    if (!injection::fired()) fail(where + ": the call was never made");

    // The outcome: an interrupted call that is retried changes nothing; any
    // other failure is reported naming the file, or ignored by design, when
    // the operation must then have done all of its work (checked below).
    const bool refused = is_refusal(status);
    if (error == EINTR && call.retried) {
        if (outcome_of(status) != baseline.outcome) fail(where + ": ended with " + message_of(status));
    } else if (!status) {
        if (status.error().file.path.empty()) fail(where + ": the error names no file: " + message_of(status));
        // The refusal says another writer changed the file, which only a
        // status that was read can show.
        if (refused && (!operation.refused || std::string_view(call.name) == "stat"))
            fail(where + ": reported as a change on disk: " + message_of(status));
    }

    const std::vector<std::string> left = temporaries_in(scratch.directory);

    std::string open_error;
    auto now = contents_on_disk(scratch.directory, &open_error);
    if (!now) {
        fail(where + ": the database does not open afterwards: " + open_error);
    } else {
        for (const char* name : collection_names) {
            const auto& held = (*now)[name];
            if (held != baseline.before.at(name) && held != baseline.after.at(name))
                fail(where + ": collection " + name + " holds neither its old nor its new documents: " + shown(held));
        }
        if (status && *now != baseline.after) fail(where + ": reported success, but the files are not all new");
    }

    // The database that ran the operation goes on: it writes what it holds,
    // and that is what the directory then holds. (The refusal stays.)
    if (scratch.db && !operation.refused) {
        Status again = scratch.db->write_all();
        if (!again) {
            fail(where + ": writing afterwards fails: " + message_of(again));
        } else if (auto written = contents_on_disk(scratch.directory, &open_error);
                   !written || *written != contents_of(*scratch.db)) {
            fail(where + ": what was written afterwards is not what the database holds");
        }
    }

    // A writer removes its own temporary file while it lives, so only a failed
    // removal may leave one; that one, like the planted one when a failure
    // kept the sweep from it, must be removed by the sweep once it is old.
    for (const std::string& name : left) {
        if (name != abandoned_temporary) {
            ++leftovers;
            if (std::string_view(call.name) != "unlink") fail(where + ": left " + name);
        }
        const std::string path = join_path(scratch.directory, name);
        if (!std::filesystem::exists(std::filesystem::symlink_status(path))) continue;
        backdate(path);
        remove_abandoned_temporaries(join_path(scratch.directory, name.substr(0, name.find(".tmp."))));
        if (std::filesystem::exists(std::filesystem::symlink_status(path)))
            fail(where + ": left " + name + ", which the sweep does not remove");
    }
    std::filesystem::remove_all(scratch.directory);
}

}  // namespace

int main(int argc, char** argv) {
    test::program = "fault_injection";
    const bool own_root = argc <= 1;
    const std::string root = test::scratch_directory(argc, argv, "quarn-faults");
    make_template(join_path(root, "template"));
    const int errors[] = {ENOSPC, EIO, EDQUOT, EINTR};
    int total = 0, leftovers = 0;
    std::set<std::string> calls_made;
    std::string per_operation;
    for (const Operation& operation : operations) {
        const Baseline baseline = baseline_of(operation, root);
        int runs = 0;
        for (std::size_t nth = 1; nth <= baseline.calls.size(); ++nth) {
            calls_made.insert(baseline.calls[nth - 1].name);
            for (int error : errors) {
                if (error == EINTR && !baseline.calls[nth - 1].retried) continue;
                run_injected(operation, baseline, nth, error, root, leftovers);
                ++runs;
            }
        }
        per_operation += std::string(per_operation.empty() ? "" : ", ") + operation.name + " " +
                         std::to_string(baseline.calls.size()) + " calls/" + std::to_string(runs) + " runs";
        total += runs;
    }
    std::string names;
    for (const std::string& name : calls_made) names += (names.empty() ? "" : ", ") + name;
    std::printf("fault_injection: calls failed: %s\n", names.c_str());
    std::printf("fault_injection: %d injected failures ran (%s); %d temporaries left by a failed removal, then swept; %d checks failed\n",
                total, per_operation.c_str(), leftovers, test::failures);
    if (own_root) std::filesystem::remove_all(root);
    return test::finish();
}
