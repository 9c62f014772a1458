#include <gtest/gtest.h>

#include <string>

#include "module/deliverable/binding/buffer_format.h"

using namespace cellprox;

namespace {

std::string check(const char* format, const DeclaredItem& declared) {
    char message[200];
    return check_item_format(format, declared, message, sizeof message) ? "ok" : message;
}

}  // namespace

TEST(BufferFormat, AcceptsExactlyOneMatchingItem) {
    for (const char* format : {"f", "=f", "<f", "@f", "^f", "1f", "  f", ":x:f", "f:name:", "0df"}) {
        EXPECT_EQ(check(format, FLOAT_ITEM), "ok") << format;
    }
    for (const char* format : {"i", "<i", "=l", "<l"}) EXPECT_EQ(check(format, INT_ITEM), "ok") << format;
    for (const char* format : {"B", "?", "c", "xB", "<B"}) EXPECT_EQ(check(format, UCHAR_ITEM), "ok") << format;
    EXPECT_EQ(check(nullptr, UCHAR_ITEM), "ok");  // no format means unsigned bytes
}

TEST(BufferFormat, NativeLongFollowsThePlatform) {
    const bool long_is_4 = sizeof(long) == 4;
    EXPECT_EQ(check("l", INT_ITEM) == "ok", long_is_4);
    if (!long_is_4) {
        EXPECT_EQ(check("l", INT_ITEM), "Buffer dtype mismatch, expected 'int' but got 'long'");
    }
}

TEST(BufferFormat, DescribesTheItemFound) {
    struct Case { const char* format; const DeclaredItem* declared; const char* found; };
    const Case cases[] = {
        {"d", &FLOAT_ITEM, "'double'"},        {"b", &UCHAR_ITEM, "'signed char'"},
        {"q", &INT_ITEM, "'long long'"},        {"I", &INT_ITEM, "'unsigned int'"},
        {"Zf", &FLOAT_ITEM, "'complex float'"}, {"Zd", &FLOAT_ITEM, "'complex double'"},
        {"g", &FLOAT_ITEM, "'long double'"},    {"h", &INT_ITEM, "'short'"},
        {"O", &FLOAT_ITEM, "Python object"},    {"P", &INT_ITEM, "a pointer"},
        {"s", &UCHAR_ITEM, "a string"},         {"T{f:a:}", &FLOAT_ITEM, "a struct"},
        {"", &FLOAT_ITEM, "end"},               {"x", &FLOAT_ITEM, "end"},
        {"i", &FLOAT_ITEM, "'int'"},            {"f", &INT_ITEM, "'float'"},
        {"c", &INT_ITEM, "'char'"},             {"f", &FLOAT32_ITEM, "'float'"},
    };
    for (const Case& c : cases) {
        if (c.declared == &FLOAT32_ITEM) {
            EXPECT_EQ(check(c.format, *c.declared), "ok");
            continue;
        }
        EXPECT_EQ(check(c.format, *c.declared),
                  std::string("Buffer dtype mismatch, expected '") + c.declared->name +
                      "' but got " + c.found)
            << c.format;
    }
}

TEST(BufferFormat, MoreThanOneItemExpectsEnd) {
    EXPECT_EQ(check("ff", FLOAT_ITEM), "Buffer dtype mismatch, expected end but got 'float'");
    EXPECT_EQ(check("2f", FLOAT_ITEM), "Buffer dtype mismatch, expected end but got 'float'");
    EXPECT_EQ(check("(3)f", FLOAT_ITEM), "Buffer dtype mismatch, expected end but got 'float'");
    EXPECT_EQ(check("(1,1)f", FLOAT_ITEM), "ok");
    EXPECT_EQ(check("fi", FLOAT_ITEM), "Buffer dtype mismatch, expected end but got 'int'");
    EXPECT_EQ(check("BT{B}", UCHAR_ITEM), "Buffer dtype mismatch, expected end but got a struct");
}

TEST(BufferFormat, RefusesBigEndianAndUnknownCharacters) {
    EXPECT_EQ(check(">f", FLOAT_ITEM), "Big-endian buffer not supported on little-endian compiler");
    EXPECT_EQ(check("!i", INT_ITEM), "Big-endian buffer not supported on little-endian compiler");
    EXPECT_EQ(check("e", FLOAT_ITEM), "Does not understand character buffer dtype format string ('e')");
    EXPECT_EQ(check("fw", FLOAT_ITEM), "Does not understand character buffer dtype format string ('w')");
    EXPECT_EQ(check("}", FLOAT_ITEM), "Unexpected format string character: '}'");
    EXPECT_EQ(check("f)", FLOAT_ITEM), "Unexpected format string character: ')'");
    EXPECT_EQ(check("(2,", FLOAT_ITEM).rfind("Unexpected format string character", 0), 0u);
}

TEST(BufferFormat, LargeCountProductsStayMany) {
    // 2^16 four times is 2^64: a product kept in a 64-bit count would read as no item at all.
    for (const char* format : {"(65536,65536,65536,65536)f", "65536 65536 65536 65536f",
                               "(1073741824,1073741824)16f", "99999999999999999999999f"}) {
        EXPECT_EQ(check(format, FLOAT_ITEM), "Buffer dtype mismatch, expected end but got 'float'")
            << format;
    }
    EXPECT_EQ(check("(65536,65536,65536,65536)fi", INT_ITEM),
              "Buffer dtype mismatch, expected 'int' but got 'float'");
    EXPECT_EQ(check("(65536,0,65536)f", FLOAT_ITEM),
              "Buffer dtype mismatch, expected 'float' but got end");
}
