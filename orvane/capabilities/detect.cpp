// Finding a map file for a target directory: the target's tree first, then
// the tree of each ancestor, nearest first, until a repository root, the
// home directory or the top is reached.
//
// Each tree is searched as the host's Path.rglob("capability-map.json") walks
// it, and the first match that is a regular file wins:
//   - the root's own map is looked at first; then directories are taken from
//     a stack, each listed in the order the file system gives (hidden ones
//     included); while a directory is listed, each subdirectory's map is
//     looked at (lstat of "<sub>/capability-map.json") before the
//     subdirectory is pushed, and the last pushed is listed next;
//   - symbolic links to directories are not followed (only the root of a
//     search may be one); a directory that cannot be listed is passed over;
//   - "a regular file" follows symbolic links; a permission error while
//     deciding it ends that tree's search, as does any error the host's
//     pathlib would raise there; missing targets and loops are simply not
//     regular files.
// Paths are the host's strings in the file system encoding. Directories are
// opened from their parent's descriptor (a few are kept open) instead of by
// walking the whole path again, with the system's limit on path length
// applied as the host meets it; everything else goes by path, so errors that
// depend on the path (too long, too many links) fall where they fall for the
// host. The checks around the walk never fail either: a target that cannot
// be looked at is no directory, a ".git" that cannot be looked at is absent.
//
// Searching every ancestor's whole tree would walk the target's tree once per
// level. A tree searched to the end without a win or an error (and without
// failures that depend on the path used to reach it) is remembered by
// directory identity; a later search passes over any directory of it, since
// the same walk of the same directories would only meet the same matches
// again, none of them a regular file and none ending the search. The result
// is the one the full walks give, at the cost of one pass over the tree.
#include "capabilities/capabilities.hpp"

