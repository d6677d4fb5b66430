// Conversion between Python objects and Values. Callers hold the interpreter lock.
#pragma once

#include <cstddef>

#include "core/result.h"
#include "json/value.h"
#include "core/limits.h"
#include "python/ref.h"
#include "store/database.h"

namespace quarn {

// Values nested deeper than this (or containers that contain themselves)
// are refused, so that whatever is stored can be read back.
inline constexpr int max_convert_nesting = max_document_nesting;

// Borrows object; returns a new Value. max_nesting bounds its container
// levels (at most max_convert_nesting + 1). A value that has no JSON form is
// a TypeError, ValueError or Exception with the conversion's fixed text; an
// exception Python code raised during the conversion is pending again when
// this returns, as Error::python_raised().
Result<Value> python_to_json(PyObject* object, int max_nesting = max_convert_nesting);

// A new list of the collection's documents, built under its read lock with
// the cyclic collector paused. A poisoned collection gives the Exception
// "lock poison error while serializing".
Result<Ref> collection_to_python(const SharedCollection& collection);

// A new list of what find found: the matched documents, or all of them.
Result<Ref> found_to_python(const FoundDocuments& found);

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
    Error conversion_failed(Error error, const char* what);
    Error raised_with_cause(const Error& error);
    Ref cause_;  // the exception Python code raised during the failed conversion
};

// Makes dying keys release their cached str; call once at module init (the
// conversions also call it before they first fill a cache).
void install_key_cache_release();

}  // namespace quarn
