// Descriptors, locks, the locked line append and the atomic rewrite.
#include "support/files.hpp"

#include "support/host.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace orv::files {

namespace {

Name k_fcntl{"fcntl"}, k_flock{"flock"}, k_LOCK_SH{"LOCK_SH"}, k_LOCK_EX{"LOCK_EX"},
    k_LOCK_UN{"LOCK_UN"};

// fcntl.flock(fd, fcntl.<operation>) as the host module holds them now.
void flock(int fd, const Name& operation) {
    object fcntl = host_module(k_fcntl);
    getattr(fcntl, k_flock)(fd, getattr(fcntl, operation));
}

}  // namespace

void raise_os_error(handle path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    raise_current();
}

SysPath::SysPath(handle path) : path_(nb::borrow(path)) {
    PyObject* b = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &b)) raise_current();
    bytes_ = nb::steal(b);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

void Fd::reset() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

void Fd::close(handle path) {
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) raise_os_error(path);
}

bool parent_is_directory(const SysPath& path) {
    const std::string text(path.c_str());
    const size_t slash = text.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
    struct stat st;
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void make_directories(handle directory) {
    getattr(directory, k_mkdir)(nb::arg("parents") = true, nb::arg("exist_ok") = true);
}

void make_parent_directories(handle path) { make_directories(getattr(path, k_parent)); }

Fd try_open(const SysPath& path, int flags, mode_t mode) {
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EINTR) return Fd(fd);
    }
}

Fd open_file(const SysPath& path, int flags, mode_t mode) {
    Fd fd = try_open(path, flags, mode);
    if (!fd.valid()) raise_os_error(path.path());
    return fd;
}

void write_all(int fd, std::string_view data, handle path) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path);
        }
        done += static_cast<size_t>(n);
    }
}

object stat_key(const struct stat& st) {
    const long long ns =
        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return nb::make_tuple(nb::int_(ns), nb::int_(static_cast<long long>(st.st_size)));
}

Lock::Lock(int fd, Mode mode) : fd_(fd) {
    flock(fd, mode == exclusive ? k_LOCK_EX : k_LOCK_SH);
    held_ = true;
}

Lock::~Lock() {
    if (!held_) return;
    // Unwinding, or release() was never reached: the error in flight (if
    // any) is the one to report.
    PyObject* saved = PyErr_GetRaisedException();
    try {
        flock(fd_, k_LOCK_UN);
    } catch (nb::python_error&) {
    }
    PyErr_SetRaisedException(saved);
}

void Lock::release() {
    if (!held_) return;
    held_ = false;
    flock(fd_, k_LOCK_UN);
}

Appended append_line(const SysPath& path, std::string_view line, bool guard_torn_line) {
    // Read access lets the guard look at the last byte; a write-only file
    // still takes appends.
    Fd file = try_open(path, O_RDWR | O_APPEND | O_CREAT, 0666);
    if (!file.valid() && errno == EACCES) file = try_open(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (!file.valid()) raise_os_error(path.path());

    Appended out{};
    Lock lock(file.get(), Lock::exclusive);
    if (::fstat(file.get(), &out.before) != 0) raise_os_error(path.path());
    std::string data;
    char last;
    if (guard_torn_line && out.before.st_size > 0 &&
        ::pread(file.get(), &last, 1, out.before.st_size - 1) == 1 && last != '\n' && last != '\r')
        data.push_back('\n');
    data.append(line);
    // The whole line goes out before the lock is released.
    write_all(file.get(), data, path.path());
    if (::fstat(file.get(), &out.after) != 0) raise_os_error(path.path());
    lock.release();
    file.close(path.path());
    return out;
}

namespace {

// The file a rewrite replaces: the path itself, or what its links lead to.
std::string rewrite_target(const SysPath& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(path.c_str(), nullptr);
        if (real) {
            std::string target(real);
            std::free(real);
            return target;
        }
        // A dangling link: write where it points, as open() would.
        std::vector<char> buf(PATH_MAX + 1);
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size() - 1);
        if (n > 0) {
            std::string link(buf.data(), static_cast<size_t>(n));
            if (link.front() == '/') return link;
            std::string base(path.c_str());
            const size_t slash = base.rfind('/');
            return (slash == std::string::npos ? std::string() : base.substr(0, slash + 1)) + link;
        }
    }
    return path.c_str();
}

// A fresh file next to `target`, named after it, opened for writing.
Fd temporary_beside(const std::string& target, std::string& name) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    static unsigned long counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = dir + "." + base + ".tmp" + std::to_string(::getpid()) + "-" +
               std::to_string(++counter);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return Fd(fd);
        if (errno != EEXIST && errno != EINTR) return Fd(-1);
    }
    errno = EEXIST;
    return Fd(-1);
}

}  // namespace

void atomic_write(const SysPath& path, std::string_view data) {
    const std::string target = rewrite_target(path);
    std::string temp;
    Fd file = temporary_beside(target, temp);
    if (!file.valid()) raise_os_error(path.path());
    try {
        struct stat old;
        if (::stat(target.c_str(), &old) == 0) {
            if (::fchmod(file.get(), old.st_mode & 07777) != 0) raise_os_error(path.path());
            if (::fchown(file.get(), old.st_uid, old.st_gid) != 0) {
                // Only the owner's group may be out of reach: keep going.
            }
        }
        write_all(file.get(), data, path.path());
        file.close(path.path());
        if (::rename(temp.c_str(), target.c_str()) != 0) raise_os_error(path.path());
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

void atomic_write_text(handle path, handle text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) raise_current();
    atomic_write(SysPath(path), std::string_view(utf8, static_cast<size_t>(size)));
}

bool create_new(const SysPath& path, std::string_view data) {
    const std::string target(path.c_str());
    std::string temp;
    Fd file = temporary_beside(target, temp);
    if (!file.valid()) raise_os_error(path.path());
    try {
        write_all(file.get(), data, path.path());
        file.close(path.path());
        if (::link(temp.c_str(), target.c_str()) == 0) {
            ::unlink(temp.c_str());
            return true;
        }
        if (errno == EEXIST) {
            ::unlink(temp.c_str());
            return false;
        }
        // File systems without hard links: a rename that will not replace.
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EEXIST) raise_os_error(path.path());
        ::unlink(temp.c_str());
        return false;
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

object read_bytes(const SysPath& path) {
    Fd file = open_file(path, O_RDONLY);
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(file.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path.path());
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return own(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

object read_text(const SysPath& path) {
    object data = read_bytes(path);
    return own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()),
                                    "strict"));
}

}  // namespace orv::files
