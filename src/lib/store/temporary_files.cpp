#include "store/temporary_files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "core/siphash.h"
#include "store/paths.h"

namespace quarn {

namespace {

// File names longer than this are cut short (and told apart by a hash of the
// whole name), so that a collection whose file name is as long as the system
// allows still has a temporary file name within the limit (255 bytes).
constexpr std::size_t stem_limit = 200;
// A writer holding no lock in its file's first minute may simply not have
// taken it yet.
constexpr time_t abandoned_after_seconds = 60;
// Names tried before creating a temporary file gives up with EEXIST.
constexpr int max_name_attempts = 64;

// The part of a temporary file's name before ".tmp.": the target's file name.
std::string temporary_stem(std::string_view file_name) {
    if (file_name.size() <= stem_limit) return std::string(file_name);
    SipHasher13 hasher(0, 0);
    hasher.write(file_name.data(), file_name.size());
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(hasher.finish()));
    return std::string(file_name.substr(0, stem_limit)) + "." + hash;
}

// A name no other writer uses: the stem, ".tmp.", the process id and a
// counter. It never ends in ".json", so it is never taken for a collection.
std::string temporary_path_for(const std::string& target) {
    static std::atomic<unsigned long> counter{0};
    std::string_view file_name = file_name_of(target);
    std::string directory = target.substr(0, target.size() - file_name.size());
    return directory + temporary_stem(file_name) + ".tmp." + std::to_string(sys::process_id()) + "." +
           std::to_string(counter++);
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Whether entry is named as a temporary file of stem: stem.tmp.<digits>.<digits>.
bool is_temporary_of(std::string_view entry, std::string_view stem) {
    constexpr std::string_view marker = ".tmp.";
    if (entry.size() <= stem.size() + marker.size() || entry.substr(0, stem.size()) != stem ||
        entry.substr(stem.size(), marker.size()) != marker)
        return false;
    std::string_view numbers = entry.substr(stem.size() + marker.size());
    std::size_t dot = numbers.find('.');
    return dot != std::string_view::npos && all_digits(numbers.substr(0, dot)) && all_digits(numbers.substr(dot + 1));
}

// Removes path if it is an abandoned temporary file: regular, old, unlocked,
// and (checked under the lock) still the file that was examined.
void remove_if_abandoned(const std::string& path, time_t now) {
    auto file = sys::open_file(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!file) return;
    auto status = sys::file_status(file->get());
    if (!status || !status->regular || now - status->modified < abandoned_after_seconds) return;
    if (sys::try_lock_exclusive(file->get()) != 0) return;  // a live writer's
    auto named = sys::link_status(path);
    if (!named || named->device != status->device || named->inode != status->inode) return;
    (void)sys::remove_file(path);
}

}  // namespace

TemporaryFile::TemporaryFile(const std::string& target) {
    // A file of this name may be a leftover of a killed writer that had this
    // process id (in a container, every restart may be the same process id):
    // the next counter is tried instead.
    Result<sys::FileDescriptor, int> opened = EEXIST;
    for (int attempt = 0; !opened && opened.error() == EEXIST && attempt < max_name_attempts; ++attempt)
        opened = sys::open_file(path_ = temporary_path_for(target), O_WRONLY | O_CREAT | O_EXCL);
    if (!opened) {
        open_error_ = opened.error();
        return;
    }
    file_ = std::move(*opened);
    // Created as a new file is, under the umask; kept to its owner until the
    // text is complete, so that nobody else opens a private collection's copy.
    auto created = sys::file_status(file_.get());
    open_error_ = created ? sys::set_permissions(file_.get(), created->permissions & 0600) : created.error();
    if (created) {
        new_file_permissions_ = created->permissions;
        owner_ = created->owner;
        group_ = created->group;
    }
    if (open_error_ != 0) {
        file_.close();
        (void)sys::remove_file(path_);
        return;
    }
    auto lock = sys::duplicate(file_.get());
    if (lock) lock_ = std::move(*lock);
    open_error_ = lock ? sys::lock_exclusive(lock_.get()) : lock.error();
    if (open_error_ != 0) {
        file_.close();
        (void)sys::remove_file(path_);
    }
}

TemporaryFile::~TemporaryFile() {
    file_.close();
    // Removed while still locked, so that no cleaner takes it for abandoned.
    if (!kept_ && open_error_ == 0) (void)sys::remove_file(path_);
    lock_.close();
}

void TemporaryFile::drop_name() noexcept {
    (void)sys::remove_file(path_);
    kept_ = true;
}

int TemporaryFile::take_final_permissions(const sys::FileStatus* replaced) const noexcept {
    // The owner is asked for only when it differs: usually it is this process's already.
    if (replaced != nullptr && (replaced->owner != owner_ || replaced->group != group_))
        return sys::take_permissions_of(lock_.get(), *replaced);
    if (replaced != nullptr) return sys::set_permissions(lock_.get(), replaced->permissions);
    return sys::set_permissions(lock_.get(), new_file_permissions_);
}

Result<sys::FileIdentity, int> TemporaryFile::identity() const {
    auto status = sys::file_status(lock_.get());
    if (!status) return status.error();
    return status->identity;
}

int TemporaryFile::sync_and_close() {
    int synced = sys::sync_file(file_.get());
    int closed = file_.close();
    return synced != 0 ? synced : closed;
}

void remove_abandoned_temporaries(const std::string& target) {
    const std::string directory = directory_of(target);
    const std::string stem = temporary_stem(file_name_of(target));
    auto entries = sys::list_directory(directory, sys::ListingErrors::Ignore);
    if (!entries) return;
    const time_t now = sys::current_time();
    for (const std::string& entry : *entries)
        if (is_temporary_of(entry, stem)) remove_if_abandoned(join_path(directory, entry), now);
}

}  // namespace quarn
