#include "plist/plist.h"

#include <unistd.h>

#include <pugixml.hpp>

#include <charconv>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fs/atomic_file.h"
#include "plist/plist_stream_reader.h"

namespace quillon {

const PlistValue *PlistValue::find(const std::string &key) const {
    const auto *dictionary = as<PlistDictionary>();
    if (!dictionary) return nullptr;
    for (const auto &[k, v] : *dictionary)
        if (k == key) return &v;
    return nullptr;
}

namespace {

using plist_internal::kMaxDepth;

// ---- Encoding ------------------------------------------------------------------------------

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar; a day beyond
// the month's end counts on into the next, as timegm does.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The day of the proleptic Gregorian calendar that lies `days` after 1970-01-01.
struct CivilDay {
    int64_t year, month, day;
};
CivilDay civilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    return {yearOfEra + era * 400 + (month <= 2), month, day};
}

// A value tree written through the streaming writer.
bool writeValue(PlistWriter &writer, const PlistValue &v, int depth) {
    if (depth > kMaxDepth) return writer.fail("nesting too deep");
    if (auto s = v.as<std::string>()) return writer.string(*s);
    if (auto d = v.as<CalendarDate>()) return writer.date(*d);
    if (auto i = v.as<int64_t>()) return writer.integer(*i);
    if (auto r = v.as<double>()) return writer.real(*r);
    if (auto b = v.as<bool>()) return writer.boolean(*b);
    if (auto a = v.as<PlistArray>()) {
        if (a->empty()) return writer.emptyArray();
        writer.beginArray();
        for (const auto &element : *a)
            if (!writeValue(writer, element, depth + 1)) return false;
        return writer.end("array");
    }
    const auto &dictionary = *v.as<PlistDictionary>();
    if (dictionary.empty()) return writer.emptyDict();
    writer.beginDict();
    for (const auto &[key, entry] : dictionary)
        if (!writer.key(key) || !writeValue(writer, entry, depth + 1)) return false;
    return writer.end("dict");
}

}  // namespace

PlistWriter::PlistWriter() { out_ = kHeader; }

PlistWriter::PlistWriter(Sink sink) : sink_(std::move(sink)) {
    out_.reserve(kPiece + 4096);
    out_ = kHeader;
}

bool PlistWriter::spill() {
    if (sink_ && out_.size() >= kPiece && ok()) {
        sinkFailed_ = !sink_(out_);
        out_.clear();
    }
    return ok();
}

void PlistWriter::indent() { out_.append(static_cast<size_t>(depth_), '\t'); }

bool PlistWriter::line(const char *text) {
    indent();
    out_ += text;
    out_ += '\n';
    return spill();
}

bool PlistWriter::element(const char *name, const std::string &text) {
    indent();
    out_ += '<';
    out_ += name;
    out_ += '>';
    // Runs of plain characters are copied whole; only the few that need it are escaped.
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '&' && c != '<' && c != '>' && c != 0x7f) continue;
        if (c == '\t' || c == '\n') continue;
        out_.append(text, plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '&': out_ += "&amp;"; break;
            case '<': out_ += "&lt;"; break;
            case '>': out_ += "&gt;"; break;
            case '\0': return fail("a string holding a NUL character cannot be written");
            // A raw carriage return would come back as a line feed; as a reference it
            // survives. Other control bytes are written as references too.
            default: out_ += "&#" + std::to_string(c) + ';';
        }
    }
    out_.append(text, plain, std::string::npos);
    out_ += "</";
    out_ += name;
    out_ += ">\n";
    return spill();
}

void PlistWriter::beginArray() {
    line("<array>");
    depth_++;
}

void PlistWriter::beginDict() {
    line("<dict>");
    depth_++;
}

bool PlistWriter::end(const char *kind) {
    depth_--;
    indent();
    out_ += "</";
    out_ += kind;
    out_ += ">\n";
    return spill();
}

