// A visitor that writes down the values it receives, as one string; record() writes a value
// tree the same way, so that what a reader handed over compares with a tree.
#pragma once

#include <string>

#include "plist/plist.h"

namespace quillon {

class PlistRecorder : public PlistVisitor {
 public:
    void beginArray() override { events += '['; }
    void beginDict() override { events += '{'; }
    void end() override { events += ')'; }
    void key(std::string text) override { events += 'k' + text + '\x1f'; }
    void scalar(PlistValue value) override { record(value); }
    void restart() override { events.clear(); }
    void record(const PlistValue &value) {
        if (auto s = value.as<std::string>()) events += 's' + *s;
        else if (auto d = value.as<CalendarDate>()) events += 'd' + std::to_string(d->unixSeconds());
        else if (auto i = value.as<int64_t>()) events += 'i' + std::to_string(*i);
        else if (auto r = value.as<double>()) events += 'r' + std::to_string(*r);
        else if (auto b = value.as<bool>()) events += *b ? 't' : 'f';
        else if (auto a = value.as<PlistArray>()) {
            beginArray();
            for (const auto &element : *a) record(element);
            end();
            return;
        } else {
            beginDict();
            for (const auto &[k, v] : *value.as<PlistDictionary>()) {
                key(k);
                record(v);
            }
            end();
            return;
        }
        events += '\x1f';
    }
    std::string events;
};

}  // namespace quillon
