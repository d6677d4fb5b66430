// Failures travel as values: every engine operation returns a Result, and
// only the binding's call wrapper turns an Error into a Python exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace quarn {

enum class ErrorKind : std::uint8_t {
    TypeError,      // argument binding and conversion
    RuntimeError,   // borrow conflicts
    ValueError,     // data errors with messages built by the system
    Exception,      // a failure that has no finer class (a value that cannot be converted)
    OSError,        // OSError with a message built by the system
    OSErrorCode,    // an operating-system error passed through: the family is chosen by its code
    Panic,          // an internal failure: PanicException
    PythonRaised,   // the interpreter already holds the exception to raise
};

// What the store was doing with the file that an error is about.
enum class FileAction : std::uint8_t { None, Reading, Writing, Creating, Listing, Removing };

// The file an error is about, shown beside the message, never in it.
struct FileContext {
    std::string path;  // empty: the error is about no file
    FileAction action = FileAction::None;
    // Where JSON text that does not parse went wrong: 1-based, the column
    // counted in characters; 0 when the text is not at fault.
    std::size_t line = 0;
    std::size_t column = 0;
};

struct Error {
    ErrorKind kind;
    std::string message;
    int os_code = 0;  // errno, for the OS-error kinds; not positive when the system gave none
    FileContext file = {};
    // How the caller can go on, shown beside the message as the file is; empty: nothing to say.
    std::string advice = {};

    static Error type_error(std::string message) { return {ErrorKind::TypeError, std::move(message)}; }
    static Error runtime_error(std::string message) { return {ErrorKind::RuntimeError, std::move(message)}; }
    static Error value_error(std::string message) { return {ErrorKind::ValueError, std::move(message)}; }
    static Error exception(std::string message) { return {ErrorKind::Exception, std::move(message)}; }
    // An OSError with a message of its own, for the operating-system error code.
    static Error os_error(std::string message, int code) { return {ErrorKind::OSError, std::move(message), code}; }
    static Error panic(std::string message) { return {ErrorKind::Panic, std::move(message)}; }
    // The binding's: the interpreter holds the exception (it is never dropped on the way up).
    static Error python_raised() { return {ErrorKind::PythonRaised, {}}; }
    // The message is the system's text for code followed by " (os error N)".
    static Error os_code_error(int code);

    // Names the file the error is about, unless it names one already (the
    // innermost operation knows best); a line and column found are kept.
    Error& about_file(const std::string& path, FileAction action) & {
        if (file.path.empty()) {
            file.path = path;
            file.action = action;
        }
        return *this;
    }
    Error&& about_file(const std::string& path, FileAction action) && { return std::move(about_file(path, action)); }
};

struct Unit {};

template <typename T, typename E = Error>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& operator*() noexcept { return *std::get_if<0>(&state_); }
    T* operator->() noexcept { return std::get_if<0>(&state_); }
    E& error() noexcept { return *std::get_if<1>(&state_); }

private:
    std::variant<T, E> state_;
};

using Status = Result<Unit>;
inline Status success() { return Unit{}; }

// result, its error naming the file at path (see Error::about_file).
template <typename T>
Result<T> about_file(Result<T> result, const std::string& path, FileAction action) {
    if (!result) result.error().about_file(path, action);
    return result;
}

}  // namespace quarn
