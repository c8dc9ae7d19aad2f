#include "report/json_text.hpp"

#include "base/text.hpp"

#include <boost/json/value.hpp>

#include <charconv>

namespace perfagent {

void appendJsonText(std::string& out, const boost::json::value& value) {
    switch (value.kind()) {
    case boost::json::kind::object: {
        const auto& object = value.get_object();
        if (object.empty()) {
            out += "[:]";
            return;
        }
        out += '[';
        bool first = true;
        for (const auto& member : object) {
            if (!first) out += ", ";
            first = false;
            appendQuotedText(out, member.key());
            out += ": ";
            appendJsonText(out, member.value());
        }
        out += ']';
        return;
    }
    case boost::json::kind::array: {
        out += '[';
        bool first = true;
        for (const auto& element : value.get_array()) {
            if (!first) out += ", ";
            first = false;
            appendJsonText(out, element);
        }
        out += ']';
        return;
    }
    case boost::json::kind::string: appendQuotedText(out, value.get_string()); return;
    case boost::json::kind::double_: appendDoubleText(out, value.get_double()); return;
    case boost::json::kind::int64: {
        char buffer[24];
        out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value.get_int64()).ptr);
        return;
    }
    case boost::json::kind::uint64: {
        char buffer[24];
        out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value.get_uint64()).ptr);
        return;
    }
    case boost::json::kind::bool_: out += value.get_bool() ? "true" : "false"; return;
    case boost::json::kind::null: out += "nil"; return;
    }
}

std::string jsonText(const boost::json::value& value) {
    std::string out;
    appendJsonText(out, value);
    return out;
}

}  // namespace perfagent
