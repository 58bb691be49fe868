#include "wine.h"

#include <unistd.h>

#include <png.h>

#include "support/process.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace win {

namespace {

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

template <class T>
T at(const std::string& bytes, size_t offset) {
    T v{};
    if (offset + sizeof(T) <= bytes.size()) std::memcpy(&v, bytes.data() + offset, sizeof(T));
    return v;
}

}  // namespace

std::map<std::string, std::string> wineEnv() {
    // Wine's desktop process ends with the last program and comes back with the next one, on
    // that program's display: every program gets the fixture's display, so that it is always
    // there for windows (scripted runs are headless all the same).
    // A UTF-8 locale, as users have: Wine turns the host's arguments and variables into Windows'
    // wide text by the locale's character set (in the C locale every byte above 127 is lost).
    std::map<std::string, std::string> env = {{"WINEPREFIX", WINE_PREFIX}, {"WINEDEBUG", "-all"}, {"LC_ALL", "C.UTF-8"}};
    if (const std::string d = display(); !d.empty()) env["DISPLAY"] = d;
    return env;
}

std::string launcher(const std::string& exe, const std::vector<std::string>& args) {
    const std::string path = e2e::tempDir("launcher") + "/run.sh";
    std::string text = "#!/bin/sh\nexec /usr/lib/wine/wine64 " + quoted(exe);
    for (const auto& a : args) text += " " + quoted(a);
    e2e::writeFile(path, text + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

e2e::Run run(const std::string& exe, const std::map<std::string, std::string>& env, const std::string& cwd,
             int timeoutSeconds) {
    std::map<std::string, std::string> all = wineEnv();
    for (const auto& [k, v] : env) all[k] = v;
    return e2e::run(launcher(exe), all, cwd, timeoutSeconds);
}

e2e::Run runScript(const std::string& exe, const std::string& script, const std::string& seed,
                   const std::map<std::string, std::string>& extraEnv) {
    std::map<std::string, std::string> all = wineEnv();
    for (const auto& [k, v] : extraEnv) all[k] = v;
    return e2e::runScript(launcher(exe), script, seed, all);
}

std::string install(const std::string& library) {
    const std::string dir = e2e::tempDir("wininstall");
    fs::copy_file(kBin + "/stackrise.exe", dir + "/stackrise.exe");
    if (!library.empty()) {
        fs::create_directories(dir + "/Data");
        fs::copy_file(library, dir + "/Data/Lumen.lmd");
    }
    return dir + "/stackrise.exe";
}

std::vector<std::string> withoutBuildId(const std::vector<std::string>& trace) {
    static const std::regex build(" build=0x[0-9A-F]{16} ");
    std::vector<std::string> out;
    for (const auto& line : trace) {
        out.push_back(line.rfind("Init ", 0) == 0 ? std::regex_replace(line, build, " build=* ") : line);
    }
    return out;
}

uint64_t buildIdOf(const std::vector<std::string>& trace) {
    static const std::regex build(" build=0x([0-9A-F]{16}) ");
    for (const auto& line : trace) {
        std::smatch m;
        if (line.rfind("Init ", 0) == 0 && std::regex_search(line, m, build))
            return std::stoull(m[1].str(), nullptr, 16);
    }
    return 0;
}

PeFile readPe(const std::string& path) {
    PeFile pe;
    const std::string b = e2e::readFile(path);
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return pe;
    const auto nt = at<uint32_t>(b, 0x3C);
    if (b.compare(nt, 4, std::string("PE\0\0", 4)) != 0) return pe;
    const size_t file = nt + 4;
    pe.machine = at<uint16_t>(b, file);
    const auto sections = at<uint16_t>(b, file + 2);
    pe.timeStamp = at<uint32_t>(b, file + 4);
    const auto optionalSize = at<uint16_t>(b, file + 16);
    pe.characteristics = at<uint16_t>(b, file + 18);
    const size_t opt = file + 20;
    if (at<uint16_t>(b, opt) != 0x20B) return pe;  // PE32+ only
    pe.imageBase = at<uint64_t>(b, opt + 24);
    pe.subsystem = at<uint16_t>(b, opt + 68);
    const auto exportRva = at<uint32_t>(b, opt + 112);
    const size_t table = opt + optionalSize;
    auto offsetOf = [&](uint32_t rva) -> size_t {
        for (unsigned i = 0; i < sections; ++i) {
            const size_t s = table + 40 * i;
            const auto va = at<uint32_t>(b, s + 12);
            const auto size = std::max(at<uint32_t>(b, s + 8), at<uint32_t>(b, s + 16));
            if (rva >= va && rva < va + size) return rva - va + at<uint32_t>(b, s + 20);
        }
        return std::string::npos;
    };
    auto text = [&](uint32_t rva) {
        const size_t o = offsetOf(rva);
        return o < b.size() ? std::string(b.c_str() + o) : std::string();
    };
    if (exportRva != 0) {
        const size_t dir = offsetOf(exportRva);
        if (dir == std::string::npos) return pe;
        pe.exportName = text(at<uint32_t>(b, dir + 12));
        const auto names = at<uint32_t>(b, dir + 24);
        const size_t nameTable = offsetOf(at<uint32_t>(b, dir + 32));
        for (uint32_t i = 0; i < names && nameTable != std::string::npos; ++i)
            pe.exports.push_back(text(at<uint32_t>(b, nameTable + 4 * i)));
    }
    pe.ok = true;
    return pe;
}

Image readPng(const std::string& path) {
    Image image;
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return image;
    }
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.rgb = std::move(pixels);
    return image;
}

Image crop(const Image& image, int x, int y, int w, int h) {
    Image out;
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > image.width || y + h > image.height) return out;
    out.width = w;
    out.height = h;
    out.rgb.resize(static_cast<size_t>(w) * h * 3);
    for (int row = 0; row < h; ++row) {
        std::memcpy(out.rgb.data() + static_cast<size_t>(row) * w * 3,
                    image.rgb.data() + (static_cast<size_t>(y + row) * image.width + x) * 3, static_cast<size_t>(w) * 3);
    }
    return out;
}

long differingPixels(const Image& a, const Image& b) {
    if (a.width != b.width || a.height != b.height) return -1;
    long n = 0;
    for (size_t i = 0; i < a.rgb.size(); i += 3) n += std::memcmp(&a.rgb[i], &b.rgb[i], 3) != 0;
    return n;
}

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& errPath) {
    test_support::Command command;
    command.argv = argv;
    command.env = env;
    command.errPath = errPath;
    return test_support::spawn(command);
}

int waitFor(pid_t pid, int seconds, bool killAtEnd) {
    test_support::WaitOptions options;
    options.killAtEnd = killAtEnd;
    const test_support::Exit exit = test_support::waitFor(pid, std::chrono::seconds(seconds), options);
    return exit.timedOut ? -1 : exit.status;
}

std::string shell(const std::string& command) { return test_support::shellOutput(command); }

std::string display() {
    std::istringstream state(e2e::readFile(std::string(WINE_PREFIX) + ".display"));
    int number = -1;
    state >> number;
    if (number < 0 || !fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) return "";
    return ":" + std::to_string(number);
}

}  // namespace win
