// Reads the icon resource of a Windows program (its path is the first argument) the way the
// system does and prints, on standard error, one line per finding:
//   loadicon ok|failed          LoadIconW(module, 101)
//   group N                     the number of images in group icon 101
//   image W H BITS              each image of the group: its size and bits per pixel, read from
//                               the image's own bitmap header (or a PNG image's IHDR)
// Exit status 0 when the module and the group were found, 1 otherwise.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
struct GroupHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 1;
    HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        std::fprintf(stderr, "cannot load %ls: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    std::fprintf(stderr, "loadicon %s\n", LoadIconW(module, MAKEINTRESOURCEW(101)) ? "ok" : "failed");
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    if (!group) return 1;
    const auto* header = static_cast<const GroupHeader*>(LockResource(LoadResource(module, group)));
    if (!header) return 1;
    std::fprintf(stderr, "group %u\n", header->count);
    const auto* entries = reinterpret_cast<const GroupEntry*>(header + 1);
    for (unsigned i = 0; i < header->count; ++i) {
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(entries[i].id), MAKEINTRESOURCEW(3));  // RT_ICON
        const auto* bitmap = image ? static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module, image))) : nullptr;
        if (!bitmap) {
            std::fprintf(stderr, "image missing %u\n", entries[i].id);
            continue;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(bitmap);
        if (std::memcmp(bytes, "\x89PNG\r\n\x1a\n", 8) == 0) {
            // A PNG image (the large sizes): its IHDR's size; 8 bits a channel of RGBA (type 6).
            auto be32 = [&](int at) {
                return static_cast<long>(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
            };
            const unsigned bits = bytes[25] == 6 ? bytes[24] * 4u : 0u;
            std::fprintf(stderr, "image %ld %ld %u\n", be32(16), be32(20), bits);
            continue;
        }
        // An icon image's bitmap is twice as high as the icon: colour rows, then the mask.
        std::fprintf(stderr, "image %ld %ld %u\n", static_cast<long>(bitmap->biWidth),
                     static_cast<long>(bitmap->biHeight / 2), bitmap->biBitCount);
    }
    return 0;
}
