// libFuzzer harness of the buffer-format check, which reads format strings that any exporter,
// and so any caller, controls. The fuzzer's bytes are the format string, copied into a heap block
// of exactly its length and terminator so that AddressSanitizer reports any read past its end;
// the message is written into a heap block of its own, at a size the input picks.
//
// Checked, for every declared item type: a refusal gives one of the four message forms, always
// terminated, and a short message buffer only cuts it; the float and float32_t declarations agree;
// no format passes as two different types. Then the digit runs of the input are used as repeat
// counts of one item ("(a,b,c)f" and "a b cf"): however large, the verdict must be the one of no
// item, one item or many items that the counts' true product gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "module/deliverable/binding/buffer_format.h"

namespace {

using namespace cellprox;

[[noreturn]] void fail(const char* what, const std::string& format, const std::string& message) {
    std::fprintf(stderr, "fuzz_buffer_format: %s\n  format (%zu bytes): \"%s\"\n  message: \"%s\"\n",
                 what, format.size(), format.c_str(), message.c_str());
    std::abort();
}

constexpr size_t MESSAGE_SIZE = 200;  // as the module's

struct Verdict {
    bool accepted;
    std::string message;
};

// Runs the check with the format and the message each in a heap block of exactly their size.
Verdict check(const std::string& format, const DeclaredItem& declared, size_t message_size) {
    char* text = static_cast<char*>(std::malloc(format.size() + 1));
    std::memcpy(text, format.data(), format.size());
    text[format.size()] = 0;
    char* message = static_cast<char*>(std::malloc(message_size));
    std::memset(message, 0x7f, message_size);
    Verdict verdict{check_item_format(text, declared, message, message_size), {}};
    if (!verdict.accepted) {
        if (std::memchr(message, 0, message_size) == nullptr) fail("unterminated message", format, "");
        verdict.message = message;
    }
    std::free(message);
    std::free(text);
    return verdict;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool known_message(const std::string& message) {
    return starts_with(message, "Buffer dtype mismatch, expected ") ||
           message == "Big-endian buffer not supported on little-endian compiler" ||
           starts_with(message, "Does not understand character buffer dtype format string ('") ||
           starts_with(message, "Unexpected format string character: '");
}

void check_any_format(const std::string& format, size_t short_size) {
    const DeclaredItem* const declared_items[] = {&FLOAT_ITEM, &INT_ITEM, &UCHAR_ITEM};
    int accepted = 0;
    for (const DeclaredItem* declared : declared_items) {
        const Verdict full = check(format, *declared, MESSAGE_SIZE);
        accepted += full.accepted;
        if (full.accepted) continue;
        if (!known_message(full.message)) fail("unknown message", format, full.message);
        const Verdict cut = check(format, *declared, short_size);
        if (cut.accepted || full.message.compare(0, cut.message.size(), cut.message) != 0 ||
            cut.message.size() != std::min(full.message.size(), short_size - 1)) {
            fail("a short message buffer changed the message", format, cut.message);
        }
    }
    if (accepted > 1) fail("accepted as two different item types", format, "");
    const Verdict as_float = check(format, FLOAT_ITEM, MESSAGE_SIZE);
    const Verdict as_float32 = check(format, FLOAT32_ITEM, MESSAGE_SIZE);
    if (as_float.accepted != as_float32.accepted) fail("float and float32_t disagree", format, "");
}

enum class Count { None, One, Many };

// The product of decimal numbers of any length, as far as it matters: zero, one, or more.
Count product_of(const std::vector<std::string>& factors) {
    Count count = Count::One;
    for (const std::string& factor : factors) {
        const size_t first = factor.find_first_not_of('0');
        if (first == std::string::npos) return Count::None;
        if (first != factor.size() - 1 || factor[first] != '1') count = Count::Many;
    }
    return count;
}

void check_counts(const std::vector<std::string>& factors, bool as_shape) {
    std::string format;
    for (size_t k = 0; k < factors.size(); ++k) {
        if (k > 0) format += as_shape ? "," : " ";
        format += factors[k];
    }
    format = as_shape ? "(" + format + ")f" : format + "f";
    const Verdict verdict = check(format, FLOAT_ITEM, MESSAGE_SIZE);
    switch (product_of(factors)) {
        case Count::None:
            if (verdict.message != "Buffer dtype mismatch, expected 'float' but got end") {
                fail("counts of no item", format, verdict.message);
            }
            break;
        case Count::One:
            if (!verdict.accepted) fail("counts of one item", format, verdict.message);
            break;
        case Count::Many:
            if (verdict.message != "Buffer dtype mismatch, expected end but got 'float'") {
                fail("counts of many items", format, verdict.message);
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string format(reinterpret_cast<const char*>(data), size);
    check_any_format(format, 1 + size % 64);

    std::vector<std::string> factors;
    for (size_t k = 0; k < size && factors.size() < 8; ++k) {
        if (data[k] < '0' || data[k] > '9') continue;
        const size_t end = format.find_first_not_of("0123456789", k);
        factors.push_back(format.substr(k, end == std::string::npos ? std::string::npos : end - k));
        k = end == std::string::npos ? size : end;
    }
    if (!factors.empty()) {
        check_counts(factors, true);
        check_counts(factors, false);
    }
    return 0;
}
