// Which file a path held when it was last seen: a replaced file has another
// inode, one changed in place another size or other times.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace quarn {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace quarn
