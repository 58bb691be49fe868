// The headless backend: no window; the script gives the input, frames go nowhere but to the
// capture.
#include "backend.h"

namespace lumen {

namespace {
bool openHeadless(const char*, const IconFile*) { return true; }
void presentHeadless(const uint32_t*, int, int) {}
bool pollHeadless(InputState&) { return false; }
void closeHeadless() {}
}  // namespace

const Backend& headlessBackend() {
    static const Backend backend{"headless", openHeadless, presentHeadless, pollHeadless,
                                 closeHeadless};
    return backend;
}

}  // namespace lumen
