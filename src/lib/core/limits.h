// How deeply JSON may nest: the one definition that every nesting limit of the
// reader, the writer, the conversions and the update check derives from (the
// fuzz harness reads it from here too).
#pragma once

namespace quarn {

// The arrays and objects of one document, the document itself being level 1.
inline constexpr int max_document_nesting = 126;

// A collection file is one array around its documents; JSON text read may
// nest this deep (the top-level value is level 1).
inline constexpr int max_read_nesting = max_document_nesting + 1;

}  // namespace quarn
