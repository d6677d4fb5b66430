// Keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include <exception>
#include <new>

namespace quarn {

template <typename Operation>
auto guard_internal(Operation&& operation) -> decltype(operation()) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Error::python_raised();
    } catch (const std::exception& failure) {
        return Error::panic(failure.what());
    } catch (...) {
        return Error::panic("unknown internal failure");
    }
}

}  // namespace quarn
