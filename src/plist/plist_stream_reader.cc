#include "plist/plist_stream_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>

namespace quillon::plist_internal {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAttributeChar(char c) {
    return isLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == ':' || c == '-' || c == '.';
}

void appendUtf8(uint32_t code, std::string *out) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// A character reference's code point ("#65", "#x41"); false for any the general parser might
// read otherwise (no digits, too many, NUL, a surrogate, beyond Unicode).
bool codePoint(std::string_view ref, uint32_t *code) {
    const bool hex = ref.size() > 1 && ref[1] == 'x';
    const std::string_view digits = ref.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 7) return false;
    uint32_t value = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
    }
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return false;
    *code = value;
    return true;
}

// The text [from, to) with its references replaced; false for text this reader leaves to the
// general parser (a carriage return, which it would turn into a line feed, or an unknown
// reference, which it would keep as written).
bool decodeText(const char *from, const char *to, std::string *out) {
    out->clear();
    const char *run = from;
    for (const char *q = from; q < to; q++) {
        if (*q == '\r') return false;
        if (*q != '&') continue;
        out->append(run, q);
        const auto *semicolon = static_cast<const char *>(memchr(q, ';', static_cast<size_t>(std::min<ptrdiff_t>(to - q, 12))));
        if (!semicolon) return false;
        const std::string_view ref(q + 1, static_cast<size_t>(semicolon - q - 1));
        uint32_t code;
        if (ref == "lt") *out += '<';
        else if (ref == "gt") *out += '>';
        else if (ref == "amp") *out += '&';
        else if (ref == "quot") *out += '"';
        else if (ref == "apos") *out += '\'';
        else if (!ref.empty() && ref[0] == '#' && codePoint(ref, &code)) appendUtf8(code, out);
        else return false;
        q = semicolon;
        run = semicolon + 1;
    }
    out->append(run, to);
    return true;
}

// The elements of a property list. Any other element is refused wherever it stands, by the
// general reader too, so a tag of another name ends the reading at once.
enum class Element : uint8_t { kPlist, kArray, kDict, kKey, kString, kDate, kInteger, kReal, kTrue, kFalse };
constexpr std::string_view kElementNames[] = {"plist", "array", "dict", "key", "string",
                                              "date", "integer", "real", "true", "false"};

bool elementNamed(std::string_view name, Element *element) {
    if (name.empty()) return false;
    // Told apart by length and first letter, then checked whole: one compare per tag.
    Element guess;
    switch (name.size() * 256 + static_cast<unsigned char>(name[0])) {
        case 5 * 256 + 'p': guess = Element::kPlist; break;
        case 5 * 256 + 'a': guess = Element::kArray; break;
        case 4 * 256 + 'd': guess = name[1] == 'i' ? Element::kDict : Element::kDate; break;
        case 3 * 256 + 'k': guess = Element::kKey; break;
        case 6 * 256 + 's': guess = Element::kString; break;
        case 7 * 256 + 'i': guess = Element::kInteger; break;
        case 4 * 256 + 'r': guess = Element::kReal; break;
        case 4 * 256 + 't': guess = Element::kTrue; break;
        case 5 * 256 + 'f': guess = Element::kFalse; break;
        default: return false;
    }
    if (name != kElementNames[static_cast<size_t>(guess)]) return false;
    *element = guess;
    return true;
}

struct Tag {
    enum Kind { kStart, kEnd, kEmpty } kind = kStart;
    Element element = Element::kPlist;
    std::string_view name() const { return kElementNames[static_cast<size_t>(element)]; }
};

class Reader {
 public:
    explicit Reader(std::string_view data) : p_(data.data()), end_(data.data() + data.size()) {
        notPlain_ = memchr(data.data(), '\0', data.size()) != nullptr;  // the general parser stops at one
    }
    Reader(const PlistSource &source, size_t piece) : source_(&source), piece_(piece) {}

    StreamResult read(PlistVisitor &visitor) {
        visitor_ = &visitor;
        const bool whole = !notPlain_ && document();
        if (failed_) return StreamResult::kReadFailed;
        return whole && !notPlain_ ? StreamResult::kRead : StreamResult::kNotPlain;
    }

 private:
    size_t avail() const { return static_cast<size_t>(end_ - p_); }

