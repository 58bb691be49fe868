// Prints Lumen's settings table as docs/lumen.md shows it, or with --man as the manual page
// (resources/stackrise.1.in) lists it. With a DOC argument it checks instead that DOC holds
// that table between its markers, and prints the table when it does not, for pasting in.
//   lumen_settings_table [--man] [DOC]
#include <cctype>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "run/settings.h"

namespace {

struct Format {
    std::string begin, end;
    std::string (*table)();
};

// Text for roff: backslashes escaped, and a line never starts with a control character.
std::string roffText(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

// An option's or variable's name for roff: hyphens as minus signs (the character typed).
std::string roffName(std::string_view name) {
    std::string out;
    for (const char c : name) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

// `text` as a sentence: a capital first letter and a full stop.
std::string sentence(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

// The settings as the manual page's OPTIONS section lists them: the option and its variable
// (the value named as the option names it; a flag's variable takes 1), what it does, the
// values it takes and what holds when it is unset.
std::string settingsMan() {
    std::string out;
    for (const lumen::SettingInfo& s : lumen::kSettings) {
        const std::string_view option = s.option;
        const std::size_t space = option.find(' ');
        const std::string_view name = option.substr(0, space);
        const std::string_view value = space == std::string_view::npos ? "" : option.substr(space + 1);
        out.append(".TP\n\\fB").append(roffName(name)).append("\\fR");
        if (!value.empty()) out.append(" \\fI").append(value).append("\\fR");
        out.append(", \\fB").append(roffName(s.variable)).append("=\\fR");
        if (value.empty()) {
            out.append("\\fB1\\fR");
        } else {
            out.append("\\fI").append(value).append("\\fR");
        }
        out.append("\n").append(roffText(sentence(s.help))).append("\n");
        out.append("Values: ").append(roffText(s.values)).append(".\n");
        out.append("Unset: ").append(roffText(s.unset)).append(".\n");
    }
    return out;
}

// `text` without the blank lines around it.
std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of('\n');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of('\n') + 1 - first);
}

}  // namespace

int main(int argc, char** argv) {
    const Format markdown{"<!-- settings table: begin -->", "<!-- settings table: end -->",
                          lumen::settingsTableMarkdown};
    const Format man{".\\\" settings: begin", ".\\\" settings: end", settingsMan};
    const Format* format = &markdown;
    int arg = 1;
    if (arg < argc && std::string(argv[arg]) == "--man") {
        format = &man;
        ++arg;
    }
    const std::string table = format->table();
    if (arg >= argc) {
        std::cout << table;
        return 0;
    }
    const char* path = argv[arg];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << path << ": cannot be read\n";
        return 1;
    }
    std::ostringstream doc;
    doc << in.rdbuf();
    const std::string text = doc.str();
    const std::size_t begin = text.find(format->begin);
    const std::size_t end = begin == std::string::npos ? begin : text.find(format->end, begin);
    if (end == std::string::npos) {
        std::cerr << path << ": no lines " << format->begin << " and " << format->end
                  << " around the settings table\n";
        return 1;
    }
    const std::size_t from = begin + format->begin.size();
    if (trimmed(text.substr(from, end - from)) == trimmed(table)) return 0;
    std::cerr << path << ": the settings table is not the code's (lumen/run/settings.h); "
              << "between the markers it should read:\n\n" << table << "\n";
    return 1;
}
