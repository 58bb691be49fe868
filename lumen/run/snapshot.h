// F12: what the window shows, saved as a PNG in the user's pictures folder (os::picturesFolder),
// named by the program's title and the local date and time. It reads only the frame presented:
// the run, its random numbers, its trace and its recording are not touched.
#pragma once

#include <cstdint>
#include <string>

namespace lumen {

// The file name for a picture of `title` taken at `stamp` ("YYYY-MM-DD HH-MM-SS"), with
// " (N)" before the extension for the N-th (N >= 2) of one second: "Stackrise 2026-12-09
// 23-45-12.png".
std::string snapshotName(const std::string& title, const std::string& stamp, int n);

// Encodes `pixels` (width x height canvas px, 0xAARRGGBB) as a PNG, writes it whole under a
// new name in the pictures folder and says where on stderr ("Lumen: saved the picture PATH"),
// or why not ("Lumen: cannot save the picture: REASON"); the run goes on either way.
void saveSnapshot(const uint32_t* pixels, int width, int height, const std::string& title);

}  // namespace lumen
