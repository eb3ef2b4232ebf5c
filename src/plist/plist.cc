#include "plist/plist.h"

#include <charconv>
#include <cmath>
#include <cstdio>


namespace quillon {

const PlistValue *PlistValue::find(const std::string &key) const {
    const auto *dictionary = as<PlistDictionary>();
    if (!dictionary) return nullptr;
    for (const auto &[k, v] : *dictionary)
        if (k == key) return &v;
    return nullptr;
}

namespace {

// ---- Encoding ------------------------------------------------------------------------------

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// A value tree written through the streaming writer.
bool writeValue(PlistWriter &writer, const PlistValue &v, int depth) {
    if (depth > kPlistMaxDepth) return writer.fail("nesting too deep");
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
    const auto text = utcText(d);
    return text ? element("date", *text) : fail("a date outside the years 0001 to 9999 cannot be written");
}

bool PlistWriter::value(const PlistValue &value) { return writeValue(*this, value, 0); }

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

std::optional<std::string> encodePlist(const PlistValue &value, std::string *error) {
    PlistWriter writer;
    (void)writer.value(value);
    return writer.finish(error);
}

}  // namespace quillon
