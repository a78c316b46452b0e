/*
 * dvrcore plugin interface.
 *
 * The one file that plugin authors share with the core. Plain C, compiles as C
 * and as C++, needs nothing but the C library's fixed-width types.
 *
 * A plugin is a shared library that exports up to eight entry points with C
 * linkage: "Load" (required), "Unload", "Open", "Close", "Read", "Write",
 * "Seek" and "IOCTL". Each takes a pointer to an input record and a pointer to
 * an output record and returns a 32-bit signed result, 0 meaning success. Every
 * record begins with its own size in bytes and a layout version, both filled in
 * by whoever builds it.
 *
 * On the device (32-bit ARM) the records have exactly the sizes and offsets
 * locked by the static asserts at the end of this file. On 64-bit hosts the
 * same declarations apply with natural alignment: pointer fields take 8 bytes
 * and the records grow; the core then fills the size fields with sizeof().
 */
#ifndef DVRCORE_PLUGIN_API_H
#define DVRCORE_PLUGIN_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Provider ids ------------------------------------------------------ */

/* The core's own provider id (log level index 0, module name "core"). */
#define CORE_PROVIDER_ID 0x80000000u

/* Bits 16..27 of a provider id index the log level tables and select the
 * plugin that receives a packet from the parent service. */
#define PROVIDER_INDEX(id) ((((uint32_t)(id)) >> 16) & 0xfffu)

/* Number of entries in each log level table; plugins need an index below it. */
#define LOG_LEVEL_TABLE_SIZE 255

/* Result of an entry point that a plugin does not export. */
#define ENTRY_MISSING (-100)

/* ---- Log levels -------------------------------------------------------- */

#define LOG_LEVEL_DETAIL 0
#define LOG_LEVEL_INFO 25
#define LOG_LEVEL_WARNING 50
#define LOG_LEVEL_ERROR 75
#define LOG_LEVEL_CRITICAL 100 /* also sent to syslog */

/* ---- Event types (eventType) ------------------------------------------- */

/* Routable bits: each has an accepted-flag mask in LoadResult.typeMasks. */
#define EVT_VIDEO 0x1u
#define EVT_AUDIO 0x2u
#define EVT_STATUS 0x4u
#define EVT_LOG 0x40u
/* 0x8, 0x10, 0x20, 0x80 and 0x400 are general routable bits. */
#define EVT_ROUTABLE_BITS 0x4FFu
#define EVT_ROUTABLE_COUNT 9

/* Positions in LoadResult.typeMasks: the mask of each routable type bit. */
#define MASK_VIDEO 0    /* EVT_VIDEO, 0x1 */
#define MASK_AUDIO 1    /* EVT_AUDIO, 0x2 */
#define MASK_STATUS 2   /* EVT_STATUS, 0x4 */
#define MASK_TYPE_8 3   /* 0x8 */
#define MASK_TYPE_10 4  /* 0x10 */
#define MASK_TYPE_20 5  /* 0x20; also the close order (descending) */
#define MASK_LOG 6      /* EVT_LOG, 0x40 */
#define MASK_TYPE_80 7  /* 0x80 */
#define MASK_TYPE_400 8 /* 0x400 */

/* The position of one routable type bit, -1 for any other value; a constant
 * expression for a constant argument. */
#define MASK_INDEX(typeBit)                \
    ((typeBit) == 0x1u     ? MASK_VIDEO    \
     : (typeBit) == 0x2u   ? MASK_AUDIO    \
     : (typeBit) == 0x4u   ? MASK_STATUS   \
     : (typeBit) == 0x8u   ? MASK_TYPE_8   \
     : (typeBit) == 0x10u  ? MASK_TYPE_10  \
     : (typeBit) == 0x20u  ? MASK_TYPE_20  \
     : (typeBit) == 0x40u  ? MASK_LOG      \
     : (typeBit) == 0x80u  ? MASK_TYPE_80  \
     : (typeBit) == 0x400u ? MASK_TYPE_400 \
                           : -1)