    // Reads another piece after the unread bytes, which move to the buffer's start; false at
    // the document's end. Offsets from p_ stay valid across the call, pointers do not.
    bool more() {
        if (!source_ || eof_ || failed_ || notPlain_) return false;
        const size_t kept = avail();
        if (capacity_ - kept < std::max<size_t>(piece_ / 2, 1)) {  // only text longer than a piece grows it
            const size_t capacity = std::max(kept + piece_, 2 * capacity_);  // doubling: linear in all
            auto bigger = std::make_unique<char[]>(capacity);
            if (kept > 0) memcpy(bigger.get(), p_, kept);
            buffer_ = std::move(bigger);
            capacity_ = capacity;
        } else if (kept > 0 && p_ != buffer_.get()) {
            memmove(buffer_.get(), p_, kept);
        }
        p_ = buffer_.get();
        end_ = p_ + kept;
        ssize_t n;
        do n = (*source_)(buffer_.get() + kept, capacity_ - kept);
        while (n < 0 && errno == EINTR);
        if (n < 0) failed_ = true;
        if (n == 0) eof_ = true;
        if (n <= 0) return false;
        if (memchr(end_, '\0', static_cast<size_t>(n))) notPlain_ = true;
        end_ += n;
        return !notPlain_;
    }
    bool need(size_t n) {
        while (avail() < n)
            if (!more()) return false;
        return true;
    }
    bool startsWith(std::string_view s) { return need(s.size()) && memcmp(p_, s.data(), s.size()) == 0; }
    // The offset from p_ of the first `c` at or after `from`.
    bool find(char c, size_t from, size_t *at) {
        for (;;) {
            if (from < avail()) {
                if (const void *hit = memchr(p_ + from, c, avail() - from)) {
                    *at = static_cast<size_t>(static_cast<const char *>(hit) - p_);
                    return true;
                }
                from = avail();
            }
            if (!more()) return false;
        }
    }
    bool find(std::string_view s, size_t from, size_t *at) {
        for (;;) {
            if (from + s.size() <= avail()) {
                if (const void *hit = memmem(p_ + from, avail() - from, s.data(), s.size())) {
                    *at = static_cast<size_t>(static_cast<const char *>(hit) - p_);
                    return true;
                }
                from = avail() - s.size() + 1;
            }
            if (!more()) return false;
        }
    }
    bool skipSpace() {
        for (;;) {
            while (p_ < end_ && isSpace(*p_)) p_++;
            if (p_ < end_) return true;
            if (!more()) return false;
        }
    }
    bool skipComment() {  // at "<!--"
        size_t at;
        if (!find("-->", 4, &at)) return false;
        p_ += at + 3;
        return true;
    }
    bool skipDoctype() {  // at "<!DOCTYPE"; quoted identifiers may hold '>'
        if (!need(10) || !isSpace(p_[9])) return false;
        char quote = 0;
        for (size_t i = 10;; i++) {
            if (!need(i + 1)) return false;
            const char c = p_[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[' || c == '<') {
                return false;
            } else if (c == '>') {
                p_ += i + 1;
                return true;
            }
        }
    }

    // The tag at p_ ('<'), of one of the elements. Attributes are checked for form and
    // otherwise ignored.
    bool readTag(Tag *tag) {
        if (plainTag(tag)) return true;
        size_t close;
        if (!find('>', 1, &close)) return false;
        const char *q = p_ + 1, *stop = p_ + close;
        tag->kind = Tag::kStart;
        if (*q == '/') {
            tag->kind = Tag::kEnd;
            q++;
        } else if (stop[-1] == '/' && stop - 1 > q) {
            tag->kind = Tag::kEmpty;
            stop--;
        }
        const char *name = q;
        while (q < stop && isLetter(*q)) q++;
        if (!elementNamed(std::string_view(name, static_cast<size_t>(q - name)), &tag->element)) return false;
        while (q < stop) {
            if (!isSpace(*q)) return false;
            while (q < stop && isSpace(*q)) q++;
            if (q == stop) break;
            if (tag->kind == Tag::kEnd || !isLetter(*q)) return false;
            while (q < stop && isAttributeChar(*q)) q++;
            while (q < stop && isSpace(*q)) q++;
            if (q == stop || *q++ != '=') return false;
            while (q < stop && isSpace(*q)) q++;
            if (q == stop || (*q != '"' && *q != '\'')) return false;
            const char quote = *q++;
            while (q < stop && *q != quote)
                if (*q == '<' || *q++ == '&') return false;
            if (q++ == stop) return false;
        }
        p_ += close + 1;
        return true;
    }
    // The common shapes, <name>, </name> and <name/>, read without a search for the '>'.
    bool plainTag(Tag *tag) {
        const char *q = p_ + 1;
        if (q >= end_) return false;
        tag->kind = *q == '/' ? Tag::kEnd : Tag::kStart;
        q += tag->kind == Tag::kEnd;
        const char *name = q;
        while (q < end_ && isLetter(*q)) q++;
        if (q >= end_ || !elementNamed(std::string_view(name, static_cast<size_t>(q - name)), &tag->element))
            return false;
        if (*q != '>') {
            if (tag->kind == Tag::kEnd || *q != '/' || q + 1 >= end_ || q[1] != '>') return false;
            tag->kind = Tag::kEmpty;
            q++;
        }
        p_ = q + 1;
        return true;
    }
    // The next tag, past space and comments; false at anything else.
    bool nextTag(Tag *tag) {
        for (;;) {
            if (!skipSpace() || *p_ != '<') return false;
            if ((avail() > 1 && p_[1] != '!') || !startsWith("<!--")) return readTag(tag);
            if (!skipComment()) return false;
        }
    }
    // The text of the element `tag` opened, through its end tag.
    bool text(const Tag &tag, std::string *out) {
        size_t at;
        if (!find('<', 0, &at) || !decodeText(p_, p_ + at, out)) return false;
        p_ += at;
        Tag end;
        return readTag(&end) && end.kind == Tag::kEnd && end.element == tag.element;
    }

    bool value(const Tag &tag, int depth) {
        if (depth > kMaxDepth) return false;
        const bool array = tag.element == Element::kArray;
        if (!array && tag.element != Element::kDict) {
            std::string content, error;
            if (tag.kind == Tag::kStart && !text(tag, &content)) return false;
            auto leaf = scalarValue(tag.name(), std::move(content), &error);
            if (!leaf) return false;
            visitor_->scalar(std::move(*leaf));
            return true;
        }
        array ? visitor_->beginArray() : visitor_->beginDict();
        if (tag.kind == Tag::kEmpty) {
            visitor_->end();
            return true;
        }
        for (;;) {
            Tag child;
            if (!nextTag(&child)) return false;
            if (child.kind == Tag::kEnd) {
                if (child.element != tag.element) return false;
                visitor_->end();
                return true;
            }
            if (!array) {
                std::string key;
                if (child.element != Element::kKey || (child.kind == Tag::kStart && !text(child, &key))) return false;
                visitor_->key(std::move(key));
                if (!nextTag(&child) || child.kind == Tag::kEnd) return false;
            }
            if (!value(child, depth + 1)) return false;
        }
    }

    // A declaration only at the very start, comments and one doctype, the root (a <plist>
    // holding one value, or the value itself), then only space and comments.
    bool document() {
        if (need(6) && memcmp(p_, "<?xml", 5) == 0 && isSpace(p_[5])) {
            size_t at;
            if (!find("?>", 5, &at)) return false;
            p_ += at + 2;
        }
        bool doctype = false;
        Tag root;
        for (;;) {
            if (!skipSpace() || *p_ != '<') return false;
            if (startsWith("<!--")) {
                if (!skipComment()) return false;
            } else if (!doctype && startsWith("<!DOCTYPE")) {
                doctype = true;
                if (!skipDoctype()) return false;
            } else {
                if (!readTag(&root) || root.kind == Tag::kEnd) return false;
                break;
            }
        }
        if (root.element == Element::kPlist) {
            Tag inner, close;
            if (root.kind == Tag::kEmpty || !nextTag(&inner) || inner.kind == Tag::kEnd || !value(inner, 1) ||
                !nextTag(&close) || close.kind != Tag::kEnd || close.element != Element::kPlist)
                return false;
        } else if (!value(root, 0)) {
            return false;
        }
        for (;;) {
            if (!skipSpace()) return eof_ || !source_;
            if (!startsWith("<!--") || !skipComment()) return false;
        }
    }

    const PlistSource *source_ = nullptr;
    size_t piece_ = 0;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    const char *p_ = nullptr, *end_ = nullptr;
    bool eof_ = false, failed_ = false, notPlain_ = false;
    PlistVisitor *visitor_ = nullptr;
};

}  // namespace

StreamResult streamPlist(std::string_view data, PlistVisitor &visitor) { return Reader(data).read(visitor); }

StreamResult streamPlist(const PlistSource &source, PlistVisitor &visitor, size_t piece) {
    return Reader(source, piece).read(visitor);
}

}  // namespace quillon::plist_internal
