#include "filter_expression.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "client_dataset.h"

namespace dataset {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }


// 1-based position of a byte offset, counted in characters (UTF-8).
std::size_t char_position(std::string_view text, std::size_t byte_offset)
{
    std::size_t pos = 1;
    for (std::size_t i = 0; i < byte_offset && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++pos;
    return pos;
}

enum class Tok { Name, Text, Number, Compare, LParen, RParen, And, Or, Not, End };

struct Token {
    Tok kind = Tok::End;
    std::size_t offset = 0;  // byte offset in the expression
    std::string text;        // name, unquoted text, or the number as written
    double number = 0;
    CompareOp cmp = CompareOp::Equal;
};

}  // namespace

bool parse_number(std::string_view text, double &out)
{
    std::size_t b = 0, e = text.size();
    while (b < e && is_blank(text[b])) ++b;
    while (e > b && is_blank(text[e - 1])) --e;
    if (b == e) return false;
    const char *first = text.data() + b;
    const char *last = text.data() + e;
    if (*first == '+') {
        ++first;
        if (first == last || *first == '-') return false;
    }
    double value = 0;
    auto res = std::from_chars(first, last, value, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != last) return false;
    out = value;
    return true;
}

struct FilterExpression::Node {
    enum Kind : std::uint8_t { Compare, And, Or, Not } kind = Compare;
    CompareOp cmp = CompareOp::Equal;
    int left = -1;  // child nodes of And, Or, Not
    int right = -1;
    struct Operand {
        enum Kind : std::uint8_t { Field, Text, Number } kind = Field;
        std::string text;  // field name or text
        double number = 0;
    };
    Operand a, b;
};

namespace {

class Parser {
public:
    using Node = FilterExpression::Node;

    Parser(std::string_view text, std::vector<Node> &nodes) : text_(text), nodes_(nodes) { advance(); }

    void parse_all()
    {
        if (tok_.kind == Tok::End) return;  // blank: the empty filter
        parse_or();
        if (tok_.kind != Tok::End) {
            if (tok_.kind == Tok::RParen) fail(tok_.offset, "\")\" without a matching \"(\"");
            fail(tok_.offset, "AND, OR or the end of the expression is expected, not " + describe(tok_));
        }
    }

private:
    [[noreturn]] void fail(std::size_t offset, const std::string &what) const
    {
        throw DatasetError("error in filter \"" + std::string(text_) + "\" at position " +
                           std::to_string(char_position(text_, offset)) + ": " + what);
    }

    std::string describe(const Token &t) const
    {
        switch (t.kind) {
        case Tok::End: return "the end of the expression";
        case Tok::Text: return "quoted text";
        case Tok::LParen: return "\"(\"";
        case Tok::RParen: return "\")\"";
        default: return "\"" + std::string(text_.substr(t.offset, end_ - t.offset)) + "\"";
        }
    }

