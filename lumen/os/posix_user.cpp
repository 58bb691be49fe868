// Lumen's operating-system layer on POSIX, the user's side of it (posix.cpp has the files,
// posix_stop.cpp the stop requests): the command line (/proc/self/cmdline; node's arguments),
// the environment, standard output for --help, the pictures folder (XDG's user-dirs.dirs, else
// ~/Pictures; a download on the page) and the local time. Contract: lumen/os/os.h.
#include <sys/stat.h>
#include <unistd.h>
#if defined(__EMSCRIPTEN__)
#include <emscripten.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>
#include <filesystem>
#include <fstream>
#include <optional>

#include "os/os.h"

extern char** environ;

#if defined(__EMSCRIPTEN__)
// Node's arguments after the script (process.argv[2] on); none on the page.
EM_JS(int, lumen_os_arg_count, (), {
    return typeof process === "object" && process.argv ? Math.max(0, process.argv.length - 2) : 0;
});
EM_JS(int, lumen_os_arg_length, (int i), { return lengthBytesUTF8(process.argv[i + 2]); });
EM_JS(void, lumen_os_arg, (int i, char* buffer, int size), { stringToUTF8(process.argv[i + 2], buffer, size); });
// A file of the in-memory file system as a download, on the page only.
EM_JS(void, lumen_os_download, (const char* path, const char* name), {
    if (typeof document !== "object") return;
    var bytes = FS.readFile(UTF8ToString(path));
    var url = URL.createObjectURL(new Blob([bytes], {type: "image/png"}));
    var link = document.createElement("a");
    link.href = url;
    link.download = UTF8ToString(name);
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(function() { URL.revokeObjectURL(url); }, 10000);
});
#endif

namespace lumen::os {

std::vector<std::string> commandLine() {
    std::vector<std::string> args;
#if defined(__EMSCRIPTEN__)
    const int count = lumen_os_arg_count();
    for (int i = 0; i < count; ++i) {
        std::string arg(static_cast<std::size_t>(lumen_os_arg_length(i)) + 1, '\0');
        lumen_os_arg(i, arg.data(), static_cast<int>(arg.size()));
        arg.pop_back();
        args.push_back(std::move(arg));
    }
#else
    // The arguments as the program got them, NUL-separated, the program's name first.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = all.find('\0');
    while (at != std::string::npos && at + 1 < all.size()) {
        const std::size_t end = all.find('\0', at + 1);
        args.push_back(all.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1));
        at = end;
    }
#endif
    return args;
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::vector<std::string> environmentNames() {
    std::vector<std::string> names;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const char* equals = std::strchr(*e, '=');
        names.emplace_back(*e, equals != nullptr ? static_cast<std::size_t>(equals - *e) : std::strlen(*e));
    }
    return names;
}

void printOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

#if !defined(__EMSCRIPTEN__)
namespace {

std::string environmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool isFolder(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
}

// XDG_PICTURES_DIR of user-dirs.dirs: a line XDG_PICTURES_DIR="$HOME/Pictures" or an absolute
// path in quotes; "" when the file has none.
std::string userDirsPictures(const std::string& home) {
    std::string config = environmentText("XDG_CONFIG_HOME");
    if (config.empty() || config[0] != '/') config = home + "/.config";
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    std::string found;
    while (std::getline(in, line)) {
        const std::string key = "XDG_PICTURES_DIR=\"";
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        const std::size_t end = line.rfind('"');
        if (end <= start + key.size() - 1) continue;
        std::string value = line.substr(start + key.size(), end - start - key.size());
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        if (!value.empty() && value[0] == '/') found = value;
    }
    return found;
}

}  // namespace
#endif

std::string picturesFolder(std::string& error) {
#if defined(__EMSCRIPTEN__)
    (void)error;
    return "/";
#else
    const std::string home = environmentText("HOME");
    for (const std::string& candidate :
         {environmentText("XDG_PICTURES_DIR"), home.empty() ? std::string() : userDirsPictures(home),
          home.empty() ? std::string() : home + "/Pictures", home}) {
        if (isFolder(candidate)) return candidate;
    }
    error = home.empty() ? "HOME is not set" : "the home folder " + home + " is not a folder";
    return "";
#endif
}

void offerDownload(const std::string& path, const std::string& name) {
#if defined(__EMSCRIPTEN__)
    lumen_os_download(path.c_str(), name.c_str());
#else
    (void)path;
    (void)name;
#endif
}

std::string localTimeStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    // Formatted by hand: the web build's strftime is a large piece of JavaScript.
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

}  // namespace lumen::os
