// The one reader of property lists: expat's events turned into a visitor's values.
// Debian's expat is built with DTD support, whose amplification limits expat.h declares only
// under this name.
#ifndef XML_DTD
#define XML_DTD 1
#endif
#include <expat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "plist/plist.h"

namespace quillon {

void PlistBuilder::add(PlistValue value) {
    if (open_.empty()) {
        done_ = std::move(value);
    } else if (auto *array = open_.back().value.as<PlistArray>()) {
        array->push_back(std::move(value));
    } else {
        open_.back().value.as<PlistDictionary>()->emplace_back(std::move(open_.back().key), std::move(value));
    }
}

void PlistBuilder::end() {
    PlistValue value = std::move(open_.back().value);
    open_.pop_back();
    add(std::move(value));
}

PlistValue PlistBuilder::take() {
    PlistValue value = std::move(*done_);
    done_.reset();
    return value;
}

namespace {

// ---- Scalars -------------------------------------------------------------------------------

// The value of a scalar element `name` holding `text`; nullopt with `error` for a malformed
// one or any other element.
std::optional<PlistValue> scalarValue(std::string_view name, std::string text, std::string *error) {
    auto fail = [error](std::string why) -> std::optional<PlistValue> {
        *error = std::move(why);
        return std::nullopt;
    };
    if (name == "string") return PlistValue(std::move(text));
    if (name == "date") {
        const auto date = parseUtc(text);
        if (!date) return fail("invalid <date> \"" + text.substr(0, 40) + "\"");
        return PlistValue(*date);
    }
    if (name == "integer") {
        // Plain digits of at most 18 (no overflow possible) read directly: one per record.
        if (!text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos) {
            int64_t number = 0;
            for (char c : text) number = number * 10 + (c - '0');
            return PlistValue(number);
        }
        char *end = nullptr;
        errno = 0;
        const long long number = strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno == ERANGE) return fail("invalid <integer>");
        return PlistValue(static_cast<int64_t>(number));
    }
    if (name == "real") {
        char *end = nullptr;
        const double number = strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0') return fail("invalid <real>");
        return PlistValue(number);
    }
    if (name == "true") return PlistValue(true);
    if (name == "false") return PlistValue(false);
    return fail("unknown element <" + std::string(name) + ">");
}

// ---- Bytes that XML cannot hold ------------------------------------------------------------

// A file name may hold any byte but NUL; XML holds only valid UTF-8 without most control
// characters, and the writer puts those as references (&#1;) that XML forbids too. Before
// expat sees a document, each such byte, and each such reference, becomes the private-use
// character U+10FE00 + byte; the text read turns it back into the byte.
bool isControl(uint32_t c) { return c >= 1 && c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

void putEscaped(uint32_t byte, std::string *out) {
    const char escaped[] = {'\xF4', '\x8F', static_cast<char>(0xB8 + (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
    out->append(escaped, 4);
}

// How long the valid UTF-8 sequence at `p` (of `n` bytes) is: 0 when invalid or a
// noncharacter XML refuses, -1 when it may be cut short by the end of the piece.
int sequenceLength(const unsigned char *p, size_t n) {
    const unsigned char c = p[0];
    const int length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0) return 0;
    // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
    const unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    for (int i = 1; i < length; i++) {
        if (static_cast<size_t>(i) >= n) return -1;
        if (p[i] < (i == 1 ? low : 0x80) || p[i] > (i == 1 ? high : 0xBF)) return 0;
    }
    if (c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return 0;  // U+FFFE, U+FFFF
    return length;
}

// The control character a reference at `p` ("&#1;", "&#x1f;") names, 0 for anything else;
// -1 when the piece may end before the reference does.
int controlReference(const char *p, size_t n) {
    size_t i = 2;
    if (n < 3) return -1;
    if (p[1] != '#') return 0;
    const bool hex = p[2] == 'x';
    i += hex;
    uint32_t value = 0;
    for (size_t digits = 0; i < n; i++, digits++) {
        const char c = p[i];
        if (c == ';') return digits > 0 && isControl(value) ? static_cast<int>(value) : 0;
        const int digit = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0 || digits >= 8) return 0;
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
    }
    return -1;
}

class Escaper {
 public:
    // `piece` as expat is to see it; what may continue into the next piece is kept for it.
    // Most pieces need nothing escaped and are handed on as they are.
    std::string_view escape(std::string_view piece, bool last) {
        const bool carried = !carry_.empty();
        if (carried) piece = carry_.append(piece);
        out_.clear();
        const char *p = piece.data();
        const size_t n = piece.size();
        size_t i = 0, plain = 0;
        while (i < n) {
            const auto c = static_cast<unsigned char>(p[i]);
            if (c >= 0x20 && c < 0x80 && c != '&') {
                i++;
                continue;
            }
            int length = 1;
            int byte = -1;  // the byte to escape
            if (c == '&') {
                const int control = controlReference(p + i, n - i);
                if (control < 0 && !last) break;
                if (control > 0) {
                    byte = control;
                    length = static_cast<int>(static_cast<const char *>(memchr(p + i, ';', n - i)) - (p + i)) + 1;
                }
            } else if (c >= 0x80) {
                length = sequenceLength(reinterpret_cast<const unsigned char *>(p + i), n - i);
                if (length < 0 && !last) break;
                if (length <= 0) length = 1, byte = c;
            } else if (isControl(c)) {
                byte = c;
            }
            if (byte >= 0) {
                out_.append(p + plain, i - plain);
                putEscaped(static_cast<uint32_t>(byte), &out_);
                plain = i + static_cast<size_t>(length);
            }
            i += static_cast<size_t>(length);
        }
        std::string rest(piece.substr(i));
        if (plain == 0 && !carried) {
            carry_ = std::move(rest);
            return piece.substr(0, i);
        }
        out_.append(p + plain, i - plain);
        carry_ = std::move(rest);
        return out_;
    }

 private:
    std::string carry_, out_;
};

// Text read back: each escaped byte becomes the byte again.
std::string unescaped(std::string text) {
    size_t at = text.find('\xF4');
    if (at == std::string::npos) return text;
    size_t to = at;
    for (; at < text.size(); at++) {
        const auto *u = reinterpret_cast<const unsigned char *>(text.data() + at);
        if (u[0] == 0xF4 && at + 3 < text.size() && u[1] == 0x8F && u[2] >= 0xB8 && u[2] <= 0xBB) {
            text[to++] = static_cast<char>(((u[2] - 0xB8) << 6) | (u[3] & 0x3F));
            at += 3;
        } else {
            text[to++] = text[at];
        }
    }
    text.resize(to);
    return text;
}

// ---- The reader ----------------------------------------------------------------------------

class Reader {
 public:
    // With `lenient`, the builder `visitor` is, a malformed top-level entry is left out and
    // described in `unreadable`.
    Reader(PlistVisitor &visitor, PlistBuilder *lenient, std::vector<std::string> *unreadable)
        : visitor_(visitor), lenient_(lenient), unreadable_(unreadable), parser_(XML_ParserCreate("UTF-8")) {
        if (!parser_) return;
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &Reader::onStart, &Reader::onEnd);
        XML_SetCharacterDataHandler(parser_.get(), &Reader::onText);
        XML_SetStartDoctypeDeclHandler(parser_.get(), &Reader::onDoctype);
        XML_SetSkippedEntityHandler(parser_.get(), &Reader::onSkippedEntity);
#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 4)
        XML_SetBillionLaughsAttackProtectionMaximumAmplification(parser_.get(), 100.0f);
        XML_SetBillionLaughsAttackProtectionActivationThreshold(parser_.get(), 1 << 20);
#endif
    }

    // Reads the document from `source` (the bytes of a piece, empty at the end, nullopt on
    // failure); kRead, kMalformed (with error()) or kReadFailed (errno).
    enum class Result { kRead, kMalformed, kReadFailed };
    Result read(const std::function<std::optional<std::string_view>()> &source) {
        if (!parser_) {
            error_ = "out of memory";
            return Result::kMalformed;
        }
        Escaper escaper;
        for (;;) {
            const auto piece = source();
            if (!piece) return Result::kReadFailed;
            const bool last = piece->empty();
            const std::string_view bytes = escaper.escape(*piece, last);
            if (XML_Parse(parser_.get(), bytes.data(), static_cast<int>(bytes.size()), last) != XML_STATUS_OK) {
                if (error_.empty()) {
                    error_ = std::string(XML_ErrorString(XML_GetErrorCode(parser_.get()))) + " at line " +
                             std::to_string(XML_GetCurrentLineNumber(parser_.get())) + ", column " +
                             std::to_string(XML_GetCurrentColumnNumber(parser_.get())) + " (byte " +
                             std::to_string(XML_GetCurrentByteIndex(parser_.get())) + ")";
                }
                return Result::kMalformed;
            }
            if (last) return Result::kRead;
        }
    }
    const std::string &error() const { return error_; }

 private:
    // An element open: a value (array, dict or scalar), a key, the <plist> around the value,
    // or one whose content counts for nothing (inside a scalar or key, or being skipped).
    enum class Kind { plist, array, dict, scalar, key, ignored };
    struct Frame {
        Kind kind;
        int depth;         // of a value: 0 at the top, 1 inside <plist>
        std::string name;  // of a scalar
        bool open = false;  // dict: a key read, its value not begun; plist: its value begun
        std::string key = {};  // a lenient dict's entry being read
    };

    // Once stopped, expat may still hand over an event or two: they count for nothing.
    static void onStart(void *self, const XML_Char *name, const XML_Char **) {
        auto *reader = static_cast<Reader *>(self);
        if (reader->error_.empty()) reader->start(name);
    }
    static void onEnd(void *self, const XML_Char *) {
        auto *reader = static_cast<Reader *>(self);
        if (reader->error_.empty()) reader->end();
    }
    static void onText(void *self, const XML_Char *text, int length) {
        auto *reader = static_cast<Reader *>(self);
        const Kind kind = reader->stack_.empty() || !reader->error_.empty() ? Kind::ignored : reader->stack_.back().kind;
        if (kind == Kind::scalar || kind == Kind::key) reader->text_.append(text, static_cast<size_t>(length));
    }
    static void onDoctype(void *self, const XML_Char *, const XML_Char *, const XML_Char *, int internalSubset) {
        if (internalSubset) static_cast<Reader *>(self)->stop("a doctype with an internal subset is not read");
    }
    static void onSkippedEntity(void *self, const XML_Char *name, int) {
        static_cast<Reader *>(self)->stop(std::string("undefined entity &") + name + ";");
    }

    void start(const char *name) {
        if (stack_.empty()) {
            if (strcmp(name, "plist") == 0) stack_.push_back({Kind::plist, 1, {}});
            else beginValue(name, 0);
            return;
        }
        Frame &top = stack_.back();
        switch (top.kind) {
            case Kind::plist:
                if (top.open) return stop("<plist> holds more than one value");
                top.open = true;
                return beginValue(name, 1);
            case Kind::array: return beginValue(name, top.depth + 1);
            case Kind::dict:
                if (top.open) {
                    top.open = false;
                    return beginValue(name, top.depth + 1);
                }
                if (strcmp(name, "key") != 0) {
                    stack_.push_back({Kind::ignored, 0, {}});
                    return fail("<dict> entry without a <key>", stack_.size() - 2);
                }
                text_.clear();
                return stack_.push_back({Kind::key, 0, {}});
            default: return stack_.push_back({Kind::ignored, 0, {}});
        }
    }

    void beginValue(const char *name, int depth) {
        const Kind kind = strcmp(name, "array") == 0 ? Kind::array : strcmp(name, "dict") == 0 ? Kind::dict : Kind::scalar;
        stack_.push_back({kind, depth, kind == Kind::scalar ? name : std::string()});
        if (depth > kPlistMaxDepth) {
            stack_.back().kind = Kind::ignored;
            return fail("nesting too deep", stack_.size() - 1);
        }
        if (kind == Kind::array) visitor_.beginArray();
        else if (kind == Kind::dict) visitor_.beginDict();
        else text_.clear();
    }

    void end() {
        Frame &top = stack_.back();
        const size_t level = stack_.size() - 1;
        switch (top.kind) {
            case Kind::key: {
                std::string key = unescaped(std::move(text_));
                stack_.pop_back();
                Frame &dict = stack_.back();
                dict.open = true;
                if (lenient_ && dict.depth <= 1) dict.key = key;
                return visitor_.key(std::move(key));
            }
            case Kind::scalar: {
                std::string why;
                auto value = scalarValue(top.name, unescaped(std::move(text_)), &why);
                if (!value) return fail(std::move(why), level, true);
                stack_.pop_back();
                return visitor_.scalar(std::move(*value));
            }
            case Kind::dict:
                if (top.open) return fail("<key> without a value", level, true);
                [[fallthrough]];
            case Kind::array:
                stack_.pop_back();
                return visitor_.end();
            case Kind::plist:
                if (!top.open) return stop("<plist> holds no value");
                [[fallthrough]];
            default: stack_.pop_back();
        }
    }

    // The value at `level` is malformed; `closing` when its end tag is being read. Leniently,
    // the top-level entry holding it is left out, and what of it remains skipped.
    void fail(std::string why, size_t level, bool closing = false) {
        for (size_t i = level; lenient_ && i-- > 0;) {
            if (stack_[i].kind != Kind::dict || stack_[i].depth > 1) continue;
            size_t containers = 0;
            for (size_t j = i + 1; j < stack_.size(); j++)
                containers += stack_[j].kind == Kind::array || stack_[j].kind == Kind::dict;
            lenient_->forget(containers);
            unreadable_->push_back(stack_[i].key + ": " + why);
            if (closing && level == i + 1) {
                stack_.resize(i + 1);
            } else {
                stack_.resize(i + 2);
                stack_.back().kind = Kind::ignored;
            }
            return;
        }
        stop(std::move(why));
    }

    void stop(std::string why) {
        if (error_.empty()) error_ = std::move(why);
        XML_StopParser(parser_.get(), XML_FALSE);
    }

    struct Free {
        void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
    };
    PlistVisitor &visitor_;
    PlistBuilder *lenient_;
    std::vector<std::string> *unreadable_;
    std::unique_ptr<XML_ParserStruct, Free> parser_;
    std::vector<Frame> stack_;
    std::string text_;  // of the scalar or key being read
    std::string error_;
};

constexpr size_t kPiece = size_t{1} << 20;

// The pieces of `data`, then an empty one.
std::function<std::optional<std::string_view>()> piecesOf(std::string_view data) {
    return [data]() mutable -> std::optional<std::string_view> {
        const std::string_view piece = data.substr(0, kPiece);
        data.remove_prefix(piece.size());
        return piece;
    };
}

bool readDocument(Reader &reader, std::string_view data, std::string *error) {
    if (reader.read(piecesOf(data)) == Reader::Result::kRead) return true;
    if (error) *error = reader.error();
    return false;
}

}  // namespace

std::optional<PlistValue> decodePlist(std::string_view data, std::string *error, std::vector<std::string> *unreadable) {
    PlistBuilder builder;
    Reader reader(builder, unreadable ? &builder : nullptr, unreadable);
    if (!readDocument(reader, data, error)) return std::nullopt;
    return builder.complete() ? std::optional<PlistValue>(builder.take()) : std::nullopt;
}

bool visitPlist(std::string_view data, PlistVisitor &visitor, std::string *error) {
    Reader reader(visitor, nullptr, nullptr);
    return readDocument(reader, data, error);
}

bool visitPlistFile(int fd, PlistVisitor &visitor, std::string *error, size_t largest) {
    std::string buffer(kPiece, '\0');
    size_t total = 0;
    const auto source = [&]() -> std::optional<std::string_view> {
        ssize_t n;
        while ((n = read(fd, buffer.data(), buffer.size())) < 0 && errno == EINTR) {
        }
        if (n > 0 && (total += static_cast<size_t>(n)) > largest) errno = EFBIG, n = -1;
        if (n < 0) return std::nullopt;
        return std::string_view(buffer.data(), static_cast<size_t>(n));
    };
    Reader reader(visitor, nullptr, nullptr);
    switch (reader.read(source)) {
        case Reader::Result::kRead: errno = 0; return true;
        case Reader::Result::kMalformed:
            if (error) *error = reader.error();
            errno = 0;
            return false;
        case Reader::Result::kReadFailed: break;
    }
    const int cause = errno;
    if (error) *error = std::string("cannot read: ") + strerror(cause);
    errno = cause;
    return false;
}

}  // namespace quillon
