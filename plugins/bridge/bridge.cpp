// Bridge to the parent service: answers the parent's status requests, which
// arrive through IOCTL_IPC_PACKET on the core's event-loop thread, with
// status reports sent back as EVT_SEND_TO_PARENT packets (bridge_packets.h).
//
// What it reports it learns from the events it takes on Write, on the core's
// dispatcher thread: every routed event counts towards the event rate, the
// recorder's counters (totals and per camera), the cameras' states and the
// catalog's disk usage answers are kept, and the
// core's memory status document says whether frames are being throttled. A
// camera whose frames the recorder cannot write is reported with
// kCameraNotWriting and the errno of why in its status. At
// each request the bridge also broadcasts a disk usage query, so that the
// next report has fresh figures. A parent that asks for the plugins' health
// also hears whether the recorder is missing: its counters have not come for
// kRecorderSilenceSeconds. A recordings request from the parent
// becomes a broadcast recordings query; each list the catalog answers with
// goes back to the parent as it comes, under the request's sequence number.
// At Close it cancels its query handles: a late answer is then refused by the
// core instead of being queued.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <vector>

#include "bridge_packets.h"
#include "camera_stream.h"
#include "core_link.h"
#include "entry_guard.h"
#include "event_match.h"
#include "log_message.h"
#include "recorder_events.h"

