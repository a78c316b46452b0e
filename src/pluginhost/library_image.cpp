#include "library_image.h"

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

#if UINTPTR_MAX == 0xFFFFFFFFu
constexpr unsigned char kOwnClass = ELFCLASS32;
#else
constexpr unsigned char kOwnClass = ELFCLASS64;
#endif

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

template <typename Record>
bool ReadAt(int fd, uint64_t offset, Record& record)
{
    return ::pread(fd, &record, sizeof record, static_cast<off_t>(offset)) == static_cast<ssize_t>(sizeof record);
}

// Whether [offset, offset + length) lies inside a file of `size` bytes.
bool Inside(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

}  // namespace

std::string CheckLibraryImage(const std::string& path)
{
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    ElfW(Ehdr) header{};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !ReadAt(file.get(), 0, header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kOwnClass ||
        header.e_phentsize != sizeof(ElfW(Phdr))) {
        return "";
    }
    const uint64_t size = static_cast<uint64_t>(status.st_size);
    const std::string tooShort = path + ": file too short";
    if (!Inside(header.e_phoff, uint64_t{header.e_phnum} * sizeof(ElfW(Phdr)), size)) {
        return tooShort;
    }
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment{};
        if (!ReadAt(file.get(), header.e_phoff + uint64_t{i} * sizeof segment, segment)) {
            return tooShort;
        }
        if (segment.p_type == PT_LOAD && !Inside(segment.p_offset, segment.p_filesz, size)) {
            return tooShort;
        }
    }
    return "";
}
