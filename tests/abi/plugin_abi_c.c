/* The plugin headers compile as plain C with nothing else included first. */
#include "log_message.h"
#include "plugin_api.h"

/* The same records as a C compiler lays them out, for the C++ side to compare. */
const size_t plugin_abi_c_sizes[] = {
    sizeof(_EventParmsIn), sizeof(_EventParmsOut), sizeof(LoadParms),  sizeof(LoadResult),
    sizeof(UnloadParms),   sizeof(UnloadResult),   sizeof(OpenParms),  sizeof(OpenResult),
    sizeof(CloseParms),    sizeof(CloseResult),    sizeof(ReadParms),  sizeof(ReadResult),
    sizeof(WriteParms),    sizeof(WriteResult),    sizeof(IoctlParms), sizeof(IoctlResult),
};

int plugin_abi_c_log(EventFunction eventFn)
{
    return LogMessage(CORE_PROVIDER_ID, eventFn, LOG_LEVEL_INFO, "%s %d", "from C", 1);
}