/* Match values. A plugin receives an event when, for one of the routable bits
 * of its type, its mask holds every bit of the match value derived from the
 * event's flags. Queued events (Write): flag bits 24..30 move up one place,
 * bit 31 drops out. Broadcast requests (Read): flag bits 24..31 move down one
 * place. Flags 0 give 0, which every mask holds. */
#define DISPATCH_MATCH(flags) ((((uint32_t)(flags)) & 0x00FFFFFFu) | ((((uint32_t)(flags)) << 1) & 0xFE000000u))
#define BROADCAST_MATCH(flags) ((((uint32_t)(flags)) & 0x00FFFFFFu) | ((((uint32_t)(flags)) >> 1) & 0x7F800000u))

/* EVT_CONFIG is a bit; the three below it are exact values. */
#define EVT_CONFIG 0x100u
#define EVT_RELEASE_BLOCK 0x200u   /* give back a kept payload block */
#define EVT_CANCEL_HANDLE 0x1000u  /* with providerID 0: cancel `handle` */
#define EVT_SEND_TO_PARENT 0x2000u /* payload is a packet for the parent */

/* ---- Flags (flags) ----------------------------------------------------- */

#define FLAG_LEVEL_QUERY 0x1u /* with EVT_LOG: ask for the log level */
#define FLAG_LOG_MESSAGE 0x2u /* with EVT_LOG: payload is a message */
#define FLAG_FRAME 0x1000000u /* with EVT_VIDEO/EVT_AUDIO: media frame */

/* ---- Results (_EventParmsOut.result) ----------------------------------- */

#define RESULT_OK 0
#define RESULT_REFUSED 1
#define RESULT_NO_SYNC_FRAME 3
#define RESULT_FRAME_LIMIT 4
#define RESULT_THROTTLED 5
#define RESULT_NO_MEMORY (-1)

/* ---- IOCTL commands ---------------------------------------------------- */

#define IOCTL_WORKER_THREAD 1 /* the plugin's worker runs inside this call */
#define IOCTL_UPDATE_CONFIG 2 /* argData: configuration text */
#define IOCTL_IPC_PACKET 4    /* argData: whole packet from the parent */

/* ---- IPC packets ------------------------------------------------------- */

#define IPC_ANNOUNCE 7
#define IPC_STOP 8
#define IPC_HEADER_SIZE 16
#define IPC_MAX_PACKET 65536

/* Packets between the parent and the core itself carry target 0 (the core's
 * providerIndex) and a type in 0x4300..0x43FF. The core answers them only
 * while no loaded plugin has providerIndex 0 (such a plugin gets them
 * instead), and sends nothing of this kind unasked. */
#define IPC_PLUGIN_LISTING_REQUEST 0x4301
/* The reply: `reserved` echoes the request's; the payload is text, one line
 * per loaded plugin, per plugin file that failed to map, per plugin
 * quarantined for crashing the core and per plugin refused after it mapped
 * (no terminating zero; cut at IPC_MAX_PACKET). */
#define IPC_PLUGIN_LISTING 0x4302
/* The plugin accounting document (docs/operating.md): asked for with
 * IPC_ACCOUNTING_REQUEST, answered with IPC_ACCOUNTING_REPLY whose payload is
 * the document's compact text (no terminating zero). */
#define IPC_ACCOUNTING_REQUEST 0x4311
#define IPC_ACCOUNTING_REPLY 0x4312

/* Header of every packet from the parent, in the host's byte order. */
typedef struct IpcPacketHeader {
    uint32_t packetLength; /* whole packet, header included: 16..65536 */
    uint32_t target;       /* bits 20..31: providerIndex of the plugin */
    uint32_t packetType;   /* IPC_ANNOUNCE, IPC_STOP, or a plugin packet */
    uint32_t reserved;     /* passed on to the plugin */
} IpcPacketHeader;

/* ---- Event records ----------------------------------------------------- */