    void advance()
    {
        std::size_t i = pos_;
        while (i < text_.size() && is_blank(text_[i])) ++i;
        tok_ = Token{};
        tok_.offset = i;
        if (i >= text_.size()) {
            tok_.kind = Tok::End;
            pos_ = end_ = i;
            return;
        }
        const char c = text_[i];
        const auto next_is = [&](char n) { return i + 1 < text_.size() && text_[i + 1] == n; };
        if (c == '(') {
            tok_.kind = Tok::LParen;
            ++i;
        } else if (c == ')') {
            tok_.kind = Tok::RParen;
            ++i;
        } else if (c == '=') {
            tok_.kind = Tok::Compare;
            tok_.cmp = CompareOp::Equal;
            ++i;
        } else if (c == '<') {
            tok_.kind = Tok::Compare;
            if (next_is('>')) {
                tok_.cmp = CompareOp::NotEqual;
                i += 2;
            } else if (next_is('=')) {
                tok_.cmp = CompareOp::LessEqual;
                i += 2;
            } else {
                tok_.cmp = CompareOp::Less;
                ++i;
            }
        } else if (c == '>') {
            tok_.kind = Tok::Compare;
            if (next_is('=')) {
                tok_.cmp = CompareOp::GreaterEqual;
                i += 2;
            } else {
                tok_.cmp = CompareOp::Greater;
                ++i;
            }
        } else if (c == '\'') {
            tok_.kind = Tok::Text;
            ++i;
            for (;;) {
                if (i >= text_.size()) fail(tok_.offset, "quoted text is not closed");
                if (text_[i] == '\'') {
                    if (i + 1 < text_.size() && text_[i + 1] == '\'') {
                        tok_.text += '\'';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                tok_.text += text_[i++];
            }
        } else if (is_digit(c) || c == '.' || ((c == '-' || c == '+') && i + 1 < text_.size() &&
                                               (is_digit(text_[i + 1]) || text_[i + 1] == '.'))) {
            tok_.kind = Tok::Number;
            std::size_t j = i + ((c == '-' || c == '+') ? 1 : 0);
            while (j < text_.size() && (is_digit(text_[j]) || text_[j] == '.')) ++j;
            if (j < text_.size() && (text_[j] == 'e' || text_[j] == 'E')) {
                std::size_t k = j + 1;
                if (k < text_.size() && (text_[k] == '+' || text_[k] == '-')) ++k;
                if (k < text_.size() && is_digit(text_[k])) {
                    while (k < text_.size() && is_digit(text_[k])) ++k;
                    j = k;
                }
            }
            if (j < text_.size() && is_name_char(text_[j])) {
                while (j < text_.size() && is_name_char(text_[j])) ++j;
                fail(i, "\"" + std::string(text_.substr(i, j - i)) + "\" is not a number");
            }
            tok_.text = std::string(text_.substr(i, j - i));
            if (!parse_number(tok_.text, tok_.number))
                fail(i, "\"" + tok_.text + "\" is not a number");
            i = j;
        } else if (is_name_start(c)) {
            std::size_t j = i;
            while (j < text_.size() && is_name_char(text_[j])) ++j;
            tok_.text = std::string(text_.substr(i, j - i));
            if (iequals(tok_.text, "AND")) tok_.kind = Tok::And;
            else if (iequals(tok_.text, "OR")) tok_.kind = Tok::Or;
            else if (iequals(tok_.text, "NOT")) tok_.kind = Tok::Not;
            else tok_.kind = Tok::Name;
            i = j;
        } else {
            std::size_t len = 1;
            const auto lead = static_cast<unsigned char>(c);
            if (lead >= 0xC0) len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            fail(i, "unexpected character \"" + std::string(text_.substr(i, len)) + "\"");
        }
        pos_ = end_ = i;
    }

    int add(Node n)
    {
        nodes_.push_back(std::move(n));
        return static_cast<int>(nodes_.size()) - 1;
    }

    int parse_or() { return parse_chain(Tok::Or, Node::Or, &Parser::parse_and); }
    int parse_and() { return parse_chain(Tok::And, Node::And, &Parser::parse_not); }

    // Operands of the next tighter level joined by `op`, grouped from the
    // left: a OR b OR c is (a OR b) OR c.
    int parse_chain(Tok op, Node::Kind kind, int (Parser::*operand)())
    {
        int left = (this->*operand)();
        while (tok_.kind == op) {
            advance();
            int right = (this->*operand)();
            Node n;
            n.kind = kind;
            n.left = left;
            n.right = right;
            left = add(std::move(n));
        }
        return left;
    }

    int parse_not()
    {
        if (tok_.kind == Tok::Not) {
            advance();
            int child = parse_not();
            Node n;
            n.kind = Node::Not;
            n.left = child;
            return add(std::move(n));
        }
        return parse_primary();
    }

    int parse_primary()
    {
        if (tok_.kind == Tok::LParen) {
            advance();
            int inner = parse_or();
            if (tok_.kind != Tok::RParen) fail(tok_.offset, "\")\" is expected, not " + describe(tok_));
            advance();
            return inner;
        }
        Node n;
        n.kind = Node::Compare;
        n.a = parse_operand();
        if (tok_.kind != Tok::Compare)
            fail(tok_.offset, "a comparison (=, <>, <, >, <=, >=) is expected, not " + describe(tok_));
        n.cmp = tok_.cmp;
        advance();
        n.b = parse_operand();
        return add(std::move(n));
    }

    Node::Operand parse_operand()
    {
        Node::Operand o;
        switch (tok_.kind) {
        case Tok::Name: o.kind = Node::Operand::Field; break;
        case Tok::Text: o.kind = Node::Operand::Text; break;
        case Tok::Number:
            o.kind = Node::Operand::Number;
            o.number = tok_.number;
            break;
        default: fail(tok_.offset, "a field name, quoted text or a number is expected, not " + describe(tok_));
        }
        o.text = std::move(tok_.text);
        advance();
        return o;
    }

    std::string_view text_;
    std::vector<Node> &nodes_;
    Token tok_;
    std::size_t pos_ = 0;  // where the next token starts looking
    std::size_t end_ = 0;  // end of the current token
};

}  // namespace

FilterExpression::FilterExpression() = default;
FilterExpression::~FilterExpression() = default;
FilterExpression::FilterExpression(FilterExpression &&) noexcept = default;
FilterExpression &FilterExpression::operator=(FilterExpression &&) noexcept = default;

FilterExpression FilterExpression::parse(std::string_view text)
{
    FilterExpression e;
    e.text_ = std::string(text);
    Parser p(e.text_, e.nodes_);
    p.parse_all();
    return e;
}

bool FilterExpression::empty() const { return nodes_.empty(); }

const std::string &FilterExpression::text() const { return text_; }

std::vector<std::string> FilterExpression::field_names() const
{
    std::vector<std::string> names;
    const auto note = [&](const Node::Operand &o) {
        if (o.kind != Node::Operand::Field) return;
        for (const auto &n : names)
            if (iequals(n, o.text)) return;
        names.push_back(o.text);
    };
    for (const auto &n : nodes_) {
        if (n.kind != Node::Compare) continue;
        note(n.a);
        note(n.b);
    }
    return names;
}

BoundFilter::BoundFilter(const FilterExpression &expression, const Resolver &resolve)
{
    using Node = FilterExpression::Node;
    const auto bind_operand = [&](const Node::Operand &o) {
        Operand out;
        switch (o.kind) {
        case Node::Operand::Field:
            out.column = resolve(o.text);
            if (out.column < 0)
                throw DatasetError("the filter \"" + expression.text() + "\" names the unknown field \"" +
                                   o.text + "\"");
            break;
        case Node::Operand::Text:
            out.text = o.text;
            out.text_is_numeric = parse_number(o.text, out.number);
            break;
        case Node::Operand::Number:
            out.literal_is_number = true;
            out.number = o.number;
            out.text = wire::format_number(o.number);
            break;
        }
        operands_.push_back(std::move(out));
        return static_cast<int>(operands_.size()) - 1;
    };
    // Nodes are stored children first, so op i may refer to ops below i.
    ops_.reserve(expression.nodes_.size());
    for (const auto &n : expression.nodes_) {
        Op op;
        switch (n.kind) {
        case Node::Compare:
            op.kind = Op::Compare;
            op.cmp = n.cmp;
            op.left = bind_operand(n.a);
            op.right = bind_operand(n.b);
            break;
        case Node::And: op.kind = Op::And; break;
        case Node::Or: op.kind = Op::Or; break;
        case Node::Not: op.kind = Op::Not; break;
        }
        if (n.kind != Node::Compare) {
            op.left = n.left;
            op.right = n.right;
        }
        ops_.push_back(op);
    }
}

bool BoundFilter::reads_columns(int first, int last) const
{
    return std::any_of(operands_.begin(), operands_.end(),
                       [&](const Operand &o) { return o.column >= first && o.column < last; });
}

bool BoundFilter::matches(const std::vector<wire::Value> &row) const
{
    if (ops_.empty()) return true;
    return eval(static_cast<int>(ops_.size()) - 1, row);
}

namespace {

// One side of a comparison as seen for one row; views into the row or the
// literal, so evaluating allocates nothing.
struct Side {
    enum Kind : std::uint8_t { Null, Text, Number } kind = Null;
    std::string_view text;
    double number = 0;
    bool numeric_known = false;  // for Text: `numeric` and `number` are set
    bool numeric = false;
    std::int64_t integer = 0;  // a field's integer value, kept exact
    bool is_integer = false;

