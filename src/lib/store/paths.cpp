#include "store/paths.h"

namespace quarn {

std::string join_path(std::string_view dir, std::string_view file) {
    if (dir.empty() || (!file.empty() && file.front() == '/')) return std::string(file);
    std::string path(dir);
    if (path.back() != '/') path += '/';
    path += file;
    return path;
}

std::string collection_path(std::string_view dir, std::string_view collection_name) {
    std::string path = join_path(dir, collection_name);
    path += '.';
    path += collection_extension;
    return path;
}

std::optional<std::string_view> collection_name_of(std::string_view file_name) {
    std::size_t dot = file_name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    if (file_name.substr(dot + 1) != collection_extension) return std::nullopt;
    return file_name.substr(0, dot);
}

Status check_collection_name(std::string_view collection_name) {
    bool invalid = collection_name.empty() || collection_name == "." || collection_name == ".." ||
                   collection_name.find('/') != std::string_view::npos ||
                   collection_name.find('\0') != std::string_view::npos;
    if (invalid) return Error::value_error("Invalid collection name '" + std::string(collection_name) + "'");
    return success();
}

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = at + text.size();
    while (at < end) {
        unsigned char lead = *at;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        if (length == 0 || lead > 0xF4 || end - at < length) return false;
        for (int i = 1; i < length; ++i)
            if ((at[i] & 0xC0) != 0x80) return false;
        if (lead == 0xE0 && at[1] < 0xA0) return false;  // overlong
        if (lead == 0xED && at[1] >= 0xA0) return false;  // surrogate
        if (lead == 0xF0 && at[1] < 0x90) return false;  // overlong
        if (lead == 0xF4 && at[1] >= 0x90) return false;  // beyond U+10FFFF
        at += length;
    }
    return true;
}

}  // namespace quarn
