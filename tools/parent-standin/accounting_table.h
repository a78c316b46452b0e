// The stand-in's "accounting" command: asks the core itself for its plugin
// accounting document (IPC_ACCOUNTING_REQUEST) and shows the reply as a table,
// one row per plugin.
#ifndef DVRCORE_PARENT_STANDIN_ACCOUNTING_TABLE_H
#define DVRCORE_PARENT_STANDIN_ACCOUNTING_TABLE_H

#include <cstddef>
#include <cstdint>

// Prints the document's PluginUsage elements as "standin:   <row>" lines
// under a heading row.
void PrintAccountingTable(const uint8_t* packet, std::size_t length);

#endif  // DVRCORE_PARENT_STANDIN_ACCOUNTING_TABLE_H
