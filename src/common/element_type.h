// The element type a buffer's format string describes (struct-module syntax, as numpy exports it),
// reduced to what native copies and conversions need: integer, float, bool, object or other.
#pragma once
#include <cstddef>

namespace corvane {

enum class ElementKind { signed_int, unsigned_int, floating, boolean, object, other };

struct ElementType {
    ElementKind kind = ElementKind::other;
    std::ptrdiff_t size = 0;
};

inline const char *kind_name(ElementKind k) {
    switch (k) {
    case ElementKind::signed_int:
        return "signed integers";
    case ElementKind::unsigned_int:
        return "unsigned integers";
    case ElementKind::floating:
        return "floats";
    case ElementKind::boolean:
        return "booleans";
    case ElementKind::object:
        return "objects";
    default:
        return "other elements";
    }
}

// A single-element format ("<q", "=L", "?", "O", "d"; no prefix means native) in this process's
// byte order; `itemsize` is the buffer's own. Big-endian formats, counts, structs and anything
// else are `other`, which native code never reads.
inline ElementType parse_element_type(const char *format, std::ptrdiff_t itemsize) {
    ElementType t;
    if (!format)
        format = "B";
    const char order = format[0];
    if (order == '@' || order == '=' || order == '<')
        ++format;
    else if (order == '>' || order == '!')
        return t; // foreign byte order
    if (format[0] == '\0' || format[1] != '\0')
        return t;
    switch (format[0]) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
        t.kind = ElementKind::signed_int;
        break;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
        t.kind = ElementKind::unsigned_int;
        break;
    case 'e':
    case 'f':
    case 'd':
        t.kind = ElementKind::floating;
        break;
    case '?':
        t.kind = ElementKind::boolean;
        break;
    case 'O':
        t.kind = ElementKind::object;
        break;
    default:
        return t;
    }
    t.size = itemsize;
    return t;
}

} // namespace corvane
