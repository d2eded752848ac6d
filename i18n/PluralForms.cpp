#include "i18n/PluralForms.h"

#include <cctype>
#include <string>

namespace gnugettext {

// Binary and ternary operators keep their operands; a leaf is n or a number.
struct TPluralRule::TNode {
    std::string Op; // "n", "#", "!", "?:", or a binary operator
    unsigned long Value = 0;
    std::shared_ptr<const TNode> A, B, C;
};

namespace {

using Node = std::shared_ptr<const TPluralRule::TNode>;

// Recursive descent in C's precedence: ?: then || && == != < > <= >= + - * / % and unary !.
class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    Node ParseAll() {
        Node node = Ternary();
        Skip();
        return pos_ == text_.size() ? node : nullptr;
    }

private:
    void Skip() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }
    bool Take(std::string_view op) {
        Skip();
        if (text_.substr(pos_, op.size()) != op)
            return false;
        // "<" must not take the first half of "<=", nor "!" of "!=".
        if (op.size() == 1 && pos_ + 1 < text_.size() && text_[pos_ + 1] == '=' &&
            (op == "<" || op == ">" || op == "!" || op == "="))
            return false;
        pos_ += op.size();
        return true;
    }
    static Node Make(std::string op, Node a, Node b = nullptr, Node c = nullptr) {
        if (!a || (op != "!" && !b) || (op == "?:" && !c))
            return nullptr;
        auto node = std::make_shared<TPluralRule::TNode>();
        node->Op = std::move(op);
        node->A = std::move(a);
        node->B = std::move(b);
        node->C = std::move(c);
        return node;
    }
    Node Ternary() {
        Node condition = Binary(0);
        if (!condition || !Take("?"))
            return condition;
        Node yes = Ternary();
        if (!Take(":"))
            return nullptr;
        return Make("?:", condition, yes, Ternary());
    }
    // Levels from the loosest binding to the tightest.
    Node Binary(size_t level) {
        static const std::string_view levels[][4] = {
            {"||"}, {"&&"}, {"==", "!="}, {"<=", ">=", "<", ">"}, {"+", "-"}, {"*", "/", "%"}};
        constexpr size_t count = sizeof levels / sizeof levels[0];
        if (level == count)
            return Unary();
        Node left = Binary(level + 1);
        for (bool more = true; left && more;) {
            more = false;
            for (std::string_view op : levels[level]) {
                if (!op.empty() && Take(op)) {
                    left = Make(std::string(op), left, Binary(level + 1));
                    more = true;
                    break;
                }
            }
        }
        return left;
    }
    Node Unary() {
        if (Take("!"))
            return Make("!", Unary());
        if (Take("(")) {
            Node inner = Ternary();
            return Take(")") ? inner : nullptr;
        }
        Skip();
        auto node = std::make_shared<TPluralRule::TNode>();
        if (pos_ < text_.size() && text_[pos_] == 'n') {
            ++pos_;
            node->Op = "n";
            return node;
        }
        size_t start = pos_;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_])) &&
               pos_ - start < 9)
            node->Value = node->Value * 10 + (text_[pos_++] - '0');
        if (pos_ == start)
            return nullptr;
        node->Op = "#";
        return node;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

unsigned long Evaluate(const TPluralRule::TNode& e, unsigned long n) {
    const std::string& op = e.Op;
    if (op == "n")
        return n;
    if (op == "#")
        return e.Value;
    unsigned long a = Evaluate(*e.A, n);
    if (op == "!")
        return !a;
    if (op == "?:")
        return a ? Evaluate(*e.B, n) : Evaluate(*e.C, n);
    if (op == "||")
        return a || Evaluate(*e.B, n);
    if (op == "&&")
        return a && Evaluate(*e.B, n);
    unsigned long b = Evaluate(*e.B, n);
    if (op == "==")
        return a == b;
    if (op == "!=")
        return a != b;
    if (op == "<")
        return a < b;
    if (op == ">")
        return a > b;
    if (op == "<=")
        return a <= b;
    if (op == ">=")
        return a >= b;
    if (op == "+")
        return a + b;
    if (op == "-")
        return a - b;
    if (op == "*")
        return a * b;
    // A division by zero in a catalogue's rule must not end the program.
    if (op == "/")
        return b ? a / b : 0;
    return b ? a % b : 0;
}

// The text after "name=" up to the next ";" in `rule`, or empty.
std::string_view Setting(std::string_view rule, std::string_view name) {
    for (size_t at = rule.find(name); at != std::string_view::npos; at = rule.find(name, at + 1)) {
        size_t value = at + name.size();
        while (value < rule.size() && rule[value] == ' ')
            ++value;
        if (value < rule.size() && rule[value] == '=' &&
            (at == 0 || rule[at - 1] == ' ' || rule[at - 1] == ';')) {
            size_t end = rule.find(';', value + 1);
            return rule.substr(value + 1, end == std::string_view::npos ? end : end - value - 1);
        }
    }
    return {};
}

} // namespace

TPluralRule TPluralRule::FromHeader(std::string_view header) {
    TPluralRule rule;
    size_t at = header.find("Plural-Forms:");
    if (at == std::string_view::npos)
        return rule;
    std::string_view line = header.substr(at + 13);
    line = line.substr(0, line.find('\n'));
    std::string countText(Setting(line, "nplurals"));
    Node expression = Parser(Setting(line, "plural")).ParseAll();
    unsigned long count = 0;
    for (char c : countText)
        if (std::isdigit(static_cast<unsigned char>(c)))
            count = count * 10 + (c - '0');
    if (!expression || count < 1 || count > 100)
        return rule;
    rule.expression_ = expression;
    rule.count_ = count;
    return rule;
}

unsigned long TPluralRule::Choose(unsigned long n) const {
    unsigned long index = expression_ ? Evaluate(*expression_, n) : (n != 1);
    return index < count_ ? index : 0;
}

} // namespace gnugettext