#include "support/files.hpp"

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace orv::capabilities {

namespace {

Name k_parents{"parents"};
Host pathlib_Path{"pathlib", "Path"};

constexpr std::string_view kMapName = "capability-map.json";

// ------------------------------------------------------------ system calls

// Errors for which the host's pathlib answers "no" (not a file, does not
// exist) instead of raising.
bool answered_no(int err) { return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP; }

// Errors that depend on the path string used rather than on the directory
// reached: a directory reached again by another path may fare differently.
bool path_dependent(int err) { return err == ENAMETOOLONG || err == ELOOP; }

int retry_stat(const char* path, struct stat* st, bool follow) {
    int r;
    do r = follow ? ::stat(path, st) : ::lstat(path, st);
    while (r < 0 && errno == EINTR);
    return r;
}

struct DirId {
    dev_t dev;
    ino_t ino;
    bool operator==(const DirId&) const = default;
};

struct DirIdHash {
    size_t operator()(const DirId& id) const {
        return std::hash<ino_t>()(id.ino) * 31u + std::hash<dev_t>()(id.dev);
    }
};

// ------------------------------------------------------------------ memory

// Directories whose whole subtree an earlier search walked without a win.
// Each keeps the length of the path it was reached by and the longest path
// that search used, so a directory reached later by a longer path is passed
// over only where no path of that walk could have become too long.
class Covered {
public:
    struct Reach {
        size_t length;   // the directory's path with its trailing slash
        size_t longest;  // the longest path the search used
    };

    bool empty() const { return dirs_.empty(); }
    bool maybe(ino_t ino) const { return inos_.count(ino) != 0; }

    // Whether the directory `id`, reached now by a path of `length` bytes
    // (trailing slash included), was covered and may be passed over.
    bool covers(const DirId& id, size_t length) const {
        auto it = dirs_.find(id);
        if (it == dirs_.end()) return false;
        const Reach& r = it->second;
        return length <= r.length || r.longest + (length - r.length) < PATH_MAX;
    }

    void add(const DirId& id, Reach reach) {
        dirs_.emplace(id, reach);
        inos_.insert(id.ino);
    }

private:
    std::unordered_map<DirId, Reach, DirIdHash> dirs_;
    std::unordered_set<ino_t> inos_;
};

// --------------------------------------------------------------- listings

// What one directory listing holds for the walk: whether a map entry is in
// it, and its subdirectories (symbolic links excluded) in listing order.
struct Listing {
    struct Sub {
        size_t offset, size;  // of the name in `names` (each name ends in a NUL)
        ino_t ino;
    };
    bool readable = false;
    bool has_map = false;
    bool identified = false;
    DirId id{};
    std::string names;
    std::vector<Sub> subs;

    const char* name(const Sub& sub) const { return names.data() + sub.offset; }
};

struct LinuxDirent {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

// ----------------------------------------------------------------- a search

class Search {
public:
    enum class Outcome { none, found, ended };

    // `prefix`: the root as the walk writes it (ending in "/"); `shown_from`:
    // how many leading bytes of the prefix the host leaves out of its results
    // (2 for the "./" of the current directory).
    Search(Covered& covered, std::string prefix, size_t shown_from)
        : covered_(covered), prefix_(std::move(prefix)), shown_from_(shown_from) {}

    // Walks the tree. On `found`, `match` holds the winner's path relative to
    // the prefix. A walk that ends without a win and whose every step would
    // fare the same by any other path is added to the covered directories.
    Outcome run(std::string& match);

private:
    enum class Match { none, file, error };

    // A directory waiting on the stack, listed when it was pushed. Its
    // descriptor is kept while few are held, so that its subdirectories are
    // opened from it rather than by walking the whole path again.
    struct Pending {
        std::string rel;  // "" for the root, else "a/b/"
        Listing listing;
        files::Fd fd;
    };

    // The map at prefix + rel: lstat first (the host's existence test for a
    // glob match), then whether it is a regular file.
    Match check(const std::string& rel);
    // Opens and lists the directory at prefix + rel (rel without its trailing
    // slash) as os.scandir would, through `parent` when it is open.
    void list(Pending* parent, const char* name, const std::string& rel, Pending& out);
    int open_dir(Pending* parent, const char* name, const std::string& rel);
    // Keeps the descriptor of a newly pushed directory, closing the oldest
    // one held when there are too many.
    void hold(Pending& pushed);
    // Closes every descriptor held (the process ran out of them).
    void release_all(Pending* current);
    // Whether the subdirectory at prefix + rel, named in a listing with
    // inode `ino`, belongs to a tree already walked.
    bool passed_over(const std::string& rel, ino_t ino);

    void used(size_t length) {
        if (length > longest_) longest_ = length;
    }
    void failed(int err) {
        if (path_dependent(err)) path_dependent_ = true;
    }

    static constexpr size_t kHeldMax = 32;

    Covered& covered_;
    std::string prefix_;
    size_t shown_from_;
    std::string path_;  // scratch for prefix + rel
    std::vector<Pending> stack_;
    size_t held_ = 0;         // descriptors held by entries of the stack
    size_t lowest_held_ = 0;  // no entry below this index holds one
    std::vector<std::pair<DirId, size_t>> listed_;
    size_t longest_ = 0;
    bool path_dependent_ = false;
    std::vector<char> buffer_ = std::vector<char>(32 * 1024);
};

Search::Match Search::check(const std::string& rel) {
    path_.assign(prefix_).append(rel);
    used(path_.size());
    struct stat st;
    if (retry_stat(path_.c_str(), &st, false) < 0) {
        failed(errno);
        return Match::none;
    }
    // Whether it is a file is asked of the path as the host shows it.
    const char* shown = path_.c_str() + shown_from_;
    if (retry_stat(shown, &st, true) == 0) return S_ISREG(st.st_mode) ? Match::file : Match::none;
    const int err = errno;
    failed(err);
    return answered_no(err) ? Match::none : Match::error;
}

int Search::open_dir(Pending* parent, const char* name, const std::string& rel) {
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC;
    const size_t length = prefix_.size() + rel.size();
    used(length);
    // The host names the directory by its whole path, which the system
    // refuses from PATH_MAX bytes on.
    if (length >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (bool retried = false;;) {
        int fd;
        do {
            if (parent && parent->fd.valid()) {
                fd = ::openat(parent->fd.get(), name, flags);
            } else {
                path_.assign(prefix_).append(rel);
                fd = ::open(path_.c_str(), flags);
            }
        } while (fd < 0 && errno == EINTR);
        // Descriptors this walk holds must not make a listing fail that the
        // host, holding one at a time, would have made.
        if (fd >= 0 || retried || (errno != EMFILE && errno != ENFILE)) return fd;
        release_all(parent);
        retried = true;
    }
}

void Search::list(Pending* parent, const char* name, const std::string& rel, Pending& out) {
    const int fd = open_dir(parent, name, rel);
    if (fd < 0) {
        failed(errno);
        return;
    }
    files::Fd dir(fd);
    Listing& listing = out.listing;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        listing.id = {st.st_dev, st.st_ino};
        listing.identified = true;
    }
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer_.data(), buffer_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            failed(errno);
            listing.subs.clear();
            return;  // a listing that fails part-way is no listing at all
        }
        if (n == 0) break;
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const LinuxDirent*>(buffer_.data() + at);
            at += entry->d_reclen;
            const std::string_view entry_name(entry->d_name);
            if (entry_name == "." || entry_name == "..") continue;
            if (entry_name == kMapName) listing.has_map = true;
            bool is_dir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                // The file system does not say: ask it, as os.DirEntry does.
                path_.assign(prefix_).append(rel);
                if (path_.back() != '/') path_.push_back('/');
                path_.append(entry_name);
                used(path_.size());
                struct stat sub;
                if (retry_stat(path_.c_str(), &sub, false) == 0)
                    is_dir = S_ISDIR(sub.st_mode);
                else
                    failed(errno);
            }
            if (!is_dir) continue;
            listing.subs.push_back(
                {listing.names.size(), entry_name.size(), static_cast<ino_t>(entry->d_ino)});
            listing.names.append(entry_name).push_back('\0');
        }
    }
    listing.readable = true;
    out.fd = std::move(dir);
}

