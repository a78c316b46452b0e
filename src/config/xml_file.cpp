// The atomic XML file save, the load with pending-file adoption, and the
// file-name lock.
#include "xml_file.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

namespace {

struct FileNameRegistry {
    std::mutex mutex;
    std::condition_variable released;
    std::set<std::string> names;  // guarded by mutex
};

FileNameRegistry& Registry()
{
    static FileNameRegistry registry;
    return registry;
}

// Holds a file name for the life of a load or save, whatever way it ends.
class FileNameLock {
public:
    explicit FileNameLock(const std::string& name) : name_(name) { AcquireFileName(name_); }
    ~FileNameLock() { ReleaseFileName(name_); }
    FileNameLock(const FileNameLock&) = delete;
    FileNameLock& operator=(const FileNameLock&) = delete;

private:
    const std::string& name_;
};

// "<what><errno> - <strerror text>"
std::string ErrnoMessage(const char* what, int error)
{
    std::ostringstream message;
    message << what << error << " - ";
    if (const char* text = std::strerror(error)) {
        message << text;
    }
    return message.str();
}

// Writes `text` to the new file `path`; an empty result when every byte is
// on the disk, otherwise the failure message.
std::string WriteNewFile(const std::string& path, const std::string& text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return ErrnoMessage("create error ", errno);
    }
    std::string failure;
    const std::size_t written = std::fwrite(text.data(), 1, text.size(), file);
    if (std::ferror(file) != 0) {
        failure = ErrnoMessage("write error ", errno);
    }
    // A short text is still in the stream's buffer after fwrite, so a full
    // disk shows only when it is flushed (and some file systems only report
    // it when the file is synced). A file whose text never reached the disk
    // must not replace the previous one.
    if (std::fflush(file) != 0 && failure.empty()) {
        failure = ErrnoMessage("write error ", errno);
    }
    // EINVAL and EROFS: a device that keeps nothing to sync.
    if (::fsync(::fileno(file)) != 0 && errno != EINVAL && errno != EROFS && failure.empty()) {
        failure = ErrnoMessage("write error ", errno);
    }
    if (std::fclose(file) != 0 && failure.empty()) {
        failure = ErrnoMessage("close error ", errno);
    }
    if (failure.empty() && written != text.size()) {
        std::ostringstream message;
        message << "only wrote " << written << " of " << text.size() << " bytes";
        failure = message.str();
    }
    return failure;
}

}  // namespace

void AcquireFileName(const std::string& name)
{
    FileNameRegistry& registry = Registry();
    std::unique_lock<std::mutex> lock(registry.mutex);
    registry.released.wait(lock, [&] { return registry.names.count(name) == 0; });
    registry.names.insert(name);
}

void ReleaseFileName(const std::string& name)
{
    FileNameRegistry& registry = Registry();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.names.erase(name);
    }
    // Waiters for other names wake too and go back to sleep.
    registry.released.notify_all();
}

bool SaveFile(XmlDocument& document, const std::string& name)
{
    const std::string text = PrintIndented(document);
    FileNameLock lock(name);
    const std::string pending = name + PENDING_SUFFIX;
    const std::string failure = WriteNewFile(pending, text);
    if (!failure.empty()) {
        ::unlink(pending.c_str());
        document.Fail(XmlDocument::kErrorFile, failure);
        return false;
    }
    // ENOENT: a load has already adopted the pending file, so the text is in
    // place all the same.
    if (std::rename(pending.c_str(), name.c_str()) != 0 && errno != ENOENT) {
        document.Fail(XmlDocument::kErrorFile, ErrnoMessage("Failed to rename .xml.pending to .xml file ", errno));
        // A complete pending file would be adopted by the next load: the
        // save that reported failure would take effect after all.
        ::unlink(pending.c_str());
        return false;
    }
    return true;
}

bool LoadFile(XmlDocument& document, const std::string& name)
{
    FileNameLock lock(name);
    const std::string pending = name + PENDING_SUFFIX;
    if (document.LoadFile(pending)) {
        std::rename(pending.c_str(), name.c_str());
        return true;
    }
    return document.LoadFile(name);
}