namespace {

using dvrexample::kBridgeId;
using Clock = std::chrono::steady_clock;

// The request handles of the bridge's queries: any unique addresses.
char queryHandle;
char recordingsHandle;

class Bridge {
    // What the bridge knows of one camera.
    struct Camera {
        bool known = false;
        dvrexample::CameraState state{};
        dvrexample::RecorderCameraCounters recorder{};
    };

public:
    // Dispatcher thread.
    void Take(const dvrexample::CoreLink& link, const WriteParms& parms)
    {
        events_.fetch_add(1, std::memory_order_relaxed);
        if (parms.data == nullptr) {
            return;
        }
        if (parms.handle == &recordingsHandle &&
            Is(parms, dvrexample::kDiskType, dvrexample::kRecordingsListFlag, sizeof(dvrexample::RecordingsList))) {
            ForwardRecordings<dvrexample::RecordingsList>(link, parms, dvrexample::kRecordingsAnswer);
            return;
        }
        if (parms.handle == &recordingsHandle && Is(parms, dvrexample::kDiskType, dvrexample::kRecordingsWholeListFlag,
                                                    sizeof(dvrexample::RecordingsWholeList))) {
            ForwardRecordings<dvrexample::RecordingsWholeList>(link, parms, dvrexample::kRecordingsWholeAnswer);
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (Is(parms, dvrexample::kCountersType, dvrexample::kRecorderCountersFlag, sizeof counters_)) {
            std::memcpy(&counters_, parms.data, sizeof counters_);
            recorderHeard_ = Clock::now();
        } else if (Is(parms, dvrexample::kCameraStateType, dvrexample::kCameraStateFlag,
                      sizeof(dvrexample::CameraState))) {
            KeepPerCamera(parms, &Camera::state);
        } else if (Is(parms, dvrexample::kCountersType, dvrexample::kRecorderCameraFlag,
                      offsetof(dvrexample::RecorderCameraCounters, writeErrno))) {
            KeepPerCamera(parms, &Camera::recorder);
        } else if (Is(parms, dvrexample::kDiskType, dvrexample::kDiskUsageFlag, sizeof usage_) &&
                   parms.handle == &queryHandle) {
            std::memcpy(&usage_, parms.data, sizeof usage_);
        } else if ((parms.eventType & EVT_STATUS) != 0) {
            // <Vgil><Memory ID=".." Throttling="1" Time=".."/></Vgil>
            const std::string_view document(static_cast<const char*>(parms.data), parms.dataSize);
            constexpr std::string_view kThrottling = "Throttling=\"";
            const std::size_t at = document.find(kThrottling);
            if (at != std::string_view::npos && at + kThrottling.size() < document.size()) {
                throttling_ = document[at + kThrottling.size()] == '1';
            }
        }
    }

    // Event-loop thread: one packet from the parent, header included.
    void OnPacket(const dvrexample::CoreLink& link, const uint8_t* packet, uint32_t length)
    {
        IpcPacketHeader header;
        if (length < sizeof header) {
            return;
        }
        std::memcpy(&header, packet, sizeof header);
        if (header.packetType == dvrexample::kRecordingsRequest &&
            length == sizeof header + sizeof(dvrexample::RecordingsQuery)) {
            QueryRecordings<dvrexample::RecordingsQuery>(link, header, packet + sizeof header);
            return;
        }
        if (header.packetType == dvrexample::kRecordingsWholeRequest &&
            length == sizeof header + sizeof(dvrexample::RecordingsWholeQuery)) {
            QueryRecordings<dvrexample::RecordingsWholeQuery>(link, header, packet + sizeof header);
            return;
        }
        const bool withHealth = header.packetType == dvrexample::kHealthStatusRequest;
        if (header.packetType != dvrexample::kStatusRequest && !withHealth) {
            LogMessage(link.id(), link.fn(), LOG_LEVEL_WARNING, "unknown packet type %u from the parent",
                       static_cast<unsigned>(header.packetType));
            return;
        }
        // A plain report is the same packet without the health.
        dvrexample::HealthStatusReportPacket head{};
        head.report = Report();
        head.health = Health();
        const std::size_t headBytes = withHealth ? sizeof head : sizeof(dvrexample::StatusReportPacket);
        const std::vector<dvrexample::CameraReport> cameras = CameraReports();
        const std::size_t camerasBytes = cameras.size() * sizeof(dvrexample::CameraReport);
        std::vector<uint8_t> reply(headBytes + camerasBytes);
        head.header = {static_cast<uint32_t>(reply.size()), header.target,
                       withHealth ? dvrexample::kHealthStatusReport : dvrexample::kStatusReport, header.reserved};
        std::memcpy(reply.data(), &head, headBytes);
        if (camerasBytes > 0) {
            std::memcpy(reply.data() + headBytes, cameras.data(), camerasBytes);
        }
        link.SendToParent(reply.data(), reply.size());
        QueryDiskUsage(link);
    }

    void CancelQueries(const dvrexample::CoreLink& link) const
    {
        for (void* handle : {&queryHandle, &recordingsHandle}) {
            _EventParmsIn in = link.Event(EVT_CANCEL_HANDLE, 0);
            in.providerID = 0;
            in.handle = handle;
            link.Raise(in);
        }
    }

private:
    static bool Is(const WriteParms& parms, uint32_t type, uint32_t flag, std::size_t size)
    {
        return (parms.eventType & type) != 0 && (parms.flags & flag) != 0 && parms.dataSize >= size;
    }

    // Event-loop thread.
    dvrexample::StatusReport Report()
    {
        const Clock::time_point now = Clock::now();
        const uint64_t events = events_.load(std::memory_order_relaxed);
        const double seconds = std::chrono::duration<double>(now - lastReportTime_).count();
        dvrexample::StatusReport report{};
        if (lastReportTime_ != Clock::time_point() && seconds > 0) {
            report.eventsPerSecond = static_cast<uint32_t>(static_cast<double>(events - lastEvents_) / seconds + 0.5);
        }
        lastReportTime_ = now;
        lastEvents_ = events;

        std::lock_guard<std::mutex> lock(mutex_);
        report.framesRecorded = counters_.framesRecorded;
        report.bytesWritten = counters_.bytesWritten;
        report.framesDropped = counters_.framesDropped;
        report.bytesOnDisk = usage_.bytes;
        report.segmentsOnDisk = usage_.segments;
        report.throttling = throttling_ ? 1 : 0;
        return report;
    }

    // Event-loop thread.
    dvrexample::PluginHealth Health()
    {
        dvrexample::PluginHealth health{};
        std::lock_guard<std::mutex> lock(mutex_);
        if (Clock::now() - recorderHeard_ > std::chrono::seconds(dvrexample::kRecorderSilenceSeconds)) {
            health.missing |= dvrexample::kMissingRecorder;
        }
        return health;
    }

    // Dispatcher thread, with the lock: a record whose first field is the
    // camera's channel; fields appended after the raiser was built are 0.
    template <typename Record>
    void KeepPerCamera(const WriteParms& parms, Record Camera::*field)
    {
        Record record{};
        std::memcpy(&record, parms.data, std::min<std::size_t>(parms.dataSize, sizeof record));
        if (record.channel < dvrexample::kMaxCameras) {
            cameras_[record.channel].*field = record;
            cameras_[record.channel].known = true;
        }
    }

    // Event-loop thread.
    std::vector<dvrexample::CameraReport> CameraReports()
    {
        std::vector<dvrexample::CameraReport> reports;
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t channel = 0; channel < dvrexample::kMaxCameras; ++channel) {
            const Camera& camera = cameras_[channel];
            if (!camera.known) {
                continue;
            }
            dvrexample::CameraReport report{};
            std::memcpy(report.name, camera.state.name, sizeof report.name);
            report.name[sizeof report.name - 1] = '\0';
            if (report.name[0] == '\0') {
                std::snprintf(report.name, sizeof report.name, "camera%u", static_cast<unsigned>(channel));
            }
            report.status = static_cast<uint32_t>(camera.state.status);
            if (const uint32_t why = camera.recorder.writeErrno) {
                report.status |= dvrexample::kCameraNotWriting | why << dvrexample::kCameraWriteErrnoShift;
            }
            report.segments = camera.recorder.segmentsStarted;
            report.frames = camera.recorder.framesRecorded;
            report.bytes = camera.recorder.bytesWritten;
            report.dropped = camera.state.framesDropped + camera.recorder.framesDropped;
            reports.push_back(report);
        }
        return reports;
    }

