#include "status_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "camera_stream.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

const char* StateName(uint32_t status)
{
    switch (static_cast<dvrexample::CameraStatus>(status & dvrexample::kCameraStatusMask)) {
        case dvrexample::CameraStatus::kConnecting:
            return "connecting";
        case dvrexample::CameraStatus::kRecording:
            return "recording";
        case dvrexample::CameraStatus::kReconnecting:
            return "reconnecting";
        case dvrexample::CameraStatus::kStopped:
            return "stopped";
    }
    return "unknown";
}

// "not writing: why" in place of the camera's own state while the recorder
// cannot write its frames.
std::string State(uint32_t status)
{
    if ((status & dvrexample::kCameraNotWriting) == 0) {
        return StateName(status);
    }
    return std::string("not writing: ") + std::strerror(static_cast<int>(status >> dvrexample::kCameraWriteErrnoShift));
}

// Not writing, or not receiving pictures.
bool InTrouble(const dvrexample::CameraReport& camera)
{
    return (camera.status & dvrexample::kCameraNotWriting) != 0 ||
           camera.status != static_cast<uint32_t>(dvrexample::CameraStatus::kRecording);
}

std::string Describe(const dvrexample::CameraReport& camera)
{
    char text[320];
    std::snprintf(text, sizeof text, " | %.*s %s %" PRIu64 " frames %.1f MiB %" PRIu32 " segments %" PRIu64 " dropped",
                  static_cast<int>(strnlen(camera.name, sizeof camera.name)), camera.name, State(camera.status).c_str(),
                  camera.frames, static_cast<double>(camera.bytes) / kMiB, camera.segments, camera.dropped);
    return text;
}

std::string Describe(const dvrexample::StatusReport& report)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "status: %" PRIu32 " events/s | %" PRIu64 " frames recorded (%.1f MiB) | %.1f MiB on disk in %" PRIu32
                  " segments | %" PRIu32 " dropped | throttling %s",
                  report.eventsPerSecond, report.framesRecorded, static_cast<double>(report.bytesWritten) / kMiB,
                  static_cast<double>(report.bytesOnDisk) / kMiB, report.segmentsOnDisk, report.framesDropped,
                  report.throttling != 0 ? "yes" : "no");
    return text;
}

winsize TerminalSize()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        size = {};
    }
    return size;
}

void Emit(const std::string& bytes)
{
    std::fputs(bytes.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

StatusLine::StatusLine() : terminal_(::isatty(STDOUT_FILENO) == 1) {}

StatusLine::~StatusLine()
{
    Release();
    if (!last_.empty() && terminal_) {
        Emit("standin: " + last_ + "\n");
    }
}

void StatusLine::Show(const dvrexample::StatusReport& report, const dvrexample::PluginHealth& health,
                      const std::vector<dvrexample::CameraReport>& cameras)
{
    // Trouble before the totals, so that a narrow terminal, which shows only
    // the start of the line, never hides it. Without a recorder nothing is
    // recorded, whatever the cameras say.
    std::string trouble;
    std::string healthy;
    if ((health.missing & dvrexample::kMissingRecorder) != 0) {
        trouble += " | recorder missing: no counters from it for " +
                   std::to_string(dvrexample::kRecorderSilenceSeconds) + " s, nothing is recorded";
    }
    for (const dvrexample::CameraReport& camera : cameras) {
        (InTrouble(camera) ? trouble : healthy) += Describe(camera);
    }
    constexpr std::size_t kPrefix = sizeof "status: " - 1;
    constexpr std::size_t kSeparator = sizeof " | " - 1;
    const std::string totals = Describe(report);
    last_ = trouble.empty()
                ? totals
                : totals.substr(0, kPrefix) + trouble.substr(kSeparator) + " |" + totals.substr(kPrefix - 1);
    last_ += healthy;
    const winsize size = terminal_ ? TerminalSize() : winsize{};
    const int rows = size.ws_row;
    if (rows < 3 || size.ws_col < 2) {
        Release();
        Emit("standin: " + last_ + "\n");
        return;
    }
    if (rows != rows_) {
        Release();
        // A fresh line below the cursor, then scrolling limited to the rows
        // above the last (setting the region homes the cursor: keep it).
        Emit("\n\0337\033[1;" + std::to_string(rows - 1) + "r\0338\033[1A");
        rows_ = rows;
    }
    // Save the cursor, draw the bottom row in reverse video, restore. A line
    // wider than the terminal would wrap and scroll the whole screen.
    Emit("\0337\033[" + std::to_string(rows_) + ";1H\033[2K\033[7m" + last_.substr(0, size.ws_col - 1u) +
         "\033[0m\0338");
}

void StatusLine::Release()
{
    if (rows_ == 0) {
        return;
    }
    Emit("\0337\033[r\033[" + std::to_string(rows_) + ";1H\033[2K\0338");
    rows_ = 0;
}
