// Construction, initialisation, the start-up and shutdown sequences.
#include "dvrcore.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <csignal>
#include <cstdlib>

#include "crash_report.h"
#include "log_message.h"
#include "plugin_scan.h"
#include "privilege_drop.h"

dvrcore* theCore = nullptr;

namespace {

constexpr auto kAnnouncementWait = std::chrono::seconds(10);
constexpr auto kWatchdogPause = std::chrono::seconds(60);

void AddSignal(boost::asio::signal_set& signals, int number)
{
    boost::system::error_code error;
    signals.add(number, error);
    if (error) {
        throw boost::system::system_error(error, "add");
    }
}

}  // namespace

dvrcore::dvrcore(std::string exePathArg)
    : timer(ioContext, kTimerInterval),
      ipcSocket(ioContext),
      exePath(std::move(exePathArg)),
      refBlocks(CoreEventCallback)
{
    theCore = this;
}

dvrcore::~dvrcore()
{
    RemoveCrashReport();
    // Whatever raises events from here on (the leak report included) is not
    // queued any more.
    stopRequested = true;
    StopDeliveries();
    for (auto& queued : eventQueue) {
        std::free(queued.event.data);
    }
    eventQueue.clear();
    // Blocks parked for raisers that will not raise again.
    block_homes::CollectAllHomes();
    for (auto& packet : ipcOutgoing) {
        std::free(packet.first);
    }
    ipcOutgoing.clear();
    boost::system::error_code ignored;
    if (ipcSocket.is_open()) {
        ipcSocket.close(ignored);
        ipcOpen = false;
    }
    timer.cancel();
}

dvrcore::CoreRegistration::~CoreRegistration()
{
    // Another core may have been built since (tests build many).
    if (theCore == core) {
        theCore = nullptr;
    }
}

dvrcore::Clock::time_point dvrcore::Now()
{
    return Clock::now();
}

std::time_t dvrcore::WallTime()
{
    return std::time(nullptr);
}

bool dvrcore::Initialize(int pipe)
{
    moduleNames.Set(CORE_PROVIDER_ID, "core");
    if (!DropPrivileges()) {
        return false;
    }
    if (pipe == -1) {
        return true;
    }
    try {
        // Asio would adopt some descriptors that are no socket at all (a
        // regular file, for one); the link needs a socket.
        struct stat status {};
        if (::fstat(pipe, &status) != 0) {
            throw boost::system::system_error(errno, boost::system::system_category());
        }
        if (!S_ISSOCK(status.st_mode)) {
            throw boost::system::system_error(ENOTSOCK, boost::system::system_category());
        }
        ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), pipe);
        ipcOpen = true;
    } catch (const std::exception&) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_CRITICAL, "failed to open ipc pipe");
        return false;
    }
    return true;
}

void dvrcore::RequestStop()
{
    bool first = false;
    std::size_t queued = 0;
    {
        // Set under the lock so that the dispatcher cannot miss the wake-up
        // between its test of the flag and its wait.
        std::lock_guard<std::mutex> lock(queueMutex);
        first = !stopRequested;
        stopRequested = true;
        queued = eventQueue.size() + dispatchBacklog.load(std::memory_order_relaxed);
    }
    queueCond.notify_all();
    // Replies are refused from now on anyway; one waiting for its previous
    // payload must not wait until the plugins are closed, where a reader's
    // Close may be waiting for it.
    handleGate.Close();
    // Behind a slow plugin the queue may take long to drain, and until then
    // the stop would look ignored.
    if (first && queued > 0) {
        LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_INFO,
                   "stop requested with %zu events queued: they are delivered before the plugins close", queued);
    }
}

void dvrcore::WaitForParentAnnouncement()
{
    // Events queued by plugin workers also signal queueCond; only the
    // announcement or a stop ends this wait.
    std::unique_lock<std::mutex> lock(queueMutex);
    queueCond.wait_for(lock, kAnnouncementWait, [this] { return parentAnnounced || stopRequested.load(); });
}

void dvrcore::StopTimer()
{
    // The timer handler runs on ioThread; cancelling there serialises with it.
    boost::asio::post(ioContext, [this] {
        timerStopped = true;
        timer.cancel();
    });
}

void dvrcore::StartSupervision()
{
    quarantine.CountCrash(CrashedPlugin(ReportPreviousCrash()), FindPlugins(exePath));
    SetThreadSlot(&pluginWatch.MainSlot());
    InstallCrashReport(pluginWatch);
    pluginWatch.Start([this] {
        std::lock_guard<std::mutex> lock(queueMutex);
        return eventQueue.size();
    });
}

void dvrcore::Start()
{
    const AlternateSignalStack signalStack;
    versionText = GetVersion();
    {
        std::unique_lock<std::shared_mutex> lock(pluginListMutex);
        pluginList.clear();
    }

    signals = std::make_unique<boost::asio::signal_set>(ioContext);
    AddSignal(*signals, SIGINT);
    AddSignal(*signals, SIGTERM);
    AddSignal(*signals, SIGQUIT);
    // Never re-armed: the first signal stops the core, later ones are absorbed.
    signals->async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

    LoadConfiguration();
    StartSupervision();
    LoadPlugins();
    if (ipcSocket.is_open()) {
        StartIpcRead();
    }

    // Posted work (IPC packets, configuration updates) must find the loop
    // running even when no timer, signal or read is pending.
    auto work = boost::asio::make_work_guard(ioContext);
    ioThread = std::thread([this] {
        const AlternateSignalStack signalStack;
        SetThreadSlot(&pluginWatch.IoSlot());
        boost::system::error_code error;
        ioContext.run(error);
        if (error) {
            throw boost::system::system_error(error);
        }
    });

    // ioThread owns the socket now, and a lost link closes it there.
    if (ipcOpen) {
        WaitForParentAnnouncement();
    }
    OpenPlugins();
    if (::getuid() != 0) {
        SetCapabilities(kCapabilitiesAfterOpen);
    }
    {
        std::unique_lock<std::shared_mutex> lock(pluginListMutex);
        for (auto& plugin : pluginList) {
            if (plugin.info.readerFlag != 0) {
                StartAsyncReader(plugin);
            }
        }
    }
    timer.async_wait([this](const boost::system::error_code& error) { OnTimer(error); });
    SaveConfiguration();
    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_INFO, "successfully started core version %s",
               versionText.c_str());

    DispatchEvents();

    LogMessage(CORE_PROVIDER_ID, CoreEventCallback, LOG_LEVEL_INFO, "stopping core version %s...", versionText.c_str());
    StopTimer();
    if (sleepBeforeUnload) {
        // sleep_for resumes an interrupted sleep for the time that remains.
        std::this_thread::sleep_for(kWatchdogPause);
    }
    ClosePlugins();
    ioContext.stop();
    ioThread.join();
    for (auto& packet : ipcOutgoing) {
        std::free(packet.first);
    }
    ipcOutgoing.clear();
    // No broadcast may run plugin code once plugins start to unload.
    StopDeliveries();
    UnloadPlugins();
    pluginWatch.Stop();
    signals.reset();
}
