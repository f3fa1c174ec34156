// The client-side filter language of a dataset:
//
//   expression  := or
//   or          := and { OR and }
//   and         := not { AND not }
//   not         := NOT not | primary
//   primary     := "(" expression ")" | operand compare operand
//   compare     := "=" | "<>" | "<" | ">" | "<=" | ">="
//   operand     := field name | 'quoted text' ('' is a quote inside) | number
//
// Keywords are read without regard to case. A filter is parsed once into a
// tree, then bound to the fields of a dataset (names resolved to column
// positions) and evaluated per row without allocating.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wire.h"

namespace dataset {

enum class CompareOp { Equal, NotEqual, Less, Greater, LessEqual, GreaterEqual };

// A parsed filter expression, not yet tied to a dataset's columns.
class FilterExpression {
public:
    FilterExpression();
    ~FilterExpression();
    FilterExpression(FilterExpression &&) noexcept;
    FilterExpression &operator=(FilterExpression &&) noexcept;
    FilterExpression(const FilterExpression &) = delete;
    FilterExpression &operator=(const FilterExpression &) = delete;

    // Parses the text; throws DatasetError naming the 1-based character
    // position of the first fault. Empty or blank text is the empty filter,
    // which every row passes.
    static FilterExpression parse(std::string_view text);

    bool empty() const;
    const std::string &text() const;
    // The field names the expression mentions, as written, each once.
    std::vector<std::string> field_names() const;

    struct Node;

private:
    friend class BoundFilter;
    std::string text_;
    std::vector<Node> nodes_;  // nodes_.back() is the root; empty for the empty filter
};

// A filter bound to the columns of one row layout.
class BoundFilter {
public:
    // Maps a field name to its column, -1 when there is no such field.
    using Resolver = std::function<int(std::string_view name)>;

    BoundFilter() = default;
    // Throws DatasetError naming the first field the resolver does not know.
    BoundFilter(const FilterExpression &expression, const Resolver &resolve);

    bool empty() const { return ops_.empty(); }
    // True when any operand reads one of the columns in [first, last).
    bool reads_columns(int first, int last) const;
    // Whether the row passes. Columns the filter reads must exist in `row`.
    bool matches(const std::vector<wire::Value> &row) const;

    struct Operand {
        int column = -1;          // >= 0: a field; -1: a literal
        bool literal_null = false;
        bool literal_is_number = false;
        double number = 0;        // a number literal, or the value of numeric text
        bool text_is_numeric = false;
        std::string text;         // text literal, or a number literal in general format
    };
    struct Op {
        enum Kind : std::uint8_t { Compare, And, Or, Not } kind = Compare;
        CompareOp cmp = CompareOp::Equal;
        int left = -1;   // child op (And, Or, Not) or operand index (Compare)
        int right = -1;
    };

private:
    bool eval(int op, const std::vector<wire::Value> &row) const;
    std::vector<Operand> operands_;
    std::vector<Op> ops_;  // ops_.back() is the root
};

// Reads text as a number the way a person writes one: surrounding blanks
// ignored, an optional sign, digits with an optional fraction and exponent.
// False (and `out` untouched) when the text is not wholly a number.
bool parse_number(std::string_view text, double &out);

// Compares field names as the datasets do: ASCII letters without regard to case.
bool iequals(std::string_view a, std::string_view b);

}  // namespace dataset
