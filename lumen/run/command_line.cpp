#include "run/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "backends/backend.h"
#include "os/os.h"
#include "run/text.h"
#include "lumen/lumen.h"

#ifndef LUMEN_VERSION
#define LUMEN_VERSION "0"
#endif

namespace lumen {

namespace {

constexpr std::size_t kColumns = 80;       // the width of --help's lines
constexpr std::size_t kIndent = 22;        // where the help of an option starts
constexpr const char* kHelpPointer = "; --help lists the options";
constexpr const char* kVariablePrefix = "LUMEN_";

#if defined(_WIN32)
constexpr bool kWindowsPaths = true;
constexpr const char* kPlatform = "Windows x64";
#elif defined(__EMSCRIPTEN__)
constexpr bool kWindowsPaths = false;
constexpr const char* kPlatform = "WebAssembly";
#else
constexpr bool kWindowsPaths = false;
constexpr const char* kPlatform = "Linux x86-64";
#endif

const SettingInfo* settingOfOption(const std::string& name) {
    for (const SettingInfo& s : kSettings) {
        if (optionName(s) == name) return &s;
    }
    return nullptr;
}

void addProblem(Settings& settings, std::string problem) {
    if (std::find(settings.problems.begin(), settings.problems.end(), problem) == settings.problems.end())
        settings.problems.push_back(std::move(problem));
}

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// `text` broken into lines of at most kColumns, the first after `head` (padded to `indent`
// columns, or on a line of its own when longer), the others indented by `indent`.
std::string wrapped(const std::string& head, const std::string& text, std::size_t indent) {
    std::string out = head;
    if (!out.empty() && out.size() + 1 > indent) {
        out += '\n';
        out.append(indent, ' ');
    } else {
        out.append(indent - out.size(), ' ');
    }
    std::size_t column = indent;
    std::size_t at = 0;
    bool first = true;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!first && column + 1 + word.size() > kColumns) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
        at = end + 1;
    }
    return out + "\n";
}

std::string paragraph(const std::string& text) { return wrapped("", text, 0); }

}  // namespace

void applyCommandLine(const std::vector<std::string>& args, Settings& settings) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            settings.help = true;
            continue;
        }
        if (arg == "--version") {
            settings.version = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            addProblem(settings, "Lumen: unexpected argument " + quoteShort(arg) + kHelpPointer);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const SettingInfo* setting = settingOfOption(name);
        if (setting == nullptr) {
            addProblem(settings, "Lumen: unknown option " + quoteShort(name) + kHelpPointer);
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (!optionTakesValue(*setting)) {
            value = "1";
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            const std::string placeholder = std::strchr(setting->option, ' ') + 1;
            addProblem(settings, "Lumen: option " + name + " needs a value (" + placeholder + ")" + kHelpPointer);
            continue;
        }
        std::optional<std::string>& text = settings.*setting->text;
        text = value.empty() ? std::nullopt : std::optional<std::string>(value);
        if (std::find(settings.fromOptions.begin(), settings.fromOptions.end(), setting->variable) ==
            settings.fromOptions.end())
            settings.fromOptions.push_back(setting->variable);
    }
}

const char* nearestVariable(const std::string& name) {
    const char* best = kSettings[0].variable;
    std::size_t bestDistance = editDistance(name, best);
    for (const SettingInfo& s : kSettings) {
        const std::size_t d = editDistance(name, s.variable);
        if (d < bestDistance) {
            best = s.variable;
            bestDistance = d;
        }
    }
    return best;
}

void checkVariableNames(const std::vector<std::string>& names, Settings& settings) {
    for (const std::string& name : names) {
        if (name.rfind(kVariablePrefix, 0) != 0) continue;
        const bool known = std::any_of(std::begin(kSettings), std::end(kSettings),
                                       [&](const SettingInfo& s) { return name == s.variable; });
        if (known) continue;
        addProblem(settings, "Lumen: unknown setting " + name + " (did you mean " + nearestVariable(name) + "?)");
    }
}

Settings Settings::fromProcess() {
    Settings settings = fromEnvironment();
    applyCommandLine(os::commandLine(), settings);
    std::vector<std::string> names = os::environmentNames();
    std::sort(names.begin(), names.end());
    checkVariableNames(names, settings);
    return settings;
}

std::string commandName(const std::string& title) {
    std::string name;
    for (const char c : title) name += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
#if defined(_WIN32)
    name += ".exe";
#endif
    return name;
}

std::string shellWord(const std::string& path) {
    const bool plain = !path.empty() && std::all_of(path.begin(), path.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_-./:,+@%=", c) != nullptr ||
               static_cast<unsigned char>(c) >= 0x80 || (c == '\\' && kWindowsPaths);
    });
    if (plain) return path;
#if defined(_WIN32)
    return "\"" + path + "\"";
#else
    std::string word = "'";
    for (const char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
#endif
}

std::string playLine(const std::string& title) {
    std::string line = title + ": drag with the left button to raise a tower, right-click it to tip it over";
    for (const WindowKey& key : kWindowKeys) line.append(&key == kWindowKeys ? "; " : ", ").append(key.brief);
    return line;
}

std::string usageText(const std::string& title) {
    const std::string command = commandName(title);
    std::string text = "Usage: " + command + " [OPTION]...\n\n";
    text += paragraph(title + " is a small interactive graphics demo: build towers and knock them down "
                              "with the mouse. It plays in a window; without a display it runs "
                              "headless and plays its built-in demo.");
    text += "\nHow to play:\n";
    text += wrapped("", "Drag with the left button across the window to raise a tower there; it "
                        "climbs out of the ground in three stages. Right-click a standing tower to "
                        "tip it over. At most 30 towers stand at once.", 2);
    text += "\nOptions (each also a variable of the environment; the option wins):\n";
    text += wrapped("  -h, --help", "shows this text and ends; nothing is played", kIndent);
    text += wrapped("  --version", "shows the name, the version and the build, and ends", kIndent);
    for (const SettingInfo& s : kSettings) {
        std::string help = s.help;
        help.append(" [").append(s.variable).append(": ").append(s.values).append("; unset: ").append(s.unset).append("]");
        text += wrapped(std::string("  ") + s.option, help, kIndent);
    }
    text += "\nKeys (in the window; the mouse is the program's only input):\n";
    for (const WindowKey& key : kWindowKeys) text += wrapped(std::string("  ") + key.keys, key.effect, 30);
    text += "\nOutputs:\n";
    text += wrapped("", "Each file option writes its file whole when the run ends, through a "
                        "temporary beside it, or streams it to a pipe or device. A picture asked "
                        "for with F12 goes to your pictures folder (XDG_PICTURES_DIR or ~/Pictures "
                        "on Linux, Pictures on Windows), named by the date and time. Notes and "
                        "errors go to standard error, one line each.", 2);
    text += wrapped("", "To play a run again: " + command + " " + settingOf(&Settings::record).option +
                            ", then " + command + " " + settingOf(&Settings::script).option + ".", 2);
    text += "\nExit status:\n";
    for (const ExitStatus& s : kExitStatuses) text += wrapped("  " + std::to_string(s.status), s.meaning, 6);
    return text;
}

std::string versionText(const std::string& title, uint64_t buildId) {
    char build[24];
    std::snprintf(build, sizeof build, "0x%016llX", static_cast<unsigned long long>(buildId));
    return title + " " + LUMEN_VERSION + " (build " + build + ", Lumen " + LUMEN_VERSION + " for " + kPlatform + ")\n";
}

}  // namespace lumen
