// The long-running plugin threads: the worker and the asynchronous reader.
#include <thread>

#include "crash_report.h"
#include "dvrcore.h"

namespace {

// The thread keeps the entry address and its own call records, never the
// plugin's record, which moves inside pluginList while the thread runs.
template <typename Parms, typename Result>
std::thread CallOnOwnThread(PluginEntryPoint entry, uint32_t library, PluginCall call, Parms parms, Result result)
{
    return std::thread([entry, library, call, parms, result]() mutable {
        const AlternateSignalStack signalStack;
        SetThreadCall(library, call);
        CallEntry(entry, &parms, &result);
    });
}

}  // namespace

void dvrcore::ProvideWorkerThread(PLUGININFO& plugin)
{
    plugin.workerThread =
        CallOnOwnThread(plugin.ioctl, plugin.libraryNumber, PluginCall::kWorker,
                        MakeIoctlParms(IOCTL_WORKER_THREAD, nullptr, 0), MakeIoctlResult(IOCTL_WORKER_THREAD));
}

void dvrcore::StartAsyncReader(PLUGININFO& plugin)
{
    plugin.readerThread = CallOnOwnThread(plugin.read, plugin.libraryNumber, PluginCall::kReader,
                                          MakeReadParms(0, nullptr, nullptr), MakeReadResult());
}
