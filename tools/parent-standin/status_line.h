// The stand-in's live status line (option --status).
//
// Shows the status reports of the example bridge plugin. On a terminal the
// line keeps the bottom row while everything else, the core's log included,
// scrolls in the rows above it; elsewhere each report is printed as a plain
// line. Main thread of the stand-in only.
#ifndef DVRCORE_TOOLS_PARENT_STANDIN_STATUS_LINE_H
#define DVRCORE_TOOLS_PARENT_STANDIN_STATUS_LINE_H

#include <string>
#include <vector>

#include "bridge_packets.h"

class StatusLine {
public:
    StatusLine();
    // Gives the terminal its bottom row back and prints the last status as
    // an ordinary line, so that it stays on the screen.
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // The totals, then each camera: its state, and what the recorder made of
    // it. A missing recorder, then cameras in trouble (not writing, not
    // receiving) come first, before the totals.
    void Show(const dvrexample::StatusReport& report, const dvrexample::PluginHealth& health,
              const std::vector<dvrexample::CameraReport>& cameras);

private:
    void Release();

    bool terminal_;
    int rows_ = 0;  // terminal rows while the bottom one is reserved, else 0
    std::string last_;
};

#endif  // DVRCORE_TOOLS_PARENT_STANDIN_STATUS_LINE_H