    // A broadcast: every reader plugin that takes disk queries answers on a
    // thread of its own; the answers come back through Write.
    static void QueryDiskUsage(const dvrexample::CoreLink& link)
    {
        _EventParmsIn in = link.Event(dvrexample::kDiskType, dvrexample::kDiskQueryFlag);
        in.providerID = 0;
        in.handle = &queryHandle;
        link.Raise(in);
    }

    // Event-loop thread. `Query` is a RecordingsQuery, or one that asks for
    // whole names.
    static dvrexample::RecordingsQuery& QueryOf(dvrexample::RecordingsQuery& query) { return query; }
    static dvrexample::RecordingsQuery& QueryOf(dvrexample::RecordingsWholeQuery& whole) { return whole.query; }

    template <typename Query>
    static void QueryRecordings(const dvrexample::CoreLink& link, const IpcPacketHeader& header, const uint8_t* payload)
    {
        Query query;
        std::memcpy(&query, payload, sizeof query);
        QueryOf(query).sequence = header.reserved;
        QueryOf(query).camera[sizeof QueryOf(query).camera - 1] = '\0';
        _EventParmsIn in = link.Event(dvrexample::kDiskType, dvrexample::kRecordingsQueryFlag, &query, sizeof query);
        in.providerID = 0;
        in.handle = &recordingsHandle;
        link.Raise(in);
    }

    // Dispatcher thread: one list, without its unused entries.
    template <typename List>
    static void ForwardRecordings(const dvrexample::CoreLink& link, const WriteParms& parms, uint32_t packetType)
    {
        struct {
            IpcPacketHeader header;
            List list;
        } answer;
        static_assert(sizeof answer == IPC_HEADER_SIZE + sizeof answer.list, "no padding");
        std::memcpy(&answer.list, parms.data, sizeof answer.list);
        const auto count = std::min<uint32_t>(answer.list.count, std::size(answer.list.entries));
        const auto length = static_cast<uint32_t>(offsetof(decltype(answer), list.entries) +
                                                  count * sizeof answer.list.entries[0]);
        answer.header = {length, dvrexample::kBridgeIndex << 20, packetType, answer.list.sequence};
        link.SendToParent(&answer, length);
    }

    std::atomic<uint64_t> events_{0};

    std::mutex mutex_;
    dvrexample::RecorderCounters counters_ = {};             // guarded by mutex_
    dvrexample::DiskUsage usage_ = {};                       // guarded by mutex_
    bool throttling_ = false;                                // guarded by mutex_
    Clock::time_point recorderHeard_ = Clock::now();         // guarded by mutex_; the bridge's start at first
    std::array<Camera, dvrexample::kMaxCameras> cameras_{};  // guarded by mutex_

    // Event-loop thread only.
    Clock::time_point lastReportTime_{};
    uint64_t lastEvents_ = 0;
};

dvrexample::CoreLink link;
Bridge bridge;

}  // namespace

extern "C" {

int32_t Load(void* in, void* out)
{
    auto* parms = static_cast<LoadParms*>(in);
    auto* result = static_cast<LoadResult*>(out);
    link.Attach(parms->eventCallback, kBridgeId);
    result->id = kBridgeId;
    result->writerFlag = 1;
    // Every routed event, whatever its flags: they all count towards the rate.
    for (uint32_t& mask : result->typeMasks) {
        mask = 0xFFFFFFFFu;
    }
    dvrexample::SetCloseRank(*result, 0xD0000000u);
    result->defaultLogLevel = LOG_LEVEL_INFO;
    return 0;
}

int32_t Write(void* in, void*)
{
    return dvrexample::Guarded([in] {
        bridge.Take(link, *static_cast<const WriteParms*>(in));
        return 0;
    });
}

int32_t IOCTL(void* in, void*)
{
    return dvrexample::Guarded([in] {
        const auto* parms = static_cast<const IoctlParms*>(in);
        if (parms->command == IOCTL_IPC_PACKET && parms->argData != nullptr) {
            bridge.OnPacket(link, static_cast<const uint8_t*>(parms->argData), parms->argLength);
        }
        return 0;
    });
}

int32_t Close(void*, void*)
{
    return dvrexample::Guarded([] {
        bridge.CancelQueries(link);
        return 0;
    });
}

}  // extern "C"
