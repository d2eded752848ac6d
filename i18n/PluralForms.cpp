#include "i18n/PluralForms.h"

#include <limits>

namespace gnugettext {

namespace {

using TOp = TPluralRule::TOp;
using TStep = TPluralRule::TStep;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

struct TBinary {
    std::string_view Text;
    TOp Op;
    int Level; // 0 binds loosest
};
// Two-character operators first, so "<" does not take the first half of "<=".
constexpr TBinary kBinaries[] = {
    {"||", TOp::Or, 0},       {"&&", TOp::And, 1},       {"==", TOp::Equal, 2},
    {"!=", TOp::NotEqual, 2}, {"<=", TOp::LessEqual, 3}, {">=", TOp::GreaterEqual, 3},
    {"<", TOp::Less, 3},      {">", TOp::Greater, 3},    {"+", TOp::Add, 4},
    {"-", TOp::Sub, 4},       {"*", TOp::Mul, 5},        {"/", TOp::Div, 5},
    {"%", TOp::Mod, 5},
};
constexpr int kLevels = 6;

// Precedence climbing into a postfix program. Only brackets and the branches of ?: recurse,
// one level each and at most MaxDepth deep, so no rule can exhaust the stack; chains of
// operators and of "!" are loops.
class Parser {
public:
    Parser(std::string_view text, std::vector<TStep>& program) : text_(text), program_(program) {}

    bool ParseAll() {
        if (!Expression(0))
            return false;
        Skip();
        return pos_ == text_.size();
    }
    size_t StackSize() const { return maxStack_; }

private:
    // The C library's blanks inside a rule.
    void Skip() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t'))
            ++pos_;
    }
    bool Take(char c) {
        Skip();
        if (pos_ == text_.size() || text_[pos_] != c)
            return false;
        ++pos_;
        return true;
    }
    const TBinary* NextBinary() {
        Skip();
        for (const TBinary& b : kBinaries)
            if (text_.substr(pos_, b.Text.size()) == b.Text)
                return &b;
        return nullptr;
    }
    void Emit(TOp op, uint64_t value = 0) {
        program_.push_back({op, value});
        if (op == TOp::N || op == TOp::Number)
            ++stack_;
        else if (op == TOp::Select)
            stack_ -= 2;
        else if (op != TOp::Not)
            --stack_;
        maxStack_ = stack_ > maxStack_ ? stack_ : maxStack_;
    }

    bool Expression(int depth) {
        if (depth > TPluralRule::MaxDepth || !Binary(depth, 0))
            return false;
        if (!Take('?'))
            return true;
        if (!Expression(depth + 1) || !Take(':') || !Expression(depth + 1))
            return false;
        Emit(TOp::Select);
        return true;
    }
    bool Binary(int depth, int level) {
        if (level == kLevels)
            return Unary(depth);
        if (!Binary(depth, level + 1))
            return false;
        for (const TBinary* b = NextBinary(); b && b->Level == level; b = NextBinary()) {
            pos_ += b->Text.size();
            if (!Binary(depth, level + 1))
                return false;
            Emit(b->Op);
        }
        return true;
    }
    bool Unary(int depth) {
        size_t nots = 0;
        for (Skip(); pos_ + 1 < text_.size() && text_[pos_] == '!' && text_[pos_ + 1] != '=';
             Skip()) {
            ++pos_;
            ++nots;
        }
        if (!Operand(depth))
            return false;
        // !!!x is !x; !!x is not x.
        for (size_t i = nots == 0 ? 0 : 2 - nots % 2; i > 0; --i)
            Emit(TOp::Not);
        return true;
    }
    bool Operand(int depth) {
        if (Take('(')) {
            return Expression(depth + 1) && Take(')');
        }
        if (Take('n')) {
            Emit(TOp::N);
            return true;
        }
        if (pos_ == text_.size() || !IsDigit(text_[pos_]))
            return false;
        // Wraps like the C library's unsigned long.
        uint64_t value = 0;
        while (pos_ < text_.size() && IsDigit(text_[pos_]))
            value = value * 10 + static_cast<uint64_t>(text_[pos_++] - '0');
        Emit(TOp::Number, value);
        return true;
    }

    std::string_view text_;
    std::vector<TStep>& program_;
    size_t pos_ = 0;
    size_t stack_ = 0;
    size_t maxStack_ = 0;
};

uint64_t Apply(TOp op, uint64_t a, uint64_t b) {
    switch (op) {
    case TOp::Mul:
        return a * b;
    // A division by zero in a catalogue's rule must not end the program.
    case TOp::Div:
        return b ? a / b : 0;
    case TOp::Mod:
        return b ? a % b : 0;
    case TOp::Add:
        return a + b;
    case TOp::Sub:
        return a - b;
    case TOp::Less:
        return a < b;
    case TOp::Greater:
        return a > b;
    case TOp::LessEqual:
        return a <= b;
    case TOp::GreaterEqual:
        return a >= b;
    case TOp::Equal:
        return a == b;
    case TOp::NotEqual:
        return a != b;
    // Both sides are always worked out: no operand has a side effect.
    case TOp::And:
        return a && b;
    default: // TOp::Or
        return a || b;
    }
}

// The number after "nplurals=", saturated like strtoul's; false when no digit follows.
bool ReadCount(std::string_view text, uint64_t& count) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')))
        ++at;
    if (at == text.size() || !IsDigit(text[at]))
        return false;
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    count = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
        const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
        count = count > (max - digit) / 10 ? max : count * 10 + digit;
    }
    return true;
}

} // namespace

TPluralRule TPluralRule::FromHeader(std::string_view header) {
    TPluralRule rule;
    header = header.substr(0, header.find('\0'));
    const size_t plural = header.find("plural=");
    const size_t nplurals = header.find("nplurals=");
    uint64_t count = 0;
    if (plural == std::string_view::npos || nplurals == std::string_view::npos ||
        !ReadCount(header.substr(nplurals + 9), count))
        return rule;
    std::string_view text = header.substr(plural + 7);
    text = text.substr(0, text.find_first_of(";\n"));
    if (text.size() > MaxLength)
        return rule;
    Parser parser(text, rule.program_);
    if (!parser.ParseAll()) {
        rule.program_.clear();
        return rule;
    }
    rule.stackSize_ = parser.StackSize();
    rule.count_ = count;
    return rule;
}

unsigned long TPluralRule::Choose(unsigned long n) const {
    uint64_t index = n != 1;
    if (!program_.empty()) {
        uint64_t local[32];
        std::vector<uint64_t> large(stackSize_ > 32 ? stackSize_ : 0);
        uint64_t* stack = large.empty() ? local : large.data();
        size_t top = 0;
        for (const TStep& step : program_) {
            switch (step.Op) {
            case TOp::N:
                stack[top++] = n;
                break;
            case TOp::Number:
                stack[top++] = step.Value;
                break;
            case TOp::Not:
                stack[top - 1] = !stack[top - 1];
                break;
            case TOp::Select:
                top -= 2;
                stack[top - 1] = stack[top - 1] ? stack[top] : stack[top + 1];
                break;
            default:
                --top;
                stack[top - 1] = Apply(step.Op, stack[top - 1], stack[top]);
            }
        }
        index = stack[0];
    }
    // Where unsigned long has 32 bits, a larger index names no form either.
    const bool named = index < count_ && index <= std::numeric_limits<unsigned long>::max();
    return named ? static_cast<unsigned long>(index) : 0;
}

} // namespace gnugettext
