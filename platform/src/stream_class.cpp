// The stream class's completion notifications and the host's book of
// requests in flight, which checks that each request is completed exactly
// once; and the registrations minidrivers make at driver entry.
#include <cstdarg>
#include <mutex>
#include <unordered_map>

#include "stream_class.h"

namespace kald::host {
namespace {

struct TrackedRequest {
    detail::RequestKind Kind;
    bool Completed = false;
    std::function<void()> OnComplete;
};

struct RequestBook {
    std::mutex Lock;
    std::unordered_map<PHW_STREAM_REQUEST_BLOCK, TrackedRequest> Requests;
    RequestViolations Violations;
};

RequestBook& TheBook()
{
    // Never destroyed: completions may come from other statics' destructors.
    static RequestBook* book = new RequestBook;
    return *book;
}

struct Registrations {
    std::mutex Lock;
    std::unordered_map<PVOID, MinidriverRegistration> ByDriver;
};

Registrations& TheRegistrations()
{
    static Registrations* registrations = new Registrations;
    return *registrations;
}

} // namespace

RequestViolations RequestViolationCounts()
{
    RequestBook& book = TheBook();
    std::lock_guard<std::mutex> guard(book.Lock);
    return book.Violations;
}

void ResetRequestViolations()
{
    RequestBook& book = TheBook();
    std::lock_guard<std::mutex> guard(book.Lock);
    book.Violations = RequestViolations{};
}

namespace detail {

void TrackRequest(PHW_STREAM_REQUEST_BLOCK srb, RequestKind kind, std::function<void()> onComplete)
{
    RequestBook& book = TheBook();
    std::lock_guard<std::mutex> guard(book.Lock);
    book.Requests[srb] = TrackedRequest{kind, false, std::move(onComplete)};
}

bool RequestCompleted(PHW_STREAM_REQUEST_BLOCK srb)
{
    RequestBook& book = TheBook();
    std::lock_guard<std::mutex> guard(book.Lock);
    auto found = book.Requests.find(srb);
    return found != book.Requests.end() && found->second.Completed;
}

bool ReleaseRequest(PHW_STREAM_REQUEST_BLOCK srb)
{
    RequestBook& book = TheBook();
    std::lock_guard<std::mutex> guard(book.Lock);
    auto found = book.Requests.find(srb);
    if (found == book.Requests.end()) {
        return false;
    }
    const bool completed = found->second.Completed;
    if (!completed) {
        ++book.Violations.neverCompleted;
    }
    book.Requests.erase(found);
    return completed;
}

void NoteCompletion(PHW_STREAM_REQUEST_BLOCK srb, RequestKind kind)
{
    std::function<void()> onComplete;
    {
        RequestBook& book = TheBook();
        std::lock_guard<std::mutex> guard(book.Lock);
        auto found = srb != nullptr ? book.Requests.find(srb) : book.Requests.end();
        if (found == book.Requests.end()) {
            ++book.Violations.unknownCompletions;
            return;
        }
        TrackedRequest& request = found->second;
        if (request.Completed) {
            ++book.Violations.completedTwice;
            return;
        }
        request.Completed = true;
        if (request.Kind != kind) {
            ++book.Violations.wrongNotification;
        }
        onComplete = std::move(request.OnComplete);
    }
    if (onComplete) {
        onComplete();
    }
}

void CountHandedOnAfterCompletion()
{
    RequestBook& book = TheBook();
    std::lock_guard<std::mutex> guard(book.Lock);
    ++book.Violations.handedOnAfterCompletion;
}

bool FindRegistration(PVOID driverObject, MinidriverRegistration* registration)
{
    Registrations& all = TheRegistrations();
    std::lock_guard<std::mutex> guard(all.Lock);
    auto found = all.ByDriver.find(driverObject);
    if (found == all.ByDriver.end()) {
        return false;
    }
    *registration = found->second;
    return true;
}

void ForgetRegistration(PVOID driverObject)
{
    Registrations& all = TheRegistrations();
    std::lock_guard<std::mutex> guard(all.Lock);
    all.ByDriver.erase(driverObject);
}

} // namespace detail
} // namespace kald::host

// Completes a device request: DeviceRequestComplete with the SRB marks it
// complete (its Status is the answer). The other notification types are
// accepted and ignored; the event arguments are not used.
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb,
                                   PKSEVENT_ENTRY EventEntry, GUID* EventSet, ULONG EventId)
{
    (void)HwDeviceExtension;
    (void)EventEntry;
    (void)EventSet;
    (void)EventId;
    if (NotificationType == DeviceRequestComplete) {
        kald::host::detail::NoteCompletion(pSrb, kald::host::detail::RequestKind::Device);
    }
}

// Completes a stream request: StreamRequestComplete, the stream object, then
// the SRB. The other notification types are accepted and ignored, and their
// arguments are not read.
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, ...)
{
    if (NotificationType != StreamRequestComplete) {
        return;
    }
    va_list arguments;
    va_start(arguments, StreamObject);
    PHW_STREAM_REQUEST_BLOCK srb = va_arg(arguments, PHW_STREAM_REQUEST_BLOCK);
    va_end(arguments);
    kald::host::detail::NoteCompletion(srb, kald::host::detail::RequestKind::Stream);
}

// Records the minidriver's registration for the driver object in Context1
// (Context2, the registry path, is not kept). Returns STATUS_SUCCESS;
// STATUS_INVALID_PARAMETER without a driver object or a request routine, or
// for record sizes no device could hold (above MaxDeviceContextSize or
// MaxFrameContextSize). A second call for the same driver object replaces
// the first.
ULONG USBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize,
                          ULONG FrameContextSize, PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket)
{
    (void)Context2;
    if (Context1 == nullptr || ReceivePacket == nullptr ||
        DeviceContextSize > kald::host::detail::MaxDeviceContextSize ||
        FrameContextSize > kald::host::detail::MaxFrameContextSize) {
        return ULONG(STATUS_INVALID_PARAMETER);
    }
    kald::host::Registrations& all = kald::host::TheRegistrations();
    std::lock_guard<std::mutex> guard(all.Lock);
    all.ByDriver[Context1] =
        kald::host::MinidriverRegistration{ReceivePacket, DeviceContextSize, FrameContextSize};
    return ULONG(STATUS_SUCCESS);
}
