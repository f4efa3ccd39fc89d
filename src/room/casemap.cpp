#include "room/casemap.h"

CaseMapping CaseMappingNamed(std::string_view value) {
    if (value == "ascii") return CaseMapping::Ascii;
    if (value == "strict-rfc1459") return CaseMapping::StrictRfc1459;
    return CaseMapping::Rfc1459;
}

std::string Folded(CaseMapping mapping, std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Fold(mapping, c);
    return out;
}
