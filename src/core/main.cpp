// Process entry: command line, wxWidgets base, executable path, the one core.
#include <malloc.h>

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "dvrcore.h"

#ifdef DVRCORE_WITH_WXBASE
#include <wx/init.h>
#endif

namespace {

void InitializeBaseLibrary()
{
#ifdef DVRCORE_WITH_WXBASE
    int count = 0;
    wxInitialize(count, static_cast<wxChar**>(nullptr));
#endif
}

void UninitializeBaseLibrary()
{
#ifdef DVRCORE_WITH_WXBASE
    wxUninitialize();
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    int pipe = -1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            pipe = std::atoi(arg);
            break;
        }
        if (arg[1] == 'h') {
            std::fprintf(stderr, "core version %s\n", GetVersion());
            std::fprintf(stderr, "Usage: %s <pipe>\n", argc > 0 && argv[0] ? argv[0] : "dvrcore");
            return 0;
        }
    }

    // Payload blocks up to a few MiB come from the heap and stay there for the
    // next frame instead of costing an mmap and a munmap each; the resource
    // monitor hands free heap back when memory runs short.
    ::mallopt(M_MMAP_THRESHOLD, 4 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 64 << 20);

    InitializeBaseLibrary();

    boost::system::error_code error;
    boost::filesystem::path cwd = boost::filesystem::current_path(error);
    boost::filesystem::path exe;
    if (!error) {
        exe = boost::filesystem::canonical("/proc/self/exe", cwd, error);
    }
    if (error) {
        std::fputs("failed to find canonical path\n", stderr);
        return 1;
    }

    // The core holds a 64 KiB receive buffer and two tables: keep it off the
    // stack.
    auto core = std::make_unique<dvrcore>(exe.string());
    if (!core->Initialize(pipe)) {
        std::fputs("failed to initialize core\n", stderr);
        core.reset();
        return 2;
    }
    core->Start();
    UninitializeBaseLibrary();
    core.reset();
    return 0;
}
