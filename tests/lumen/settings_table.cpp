// Prints Lumen's settings table as docs/lumen.md shows it. With a DOC argument it checks
// instead that DOC holds that table between its markers, and prints the table when it does not,
// for pasting in.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "run/settings.h"

namespace {

const std::string kBegin = "<!-- settings table: begin -->";
const std::string kEnd = "<!-- settings table: end -->";

// `text` without the blank lines around it.
std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of('\n');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of('\n') + 1 - first);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string table = lumen::settingsTableMarkdown();
    if (argc < 2) {
        std::cout << table;
        return 0;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream doc;
    doc << in.rdbuf();
    const std::string text = doc.str();
    const std::size_t begin = text.find(kBegin);
    const std::size_t end = begin == std::string::npos ? begin : text.find(kEnd, begin);
    if (end == std::string::npos) {
        std::cerr << argv[1] << ": no lines " << kBegin << " and " << kEnd << " around the settings table\n";
        return 1;
    }
    const std::size_t from = begin + kBegin.size();
    if (trimmed(text.substr(from, end - from)) == trimmed(table)) return 0;
    std::cerr << argv[1] << ": the settings table is not the code's (lumen/run/settings.h); "
              << "between the markers it should read:\n\n" << table << "\n";
    return 1;
}