    bool as_number(double &out)
    {
        if (kind == Number) {
            out = number;
            return true;
        }
        if (!numeric_known) {
            numeric = parse_number(text, number);
            numeric_known = true;
        }
        out = number;
        return numeric;
    }
    std::string number_text() const
    {
        return is_integer ? std::to_string(integer) : wire::format_number(number);
    }
};

template <class T> bool ordered(CompareOp op, const T &a, const T &b)
{
    switch (op) {
    case CompareOp::Equal: return a == b;
    case CompareOp::NotEqual: return !(a == b);
    case CompareOp::Less: return a < b;
    case CompareOp::Greater: return b < a;
    case CompareOp::LessEqual: return !(b < a);
    case CompareOp::GreaterEqual: return !(a < b);
    }
    return false;
}

bool compare(CompareOp op, Side &a, Side &b, const BoundFilter::Operand &oa, const BoundFilter::Operand &ob)
{
    const bool a_blank = a.kind == Side::Null || (a.kind == Side::Text && a.text.empty());
    const bool b_blank = b.kind == Side::Null || (b.kind == Side::Text && b.text.empty());
    if (a.kind == Side::Null || b.kind == Side::Null) {
        // An empty value equals only the empty text; it has no order.
        const bool eq = a_blank && b_blank;
        if (op == CompareOp::Equal) return eq;
        if (op == CompareOp::NotEqual) return !eq;
        return false;
    }
    if (a.kind == Side::Text && b.kind == Side::Text) return ordered(op, a.text, b.text);
    if (a.kind == Side::Number && b.kind == Side::Number) {
        if (a.is_integer && b.is_integer) return ordered(op, a.integer, b.integer);
        return ordered(op, a.number, b.number);
    }
    // A number against text: by value when the text holds a number.
    double x = 0, y = 0;
    if (a.as_number(x) && b.as_number(y)) return ordered(op, x, y);
    // Otherwise as text, the number written in general format.
    if (a.kind == Side::Number) {
        if (oa.column < 0) return ordered(op, std::string_view(oa.text), b.text);
        const std::string t = a.number_text();
        return ordered(op, std::string_view(t), b.text);
    }
    if (ob.column < 0) return ordered(op, a.text, std::string_view(ob.text));
    const std::string t = b.number_text();
    return ordered(op, a.text, std::string_view(t));
}

Side side_of(const BoundFilter::Operand &o, const std::vector<wire::Value> &row)
{
    Side s;
    if (o.column >= 0) {
        const wire::Value &v = row[static_cast<std::size_t>(o.column)];
        if (const auto *t = std::get_if<std::string>(&v)) {
            s.kind = Side::Text;
            s.text = *t;
        } else if (const auto *d = std::get_if<double>(&v)) {
            s.kind = Side::Number;
            s.number = *d;
        } else if (const auto *i = std::get_if<std::int64_t>(&v)) {
            s.kind = Side::Number;
            s.number = static_cast<double>(*i);
            s.integer = *i;
            s.is_integer = true;
        }
        return s;
    }
    if (o.literal_is_number) {
        s.kind = Side::Number;
        s.number = o.number;
        if (o.number == std::trunc(o.number) && std::fabs(o.number) < 9e15) {
            s.integer = static_cast<std::int64_t>(o.number);
            s.is_integer = true;
        }
        return s;
    }
    s.kind = Side::Text;
    s.text = o.text;
    s.numeric_known = true;
    s.numeric = o.text_is_numeric;
    s.number = o.number;
    return s;
}

}  // namespace

bool BoundFilter::eval(int index, const std::vector<wire::Value> &row) const
{
    const Op &op = ops_[static_cast<std::size_t>(index)];
    switch (op.kind) {
    case Op::And: return eval(op.left, row) && eval(op.right, row);
    case Op::Or: return eval(op.left, row) || eval(op.right, row);
    case Op::Not: return !eval(op.left, row);
    case Op::Compare: {
        const Operand &oa = operands_[static_cast<std::size_t>(op.left)];
        const Operand &ob = operands_[static_cast<std::size_t>(op.right)];
        Side a = side_of(oa, row);
        Side b = side_of(ob, row);
        return compare(op.cmp, a, b, oa, ob);
    }
    }
    return false;
}

bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

}  // namespace dataset
