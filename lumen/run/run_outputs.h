// The outputs of a run, one table of their kinds: each kind's setting, its name in messages,
// when it is opened and its writer. Opening, the check that no output names an input or
// another output, the frames, finishing and the failure reported all run over the table, in
// its order. Adding an output kind: its setting (a Written PATH entry of LUMEN_SETTINGS), its
// writer (an OutputWriter) as a member of RunOutputs, and one line in kOutputKinds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "outputs/frame_outputs.h"
#include "outputs/output_file.h"
#include "run/input_source.h"
#include "run/settings.h"
#include "run/trace.h"

namespace lumen {

// When an output is opened.
enum class OpenAt {
    Session,       // when the Session is made, before the settings' problems are looked at
    InitWindowed,  // in Init once the seed is known, in window runs only, before the canvas
    Init,          // in Init once the canvas is made
};

// The writers of one run, one a kind; each call runs over them in the table's order.
struct RunOutputs {
    Trace trace;
    PictureOutput picture;
    MovieOutput movie;
    InputRecorder recording;

    // Opens the outputs opened at `when` that `given` names, for a run of seed `seed` (0 before
    // Init). The message of the first that cannot be opened ("Lumen: cannot write NAME PATH:
    // REASON"), the rest left unopened; "" when all are.
    std::string open(OpenAt when, const Settings& given, uint64_t seed);
    // One presented frame, to each output that wants it.
    void frame(Canvas& canvas);
    // The run ended; `canvas` holds its last presented frame (see OutputWriter::endRun).
    void endRun(Canvas* canvas);
    // Free, after endRun when the run was on.
    void free();
    // The library is being unloaded.
    void unload();
    // The first output that failed (to open, or while written); null when none did.
    const OutputFile* firstFailure();
};

struct OutputKind {
    std::optional<std::string> Settings::*setting;  // its path
    const char* name;                               // in messages: "cannot write NAME PATH: ..."
    OpenAt opened;
    OutputWriter& (*writer)(RunOutputs&);           // its writer in a run's outputs
    const char* extension;                          // of the format written (".png"), or null
    const char* format;                             // that format's name in messages ("PNG")
};

// The writer that `member` of RunOutputs is.
template <auto member>
OutputWriter& writerAt(RunOutputs& outputs) {
    return outputs.*member;
}

inline constexpr OutputKind kOutputKinds[] = {
    {&Settings::trace, "trace", OpenAt::Session, writerAt<&RunOutputs::trace>, nullptr, nullptr},
    {&Settings::capture, "picture", OpenAt::Init, writerAt<&RunOutputs::picture>, ".png", "PNG"},
    {&Settings::movie, "movie", OpenAt::Init, writerAt<&RunOutputs::movie>, ".gif", "GIF"},
    {&Settings::record, settingOf(&Settings::record).variable, OpenAt::InitWindowed,
     writerAt<&RunOutputs::recording>, nullptr, nullptr},
};

// The file extensions of picture and movie formats, in lower case: an output of a format of its
// own whose path ends in another of them is refused.
inline constexpr const char* kMediaExtensions[] = {
    ".png", ".apng", ".gif", ".jpg", ".jpeg", ".jpe", ".jfif", ".bmp", ".dib", ".tif", ".tiff",
    ".webp", ".avif", ".heic", ".heif", ".ico", ".svg", ".ppm", ".pgm", ".pbm", ".pnm", ".tga",
    ".qoi", ".jxl", ".psd", ".pdf", ".mp4", ".m4v", ".webm", ".mkv", ".avi", ".mov", ".ogv",
    ".mpg", ".mpeg", ".wmv", ".flv", ".3gp",
};

// "Lumen: bad LUMEN_CAPTURE "pic.jpg": the picture is a PNG; name it .png" for the first output
// whose path ends in the extension of another format than its own (in any case of letters);
// "" when none does.
std::string wrongFormatError(const Settings& settings);

// "Lumen: A and B name the same file PATH" for the first output, in table order, that names
// Lumen's library, the program, an input (a file setting the run reads) or an earlier output;
// "" when none does. A stream (the
// null device, a terminal, a FIFO) may be named twice: it is never destroyed. It is checked
// before anything is read or opened, and when it fails nothing is.
std::string sameFileError(const Settings& settings);

}  // namespace lumen