void Search::hold(Pending& pushed) {
    if (!pushed.fd.valid()) return;
    if (held_ == kHeldMax) {
        for (; lowest_held_ < stack_.size(); ++lowest_held_) {
            if (stack_[lowest_held_].fd.valid()) {
                stack_[lowest_held_++].fd.reset();
                --held_;
                break;
            }
        }
    }
    ++held_;
}

void Search::release_all(Pending* current) {
    for (Pending& p : stack_) p.fd.reset();
    if (current) current->fd.reset();
    held_ = 0;
    lowest_held_ = stack_.size();
}

bool Search::passed_over(const std::string& rel, ino_t ino) {
    if (covered_.empty() || !covered_.maybe(ino)) return false;
    path_.assign(prefix_).append(rel);
    struct stat st;
    if (retry_stat(path_.c_str(), &st, false) < 0 || !S_ISDIR(st.st_mode)) return false;
    return covered_.covers({st.st_dev, st.st_ino}, path_.size() + 1);
}

Search::Outcome Search::run(std::string& match) {
    struct stat st;
    // A root inside a tree already walked (a target reached through "..",
    // say) has nothing new to offer.
    if (!covered_.empty() && retry_stat(prefix_.c_str(), &st, true) == 0 &&
        covered_.covers({st.st_dev, st.st_ino}, prefix_.size()))
        return Outcome::none;

    std::string rel(kMapName);
    switch (check(rel)) {
        case Match::file: match = rel; return Outcome::found;
        case Match::error: return Outcome::ended;
        case Match::none: break;
    }
    stack_.emplace_back();
    list(nullptr, nullptr, "", stack_.back());
    if (stack_.back().listing.readable && stack_.back().listing.identified)
        listed_.push_back({stack_.back().listing.id, prefix_.size()});
    hold(stack_.back());

    while (!stack_.empty()) {
        Pending dir = std::move(stack_.back());
        stack_.pop_back();
        if (dir.fd.valid()) --held_;
        if (lowest_held_ > stack_.size()) lowest_held_ = stack_.size();
        for (const Listing::Sub& sub : dir.listing.subs) {
            std::string sub_rel = dir.rel;
            sub_rel.append(dir.listing.name(sub), sub.size);
            if (passed_over(sub_rel, sub.ino)) continue;
            Pending child{sub_rel + "/", Listing(), files::Fd()};
            list(&dir, dir.listing.name(sub), sub_rel, child);
            // The subdirectory's own map, looked at before it is pushed. A
            // listing without the name settles it; one that could not be
            // read leaves it to the file system, as the host asks it.
            if (!child.listing.readable || child.listing.has_map) {
                rel.assign(child.rel).append(kMapName);
                switch (check(rel)) {
                    case Match::file: match = rel; return Outcome::found;
                    case Match::error: return Outcome::ended;
                    case Match::none: break;
                }
            }
            if (child.listing.readable && child.listing.identified)
                listed_.push_back({child.listing.id, prefix_.size() + child.rel.size()});
            stack_.push_back(std::move(child));
            hold(stack_.back());
        }
    }
    if (!path_dependent_)
        for (const auto& [id, length] : listed_) covered_.add(id, {length, longest_});
    return Outcome::none;
}

