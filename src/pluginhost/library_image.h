// A check of a plugin file before the dynamic loader maps it.
//
// The loader maps a library's segments straight from the file and then reads
// them: a file cut short inside a segment does not make dlopen fail, it kills
// the process with SIGBUS. CheckLibraryImage finds such files first, reading
// only the ELF header and the program headers. Files that are not ELF objects
// of this process's class pass, and are left to the loader to refuse.
// Called on the main thread while plugins load.
#ifndef DVRCORE_PLUGINHOST_LIBRARY_IMAGE_H
#define DVRCORE_PLUGINHOST_LIBRARY_IMAGE_H

#include <string>

// "" when the loader may map the file; otherwise why not, in the loader's
// style ("<path>: <reason>").
std::string CheckLibraryImage(const std::string& path);

#endif  // DVRCORE_PLUGINHOST_LIBRARY_IMAGE_H
