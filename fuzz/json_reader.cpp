// The JSON reader on arbitrary bytes: it must never crash, accept only UTF-8,
// place the fault of what it refuses within the text, and whatever it accepts
// must write back to text that reads back to the same value and writes to the
// very same text again.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "json/writer.h"
#include "store/paths.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "json_reader: %s; text: %.*s\n", what, static_cast<int>(text.size()), text.data());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t fault = size + 1;
    std::optional<quarn::Value> value = quarn::parse_json(input, &fault);
    if (!value) {
        // The fault lies within the text, or just past it when the text ends too early.
        if (fault > size) fail("a fault reported outside the text", input);
        const quarn::TextPosition position = quarn::text_position(input, fault);
        if (position.line == 0 || position.column == 0) fail("a fault position that is not 1-based", input);
        return 0;
    }
    if (!quarn::is_valid_utf8(input)) fail("accepted text that is not UTF-8", input);

    std::string first;
    if (!quarn::append_json(first, *value, quarn::max_read_nesting)) fail("a value read could not be written", input);
    // Written text is plain: valid UTF-8, no raw control characters.
    if (!quarn::is_valid_utf8(first)) fail("wrote text that is not UTF-8", first);
    for (char c : first)
        if (static_cast<unsigned char>(c) < 0x20) fail("wrote a raw control character", first);

    std::optional<quarn::Value> again = quarn::parse_json(first);
    if (!again) fail("written text does not read back", first);
    if (!(*again == *value)) fail("written text reads back as another value", first);
    std::string second;
    if (!quarn::append_json(second, *again, quarn::max_read_nesting) || second != first)
        fail("the second writing differs from the first", first);
    return 0;
}
