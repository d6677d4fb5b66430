// The temporary files that collection files are written through: named so
// that no two writers share one, locked while their writer lives, and
// cleared away when a killed writer left them behind.
#pragma once

#include <string>

#include "store/system.h"

namespace quarn {

// A new temporary file beside the collection file at target, created
// exclusively and locked (flock) until this object goes away; removed then
// unless kept. Only its owner may read it while it is written: it takes its
// final permission bits just before it is put in place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // 0 when the file is open and locked, else the errno of creating it.
    int open_error() const noexcept { return open_error_; }
    int fd() const noexcept { return file_.get(); }
    const std::string& path() const noexcept { return path_; }
    // Syncs and closes the written descriptor (the lock stays held); 0 or the errno.
    int sync_and_close();
    // The file now lives under another name: nothing to remove.
    void keep() noexcept { kept_ = true; }
    // Removes the temporary name of a file that is now linked in place as well.
    void drop_name() noexcept;
    // Gives the file the owner, group and permission bits of the file it
    // replaces, or (when replaced is null) those a new file gets; 0 or the errno.
    int take_final_permissions(const sys::FileStatus* replaced) const noexcept;
    // The file's identity as it stands now (after it was put in place).
    Result<sys::FileIdentity, int> identity() const;

private:
    std::string path_;
    sys::FileDescriptor file_;
    sys::FileDescriptor lock_;  // the same open file; holds the lock after file_ is closed
    int open_error_ = 0;
    mode_t new_file_permissions_ = 0;  // 0o666 less the umask, as the file was created
    uid_t owner_ = 0;
    gid_t group_ = 0;
    bool kept_ = false;
};

// Removes the temporary files of the collection file at target that a killed
// writer left behind: those matching its own pattern, which nobody holds
// locked and which nobody has changed for a minute (a new writer may not hold
// its lock yet). Never touches anything else; failures are ignored.
void remove_abandoned_temporaries(const std::string& target);

}  // namespace quarn
