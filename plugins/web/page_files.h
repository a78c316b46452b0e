// The page's files (page/), built into the plugin by embed_page.cmake. Only
// these paths are ever served as files: a request names one of them or gets
// 404, so no path from a request reaches the file system.
#ifndef DVRCORE_WEB_PAGE_FILES_H
#define DVRCORE_WEB_PAGE_FILES_H

#include <string_view>
#include <vector>

namespace dvrweb {

struct PageFile {
    std::string_view path;  // "/index.html"
    std::string_view type;  // Content-Type
    std::string_view body;
};

const std::vector<PageFile>& PageFiles();

}  // namespace dvrweb

#endif  // DVRCORE_WEB_PAGE_FILES_H
