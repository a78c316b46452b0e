// limit-wxbase: the floor under the core's idle resident size in a build that
// links the wxWidgets base library. It initialises the library as the core
// does at start and does nothing else, then prints its own resident size
// ("resident_kib=N private_kib=N") and uninitialises it.
#include <wx/init.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    int count = 0;
    wxInitialize(count, static_cast<wxChar**>(nullptr));
    long resident = -1;
    long anonymous = -1;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::strncmp(line, "VmRSS:", 6) == 0) {
                resident = std::strtol(line + 6, nullptr, 10);
            } else if (std::strncmp(line, "RssAnon:", 8) == 0) {
                anonymous = std::strtol(line + 8, nullptr, 10);
            }
        }
        std::fclose(status);
    }
    std::printf("resident_kib=%ld private_kib=%ld\n", resident, anonymous);
    wxUninitialize();
    return resident > 0 ? 0 : 1;
}
