// The one-pass reader behind visitPlist and visitPlistFile: reads property lists written as
// plain XML straight into a visitor, holding no more of the document than its longest piece
// of text. It accepts only what it reads exactly as the general parser would; for anything
// else (CDATA, entities beyond the predefined and numeric ones, a doctype's internal subset,
// processing instructions, a carriage return inside text, any malformed markup) it gives up
// and the caller hands the document to the general parser.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "plist/plist.h"

namespace quillon::plist_internal {

inline constexpr int kMaxDepth = 512;  // deeper documents are refused rather than risk the stack

// The value of a scalar element `name` (string, date, integer, real, true, false) holding
// `text`; nullopt with `error` for a malformed one or any other element.
std::optional<PlistValue> scalarValue(std::string_view name, std::string text, std::string *error);

// Fills up to `room` bytes at `into`: how many, 0 at the end, -1 with errno on failure.
using PlistSource = std::function<ssize_t(char *into, size_t room)>;

enum class StreamResult {
    kRead,        // the whole document, handed to the visitor
    kNotPlain,    // malformed, or not XML this reader reads: the visitor's work is void
    kReadFailed,  // the source failed (errno)
};

StreamResult streamPlist(std::string_view data, PlistVisitor &visitor);
// `piece`: how many bytes to ask the source for at a time.
StreamResult streamPlist(const PlistSource &source, PlistVisitor &visitor, size_t piece = size_t{1} << 20);

}  // namespace quillon::plist_internal
