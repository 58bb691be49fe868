// Checks of what a run leaves behind, shared by the end-to-end suites: whole pictures and
// movies, stray files in a folder, the one diagnostic line of a failed run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

// A PNG from its signature to its IEND chunk.
inline bool wholePng(const std::string& bytes) {
    return bytes.size() > 20 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 &&
           bytes.compare(bytes.size() - 8, 8, std::string("IEND\xAE\x42\x60\x82", 8)) == 0;
}

// A GIF89a from its signature to its trailer.
inline bool wholeGif(const std::string& bytes) {
    return bytes.size() > 20 && bytes.compare(0, 6, "GIF89a") == 0 && bytes.back() == ';';
}

// Files in `dir` other than those named: a temporary left behind shows up here.
inline std::vector<std::string> strayFiles(const std::string& dir, const std::vector<std::string>& known) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
    }
    return out;
}

// Exactly one diagnostic line of status 1 that contains every one of `parts`.
inline void expectOneFailureLine(const Run& r, std::initializer_list<std::string> parts) {
    EXPECT_EQ(r.status, 1) << r.err;
    const auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_EQ(err[0].rfind("Stackrise: fault ", 0), 0u) << err[0];
    for (const std::string& p : parts) EXPECT_NE(err[0].find(p), std::string::npos) << err[0] << " lacks " << p;
}


// Exactly one line of status 2, a bad setting's: the message without a code or place, and every
// one of `parts` in it.
inline void expectOneSettingLine(const Run& r, std::initializer_list<std::string> parts) {
    EXPECT_EQ(r.status, 2) << r.err;
    const auto err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_EQ(err[0].rfind("Stackrise: ", 0), 0u) << err[0];
    EXPECT_EQ(err[0].find("fault 0x"), std::string::npos) << err[0];
    EXPECT_EQ(err[0].find("Lumen: "), std::string::npos) << err[0];
    for (const std::string& p : parts) EXPECT_NE(err[0].find(p), std::string::npos) << err[0] << " lacks " << p;
}

}  // namespace e2e
