#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace Quillomark::Bench {

// One line of the closing table of the benchmarks: a measured figure and the
// budget it is held to. Most figures are ratios against a baseline measured
// in the same run; a few are absolute (bytes, nanoseconds).
struct Figure {
    enum class Aim { AtMost, AtLeast, Reference };

    std::string name;
    double value = 0;
    std::string unit;  // "x" for a ratio, else "ns", "B", ...
    Aim aim = Aim::Reference;
    double budget = 0;
    std::string note;  // what the figure compares, or why it is over

    bool within() const;
    static Figure atMost(std::string name, double value, std::string unit, double budget);
    static Figure atLeast(std::string name, double value, std::string unit, double budget);
    static Figure reference(std::string name, double value, std::string unit);
};

// The figures of one run, printed as a table; the figures of several
// programs meet in one file and are printed together.
class FigureTable {
public:
    void add(Figure figure);
    const std::vector<Figure>& figures() const { return rows; }
    bool allWithin() const;

    void print(std::ostream& out) const;
    // One line per figure, tab-separated; appended to `path`.
    void appendTo(const std::string& path) const;
    // Reads what appendTo wrote; throws std::runtime_error for a line it
    // cannot read.
    static FigureTable readFrom(const std::string& path);

private:
    std::vector<Figure> rows;
};

}  // namespace Quillomark::Bench
