// Prints the figures that the benchmark programs appended to one file as a
// single table; exits with 1 when a figure is over its budget.
#include "bench/support/FigureTable.hxx"

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <figures file>\n";
        return 2;
    }
    try {
        const auto table = Quillomark::Bench::FigureTable::readFrom(argv[1]);
        table.print(std::cout);
        return table.allWithin() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 2;
    }
}
