// What the core has loaded, for the parent service (and people at the
// stand-in): the answer to IPC_PLUGIN_LISTING_REQUEST.
//
// One line per loaded plugin, in the list's current order (load order until
// the close-order sort), then one per plugin file that failed to map, then one
// per plugin left unloaded in quarantine (plugin_quarantine.h), then one per
// plugin refused after it mapped (dvrcore::refusedPlugins):
//   plugin <file> id 0x<id> index <n> module <name> flags <worker,reader,writer|none>
//       threads <worker,reader|none> load <ms> ms open <code> in <ms> ms
//       subscribes <type>=0x<mask>,...|none
//   failed <file>: <loader text>
//   quarantined <file>: crashed the core at consecutive starts
//   refused <file>: <why>
// (each plugin line is one line; wrapped here). Types are named as the mask
// positions of plugin_api.h: video, audio, status, type_8, type_10,
// type_20, log, type_80, type_400.
//
// ioThread (the IPC reader); walks the list under a shared `pluginListMutex`.
#ifndef DVRCORE_IPC_PLUGIN_LISTING_H
#define DVRCORE_IPC_PLUGIN_LISTING_H

#include <cstdint>
#include <string>

class dvrcore;

std::string DescribePlugins(dvrcore& core);

// Queues the IPC_PLUGIN_LISTING reply, with the request's `reserved` word.
void SendPluginListing(dvrcore& core, uint32_t reserved);

#endif  // DVRCORE_IPC_PLUGIN_LISTING_H
