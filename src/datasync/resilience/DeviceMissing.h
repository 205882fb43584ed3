// DeviceMissingState: the device-missing (403) state. A KTA or NAVS answer "403, device
// missing" blocks uploads to both families for one hour and asks the host, once, to renew the
// device's registration; the one request is allowed again only after a manual registration or a
// "removeDevice" command sets the counter back to 0. The state lives in memory only and starts
// clear at every load.
//
// Clocks: the hour is measured on the monotonic tick count of the injected clock (which also
// counts suspended time), so a wall clock corrected either way neither stretches nor cuts the
// block. The wall-clock time of the flag is kept for the status.
//
// Thread safety: any thread. The flag and both time stamps are read and written only under
// m_403StateMutex, which is never held while another lock is taken, a call leaves this class or
// a line is logged; the counter is atomic. The renewal request is published with no lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "datasync/common/Published.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Log.h"
#include "datasync/host/Transport.h"

namespace ZEL {
namespace DataSync {

class DeviceMissingState {
public:
    struct Status {
        bool flag = false;
        std::int64_t setTime = 0;       // wall clock, seconds
        std::uint64_t setTick = 0;      // monotonic, milliseconds
        std::int32_t counter = 0;
    };

    DeviceMissingState(Clock& clock, Log& log) : m_clock(clock), m_log(log) {}
    DeviceMissingState(const DeviceMissingState&) = delete;
    DeviceMissingState& operator=(const DeviceMissingState&) = delete;

    // Classifies one answer: true for a "403 device missing" answer, which blocks for a fresh
    // hour and sends the one renewal request if it has not been sent; false (nothing changed)
    // for any other answer.
    bool CheckAndHandle403DeviceMissingError(ZELCore::InvokeHttpResponse& response);

    void Set403DeviceMissingError();
    void Reset403DeviceMissingError();
    bool IsDeviceIn403DeviceMissingErrorState();
    bool IsMaxLimitReachedFor403DeviceMissingCounter() const;
    bool IsTimeLimitFor403ErrorExceeded();
    // Clears the flag once it has been set for more than an hour.
    void CheckTimeLimitAndResetThe403DeviceError();
    // The counter back to 0: the next block may ask for a renewal again.
    void ResetDeviceMissingCounter();

    std::shared_ptr<const Status> CurrentStatus() const { return m_status.Read(); }
    // Seconds of the hour still to run at `tick` (0 when the flag is clear or the hour is over).
    static std::int64_t SecondsLeft(const Status& status, std::uint64_t tick);

private:
    double SecondsSince(std::uint64_t tick);
    // REQUIRES: m_403StateMutex held.
    void PublishLocked();

    Clock& m_clock;
    Log& m_log;
    std::mutex m_403StateMutex;
    bool m_403DeviceMissingFlag = false;  // guarded by m_403StateMutex
    std::int64_t m_403ErrorSetTime = 0;   // guarded by m_403StateMutex
    std::uint64_t m_403ErrorSetTick = 0;  // guarded by m_403StateMutex
    std::atomic<std::int32_t> m_403DeviceMissingCounter{0};
    Published<Status> m_status;
};

}  // namespace DataSync
}  // namespace ZEL
