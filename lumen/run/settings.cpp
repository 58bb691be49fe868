#include "run/settings.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "os/os.h"
#include "run/text.h"

namespace lumen {

namespace {

std::optional<std::string> variable(const char* name) {
    // An empty value counts as unset, so that `LUMEN_TRACE= stackrise` turns the trace off.
    return os::environmentVariable(name);
}

SimdChoice parseSimd(const std::string& text) {
    SimdChoice choice;
    for (const SimdPath p : kSimdPaths) {
        if (text == simdPathName(p)) {
            choice.path = p;
            return choice;
        }
    }
    choice.unknown = text;
    return choice;
}

// "Lumen: bad VARIABLE "TEXT" (FORM)".
std::string badValue(const char* variable, const std::string& text, const std::string& form) {
    std::string error = "Lumen: bad ";
    error.append(variable).append(" ").append(quoteShort(text));
    return error.append(" (").append(form).append(")");
}

}  // namespace

Settings Settings::fromEnvironment() {
    Settings s;
    for (const SettingInfo& setting : kSettings) s.*setting.text = variable(setting.variable);
    return s;
}

SimdPath simdPathFor(const SimdChoice& choice) {
    static constexpr const SettingInfo& kSimd = settingOf(&Settings::simd);
    const SimdPath best = widestSimdPath();
    if (choice.path) {
        if (simdPathSupported(*choice.path)) return *choice.path;
        std::fprintf(stderr, "Lumen: %s=%s is not supported here, using %s\n", kSimd.variable,
                     simdPathName(*choice.path), simdPathName(best));
    } else if (!choice.unknown.empty()) {
        std::fprintf(stderr, "Lumen: %s=%s is not %s, using %s\n", kSimd.variable,
                     choice.unknown.c_str(), kSimd.values, simdPathName(best));
    }
    return best;
}

std::optional<double> parseFps(const std::string& text) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    if (!(value >= kMinFps) || value > kMaxFps) return std::nullopt;
    return value;
}

namespace setting {

bool Flag::read(const std::string& text, Value& value, std::string&) {
    value = text == "1";
    return true;
}

bool Unsigned::read(const std::string& text, Value& value, std::string&) {
    value = parseUnsigned(text);
    return value.has_value();
}

bool Rate::read(const std::string& text, Value& value, std::string&) {
    value = parseFps(text);
    return value.has_value();
}

bool SimdName::read(const std::string& text, Value& value, std::string&) {
    value = parseSimd(text);
    return true;
}

bool PlantedFault::read(const std::string& text, Value& value, std::string& form) {
    std::optional<FaultPlan> plan = FaultPlan::parse(text);
    if (!plan) {
        form.append(", OP one of ").append(FaultPlan::opList());
        return false;
    }
    value = std::move(*plan);
    return true;
}

}  // namespace setting

namespace {

// Reads the text of `setting`, when set, into `value`; a bad text's problem goes to `errors`.
template <typename Type>
void readValue(const SettingInfo& setting, const std::optional<std::string>& text,
               typename Type::Value& value, std::vector<std::string>& errors) {
    if (!text) return;
    std::string form = setting.values;
    if (!Type::read(*text, value, form)) errors.push_back(badValue(setting.variable, *text, form));
}

// A Markdown table cell: '|' escaped.
std::string cell(const std::string& text) {
    std::string escaped;
    for (const char c : text) escaped.append(c == '|' ? "\\|" : std::string(1, c));
    return escaped;
}

}  // namespace

RunSettings parseSettings(const Settings& s) {
    RunSettings run;
    run.given = s;
#define LUMEN_SETTING_IGNORE_(...)
#define LUMEN_SETTING_READ_(member, Type, ...)                                                   \
    readValue<setting::Type>(settingOf(&Settings::member), s.member, run.member, run.errors);
    LUMEN_SETTINGS(LUMEN_SETTING_IGNORE_, LUMEN_SETTING_READ_)
#undef LUMEN_SETTING_IGNORE_
#undef LUMEN_SETTING_READ_
    run.headless = run.headless || s.script.has_value();
    if (s.script) {
        std::string text;
        std::string error;
        if (!readScriptFile(*s.script, text, error)) {
            std::string message = "Lumen: cannot read script ";
            message.append(*s.script).append(": ").append(error);
            run.errors.push_back(std::move(message));
        } else if (ScriptParse parse = parseScript(text); !parse.ok()) {
            run.errors.push_back(scriptErrorText(*s.script, *parse.error));
        } else {
            run.script = std::move(parse.script);
        }
    }
    return run;
}

std::string settingsTableMarkdown() {
    std::string table = "| variable | option (not read yet) | type | values | unset | effect |\n";
    table += "| --- | --- | --- | --- | --- | --- |\n";
    for (const SettingInfo& s : kSettings) {
        const std::string cells[] = {std::string("`") + s.variable + "`",
                                     std::string("`") + s.option + "`", cell(s.type),
                                     cell(s.values), cell(s.unset), cell(s.help)};
        for (const std::string& c : cells) table.append("| ").append(c).append(" ");
        table += "|\n";
    }
    return table;
}

void printNote(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

uint64_t clockSeed() {
    const auto seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    printNote(std::string("Lumen: seed ").append(std::to_string(seed)).append(" (")
                  .append(settingOf(&Settings::seed).variable).append("=")
                  .append(std::to_string(seed)).append(" replays it)"));
    return seed;
}

}  // namespace lumen