// ------------------------------------------------------------ the walk up

// The file-system form of a path text (os.fsencode), or false where the host
// could not use it as a path (not encodable, or holding a NUL).
bool encode(handle text, std::string& out) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.ptr());
    if (!bytes) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_current();
        PyErr_Clear();
        return false;
    }
    object hold = nb::steal(bytes);
    out.assign(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    return out.find('\0') == std::string::npos;
}

// "<dir>/" as the glob writes a directory it walks ("/" stays "/").
std::string with_slash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
}

// Whether `dir` holds an entry ".git" that exists (links followed). An entry
// that cannot be looked at counts as absent: detection never fails.
bool has_git(const std::string& dir) {
    const std::string git = dir == "." ? std::string(".git") : with_slash(dir) + ".git";
    struct stat st;
    return retry_stat(git.c_str(), &st, true) == 0;
}

class Detector {
public:
    // Searches the tree at the path `text` (a str, `fs` its encoded form).
    // Returns the winner's path as the host's glob would write it, or null.
    object search(handle text, const std::string& fs) {
        const bool here = fs == ".";
        std::string prefix = with_slash(fs);
        std::string match;
        Search::Outcome outcome;
        {
            nb::gil_scoped_release unlocked;
            outcome = Search(covered_, prefix, here ? 2 : 0).run(match);
        }
        if (outcome != Search::Outcome::found) return object();
        object rel = own(PyUnicode_DecodeFSDefaultAndSize(match.data(),
                                                         static_cast<Py_ssize_t>(match.size())));
        if (here) return rel;
        object shown = PyUnicode_READ_CHAR(text.ptr(), PyUnicode_GET_LENGTH(text.ptr()) - 1) == '/'
                           ? nb::borrow(text)
                           : own(PyUnicode_Concat(text.ptr(), nb::str("/").ptr()));
        return own(PyUnicode_Concat(shown.ptr(), rel.ptr()));
    }

private:
    Covered covered_;
};

// The home directory as the host's Path.home() gives it, or invalid where
// the host cannot tell.
object home_directory() {
    try {
        return call_method(pathlib_Path.get(), k_home);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return object();
    }
}

ORV_FUNCTION(auto_detect, "auto_detect_capability_map(target: str) -> str | None",
             "The path of a capability-map.json found in the target directory's tree or, "
             "unless the target is a repository root, in the tree of one of its ancestors; "
             "None when there is none.") {
    auto& [target] = args;
    object path = pathlib_Path(handle(target));
    object text = own(PyObject_Str(path.ptr()));
    std::string fs;
    struct stat st;
    if (!encode(text, fs) || retry_stat(fs.c_str(), &st, true) < 0 || !S_ISDIR(st.st_mode))
        return nb::none();

    Detector detector;
    if (object found = detector.search(text, fs); found.is_valid()) return found;
    if (has_git(fs)) return nb::none();

    object home;
    bool home_asked = false;
    object parents = own(PyObject_GetIter(getattr(path, k_parents).ptr()));
    while (PyObject* next = PyIter_Next(parents.ptr())) {
        object ancestor = nb::steal(next);
        object ancestor_text = own(PyObject_Str(ancestor.ptr()));
        if (!encode(ancestor_text, fs)) continue;
        if (object found = detector.search(ancestor_text, fs); found.is_valid()) return found;
        if (has_git(fs)) return nb::none();
        if (!home_asked) {
            home = home_directory();
            home_asked = true;
        }
        if (home.is_valid() && equal(ancestor, home)) return nb::none();
        if (equal(ancestor, getattr(ancestor, k_parent))) return nb::none();
    }
    if (PyErr_Occurred()) raise_current();
    return nb::none();
}

}  // namespace

void define_detection() { mod.function(auto_detect_def); }

}  // namespace orv::capabilities
