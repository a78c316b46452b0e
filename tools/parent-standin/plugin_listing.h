// The stand-in's "plugins" command: asks the core itself which plugins it
// has loaded (IPC_PLUGIN_LISTING_REQUEST) and shows the reply.
#ifndef DVRCORE_PARENT_STANDIN_PLUGIN_LISTING_H
#define DVRCORE_PARENT_STANDIN_PLUGIN_LISTING_H

#include <cstddef>
#include <cstdint>

// Prints the listing's lines, each as "standin:   <line>", under a heading.
void PrintPluginListing(const uint8_t* packet, std::size_t length);

#endif  // DVRCORE_PARENT_STANDIN_PLUGIN_LISTING_H