bool PlistWriter::emptyArray() { return line("<array/>"); }
bool PlistWriter::emptyDict() { return line("<dict/>"); }
bool PlistWriter::key(const std::string &text) { return element("key", text); }
bool PlistWriter::string(const std::string &text) { return element("string", text); }

bool PlistWriter::integer(int64_t value) {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    indent();
    out_ += "<integer>";
    out_.append(text, written.ptr);
    out_ += "</integer>\n";
    return spill();
}

bool PlistWriter::real(double value) {
    if (!std::isfinite(value)) return fail("a real that is not finite cannot be written");
    char text[40];
    snprintf(text, sizeof text, "%.17g", value);
    indent();
    out_ += std::string("<real>") + text + "</real>\n";
    return spill();
}

bool PlistWriter::boolean(bool value) { return line(value ? "<true/>" : "<false/>"); }

bool PlistWriter::date(const CalendarDate &d) {
    // Formatted by hand, not by gmtime and printf: the list file holds one date per record.
    const int64_t t = std::chrono::floor<std::chrono::seconds>(d.timePoint().time_since_epoch()).count();
    const int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    const int64_t seconds = t - days * 86400;
    const auto [year, month, day] = civilFromDays(days);
    if (year < 1 || year > 9999) return fail("a date outside the years 0001 to 9999 cannot be written");
    char text[] = "<date>0000-00-00T00:00:00Z</date>\n";
    auto put = [&text](size_t at, int64_t value, int digits) {
        for (int i = digits - 1; i >= 0; i--, value /= 10) text[at + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(6, year, 4);
    put(11, month, 2);
    put(14, day, 2);
    put(17, seconds / 3600, 2);
    put(20, seconds / 60 % 60, 2);
    put(23, seconds % 60, 2);
    indent();
    out_ += text;
    return spill();
}

bool PlistWriter::fail(const char *why) {
    if (error_.empty()) error_ = why;
    return false;
}

std::optional<std::string> PlistWriter::finish(std::string *error) {
    if (!ok()) {
        if (error) *error = error_;
        return std::nullopt;
    }
    out_ += "</plist>\n";
    if (!sink_) return std::move(out_);
    if (!sink_(out_)) return std::nullopt;
    return std::string();
}

namespace {

// ---- Decoding ------------------------------------------------------------------------------

// All character data directly inside `node`.
std::string textOf(const pugi::xml_node &node) {
    // A lone text child is kept in the element itself (parse_embed_pcdata).
    std::string text = node.value();
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) text += child.value();
    return text;
}

bool isValueElement(const pugi::xml_node &node) { return node.type() == pugi::node_element; }

// The dates this system writes, "2027-03-01T00:00:00Z", read without scanf: the list file
// holds one per record. Anything else goes the general way.
bool parseCanonicalDate(const std::string &text, int *fields) {
    static constexpr char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kShape - 1) return false;
    for (size_t i = 0; i < text.size(); i++)
        if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return false;
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; i++) value = value * 10 + (text[i] - '0');
        return value;
    };
    const size_t starts[] = {0, 5, 8, 11, 14, 17}, widths[] = {4, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; i++) fields[i] = number(starts[i], widths[i]);
    return true;
}

bool parseDate(const std::string &text, CalendarDate *out) {
    int fields[6];
    if (parseCanonicalDate(text, fields)) {
        const auto [year, month, day, hour, minute, second] = fields;
        if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
            return false;
        const int64_t t = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
        if (t < -CalendarDate::kLimitSeconds || t > CalendarDate::kLimitSeconds) return false;
        *out = CalendarDate::fromUnixTime(t);
        return true;
    }
    int year, month, day, hour, minute, second;
    char zone = 0;
    int consumed = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &year, &month, &day, &hour, &minute, &second,
               &zone, &consumed) != 7 ||
        zone != 'Z' || static_cast<size_t>(consumed) != text.size())
        return false;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60 || hour < 0 || minute < 0 || second < 0)
        return false;
    struct tm utc = {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const time_t t = timegm(&utc);
    if (t < -CalendarDate::kLimitSeconds || t > CalendarDate::kLimitSeconds) return false;
    *out = CalendarDate::fromUnixTime(t);
    return true;
}

