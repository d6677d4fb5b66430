#include "store/paths.h"

namespace quarn {

std::string join_path(std::string_view dir, std::string_view file) {
    if (dir.empty() || (!file.empty() && file.front() == '/')) return std::string(file);
    std::string path(dir);
    if (path.back() != '/') path += '/';
    path += file;
    return path;
}

std::string directory_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string_view file_name_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
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

}  // namespace quarn
