// Record layouts as plugins see them, on the target this test was built for.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "log_message.h"
#include "plugin_api.h"

extern "C" const size_t plugin_abi_c_sizes[16];
extern "C" int plugin_abi_c_log(EventFunction eventFn);

namespace {

TEST(PluginAbi, CAndCxxAgreeOnEveryRecord)
{
    const size_t cxx[] = {
        sizeof(_EventParmsIn), sizeof(_EventParmsOut), sizeof(LoadParms),  sizeof(LoadResult),
        sizeof(UnloadParms),   sizeof(UnloadResult),   sizeof(OpenParms),  sizeof(OpenResult),
        sizeof(CloseParms),    sizeof(CloseResult),    sizeof(ReadParms),  sizeof(ReadResult),
        sizeof(WriteParms),    sizeof(WriteResult),    sizeof(IoctlParms), sizeof(IoctlResult),
    };
    for (size_t i = 0; i < sizeof cxx / sizeof cxx[0]; ++i) {
        EXPECT_EQ(cxx[i], plugin_abi_c_sizes[i]) << "record " << i;
    }
}

TEST(PluginAbi, RecordsHaveTheDeviceLayoutOr64BitNaturalAlignment)
{
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizeof(_EventParmsIn), 184u);
        EXPECT_EQ(sizeof(WriteParms), 192u);
        EXPECT_EQ(offsetof(_EventParmsIn, syncFrame), 50u);
    } else {
        // Pointers take 8 bytes and the records grow accordingly.
        EXPECT_EQ(offsetof(_EventParmsIn, data), 16u);
        EXPECT_EQ(offsetof(_EventParmsIn, handle), 32u);
        EXPECT_EQ(sizeof(_EventParmsIn), 200u);
        EXPECT_EQ(sizeof(WriteParms), 208u);
        EXPECT_EQ(sizeof(IoctlParms), 32u);
        EXPECT_EQ(sizeof(ReadParms), 40u);
    }
    // No pointer: the same everywhere.
    EXPECT_EQ(sizeof(LoadResult), 68u);
    EXPECT_EQ(offsetof(LoadResult, typeMasks[5]), 32u);
    EXPECT_EQ(sizeof(_EventParmsOut), 12u);
    EXPECT_EQ(sizeof(IpcPacketHeader), 16u);
}

// Bytes 8.. of an event are bytes 16.. of WriteParms, field for field.
TEST(PluginAbi, WriteParmsCarriesTheEventBodyUnchanged)
{
    _EventParmsIn in{};
    in.dataSize = 11;
    in.providerID = 0x50000;
    in.eventType = EVT_VIDEO;
    in.flags = FLAG_FRAME;
    in.level = -3;
    in.syncFrame = 1;
    in.opaque2[132] = 0x77;
    WriteParms write{};
    std::memcpy(reinterpret_cast<char*>(&write) + offsetof(WriteParms, dataSize),
                reinterpret_cast<const char*>(&in) + offsetof(_EventParmsIn, dataSize),
                sizeof in - offsetof(_EventParmsIn, dataSize));
    EXPECT_EQ(write.dataSize, 11u);
    EXPECT_EQ(write.providerID, 0x50000u);
    EXPECT_EQ(write.eventType, EVT_VIDEO);
    EXPECT_EQ(write.flags, FLAG_FRAME);
    EXPECT_EQ(write.level, -3);
    EXPECT_EQ(write.syncFrame, 1);
    EXPECT_EQ(write.opaque2[132], 0x77);
}

int captured = 0;
int Capture(_EventParmsIn* in, _EventParmsOut*)
{
    if ((in->flags & FLAG_LOG_MESSAGE) != 0 && std::strcmp(static_cast<char*>(in->data), "from C 1") == 0) {
        ++captured;
    }
    return 0;
}

TEST(PluginAbi, LoggingCallWorksFromC)
{
    plugin_abi_c_log(Capture);
    EXPECT_EQ(captured, 1);
}

}  // namespace