typedef struct _EventParmsIn {
    uint32_t size;        /* sizeof(_EventParmsIn): 184 on the device */
    uint32_t version;     /* 1 */
    uint32_t dataSize;    /* payload length in bytes */
    void* data;           /* payload, or NULL; stays the raiser's, except
                             for EVT_RELEASE_BLOCK and EVT_SEND_TO_PARENT */
    uint32_t providerID;  /* raiser's id; 0 marks a broadcast request */
    void* handle;         /* request handle, or NULL */
    uint32_t eventType;   /* EVT_ bits or value */
    uint32_t flags;       /* FLAG_ bits; also the subscription match value */
    uint8_t opaque0[8];   /* payload-specific, carried through */
    int32_t level;        /* log message level */
    uint8_t opaque1[6];   /* payload-specific, carried through */
    uint8_t syncFrame;    /* video: 1 restarts frame accounting */
    uint8_t opaque2[133]; /* payload-specific, carried through */
} _EventParmsIn;

typedef struct _EventParmsOut {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    int32_t result;   /* RESULT_ code, or the level for FLAG_LEVEL_QUERY */
} _EventParmsOut;

/* The core's event entry, handed to plugins in LoadParms. Callable from any
 * thread; always returns 0, the outcome is in out->result. */
typedef int (*EventFunction)(_EventParmsIn* in, _EventParmsOut* out);

/* Every exported entry point has this shape. */
typedef int32_t (*PluginEntryPoint)(void* in, void* out);

/* ---- Entry point records ----------------------------------------------- */

typedef struct LoadParms {
    uint32_t size;               /* 16 */
    uint32_t version;            /* 3 */
    void* coreContext;           /* opaque */
    EventFunction eventCallback; /* raise events, log, query log level */
} LoadParms;

typedef struct LoadResult {
    uint32_t size;    /* 68 */
    uint32_t version; /* 2 */
    uint32_t id;      /* the plugin's provider id */
    /* Accepted-flag masks for the bits 0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40,
     * 0x80, 0x400, in that order. The 0x20 mask also sets the close order. */
    uint32_t typeMasks[EVT_ROUTABLE_COUNT];
    uint32_t reserved0;
    uint8_t workerFlag; /* wants a worker thread (IOCTL_WORKER_THREAD) */
    uint8_t reserved1;
    uint8_t readerFlag; /* takes broadcasts on Read; gets a reader thread */
    uint8_t writerFlag; /* takes queued events on Write */
    uint32_t reserved2;
    int32_t error;           /* non-zero refuses the plugin */
    int32_t defaultLogLevel; /* -1..100; 0 means none */
} LoadResult;

typedef struct UnloadParms {
    uint32_t size;    /* 8 */
    uint32_t version; /* 1 */
} UnloadParms;

typedef struct UnloadResult {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    int32_t error;
} UnloadResult;

typedef struct OpenParms {
    uint32_t size;    /* 20 */
    uint32_t version; /* 1 */
    uint32_t reserved[3];
} OpenParms;

typedef struct OpenResult {
    uint32_t size;    /* 16 */
    uint32_t version; /* 1 */
    uint32_t reserved[2];
} OpenResult;

typedef struct CloseParms {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    uint32_t reserved;
} CloseParms;

typedef struct CloseResult {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    int32_t error;
} CloseResult;

typedef struct ReadParms {
    uint32_t size;    /* 28 */
    uint32_t version; /* 1 */
    uint32_t reserved;
    uint8_t one; /* always 1 */
    uint8_t padding[3];
    uint32_t dataSize; /* request payload length; 0 for the reader thread */
    void* data;        /* request payload (the core's copy), or NULL */
    void* handle;      /* the broadcast's request handle, or NULL */
} ReadParms;

typedef struct ReadResult {
    uint32_t size;    /* 20 */
    uint32_t version; /* 1 */
    uint32_t reserved[3];
} ReadResult;

/* Bytes 16.. are bytes 8.. of the delivered _EventParmsIn, unchanged. */
typedef struct WriteParms {
    uint32_t size;    /* 192 on the device */
    uint32_t version; /* 1 */
    uint32_t reserved;
    uint8_t zero;
    uint8_t padding[3];
    uint32_t dataSize;
    void* data; /* the core's shared payload block */
    uint32_t providerID;
    void* handle;
    uint32_t eventType;
    uint32_t flags;
    uint8_t opaque0[8];
    int32_t level;
    uint8_t opaque1[6];
    uint8_t syncFrame;
    uint8_t opaque2[133];
} WriteParms;

