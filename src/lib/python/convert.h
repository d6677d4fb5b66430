// Conversion between Python objects and Values. Callers hold the interpreter lock.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "core/result.h"
#include "json/value.h"
#include "core/limits.h"
#include "python/ref.h"
#include "store/database.h"

namespace quarn {

// Values nested deeper than this (or containers that contain themselves)
// are refused, so that whatever is stored can be read back.
inline constexpr int max_convert_nesting = max_document_nesting;

struct ConversionError {
    enum class Kind { PyErr, Message, UnsupportedType, UnexpectedType, IncorrectSequenceLength };
    Kind kind;
    std::string text;        // Message text, type name, or failed type check text
    Ref exc_type, exc_value, exc_traceback;  // PyErr: the fetched exception
    std::size_t expected = 0, actual = 0;    // IncorrectSequenceLength

    // The display text of the error.
    std::string display() const;
};

// Borrows object; returns a new Value. max_nesting bounds its container
// levels (at most max_convert_nesting + 1).
Result<Value, ConversionError> python_to_json(PyObject* object, int max_nesting = max_convert_nesting);

// A new list of the collection's documents, built under its read lock with
// the cyclic collector paused. A poisoned collection gives the Message
// "lock poison error while serializing".
Result<Ref, ConversionError> collection_to_python(const SharedCollection& collection);

// A new list of what find found: the matched documents, or all of them.
Result<Ref, ConversionError> found_to_python(const FoundDocuments& found);

// The dict and list arguments of one method call, handed to the engine as
// sources that convert them when its operation reaches them. A failed
// conversion is an internal failure: PanicException naming what. When Python
// code raised during it, that exception is kept here for the rest of the call
// and becomes the PanicException's __cause__; one that is not an Exception
// (KeyboardInterrupt, SystemExit) is not a failure of the conversion and
// propagates as itself.
class ConvertedArguments {
public:
    // A source converting object (borrowed: the call keeps it alive). The
    // source refers to this object, which must outlive it.
    ValueSource source(PyObject* object, const char* what, int max_nesting = max_convert_nesting);

    // result as the method returns it: a failed conversion's error raised
    // now, with its cause (then Error::python_raised()); anything else unchanged.
    template <typename T>
    Result<T> checked(Result<T> result) {
        if (!result && cause_) return raised_with_cause(result.error());
        return result;
    }

private:
    Error conversion_failed(ConversionError error, const char* what);
    Error raised_with_cause(const Error& error);
    Ref cause_;  // the exception Python code raised during the failed conversion
};

// Sets the Python exception for error and returns Error::python_raised().
Error to_python_exception(ConversionError error);

// An error of kind carrying text (the payload of Message, UnsupportedType, UnexpectedType).
inline ConversionError make_conversion_error(ConversionError::Kind kind, std::string text = {}) {
    ConversionError error{};
    error.kind = kind;
    error.text = std::move(text);
    return error;
}

// Makes dying keys release their cached str; call once at module init (the
// conversions also call it before they first fill a cache).
void install_key_cache_release();

// Takes the interpreter's pending exception into a PyErr error (normalised,
// so that its text can be shown); leaves no exception pending.
ConversionError fetch_conversion_error();

}  // namespace quarn
