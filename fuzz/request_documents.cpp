// Prints the snapshot and the apply document of each request file named on the command line,
// one document a line, for the schema check.
#include <fstream>
#include <iostream>
#include <iterator>

#include "fuzz/request_documents.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in{argv[i], std::ios::binary};
        const std::string bytes{std::istreambuf_iterator<char>{in}, {}};
        const auto [snapshot, apply] = ravu::fuzzing::requestDocuments(bytes);
        std::cout << snapshot << '\n' << apply << '\n';
    }
    return 0;
}
