#include "protocol/tags.h"

#include <algorithm>

std::string_view SplitTags(std::string_view line, MessageTags& tags) {
    tags = {};
    if (!line.starts_with('@')) return line;
    const std::size_t space = std::min(line.find(' '), line.size());
    std::string_view section = line.substr(1, space - 1);
    std::string_view rest = line.substr(space);
    // Servers may put more than one space between parts of a line.
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    if (section.empty()) return rest;
    tags.text = section;
    // One pass over the tags; a later tag of a name replaces an earlier one.
    while (!section.empty()) {
        const std::size_t end = std::min(section.find(';'), section.size());
        const std::string_view tag = section.substr(0, end);
        section.remove_prefix(end == section.size() ? end : end + 1);
        const std::size_t eq = std::min(tag.find('='), tag.size());
        const std::string_view name = tag.substr(0, eq), value = tag.substr(std::min(eq + 1, tag.size()));
        if (name == "account") tags.account = value;
        else if (name == "time") tags.time = value;
    }
    return rest;
}

std::optional<std::string_view> TagText(std::optional<std::string_view> raw, std::string& scratch) {
    if (!raw) return std::nullopt;
    std::size_t at = raw->find('\\');
    std::string_view text = *raw;
    if (at != std::string_view::npos) {
        scratch.assign(raw->substr(0, at));
        for (; at < raw->size(); ++at) {
            char c = (*raw)[at];
            if (c == '\\') {
                if (++at == raw->size()) break;
                switch (c = (*raw)[at]) {
                    case ':': c = ';'; break;
                    case 's': c = ' '; break;
                    case 'r': c = '\r'; break;
                    case 'n': c = '\n'; break;
                    default: break;  // '\\' and any other: the character itself
                }
            }
            scratch += c;
        }
        text = scratch;
    }
    if (text.empty()) return std::nullopt;
    return text;
}