typedef struct WriteResult {
    uint32_t size;    /* 24 */
    uint32_t version; /* 1 */
    uint32_t reserved[2];
    int32_t error;
    uint32_t keep; /* non-zero: the plugin keeps the block and releases it
                      later with EVT_RELEASE_BLOCK */
} WriteResult;

typedef struct IoctlParms {
    uint32_t size;       /* 28 */
    uint32_t version;    /* 1 */
    uint32_t command;    /* IOCTL_ code */
    uint32_t argSize;    /* 16 with data, 8 without */
    uint32_t argVersion; /* 1 */
    uint32_t argLength;  /* data length, or 0 */
    void* argData;       /* data, or NULL */
} IoctlParms;

typedef struct IoctlResult {
    uint32_t size;    /* 28 */
    uint32_t version; /* 1 */
    uint32_t command; /* the same code */
    int32_t error;
    uint32_t keep;          /* as WriteResult.keep; read after IOCTL_UPDATE_CONFIG */
    uint32_t resultSize;    /* 8 */
    uint32_t resultVersion; /* 1 */
} IoctlResult;

/* ---- Layout locks for 32-bit targets ----------------------------------- */

#ifdef __cplusplus
#define DVR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define DVR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
DVR_STATIC_ASSERT(sizeof(_EventParmsIn) == 184, "_EventParmsIn size");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, dataSize) == 8, "dataSize");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, data) == 12, "data");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, providerID) == 16, "providerID");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, handle) == 20, "handle");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, eventType) == 24, "eventType");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, flags) == 28, "flags");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, opaque0) == 32, "opaque0");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, level) == 40, "level");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, opaque1) == 44, "opaque1");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, syncFrame) == 50, "syncFrame");
DVR_STATIC_ASSERT(offsetof(_EventParmsIn, opaque2) == 51, "opaque2");
DVR_STATIC_ASSERT(sizeof(_EventParmsOut) == 12, "_EventParmsOut size");
DVR_STATIC_ASSERT(offsetof(_EventParmsOut, result) == 8, "result");

