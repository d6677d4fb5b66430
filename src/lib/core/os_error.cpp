#include "core/os_error.h"

#include <cerrno>
#include <cstring>

#include "core/result.h"

namespace quarn {

namespace {

constexpr const char* nul_text = "file name contained an unexpected NUL byte";

const char* kind_name(int code) {
    switch (code) {
        case ENOENT: return "NotFound";
        case EPERM:
        case EACCES: return "PermissionDenied";
        case EEXIST: return "AlreadyExists";
        case ENOTDIR: return "NotADirectory";
        case EISDIR: return "IsADirectory";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EROFS: return "ReadOnlyFilesystem";
        case ENOSPC: return "StorageFull";
        case EDQUOT: return "FilesystemQuotaExceeded";
        case EXDEV: return "CrossesDevices";
        case EBUSY: return "ResourceBusy";
        case ENAMETOOLONG: return "InvalidFilename";
        case EMLINK: return "TooManyLinks";
        case ELOOP: return "FilesystemLoop";
        case EINTR: return "Interrupted";
        case EAGAIN: return "WouldBlock";
        case EPIPE: return "BrokenPipe";
        case EINVAL: return "InvalidInput";
        case ENOMEM: return "OutOfMemory";
        case EFBIG: return "FileTooLarge";
        case ETXTBSY: return "ExecutableFileBusy";
        case ESPIPE: return "NotSeekable";
        case ESTALE: return "StaleNetworkFileHandle";
        case ENOSYS: return "Unsupported";
        case ETIMEDOUT: return "TimedOut";
        case ECONNREFUSED: return "ConnectionRefused";
        case ECONNRESET: return "ConnectionReset";
        case ECONNABORTED: return "ConnectionAborted";
        default: return "Uncategorized";
    }
}

void append_quoted(std::string& out, const char* text) {
    out += '"';
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '"' || *at == '\\') out += '\\';
        out += *at;
    }
    out += '"';
}

}  // namespace

std::string os_text_rendering(int code) {
    if (code == nul_in_path) return nul_text;
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

std::string os_structured_rendering(int code) {
    std::string out;
    if (code == nul_in_path) {
        out = "Error { kind: InvalidInput, message: ";
        append_quoted(out, nul_text);
    } else {
        out = "Os { code: " + std::to_string(code) + ", kind: " + kind_name(code) + ", message: ";
        append_quoted(out, std::strerror(code));
    }
    out += " }";
    return out;
}

Error Error::os_code_error(int code) {
    Error error{ErrorKind::OSErrorCode, os_text_rendering(code)};
    error.os_code = code;
    return error;
}

}  // namespace quarn
