#include "shown_movie.h"

#include "outputs/gif.h"

namespace canvas_test {

testing::AssertionResult readShownMovie(const std::string& path, ShownMovie& movie) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (gif == nullptr) return testing::AssertionFailure() << GifErrorString(error);
    struct Close {
        GifFileType* gif;
        ~Close() {
            int e = 0;
            DGifCloseFile(gif, &e);
        }
    } closer{gif};
    if (DGifSlurp(gif) != GIF_OK) return testing::AssertionFailure() << GifErrorString(gif->Error);
    movie = ShownMovie{gif->SWidth, gif->SHeight, {}, {}, {}};
    std::vector<uint8_t> shown(std::size_t(movie.width) * std::size_t(movie.height), 0);
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& im = gif->SavedImages[i];
        const GifImageDesc& d = im.ImageDesc;
        if (d.Left < 0 || d.Top < 0 || d.Left + d.Width > movie.width || d.Top + d.Height > movie.height)
            return testing::AssertionFailure() << "frame " << i << " outside the screen";
        GraphicsControlBlock gcb;
        if (DGifSavedExtensionToGCB(gif, i, &gcb) != GIF_OK)
            return testing::AssertionFailure() << "frame " << i << " without graphics control";
        if (gcb.DisposalMode != DISPOSE_DO_NOT || gcb.DelayTime != lumen::GifMovie::kDelayCs)
            return testing::AssertionFailure() << "frame " << i << ": disposal " << gcb.DisposalMode
                                               << ", delay " << gcb.DelayTime;
        int opaque = 0;
        for (int y = 0; y < d.Height; ++y) {
            for (int x = 0; x < d.Width; ++x) {
                const int index = im.RasterBits[std::size_t(y) * std::size_t(d.Width) + std::size_t(x)];
                if (index == gcb.TransparentColor) continue;
                shown[std::size_t(d.Top + y) * std::size_t(movie.width) + std::size_t(d.Left + x)] =
                    static_cast<uint8_t>(index);
                ++opaque;
            }
        }
        if (i == 0 && opaque != movie.width * movie.height)
            return testing::AssertionFailure() << "the first frame sets " << opaque << " cells";
        movie.boxes.push_back(d);
        movie.frames.push_back(shown);
        movie.opaque.push_back(opaque);
    }
    return testing::AssertionSuccess();
}

}  // namespace canvas_test
