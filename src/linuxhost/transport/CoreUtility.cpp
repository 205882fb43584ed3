// The process-wide part of ZEL::CoreUtility: the installed instance. (The device-missing test
// of an answer is the module's: datasync/resilience/DeviceMissing.cpp.)
#include <atomic>

#include "datasync/host/Transport.h"

namespace ZEL {
namespace {

std::atomic<CoreUtility*> g_instance{nullptr};

}  // namespace

CoreUtility* CoreUtility::GetInstance() { return g_instance.load(); }

void CoreUtility::SetInstance(CoreUtility* instance) { g_instance.store(instance); }

}  // namespace ZEL
