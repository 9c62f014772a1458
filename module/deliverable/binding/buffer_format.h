// Checking a buffer's format string (the struct-module syntax of the buffer protocol) against
// the one item type that an argument declares. Plain C++: no interpreter needed.
#pragma once

#include <cstddef>

namespace cellprox {

enum class ItemKind { SignedInt, UnsignedInt, Real, Complex, Char, Object, Pointer, Struct };

// What an argument declares: "float" (real, 4 bytes), "int" (signed, 4), "unsigned char"
// (unsigned, 1), "float32_t" for the result array.
struct DeclaredItem {
    const char* name;
    ItemKind kind;
    size_t size;
};

constexpr DeclaredItem FLOAT_ITEM{"float", ItemKind::Real, 4};
constexpr DeclaredItem INT_ITEM{"int", ItemKind::SignedInt, 4};
constexpr DeclaredItem UCHAR_ITEM{"unsigned char", ItemKind::UnsignedInt, 1};
constexpr DeclaredItem FLOAT32_ITEM{"float32_t", ItemKind::Real, 4};

// Returns true when `format` describes exactly one item matching `declared`. Otherwise writes the
// ValueError text into `message` (always terminated) and returns false. A null format means "B".
bool check_item_format(const char* format, const DeclaredItem& declared, char* message,
                       size_t message_size);

}  // namespace cellprox
