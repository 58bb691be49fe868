#include "startup/binding.h"

#include "runtime/runtime.h"
#include "startup/fault.h"

namespace startup {

platform::Library runtimeModule = nullptr;

namespace {
constexpr char16_t kRuntimePath[] = u"Data/Lumen.lmd";
std::string failure;
}  // namespace

const std::string& bindFailure() { return failure; }

__attribute__((noinline)) void bindRuntime() {
    std::string why;
    runtimeModule = platform::loadLibrary(kRuntimePath, why);
    if (!runtimeModule) {
        failure = "cannot load Data/Lumen.lmd (" + why + ")" + platform::libraryAdvice();
        raiseFault(lumen::kRuntimeMissing, 0);
    }
    for (int i = 0; i < rt::kNameCount; ++i) {
        void* entry = platform::findName(runtimeModule, rt::kNames[i]);
        if (!entry) {
            failure = std::string("Data/Lumen.lmd has no entry point \"") + rt::kNames[i] + "\"" +
                      platform::libraryAdvice();
            raiseFault(lumen::kRuntimeMissing, 0);
        }
        rt::setEntry(static_cast<rt::Name>(i), entry);
    }
}

}  // namespace startup
