// Files, locks and whole-file rewrites, each as a scope-bound resource so
// that no path leaves a descriptor open or a lock held.
//
// Errors are the host's: OSError subclasses chosen from errno, naming the
// path the caller gave. Locks go through the host's fcntl.flock, looked up
// at call time.
#pragma once

#include "support/core.hpp"

#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace orv::files {

// [[noreturn]] OSError from errno for `path` (a str, bytes or path object).
[[noreturn]] void raise_os_error(handle path);

// A path as the system wants it: os.fspath(path) in the file-system encoding.
// The original object is kept for error messages.
class SysPath {
public:
    explicit SysPath(handle path);
    const char* c_str() const { return PyBytes_AS_STRING(bytes_.ptr()); }
    handle path() const { return path_; }

private:
    object path_, bytes_;
};

// A descriptor closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports a failure (a write the system could not finish).
    void close(handle path);
    // Closes now, quietly: for descriptors only read from. Needs no host.
    void reset() noexcept;

private:
    int fd_ = -1;
};

// Whether the directory holding `path` (its parent as pathlib names it)
// exists as a directory now.
bool parent_is_directory(const SysPath& path);

// directory.mkdir(parents=True, exist_ok=True), through the path object's
// own mkdir; raises what mkdir raises.
void make_directories(handle directory);
// The same for the directory holding the path object `path` (path.parent).
void make_parent_directories(handle path);
// make_parent_directories(path_object()), which does nothing where the
// parent is a directory already: that is asked natively first, so the
// common case builds no path object and makes no host call.
template <typename PathObject>
void ensure_parent(const SysPath& path, PathObject&& path_object) {
    if (!parent_is_directory(path)) make_parent_directories(path_object());
}

// open(2) with O_CLOEXEC, retried on EINTR; OSError naming `path` on failure.
Fd open_file(const SysPath& path, int flags, mode_t mode = 0666);
// The same, returning an invalid Fd (errno set) instead of raising.
Fd try_open(const SysPath& path, int flags, mode_t mode = 0666);

// Writes all of `data`, retrying short writes and EINTR.
void write_all(int fd, std::string_view data, handle path);

// (st_mtime_ns, st_size), the key of a file's content as a cache sees it.
object stat_key(const struct stat& st);

// fcntl.flock(fd, LOCK_SH or LOCK_EX), blocking, through the host's fcntl.
// The destructor unlocks (keeping the error in flight, if any); release()
// unlocks and reports a failure to do so.
class Lock {
public:
    enum Mode { shared, exclusive };
    Lock(int fd, Mode mode);
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();
    void release();

private:
    int fd_;
    bool held_ = false;
};

// Appends `line` (ending in "\n") to the file at `path`, created if missing,
// as one write under an exclusive flock. With `guard_torn_line`, a file whose
// last byte is not a line end (a writer died mid-line) gets one first, so the
// torn line cannot swallow this one. Reports the file as stat saw it just
// before and just after the write, under the lock.
struct Appended {
    struct stat before, after;
};
Appended append_line(const SysPath& path, std::string_view line, bool guard_torn_line);

// Replaces the content of the file at `path` with `data` atomically: a
// temporary file in the same directory, written whole, then renamed over the
// old one. The old file's permissions are kept (a new file gets 0666 less the
// umask, as open() gives). A symbolic link is followed, so the link stays. On
// failure the old file is untouched and the temporary file removed.
void atomic_write(const SysPath& path, std::string_view data);
// The same for a str, written as UTF-8.
void atomic_write_text(handle path, handle text);

// Creates the file at `path` with `data`, whole, only if nothing of that name
// exists: written beside it, then linked into place (a hard link, or a rename
// that refuses to replace). False when the name is taken; nothing is changed
// then. Readers never see the file partly written.
bool create_new(const SysPath& path, std::string_view data);

// The file's bytes, read whole.
object read_bytes(const SysPath& path);
// The file's text: its bytes decoded as UTF-8, strictly (the host's
// UnicodeDecodeError otherwise). Line ends are kept as they are.
object read_text(const SysPath& path);

}  // namespace orv::files
