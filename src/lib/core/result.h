// Failures travel as values: every engine operation returns a Result, and
// only the binding's call wrapper turns an Error into a Python exception.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace quarn {

enum class ErrorKind : std::uint8_t {
    TypeError,      // argument binding and conversion
    RuntimeError,   // borrow conflicts
    ValueError,     // data errors with messages built by the system
    OSError,        // OSError with a message built by the system
    OSErrorCode,    // an operating-system error passed through: the family is chosen by its code
    Panic,          // an internal failure: PanicException
    PythonRaised,   // the interpreter already holds the exception to raise
};

struct Error {
    ErrorKind kind;
    std::string message;
    int os_code = 0;  // errno, for OSErrorCode

    static Error type_error(std::string message) { return {ErrorKind::TypeError, std::move(message)}; }
    static Error runtime_error(std::string message) { return {ErrorKind::RuntimeError, std::move(message)}; }
    static Error value_error(std::string message) { return {ErrorKind::ValueError, std::move(message)}; }
    static Error os_error(std::string message) { return {ErrorKind::OSError, std::move(message)}; }
    static Error panic(std::string message) { return {ErrorKind::Panic, std::move(message)}; }
    static Error python_raised() { return {ErrorKind::PythonRaised, {}}; }
    // The message is the system's text for code followed by " (os error N)".
    static Error os_code_error(int code);
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

}  // namespace quarn
