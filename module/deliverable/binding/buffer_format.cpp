// The format-string parser of the buffer protocol's struct syntax, against one item type.
#include "module/deliverable/binding/buffer_format.h"

#include <cstdio>

namespace cellprox {

namespace {

struct Item {
    char code = 0;  // 0 marks the end of the format
    bool complex = false;
    ItemKind kind = ItemKind::Char;
    size_t size = 0;
};

enum class Scan { Item, End, BigEndian, Unknown, Unexpected };

bool native_item(char code, ItemKind* kind, size_t* size) {
    switch (code) {
        case 'c': *kind = ItemKind::Char; *size = 1; return true;
        case 'b': *kind = ItemKind::SignedInt; *size = 1; return true;
        case 'B': *kind = ItemKind::UnsignedInt; *size = 1; return true;
        case '?': *kind = ItemKind::UnsignedInt; *size = sizeof(bool); return true;
        case 'h': *kind = ItemKind::SignedInt; *size = sizeof(short); return true;
        case 'H': *kind = ItemKind::UnsignedInt; *size = sizeof(short); return true;
        case 'i': *kind = ItemKind::SignedInt; *size = sizeof(int); return true;
        case 'I': *kind = ItemKind::UnsignedInt; *size = sizeof(int); return true;
        case 'l': *kind = ItemKind::SignedInt; *size = sizeof(long); return true;
        case 'L': *kind = ItemKind::UnsignedInt; *size = sizeof(long); return true;
        case 'q': *kind = ItemKind::SignedInt; *size = sizeof(long long); return true;
        case 'Q': *kind = ItemKind::UnsignedInt; *size = sizeof(long long); return true;
        case 'f': *kind = ItemKind::Real; *size = sizeof(float); return true;
        case 'd': *kind = ItemKind::Real; *size = sizeof(double); return true;
        case 'g': *kind = ItemKind::Real; *size = sizeof(long double); return true;
        case 's':
        case 'p': *kind = ItemKind::SignedInt; *size = 1; return true;
        case 'O': *kind = ItemKind::Object; *size = sizeof(void*); return true;
        case 'P': *kind = ItemKind::Pointer; *size = sizeof(void*); return true;
        default: return false;
    }
}

// Standard sizes ('=' and '<') differ from native ones only for the C long.
size_t standard_size(char code, size_t native) {
    return (code == 'l' || code == 'L') ? 4 : native;
}

const char* describe(const Item& item) {
    switch (item.code) {
        case 0: return "end";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case '?': return "'bool'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return item.complex ? "'complex float'" : "'float'";
        case 'd': return item.complex ? "'complex double'" : "'double'";
        case 'g': return item.complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        default: return "unparsable format string";
    }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Only "none", "one" and "more than one" matter, so counts stop growing at MANY: a product of
// several large counts must not wrap round to zero (no items) or to one.
constexpr size_t MANY = size_t{1} << 30;

size_t count_product(size_t a, size_t b) {
    if (a == 0 || b == 0) return 0;
    return a > MANY / b ? MANY : (a * b < MANY ? a * b : MANY);
}
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads a format string one item at a time. A repeat count ("3f") or a sub-array shape
// ("(2,3)f") stands for that many items; a zero count stands for none.
class FormatScanner {
public:
    explicit FormatScanner(const char* format) : p_(format) {}

    Scan next(Item* item) {
        if (pending_ > 0) {
            --pending_;
            *item = last_;
            return Scan::Item;
        }
        size_t repeat = 1;
        bool counted = false;
        for (;;) {
            const char c = *p_;
            if (c == 0) {
                if (counted) return unexpected(c);
                item->code = 0;
                return Scan::End;
            }
            if (is_space(c)) { ++p_; continue; }
            switch (c) {
                case '@':
                case '^': standard_ = false; ++p_; continue;
                case '=':
                case '<': standard_ = true; ++p_; continue;
                case '>':
                case '!': bad_ = c; return Scan::BigEndian;
                case ':':  // a field name, ":name:"
                    ++p_;
                    while (*p_ && *p_ != ':') ++p_;
                    if (*p_ != ':') return unexpected(':');
                    ++p_;
                    continue;
                case 'x':  // pad bytes describe no item
                    ++p_;
                    repeat = 1;
                    counted = false;
                    continue;
                case '(': {
                    size_t product = 1;
                    ++p_;
                    for (;;) {
                        while (is_space(*p_)) ++p_;
                        if (!is_digit(*p_)) return unexpected(*p_);
                        product = count_product(product, read_number());
                        while (is_space(*p_)) ++p_;
                        if (*p_ == ',') { ++p_; continue; }
                        if (*p_ == ')') { ++p_; break; }
                        return unexpected(*p_);
                    }
                    repeat = count_product(repeat, product);
                    counted = true;
                    continue;
                }
                default: break;
            }
            if (is_digit(c)) {
                repeat = count_product(repeat, read_number());
                counted = true;
                continue;
            }
            Item found;
            if (c == 'T') {
                if (p_[1] != '{') return unexpected(c);
                found.code = 'T';
                found.kind = ItemKind::Struct;
                // A struct never matches a scalar item, so the scan stops before its fields.
                p_ += 2;
            } else if (c == 'Z') {
                const char real = p_[1];
                if (real != 'f' && real != 'd' && real != 'g') return unknown(real ? real : c);
                native_item(real, &found.kind, &found.size);
                found.code = real;
                found.complex = true;
                found.kind = ItemKind::Complex;
                found.size *= 2;
                p_ += 2;
            } else if (native_item(c, &found.kind, &found.size)) {
                found.code = c;
                if (standard_) found.size = standard_size(c, found.size);
                ++p_;
            } else if (c == '{' || c == '}' || c == ')' || c == ',') {
                return unexpected(c);
            } else {
                return unknown(c);
            }
            if (repeat == 0) {  // "0f" describes nothing
                repeat = 1;
                counted = false;
                continue;
            }
            last_ = found;
            pending_ = repeat - 1;
            *item = found;
            return Scan::Item;
        }
    }

    char offending() const { return bad_; }

private:
    size_t read_number() {
        size_t value = 0;
        while (is_digit(*p_)) {
            value = value * 10 + static_cast<size_t>(*p_ - '0');
            if (value > MANY) value = MANY;
            ++p_;
        }
        return value;
    }
    Scan unexpected(char c) { bad_ = c; return Scan::Unexpected; }
    Scan unknown(char c) { bad_ = c; return Scan::Unknown; }

    const char* p_;
    bool standard_ = false;
    size_t pending_ = 0;
    Item last_;
    char bad_ = 0;
};

bool items_match(const Item& found, const DeclaredItem& declared) {
    if (found.size != declared.size) return false;
    return found.kind == declared.kind || found.kind == ItemKind::Char ||
           declared.kind == ItemKind::Char;
}

bool report_scan_error(Scan scan, const FormatScanner& scanner, char* message, size_t size) {
    switch (scan) {
        case Scan::BigEndian:
            std::snprintf(message, size, "Big-endian buffer not supported on little-endian compiler");
            return true;
        case Scan::Unknown:
            std::snprintf(message, size,
                          "Does not understand character buffer dtype format string ('%c')",
                          scanner.offending());
            return true;
        case Scan::Unexpected:
            std::snprintf(message, size, "Unexpected format string character: '%c'",
                          scanner.offending());
            return true;
        default: return false;
    }
}

}  // namespace

bool check_item_format(const char* format, const DeclaredItem& declared, char* message,
                       size_t message_size) {
    FormatScanner scanner(format ? format : "B");
    Item first;
    Scan scan = scanner.next(&first);
    if (report_scan_error(scan, scanner, message, message_size)) return false;
    if (scan == Scan::End || !items_match(first, declared)) {
        std::snprintf(message, message_size, "Buffer dtype mismatch, expected '%s' but got %s",
                      declared.name, describe(first));
        return false;
    }
    Item second;
    scan = scanner.next(&second);
    if (report_scan_error(scan, scanner, message, message_size)) return false;
    if (scan != Scan::End) {
        std::snprintf(message, message_size, "Buffer dtype mismatch, expected end but got %s",
                      describe(second));
        return false;
    }
    return true;
}

}  // namespace cellprox
