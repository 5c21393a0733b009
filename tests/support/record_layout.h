// The layout of a record as text, for comparing with the figures recorded per processor.
#pragma once

#include <string>

namespace durl_test {

// The size of T, then the offset of each field, as "size offset offset ...".
template <class T, class... M>
std::string layout(M T::*...fields) {
    static const T record{};
    const char *base = reinterpret_cast<const char *>(&record);
    std::string text = std::to_string(sizeof(T));
    ((text += " " + std::to_string(reinterpret_cast<const char *>(&(record.*fields)) - base)), ...);
    return text;
}

}  // namespace durl_test
