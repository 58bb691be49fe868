#include "run/snapshot.h"

#include <string_view>
#include <vector>

#include "os/os.h"
#include "outputs/output_file.h"
#include "outputs/png.h"
#include "run/settings.h"

namespace lumen {

std::string snapshotName(const std::string& title, const std::string& stamp, int n) {
    std::string name = title + " " + stamp;
    if (n >= 2) name += " (" + std::to_string(n) + ")";
    return name + ".png";
}

void saveSnapshot(const uint32_t* pixels, int width, int height, const std::string& title) {
    std::string error;
    std::string folder = os::picturesFolder(error);
    if (folder.empty()) {
        printNote("Lumen: cannot save the picture: " + error);
        return;
    }
    if (folder.back() != '/' && folder.back() != '\\') folder += '/';
    const std::string stamp = os::localTimeStamp();
    std::string name;
    std::string path;
    for (int n = 1; n < 1000; ++n) {
        name = snapshotName(title, stamp, n);
        path = folder + name;
        if (os::pathKind(path) == os::PathKind::Missing) break;
    }
    PngWriter png(width, height);
    for (int y = 0; y < height; ++y) png.rows(pixels + static_cast<std::size_t>(y) * width, 1);
    const std::vector<uint8_t> bytes = png.finish();
    OutputFile file;
    if (!file.open(path, "picture") ||
        !file.write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())) ||
        !file.commit()) {
        printNote("Lumen: cannot save the picture: " + file.error());
        return;
    }
    os::offerDownload(path, name);
    printNote("Lumen: saved the picture " + path);
}

}  // namespace lumen
