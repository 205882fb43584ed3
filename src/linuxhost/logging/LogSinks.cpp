// InitLog and the sink factory it consults.
#include <mutex>

#include "datasync/host/Log.h"

namespace ZEL {
namespace utility {
namespace {

std::mutex g_factoryMutex;
LogSinkFactory g_factory;

}  // namespace

void SetLogSinkFactory(LogSinkFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    g_factory = std::move(factory);
}

bool InitLog(Log& log, const std::wstring& fileName, int /*level*/) {
    LogSinkFactory factory;
    {
        std::lock_guard<std::mutex> lock(g_factoryMutex);
        factory = g_factory;
    }
    std::shared_ptr<LogSink> sink;
    if (factory) {
        try {
            sink = factory(fileName);
        } catch (...) {
            sink = nullptr;
        }
    }
    log.Bind(sink);
    return sink != nullptr;
}

}  // namespace utility
}  // namespace ZEL
