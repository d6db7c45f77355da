// A hooks library for the load tests that stands for one configured before
// macgate: its buffer4_receive sets the status that its "status" parameter
// names ("drop" or "skip").
#include <hooks/hooks.h>

#include <string>

using isc::hooks::CalloutHandle;

namespace {

CalloutHandle::CalloutNextStep Status = CalloutHandle::NEXT_STEP_CONTINUE;

}  // namespace

extern "C" {

#define KEA_EXPORT __attribute__((visibility("default")))

KEA_EXPORT int version() {
    return KEA_HOOKS_VERSION;
}

KEA_EXPORT int multi_threading_compatible() {
    return 1;
}

KEA_EXPORT int load(isc::hooks::LibraryHandle& handle) {
    isc::data::ConstElementPtr status = handle.getParameter("status");
    std::string name = status ? status->stringValue() : std::string();
    Status = name == "drop"   ? CalloutHandle::NEXT_STEP_DROP
             : name == "skip" ? CalloutHandle::NEXT_STEP_SKIP
                              : CalloutHandle::NEXT_STEP_CONTINUE;
    return 0;
}

KEA_EXPORT int buffer4_receive(CalloutHandle& handle) {
    handle.setStatus(Status);
    return 0;
}

}  // extern "C"