using plist_internal::scalarValue;

std::optional<PlistValue> scalar(const pugi::xml_node &node, std::string *error) {
    return scalarValue(node.name(), textOf(node), error);
}

// The entry that follows the <key> `key` of a <dict>, or an empty node.
pugi::xml_node entryAfter(const pugi::xml_node &key) {
    pugi::xml_node entry = key.next_sibling();
    while (entry && !isValueElement(entry)) entry = entry.next_sibling();
    return entry;
}

class Decoder {
 public:
    explicit Decoder(std::vector<std::string> *unreadable) : unreadable_(unreadable) {}

    std::optional<PlistValue> value(const pugi::xml_node &node, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        const char *name = node.name();
        if (strcmp(name, "array") != 0 && strcmp(name, "dict") != 0) return scalar(node, &error_);
        if (strcmp(name, "array") == 0) {
            PlistArray array;
            for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
                if (!isValueElement(child)) continue;
                auto element = value(child, depth + 1);
                if (!element) return std::nullopt;
                array.push_back(std::move(*element));
            }
            return PlistValue(std::move(array));
        }
        PlistDictionary dictionary;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (!isValueElement(child)) continue;
            if (strcmp(child.name(), "key") != 0) return fail("<dict> entry without a <key>");
            const pugi::xml_node entry = entryAfter(child);
            if (!entry) return fail("<key> without a value");
            const pugi::xml_node key = child;
            child = entry;
            auto entry_value = value(entry, depth + 1);
            if (!entry_value) {
                // Leniently, a bad value at the top level costs only its own entry.
                if (!unreadable_ || depth > 1) return std::nullopt;
                unreadable_->push_back(textOf(key) + ": " + error_);
                continue;
            }
            dictionary.emplace_back(textOf(key), std::move(*entry_value));
        }
        return PlistValue(std::move(dictionary));
    }

    const std::string &error() const { return error_; }

 private:
    std::nullopt_t fail(std::string why) {
        error_ = std::move(why);
        return std::nullopt;
    }
    std::string error_;
    std::vector<std::string> *unreadable_;
};

}  // namespace

