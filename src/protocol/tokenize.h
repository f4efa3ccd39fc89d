// The module's whole knowledge of IRC line syntax: cutting a line into
// tokens, and taking out the sender's nick and the trailing text.
#ifndef QV_PROTOCOL_TOKENIZE_H
#define QV_PROTOCOL_TOKENIZE_H

#include <string_view>
#include <vector>

// Tokens separated by `Div`; the count is always separators + 1, and two
// separators in a row give an empty token. The views point into `str`.
std::vector<std::string_view> MySplit(std::string_view str, std::string_view Div);

enum : int { kNick = 0, kTrailing = 1 };

// Selector 0: the sender's nick. Any other selector: the trailing text.
std::string_view GetPRIVMSG(std::string_view str, int part);

#endif
