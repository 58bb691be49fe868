#include "startup/startup.h"

#include "runtime/runtime.h"
#include "startup/binding.h"
#include "startup/fault.h"
#include "startup/platform.h"

namespace startup {

rt::Ref<AppConfig> appConfig;

void staticInit() {
    bindRuntime();
    appConfig = rt::make<AppConfig>();
    appConfig->title = rt::makeString(u"Velt");
}

void configure(AppConfig& config) { config.title = rt::makeString(u"Stackrise"); }

void initRuntime() {
    lumen::InitRecord record{};
    record.buildId = platform::buildIdentifier(kBuildId);
    record.one = 1;
    record.instance = platform::moduleHandle();
    record.icon = platform::loadIcon(record.instance, 101);
    record.faultCell = &faultLocation;
    rt::Ref<lumen::String> title = rt::makeString(rt::view(appConfig->title.get()));
    record.title = title.get();
    rt::op<LumenInitFn>(rt::Name::Init)(&record);
}

void shutdown() {
    appConfig.reset();
    if (void* free = rt::entry(rt::Name::Free)) reinterpret_cast<LumenFreeFn>(free)();
}

}  // namespace startup