namespace plist_internal {

std::optional<PlistValue> scalarValue(std::string_view name, std::string text, std::string *error) {
    auto fail = [error](std::string why) -> std::optional<PlistValue> {
        *error = std::move(why);
        return std::nullopt;
    };
    if (name == "string") return PlistValue(std::move(text));
    if (name.size() == 4 && name == "date") {
        CalendarDate date(CalendarDate::Clock::time_point{});
        if (!parseDate(text, &date)) return fail("invalid <date> \"" + text.substr(0, 40) + "\"");
        return PlistValue(date);
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

}  // namespace plist_internal

std::optional<std::string> encodePlist(const PlistValue &value, std::string *error) {
    PlistWriter writer;
    (void)writeValue(writer, value, 0);
    return writer.finish(error);
}

namespace {

// Parses `data` in place into `document` and finds the value it holds (inside <plist>, when
// there is one): its node and depth. False with `error` when there is none.
bool loadDocument(std::string &data, pugi::xml_document &document, pugi::xml_node *value, int *depth,
                  std::string *error) {
    auto fail = [error](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    if (data.empty()) return fail("empty data");
    // Text embedded in its element saves a node per value: large files parse in less memory.
    const pugi::xml_parse_result parsed =
        document.load_buffer_inplace(data.data(), data.size(),
                                     pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_embed_pcdata,
                                     pugi::encoding_utf8);
    if (!parsed) return fail(std::string(parsed.description()) + " at offset " + std::to_string(parsed.offset));
    pugi::xml_node root = document.document_element();
    if (!root) return fail("no root element");
    *depth = 0;
    if (strcmp(root.name(), "plist") == 0) {
        pugi::xml_node inner;
        for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
            if (!isValueElement(child)) continue;
            if (inner) return fail("<plist> holds more than one value");
            inner = child;
        }
        if (!inner) return fail("<plist> holds no value");
        root = inner;
        *depth = 1;
    }
    *value = root;
    return true;
}

// Hands a document's values to a visitor in document order; stops at the first malformed one.
class Walker {
 public:
    explicit Walker(PlistVisitor &visitor) : visitor_(visitor) {}

    bool walk(const pugi::xml_node &node, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        const bool array = strcmp(node.name(), "array") == 0;
        if (!array && strcmp(node.name(), "dict") != 0) {
            auto leaf = scalar(node, &error_);
            if (!leaf) return false;
            visitor_.scalar(std::move(*leaf));
            return true;
        }
        array ? visitor_.beginArray() : visitor_.beginDict();
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (!isValueElement(child)) continue;
            if (!array) {
                if (strcmp(child.name(), "key") != 0) return fail("<dict> entry without a <key>");
                const pugi::xml_node entry = entryAfter(child);
                if (!entry) return fail("<key> without a value");
                visitor_.key(textOf(child));
                child = entry;
            }
            if (!walk(child, depth + 1)) return false;
        }
        visitor_.end();
        return true;
    }
    const std::string &error() const { return error_; }

 private:
    bool fail(std::string why) {
        error_ = std::move(why);
        return false;
    }
    PlistVisitor &visitor_;
    std::string error_;
};

}  // namespace

std::optional<PlistValue> decodePlist(std::string data, std::string *error, std::vector<std::string> *unreadable) {
    pugi::xml_document document;
    pugi::xml_node root;
    int depth = 0;
    if (!loadDocument(data, document, &root, &depth, error)) return std::nullopt;
    Decoder decoder(unreadable);
    auto value = decoder.value(root, depth);
    if (!value && error) *error = decoder.error();
    return value;
}

namespace {

// The document read by the general parser, from a fresh start of the visitor.
bool visitGenerally(std::string &data, PlistVisitor &visitor, std::string *error) {
    visitor.restart();
    pugi::xml_document document;
    pugi::xml_node root;
    int depth = 0;
    if (!loadDocument(data, document, &root, &depth, error)) return false;
    Walker walker(visitor);
    if (walker.walk(root, depth)) return true;
    if (error) *error = walker.error();
    return false;
}

}  // namespace

bool visitPlist(std::string data, PlistVisitor &visitor, std::string *error) {
    return plist_internal::streamPlist(data, visitor) == plist_internal::StreamResult::kRead ||
           visitGenerally(data, visitor, error);
}

bool visitPlistFile(int fd, PlistVisitor &visitor, std::string *error, size_t largest) {
    auto fail = [error](int cause) {
        if (error) *error = std::string("cannot read: ") + strerror(cause);
        errno = cause;
        return false;
    };
    size_t total = 0;
    const plist_internal::PlistSource source = [&](char *into, size_t room) -> ssize_t {
        const ssize_t n = read(fd, into, room);
        if (n > 0 && (total += static_cast<size_t>(n)) > largest) {
            errno = EFBIG;
            return -1;
        }
        return n;
    };
    switch (plist_internal::streamPlist(source, visitor)) {
        case plist_internal::StreamResult::kRead: errno = 0; return true;
        case plist_internal::StreamResult::kReadFailed: return fail(errno);
        case plist_internal::StreamResult::kNotPlain: break;
    }
    // Not plain: the whole file again, for the general parser.
    auto data = readFromStart(fd, largest);
    if (!data) return fail(errno);
    const bool read = visitGenerally(*data, visitor, error);
    errno = 0;
    return read;
}

}  // namespace quillon
