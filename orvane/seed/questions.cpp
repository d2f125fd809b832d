// Handing out and recognising the seeds; loading and saving question files.
#include "seed/seed.hpp"

#include "support/files.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv::seed {

namespace {

Name k_ALL_SEEDS{"_ALL_SEEDS"}, k_sort{"sort"}, k_opportunity_scan{"opportunity-scan"};
Host copy_deepcopy{"copy", "deepcopy"}, pathlib_Path{"pathlib", "Path"},
    json_dumps{"json", "dumps"}, json_JSONDecodeError{"json", "JSONDecodeError"};

PyObject* sort_key = nullptr;  // the key of the population's order, kept for the process

// ------------------------------------------------------------------ seeds

ORV_FUNCTION(get_seed, "get_seed() -> dict", "A deep copy of the diagnostic seed question.") {
    return copy_deepcopy(mod.get(k_SEED_QUESTION));
}

ORV_FUNCTION(get_seeds, "get_seeds() -> list[dict]",
             "Deep copies of both seed questions, the diagnostic seed first.") {
    nb::list copies;
    for_each(mod.get(k_ALL_SEEDS), [&](object seed) { copies.append(copy_deepcopy(seed)); });
    return copies;
}

// A seed by all three marks: a seed's name, generation 0 and `immutable`
// being True itself (a truthy 1 or "yes" does not make a seed).
ORV_FUNCTION(is_seed, "is_seed(question: dict) -> bool",
             "True only for a question named like a seed, of generation 0 and immutable.") {
    auto& [question] = args;
    object name = get(question, k_name, nb::none());
    if (!equal(name, k_pressure_test.h()) && !equal(name, k_opportunity_scan.h()))
        return nb::bool_(false);
    if (!equal(get(question, k_generation, nb::none()), nb::int_(0))) return nb::bool_(false);
    return nb::bool_(get(question, k_immutable, nb::none()).ptr() == Py_True);
}

// ------------------------------------------------------------------ files

// pathlib.Path(questions_dir), created with its parents if missing.
object questions_path(handle questions_dir) {
    object path = pathlib_Path(questions_dir);
    files::make_directories(path);
    return path;
}

// The names of the directory's entries that match "*.json" (dot files too),
// in code point order as the host sorts its paths. A directory that cannot be
// listed has none, as the host's glob finds none there.
std::vector<object> json_entries(const std::string& dir) {
    std::vector<object> names;
    DIR* listing = ::opendir(dir.c_str());
    if (!listing) return names;
    struct Closer {
        DIR* d;
        ~Closer() { ::closedir(d); }
    } closer{listing};
    while (struct dirent* entry = ::readdir(listing)) {
        const std::string_view name(entry->d_name);
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
        names.push_back(own(PyUnicode_DecodeFSDefaultAndSize(
            name.data(), static_cast<Py_ssize_t>(name.size()))));
    }
    std::sort(names.begin(), names.end(),
              [](const object& a, const object& b) { return text_less(a.ptr(), b.ptr()); });
    return names;
}

// The text of the question file at `file` (a path object), or an invalid
// object when it is not a regular file once links are followed: a FIFO, a
// device, a socket or a directory is skipped as unreadable, and nothing that
// could block or never end is read. The descriptor is asked again after the
// open, in case the entry was replaced in between; O_NONBLOCK keeps that open
// from waiting for a FIFO's writer.
object read_question_file(handle file) {
    files::SysPath path(file);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) files::raise_os_error(file);
    if (!S_ISREG(st.st_mode)) return object();
    files::Fd fd = files::open_file(path, O_RDONLY | O_NONBLOCK);
    if (::fstat(fd.get(), &st) != 0) files::raise_os_error(file);
    if (!S_ISREG(st.st_mode)) return object();
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            files::raise_os_error(file);
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return own(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
}

// The population's order: (generation, name), 0 and "" when absent.
ORV_FUNCTION(question_key, "_question_key(question) -> tuple",
             "The sort key of a question: its generation and its name.") {
    auto& [question] = args;
    return nb::make_tuple(get(question, k_generation, nb::int_(0)),
                          get(question, k_name, k_empty.h()));
}

// Files are read as UTF-8 text (bytes that are not raise UnicodeDecodeError,
// as reading text does); entries that cannot be read (missing, no access, not
// a regular file) and invalid JSON are skipped.
ORV_FUNCTION(load_questions, "load_questions(questions_dir: str) -> list[dict]",
             "All questions stored in `questions_dir` plus any seed missing from it, "
             "ordered by generation and name.") {
    auto& [questions_dir] = args;
    object path = questions_path(questions_dir);

    nb::list questions;
    object seen = own(PySet_New(nullptr));
    for (const object& entry : json_entries(files::SysPath(path).c_str())) {
        object data;
        try {
            object file = own(PyNumber_TrueDivide(path.ptr(), entry.ptr()));
            object text = read_question_file(file);
            if (!text.is_valid()) continue;
            data = json::loads(text);
        } catch (nb::python_error& err) {
            if (err.matches(PyExc_OSError) || err.matches(json_JSONDecodeError.get())) continue;
            throw;
        }
        if (!PyDict_Check(data.ptr()) || !contains(data, k_name.h())) continue;
        call_method(seen, k_add, own(PyObject_GetItem(data.ptr(), k_name)));
        questions.append(data);
    }

    for_each(mod.get(k_ALL_SEEDS), [&](object seed) {
        if (!contains(seen, own(PyObject_GetItem(seed.ptr(), k_name))))
            questions.append(copy_deepcopy(seed));
    });

    getattr(questions, k_sort)(nb::arg("key") = handle(sort_key));
    return questions;
}

// Written whole through a temporary file and a rename, so a reader never
// finds half a question and a failed write leaves the old file as it was.
ORV_FUNCTION(save_question, "save_question(question: dict, questions_dir: str) -> str",
             "Write the question's file (JSON, indent 2) and return its path.") {
    auto& [question, questions_dir] = args;
    object path = questions_path(questions_dir);
    object file_name = text::question_file_name(get(question, k_name, k_unnamed.h()));
    object file = own(PyNumber_TrueDivide(path.ptr(), file_name.ptr()));
    object content = json_dumps(handle(question), nb::arg("indent") = 2);
    content = own(PyNumber_Add(content.ptr(), nb::str("\n").ptr()));
    if (!PyUnicode_Check(content.ptr()))  // as Path.write_text refuses it
        raise(PyExc_TypeError, "data must be str, not %.200s", type_name(content.ptr()));
    files::atomic_write_text(file, content);
    return own(PyObject_Str(file.ptr()));
}

}  // namespace

void define_questions() {
    for (const Def* def :
         {&get_seed_def, &get_seeds_def, &is_seed_def, &load_questions_def, &save_question_def})
        mod.function(*def);
    sort_key = mod.make(question_key_def).release().ptr();
}

}  // namespace orv::seed
