#include "bench/support/FigureTable.hxx"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace Quillomark::Bench {

namespace {

const char* aimName(Figure::Aim aim) {
    switch (aim) {
        case Figure::Aim::AtMost: return "at-most";
        case Figure::Aim::AtLeast: return "at-least";
        case Figure::Aim::Reference: break;
    }
    return "reference";
}

Figure::Aim aimOf(const std::string& text) {
    if (text == "at-most") return Figure::Aim::AtMost;
    if (text == "at-least") return Figure::Aim::AtLeast;
    if (text == "reference") return Figure::Aim::Reference;
    throw std::runtime_error("unknown aim in figure file: " + text);
}

std::string number(double value, const std::string& unit) {
    char text[64];
    if (unit == "x") {
        std::snprintf(text, sizeof text, "%.2f", value);
    } else if (unit == "blocks") {
        // Counts per property are small numbers that a change moves by a fraction.
        std::snprintf(text, sizeof text, "%.2f %s", value, unit.c_str());
    } else {
        std::snprintf(text, sizeof text, "%.0f %s", value, unit.c_str());
    }
    return text;
}

// Tabs and line breaks would break the file's lines.
std::string flat(std::string text) {
    std::replace(text.begin(), text.end(), '\t', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

bool Figure::within() const {
    switch (aim) {
        case Aim::AtMost: return value <= budget;
        case Aim::AtLeast: return value >= budget;
        case Aim::Reference: break;
    }
    return true;
}

Figure Figure::atMost(std::string name, double value, std::string unit, double budget) {
    return Figure{std::move(name), value, std::move(unit), Aim::AtMost, budget, {}};
}

Figure Figure::atLeast(std::string name, double value, std::string unit, double budget) {
    return Figure{std::move(name), value, std::move(unit), Aim::AtLeast, budget, {}};
}

Figure Figure::reference(std::string name, double value, std::string unit) {
    return Figure{std::move(name), value, std::move(unit), Aim::Reference, 0, {}};
}

void FigureTable::add(Figure figure) { rows.push_back(std::move(figure)); }

bool FigureTable::allWithin() const {
    return std::all_of(rows.begin(), rows.end(), [](const Figure& f) { return f.within(); });
}

void FigureTable::print(std::ostream& out) const {
    std::size_t nameWidth = 6;
    for (const Figure& f : rows) nameWidth = std::max(nameWidth, f.name.size());
    out << std::left << std::setw(static_cast<int>(nameWidth)) << "figure"
        << "  " << std::right << std::setw(10) << "value"
        << "  " << std::setw(12) << "budget"
        << "  verdict\n";
    out << std::string(nameWidth + 36, '-') << "\n";
    for (const Figure& f : rows) {
        std::string budget = "-";
        std::string verdict = "reference";
        if (f.aim != Figure::Aim::Reference) {
            budget = (f.aim == Figure::Aim::AtMost ? "<= " : ">= ") + number(f.budget, f.unit);
            verdict = f.within() ? "within" : "OVER";
        }
        out << std::left << std::setw(static_cast<int>(nameWidth)) << f.name << "  " << std::right
            << std::setw(10) << number(f.value, f.unit) << "  " << std::setw(12) << budget << "  "
            << verdict;
        if (!f.note.empty()) out << "  (" << f.note << ")";
        out << "\n";
    }
}

void FigureTable::appendTo(const std::string& path) const {
    std::ofstream file(path, std::ios::app);
    if (!file) throw std::runtime_error("cannot append to " + path);
    file << std::setprecision(17);
    for (const Figure& f : rows) {
        file << flat(f.name) << '\t' << f.value << '\t' << flat(f.unit) << '\t' << aimName(f.aim)
             << '\t' << f.budget << '\t' << flat(f.note) << '\n';
    }
}

FigureTable FigureTable::readFrom(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read " + path);
    FigureTable table;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::istringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t')) fields.push_back(field);
        if (fields.size() == 5) fields.emplace_back();
        if (fields.size() != 6) throw std::runtime_error("bad line in " + path + ": " + line);
        Figure f;
        f.name = fields[0];
        f.unit = fields[2];
        f.aim = aimOf(fields[3]);
        f.note = fields[5];
        try {
            f.value = std::stod(fields[1]);
            f.budget = std::stod(fields[4]);
        } catch (const std::logic_error&) {
            throw std::runtime_error("bad number in " + path + ": " + line);
        }
        table.add(std::move(f));
    }
    return table;
}

}  // namespace Quillomark::Bench
