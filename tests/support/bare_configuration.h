// The core.xml that a core without plugins, parent or configuration writes.
#ifndef DVRCORE_TESTS_SUPPORT_BARE_CONFIGURATION_H
#define DVRCORE_TESTS_SUPPORT_BARE_CONFIGURATION_H

namespace dvrtest {

inline constexpr char kBareCoreXml[] =
    "<?xml ?>\n"
    "<Vgil Delta=\"0\">\n"
    "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
    "    <Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"21.12.2.0\">\n"
    "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
    "OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"25\" />\n"
    "        </Module>\n"
    "    </Modules>\n"
    "</Vgil>\n";

}  // namespace dvrtest

#endif  // DVRCORE_TESTS_SUPPORT_BARE_CONFIGURATION_H
