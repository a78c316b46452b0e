// Named XML files: the atomic save, the load that adopts a complete pending
// file, and the process-wide lock of file names.
//
// A save writes the text to the file name with ".pending" appended, flushes
// it to the disk and then renames it over the file, so that the file under
// the name is always a complete text: the previous one or the new one. A load
// first tries that pending file, left by a save that was interrupted after
// its text was complete, and adopts it. Loads and saves of one name never
// overlap within the process; of different names they run in parallel.
//
// Any thread may call these. A thread must not load or save a name while it
// holds that name itself (it would wait for ever). Failures are reported in
// the document's error state and the result, never thrown.
#ifndef DVRCORE_CONFIG_XML_FILE_H
#define DVRCORE_CONFIG_XML_FILE_H

#include <string>

#include "xml_document.h"

// Appended to a file name to name its pending file.
constexpr const char* PENDING_SUFFIX = ".pending";

// Writes `document`, printed with four-space indentation, to the file `name`.
// True when the text is in place. On failure: false, error code 2 and a
// message ("create error 13 - Permission denied", "write error ...", "close
// error ...", "only wrote ...", "Failed to rename ...") in `document`; the
// previous file is untouched and no pending file is left behind.
bool SaveFile(XmlDocument& document, const std::string& name);

// Loads `name` into `document`. A pending file that parses completely is used
// and then renamed over `name`; otherwise `name` itself is loaded. The result
// and the error state are those of the file that was used; when neither file
// can be opened, code 2 "Failed to open file". A pending file that does not
// parse is left alone; the next save overwrites it.
bool LoadFile(XmlDocument& document, const std::string& name);

// The file-name lock: waits (asleep, without a time limit) until no other
// thread holds `name`, then holds it. Names are compared as plain strings.
void AcquireFileName(const std::string& name);
// Gives `name` back and wakes the threads waiting for it.
void ReleaseFileName(const std::string& name);

#endif  // DVRCORE_CONFIG_XML_FILE_H