DVR_STATIC_ASSERT(sizeof(LoadParms) == 16, "LoadParms size");
DVR_STATIC_ASSERT(offsetof(LoadParms, coreContext) == 8, "coreContext");
DVR_STATIC_ASSERT(offsetof(LoadParms, eventCallback) == 12, "eventCallback");
DVR_STATIC_ASSERT(sizeof(LoadResult) == 68, "LoadResult size");
DVR_STATIC_ASSERT(offsetof(LoadResult, id) == 8, "id");
DVR_STATIC_ASSERT(offsetof(LoadResult, typeMasks) == 12, "typeMasks");
DVR_STATIC_ASSERT(offsetof(LoadResult, typeMasks[5]) == 32, "0x20 mask");
DVR_STATIC_ASSERT(offsetof(LoadResult, reserved0) == 48, "reserved0");
DVR_STATIC_ASSERT(offsetof(LoadResult, workerFlag) == 52, "workerFlag");
DVR_STATIC_ASSERT(offsetof(LoadResult, reserved1) == 53, "reserved1");
DVR_STATIC_ASSERT(offsetof(LoadResult, readerFlag) == 54, "readerFlag");
DVR_STATIC_ASSERT(offsetof(LoadResult, writerFlag) == 55, "writerFlag");
DVR_STATIC_ASSERT(offsetof(LoadResult, reserved2) == 56, "reserved2");
DVR_STATIC_ASSERT(offsetof(LoadResult, error) == 60, "error");
DVR_STATIC_ASSERT(offsetof(LoadResult, defaultLogLevel) == 64, "default");
DVR_STATIC_ASSERT(sizeof(UnloadParms) == 8, "UnloadParms size");
DVR_STATIC_ASSERT(sizeof(UnloadResult) == 12, "UnloadResult size");
DVR_STATIC_ASSERT(offsetof(UnloadResult, error) == 8, "unload error");
DVR_STATIC_ASSERT(sizeof(OpenParms) == 20, "OpenParms size");
DVR_STATIC_ASSERT(sizeof(OpenResult) == 16, "OpenResult size");
DVR_STATIC_ASSERT(sizeof(CloseParms) == 12, "CloseParms size");
DVR_STATIC_ASSERT(sizeof(CloseResult) == 12, "CloseResult size");
DVR_STATIC_ASSERT(offsetof(CloseResult, error) == 8, "close error");
DVR_STATIC_ASSERT(sizeof(ReadParms) == 28, "ReadParms size");
DVR_STATIC_ASSERT(offsetof(ReadParms, one) == 12, "one");
DVR_STATIC_ASSERT(offsetof(ReadParms, dataSize) == 16, "read dataSize");
DVR_STATIC_ASSERT(offsetof(ReadParms, data) == 20, "read data");
DVR_STATIC_ASSERT(offsetof(ReadParms, handle) == 24, "read handle");
DVR_STATIC_ASSERT(sizeof(ReadResult) == 20, "ReadResult size");
DVR_STATIC_ASSERT(sizeof(WriteParms) == 192, "WriteParms size");
DVR_STATIC_ASSERT(offsetof(WriteParms, zero) == 12, "zero");
DVR_STATIC_ASSERT(offsetof(WriteParms, dataSize) == 16, "write dataSize");
DVR_STATIC_ASSERT(offsetof(WriteParms, data) == 20, "write data");
DVR_STATIC_ASSERT(offsetof(WriteParms, providerID) == 24, "write provider");
DVR_STATIC_ASSERT(offsetof(WriteParms, handle) == 28, "write handle");
DVR_STATIC_ASSERT(offsetof(WriteParms, eventType) == 32, "write type");
DVR_STATIC_ASSERT(offsetof(WriteParms, flags) == 36, "write flags");
DVR_STATIC_ASSERT(offsetof(WriteParms, level) == 48, "write level");
DVR_STATIC_ASSERT(offsetof(WriteParms, syncFrame) == 58, "write syncFrame");
DVR_STATIC_ASSERT(sizeof(WriteResult) == 24, "WriteResult size");
DVR_STATIC_ASSERT(offsetof(WriteResult, error) == 16, "write error");
DVR_STATIC_ASSERT(offsetof(WriteResult, keep) == 20, "write keep");
DVR_STATIC_ASSERT(sizeof(IoctlParms) == 28, "IoctlParms size");
DVR_STATIC_ASSERT(offsetof(IoctlParms, command) == 8, "command");
DVR_STATIC_ASSERT(offsetof(IoctlParms, argSize) == 12, "argSize");
DVR_STATIC_ASSERT(offsetof(IoctlParms, argVersion) == 16, "argVersion");
DVR_STATIC_ASSERT(offsetof(IoctlParms, argLength) == 20, "argLength");
DVR_STATIC_ASSERT(offsetof(IoctlParms, argData) == 24, "argData");
DVR_STATIC_ASSERT(sizeof(IoctlResult) == 28, "IoctlResult size");
DVR_STATIC_ASSERT(offsetof(IoctlResult, error) == 12, "ioctl error");
DVR_STATIC_ASSERT(offsetof(IoctlResult, keep) == 16, "ioctl keep");
DVR_STATIC_ASSERT(offsetof(IoctlResult, resultSize) == 20, "resultSize");
DVR_STATIC_ASSERT(offsetof(IoctlResult, resultVersion) == 24, "resultVer");
DVR_STATIC_ASSERT(sizeof(IpcPacketHeader) == 16, "IpcPacketHeader size");
#endif

/* Bytes 8.. of an event record sit at offset 16 of WriteParms on every
 * target: the core copies them as one block. */
DVR_STATIC_ASSERT(offsetof(WriteParms, dataSize) == 16, "write body");
DVR_STATIC_ASSERT(sizeof(WriteParms) - 16 == sizeof(_EventParmsIn) - 8, "write body size");
DVR_STATIC_ASSERT(MASK_INDEX(EVT_LOG) == MASK_LOG && MASK_INDEX(0x400u) == EVT_ROUTABLE_COUNT - 1, "mask positions");
DVR_STATIC_ASSERT(offsetof(WriteParms, syncFrame) - 16 == offsetof(_EventParmsIn, syncFrame) - 8, "write body layout");

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_PLUGIN_API_H */
