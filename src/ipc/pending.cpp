// Placeholder definitions, replaced as the IPC link is completed.
#include <cstdlib>

#include "dvrcore.h"

void dvrcore::StartIpcRead() {}
void dvrcore::OnIpcRead(const boost::system::error_code&, std::size_t) {}
void dvrcore::QueueIpcPacket(void* block, std::size_t) { std::free(block); }
void dvrcore::SendNextIpcPacket() {}
void dvrcore::OnIpcWritten(const boost::system::error_code&) {}
