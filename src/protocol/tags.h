// Message tags: the "@name=value;name2 " section a server may put in front
// of a line. They come off before anything else reads the line, so every
// other part of the module sees the line a server that sent none would
// have sent.
#ifndef QV_PROTOCOL_TAGS_H
#define QV_PROTOCOL_TAGS_H

#include <optional>
#include <string>
#include <string_view>

// What the dispatcher uses of a line's tags, as views into the line.
struct MessageTags {
    // The section without its '@'; none when the line has none, or an
    // empty one.
    std::optional<std::string_view> text;
    // The raw (still escaped) values of the last `account` and `time` tags;
    // none when absent. A client-only tag (`+account`) is another name.
    std::optional<std::string_view> account, time;
};

// Cuts the tags off `line` into `tags` and gives the rest, its leading
// spaces skipped. A section with no space after it is the whole line, and
// the rest is empty.
std::string_view SplitTags(std::string_view line, MessageTags& tags);

// A raw tag value's text: `\:` `\s` `\\` `\r` `\n` are ';', ' ', '\', CR,
// LF; any other escaped character stands for itself and a lone '\' at the
// end is dropped. None for no value or an empty text, which say nothing.
// A value without '\' is given back as it is; otherwise the text is built
// in `scratch`, which the result then views.
std::optional<std::string_view> TagText(std::optional<std::string_view> raw, std::string& scratch);

#endif
