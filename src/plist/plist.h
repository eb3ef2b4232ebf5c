// Property lists: the value tree and its XML 1.0 coding (the format with the "-//Apple//DTD
// PLIST 1.0//EN" doctype). Supported types: array, dict, string, date, integer, real and
// true/false. Dates are written in UTC to the whole second. Decoding never throws or crashes:
// whatever the bytes, it yields a value or an error description.
//
// One reader, over expat, reads every document in one pass, holding no more of it than a
// piece and the text of one element. Documents are taken as UTF-8 whatever they declare;
// CDATA sections, the predefined and numeric character references and line ends are read as
// XML reads them; a doctype with an internal subset (where entities would be declared) is
// refused. A name is bytes, not text: bytes that XML cannot hold (invalid UTF-8, control
// characters, written by the writer as references) read back as the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/calendar_date.h"

namespace quillon {

// Deeper documents are refused, read or written, rather than risk the stack.
inline constexpr int kPlistMaxDepth = 512;

struct PlistValue;
using PlistArray = std::vector<PlistValue>;
// Entries in document order; keys are looked up with find().
using PlistDictionary = std::vector<std::pair<std::string, PlistValue>>;

struct PlistValue {
    std::variant<std::string, CalendarDate, int64_t, double, bool, PlistArray, PlistDictionary> value;

    PlistValue() : value(std::string()) {}
    template <typename T>
    PlistValue(T v) : value(std::move(v)) {}  // NOLINT: implicit on purpose, values read naturally
    PlistValue(const char *v) : value(std::string(v)) {}

    template <typename T>
    const T *as() const { return std::get_if<T>(&value); }
    template <typename T>
    T *as() { return std::get_if<T>(&value); }
    // For a dictionary: the value of the first entry with `key`, else nullptr.
    const PlistValue *find(const std::string &key) const;
};

// Writes a document piece by piece in document order, for values too large to be worth
// building as a tree first. Pieces that cannot be written (see encodePlist) make finish fail.
class PlistWriter {
 public:
    // Takes the document's bytes in order; false (errno telling why) stops the writing.
    using Sink = std::function<bool(const std::string &bytes)>;

    PlistWriter();  // the XML declaration, the doctype and <plist version="1.0">
    // A writer that hands the document to `sink` in pieces of about kPiece bytes as it grows,
    // so that a large one is never held whole; finish then returns an empty string.
    explicit PlistWriter(Sink sink);
    static constexpr size_t kPiece = size_t{1} << 20;
    // Room for a document of about `bytes`, so that a large one is not copied as it grows.
    void reserve(size_t bytes) { out_.reserve(bytes); }
    void beginArray();
    void beginDict();
    bool end(const char *kind);  // "array" or "dict", closing the innermost one
    bool emptyArray();
    bool emptyDict();
    bool key(const std::string &text);
    bool string(const std::string &text);
    bool integer(int64_t value);
    bool real(double value);
    bool boolean(bool value);
    bool date(const CalendarDate &date);
    bool value(const PlistValue &value);  // a whole value tree, as encodePlist writes it
    bool fail(const char *why);
    // The whole document, or nullopt with `error` when a piece could not be written. With a
    // sink, "" once the sink took the rest; a sink's failure leaves `error` empty.
    std::optional<std::string> finish(std::string *error);

 private:
    bool ok() const { return error_.empty() && !sinkFailed_; }
    bool spill();  // hands a full piece to the sink
    void indent();
    bool line(const char *text);
    bool element(const char *name, const std::string &text);

    std::string out_;
    std::string error_;
    int depth_ = 0;
    Sink sink_;
    bool sinkFailed_ = false;
};

// The XML document for `value`, or nullopt with `error` set when it cannot be written
// (a real that is not finite, a date outside years 0001-9999, a string holding NUL).
std::optional<std::string> encodePlist(const PlistValue &value, std::string *error);

// The value that `data` holds, or nullopt with `error` set to a description of what is wrong
// (expat's, with line, column and byte offset, for XML that is not well formed).
// With `unreadable`, a top-level dictionary entry whose value is malformed (an integer out of
// range, a bad date) is left out and described there ("key: why") instead of failing the
// whole document; anything else malformed still fails it.
std::optional<PlistValue> decodePlist(std::string_view data, std::string *error,
                                      std::vector<std::string> *unreadable = nullptr);

// Receives a document's values in document order, for a reader that builds its own objects
// straight from the file instead of a value tree first.
class PlistVisitor {
 public:
    virtual ~PlistVisitor() = default;
    virtual void beginArray() = 0;
    virtual void beginDict() = 0;
    virtual void end() = 0;                       // of the innermost array or dict
    virtual void key(std::string text) = 0;       // a dict's key; its value follows
    virtual void scalar(PlistValue value) = 0;    // a string, date, integer, real or boolean
};

// Builds the value whose events it receives: those of a whole document, or of one value
// inside a larger one.
class PlistBuilder : public PlistVisitor {
 public:
    void beginArray() override { open_.push_back({PlistArray{}, {}}); }
    void beginDict() override { open_.push_back({PlistDictionary{}, {}}); }
    void end() override;
    void key(std::string text) override { open_.back().key = std::move(text); }
    void scalar(PlistValue value) override { add(std::move(value)); }
    // Whether a value is complete; take() hands it over and readies the builder for the next.
    bool complete() const { return done_.has_value(); }
    PlistValue take();
    // Drops the `containers` innermost arrays and dicts begun and not ended.
    void forget(size_t containers) { open_.resize(open_.size() - containers); }

 private:
    struct Open {
        PlistValue value;
        std::string key;  // of a dict's entry whose value is being read
    };
    void add(PlistValue value);
    std::vector<Open> open_;
    std::optional<PlistValue> done_;
};

// Walks `data` as decodePlist reads it (without `unreadable`), handing each value to
// `visitor`; false with `error` at the first thing malformed, after which the visitor's
// work is to be discarded.
bool visitPlist(std::string_view data, PlistVisitor &visitor, std::string *error);

// The same for the file open at `fd`, read on from its offset with read() in pieces, so that
// a large file is never held whole; more than `largest` bytes fail with EFBIG. A read failure
// says so in `error` and leaves errno set; malformed data leaves errno 0.
bool visitPlistFile(int fd, PlistVisitor &visitor, std::string *error, size_t largest);

}  // namespace quillon
