// valdrix.lexgard: screens prompts against a file of banned words, compiled
// into one `re` alternation as the host expects to find it on the instance;
// beside it a native automaton of the same words and flags answers the
// searches of that very pattern object.
//
// Every step of the plain code runs as in Python (`re.escape`, `re.compile`,
// whatever they are). The automaton trusts re's documented behaviour: it
// answers for a pattern of re's own type whose text is the alternation of
// this module's own escaping of exact str words, with the flags asked for.
#include <vxcore/lexgard_matcher.hpp>
#include <vxnative/exact_types.hpp>
#include <vxnative/globals_guard.hpp>
#include <vxnative/native.hpp>
#include <vxnative/thread_end.hpp>
#include <vxnative/with_statement.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifndef _WIN32
#include <unistd.h>
#endif
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nb = nanobind;
namespace lex = vxcore::lexgard;

namespace {

constexpr const char *kSource = "valdrix/lexgard.cpp";

constexpr const char *kModuleDoc =
    "Prompt screening against a file of banned words.\n\n"
    "PromptBanChecker loads the banned words or phrases of a UTF-8 file (one per line; stripped,\n"
    "de-duplicated, longest first), compiles them into one regular expression of the re module\n"
    "(ignoring letter case by default) and screens prompts with it: find_matched_words returns the\n"
    "distinct banned texts found in a text, and check returns a clean prompt unchanged or raises\n"
    "valdrix.exceptions.PromptBanError naming the words found.\n";

constexpr const char *kClassDoc = "提示词违禁词校验工具。\n"
                                  "从文件加载违禁词列表，使用正则预编译实现高效匹配，\n"
                                  "支持忽略大小写、长词优先匹配。\n";

constexpr const char *kInitDoc = "初始化违禁词检测器\n"
                                 ":param ban_word_file: 违禁词文件路径\n"
                                 ":param ignore_case: 是否忽略大小写匹配，默认True\n";

constexpr const char *kLoadDoc = "重新读取违禁词文件，清洗、去重、长词优先排序，重建正则";
constexpr const char *kBuildDoc = "内部构建正则匹配规则";
constexpr const char *kFindDoc = "查找文本中所有命中的违禁词（去重返回）";
constexpr const char *kCheckDoc = "校验提示词，存在违禁词则抛出自定义异常\n"
                                  ":return: 原文本（校验通过）\n"
                                  ":raises PromptBanError: 检测到违禁词时抛出\n";

// Scanning a text this long is worth letting other threads run.
constexpr size_t kReleaseGilLength = 4096;
// Building from this many characters is worth a thread of its own, up to
// the last: a thread's heap keeps the memory its build used for scratch
// (several times the automaton's), where a build in place hands it back.
constexpr size_t kFirstBackgroundLength = 4096;
constexpr size_t kLastBackgroundLength = size_t{1} << 18;
// After a build from this many, the memory it used for scratch is worth
// handing back at once.
constexpr size_t kTrimLength = 1 << 16;

// The flag bits of the regular expression engine (sre_constants.h) that a
// str pattern compiled without flags, or with re.IGNORECASE, reports: the
// automaton models exactly these.
constexpr long kEngineUnicode = 32;
constexpr long kEngineIgnoreCase = 2;

// --- the re module's case-insensitive comparison ----------------------------

// With IGNORECASE a str pattern compares characters by their lower case
// (Py_UNICODE_TOLOWER, as re does), and re's table of extra cases joins a few
// lower-case letters into groups (U+017F and "s", the sigma forms...): a
// character's key is the least of its lower case and the others listed for
// it. The table is re's private data: what is not a dict of ints to tuples
// of ints leaves the folding unusable, and the checker to re's own search.
class ReCaseFolding {
  public:
    void load(PyObject *extra_cases) {
        if (!PyDict_CheckExact(extra_cases))
            return;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *others = nullptr;
        while (PyDict_Next(extra_cases, &position, &key, &others)) {
            std::optional<lex::CodePoint> lowered = code_point(key);
            if (!lowered || !PyTuple_CheckExact(others))
                return;
            lex::CodePoint least = *lowered;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(others); ++i) {
                std::optional<lex::CodePoint> other = code_point(PyTuple_GET_ITEM(others, i));
                if (!other)
                    return;
                least = std::min(least, *other);
            }
            least_of_group_[*lowered] = least;
        }
        usable_ = true;
    }

    lex::CodePoint key(lex::CodePoint c) const {
        lex::CodePoint lower = Py_UNICODE_TOLOWER(c);
        auto it = least_of_group_.find(lower);
        return it == least_of_group_.end() ? lower : it->second;
    }

    // The case mapping, or nothing when the folding is unusable. The text
    // characters whose key is another are found once, on first use.
    std::optional<lex::CaseMapping> mapping() {
        if (!usable_)
            return std::nullopt;
        if (variants_.empty())
            for (lex::CodePoint c = 0; c <= lex::kMaxCodePoint; ++c)
                if (lex::CodePoint text_key = key(c); text_key != c)
                    variants_.push_back({c, text_key});
        return lex::CaseMapping{[this](lex::CodePoint c) { return key(c); }, variants_};
    }

  private:
    static std::optional<lex::CodePoint> code_point(PyObject *value) {
        std::optional<int64_t> c = vx::guard::exact_int(value, lex::kMaxCodePoint);
        if (!c || *c < 0)
            return std::nullopt;
        return lex::CodePoint(*c);
    }

    std::unordered_map<lex::CodePoint, lex::CodePoint> least_of_group_;
    std::vector<lex::Variant> variants_;
    bool usable_ = false;
};

// The characters this module escapes (those re.escape escapes), written
// here rather than read from re: each is ASCII and neither a letter nor a
// digit, so a backslash before it stands for the character itself, and a
// text escaped this way means exactly its word.
constexpr std::array<bool, 128> kSpecial = [] {
    std::array<bool, 128> special{};
    for (char c : std::string_view("()[]{}?*+-|^$\\.&~# \t\n\r\v\f"))
        special[static_cast<unsigned char>(c)] = true;
    return special;
}();

// True when `escaped` (what re.escape returned for `word`) is an exact str
// that spells `word`, a non-empty exact str, with a backslash before each
// special character and nowhere else: then it means exactly the word.
// Compares code points only, so runs no Python code.
bool escapes_here(nb::handle word, nb::handle escaped) {
    if (!PyUnicode_CheckExact(word.ptr()) || !PyUnicode_CheckExact(escaped.ptr()) ||
        PyUnicode_GET_LENGTH(word.ptr()) == 0)
        return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(word.ptr()), escaped_length = PyUnicode_GET_LENGTH(escaped.ptr());
    Py_ssize_t at = 0;
    auto next_is = [&](Py_UCS4 expected) {
        return at < escaped_length && PyUnicode_READ_CHAR(escaped.ptr(), at++) == expected;
    };
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(word.ptr(), i);
        if ((c < kSpecial.size() && kSpecial[c] && !next_is('\\')) || !next_is(c))
            return false;
    }
    return at == escaped_length;
}

// --- long native work, fair to other threads ----------------------------------------

// How long native work goes on without the interpreter's lock before it
// takes the lock back to run pending signal handlers.
constexpr auto kSlice = std::chrono::milliseconds(1);

void check_signals() {
    if (PyErr_CheckSignals() < 0)
        throw nb::python_error();
}

// `work(checkpoints)`, pure native work. When it may be long it runs
// without the interpreter's lock, so that other threads run meanwhile, and
// about every millisecond a checkpoint takes the lock back and runs pending
// signal handlers, as the interpreter would between bytecodes. An exception
// a handler raises ends the work, freeing what it made, and propagates.
template <class Work> auto run_released(bool long_work, Work &&work) {
    lex::Checkpoints none;
    if (!long_work)
        return work(none);
    vx::ReleasedLock released;
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    lex::Checkpoints checkpoints([&] {
        if (Clock::now() - last < kSlice)
            return;
        released.with_lock(check_signals);
        last = Clock::now();
    });
    return work(checkpoints);
}

// --- automata, kept while their checkers use them -----------------------------------

// True while `weak_reference` still leads to `object`.
bool still_refers_to(nb::handle weak_reference, PyObject *object) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(weak_reference.ptr(), &target) < 0) {
        PyErr_Clear(); // raised by this call itself (not a weak reference): no
        return false;
    }
    Py_XDECREF(target);
    return target == object;
#else
    return PyWeakref_GetObject(weak_reference.ptr()) == object;
#endif
}

// A module's automata: each checker's, for the pattern its last build gave.
// A checker's next build or its end drops its entry, and the automaton goes
// with the last entry that holds it, even while re's cache keeps the
// pattern. Entries hold weak references, so that an address a later object
// reuses is never taken for the earlier one's.
class Automata {
  public:
    // The automaton of `checker` when its last build gave `pattern`.
    std::shared_ptr<const lex::Matcher> find(PyObject *checker, PyObject *pattern) const {
        auto it = entries_.find(checker);
        if (it == entries_.end() || !still_refers_to(it->second.pattern, pattern))
            return nullptr;
        return it->second.matcher;
    }

    // Another checker's automaton for that very pattern (re's cache gave
    // it back to this build).
    std::shared_ptr<const lex::Matcher> shared(PyObject *pattern) const {
        for (const auto &[checker, entry] : entries_)
            if (still_refers_to(entry.pattern, pattern))
                return entry.matcher;
        return nullptr;
    }

    // Records `matcher` for `checker` and `pattern`, dropping the checker's
    // earlier entry. Both weak references are made before any record
    // changes, so that a callback a collection runs meanwhile finds the
    // records whole.
    void use(nb::handle checker, nb::handle pattern, std::shared_ptr<const lex::Matcher> matcher,
             const std::shared_ptr<Automata> &self) {
        nb::object checker_reference = weak_reference_with_callback(checker, self);
        nb::object pattern_reference = vx::steal_or_throw(PyWeakref_NewRef(pattern.ptr(), nullptr));
        entries_[checker.ptr()] = {std::move(checker_reference), std::move(pattern_reference), std::move(matcher)};
    }

    void release(PyObject *checker) { entries_.erase(checker); }

    // The callback of a checker's weak reference: only that entry goes; a
    // later entry for another object at the same address keeps its own.
    void forget(PyObject *checker, PyObject *reference) {
        auto it = entries_.find(checker);
        if (it != entries_.end() && it->second.checker.ptr() == reference)
            entries_.erase(it);
    }

    int traverse(visitproc visit, void *arg) const {
        for (const auto &[checker, entry] : entries_) {
            Py_VISIT(entry.checker.ptr());
            Py_VISIT(entry.pattern.ptr());
        }
        return 0;
    }

    void clear() { entries_.clear(); } // dropping weak references runs no Python code

  private:
    struct Entry {
        nb::object checker, pattern; // weak references
        std::shared_ptr<const lex::Matcher> matcher;
    };

    static nb::object weak_reference_with_callback(nb::handle checker, const std::shared_ptr<Automata> &self);

    std::unordered_map<PyObject *, Entry> entries_;
};

// What the callback of a checker's weak reference is bound to: the automata
// of the module that made it (which may be gone by then) and the address.
struct CallbackSlot {
    std::weak_ptr<Automata> automata;
    PyObject *checker;
};

constexpr const char *kCallbackSlotName = "valdrix.lexgard.callback_slot";

void free_callback_slot(PyObject *capsule) {
    delete static_cast<CallbackSlot *>(PyCapsule_GetPointer(capsule, kCallbackSlotName));
}

PyObject *forget_checker(PyObject *capsule, PyObject *weak_reference) {
    auto *slot = static_cast<CallbackSlot *>(PyCapsule_GetPointer(capsule, kCallbackSlotName));
    if (!slot)
        return nullptr;
    if (std::shared_ptr<Automata> automata = slot->automata.lock())
        automata->forget(slot->checker, weak_reference);
    Py_RETURN_NONE;
}

// A method definition is plain data; the callbacks made from it are each
// module's own objects.
PyMethodDef forget_checker_def = {"_forget_checker", forget_checker, METH_O, nullptr};

nb::object Automata::weak_reference_with_callback(nb::handle checker, const std::shared_ptr<Automata> &self) {
    auto slot = std::make_unique<CallbackSlot>(CallbackSlot{self, checker.ptr()});
    nb::object capsule = vx::steal_or_throw(PyCapsule_New(slot.get(), kCallbackSlotName, free_callback_slot));
    slot.release(); // the capsule owns it now
    nb::object callback = vx::steal_or_throw(PyCFunction_New(&forget_checker_def, capsule.ptr()));
    return vx::steal_or_throw(PyWeakref_NewRef(checker.ptr(), callback.ptr()));
}

// --- the module's state -------------------------------------------------------------

struct State : vx::ModuleState {
    // re's pattern type, as found at import; empty when not found as
    // expected, and then no automaton is made.
    nb::object pattern_type;
    ReCaseFolding folding;

    // find_matched_words takes the automaton while `list` and `set` are
    // the built-ins.
    vx::guard::Captures<"list", "set"> captured{*this};
    vx::guard::Route<"list", "set"> hit_route;

    std::shared_ptr<Automata> automata = std::make_shared<Automata>();

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(pattern_type.ptr());
        return automata->traverse(visit, arg);
    }

    void clear() override {
        pattern_type = nb::object();
        automata->clear();
    }
};

// `name` in a module's namespace when it is keyed by exact strs (so the
// lookup runs no code), else null.
PyObject *module_member(PyObject *module, const char *name) {
    if (!module || !PyModule_CheckExact(module) || !vx::guard::keyed_by_exact_str(PyModule_GetDict(module)))
        return nullptr;
    return PyDict_GetItemString(PyModule_GetDict(module), name);
}

// re's pattern type, as the module re binds it, and the case table, as re's
// compiler module binds it: both came with re, so reading them imports and
// compiles nothing. re's pattern type can neither be subclassed nor
// changed, so an object of it answers `pattern`, `flags` and `findall` with
// re's own code. What is not found as expected is left empty, and then no
// automaton is made (or none for IGNORECASE).
void capture_re(State &state, nb::handle re) {
    PyObject *type = module_member(re.ptr(), "Pattern");
    if (type && PyType_Check(type)) {
        unsigned long flags = PyType_GetFlags(reinterpret_cast<PyTypeObject *>(type));
        if ((flags & Py_TPFLAGS_IMMUTABLETYPE) && !(flags & Py_TPFLAGS_BASETYPE) &&
            std::string_view(reinterpret_cast<PyTypeObject *>(type)->tp_name) == "re.Pattern")
            state.pattern_type = nb::borrow(type);
    }
    if (PyObject *extra_cases = module_member(module_member(re.ptr(), "_compiler"), "_EXTRA_CASES"))
        state.folding.load(extra_cases);
}

// --- the automaton of a compiled pattern ---------------------------------------------

// Reads a member of an object of re's pattern type, which runs no Python
// code; null (with only the read's own error cleared) when it fails.
nb::object pattern_member(nb::handle compiled, nb::handle name) {
    PyObject *value = PyObject_GetAttr(compiled.ptr(), name.ptr());
    if (!value)
        PyErr_Clear(); // raised by this read itself (out of memory)
    return nb::steal(value);
}

// What re.compile returned is of re's own pattern type, holds our text (the
// very object, or an equal one when re's cache handed back an earlier
// compile of it) and the flags a compile with the module's flags gives.
bool compiled_as_asked(const vx::Args &args, nb::handle compiled, nb::handle text, bool ignore_case) {
    const State &state = args.state<State>();
    if (!state.pattern_type.is_valid() ||
        !Py_IS_TYPE(compiled.ptr(), reinterpret_cast<PyTypeObject *>(state.pattern_type.ptr())))
        return false;
    nb::object source = pattern_member(compiled, args.id<"pattern">());
    nb::object flags = pattern_member(compiled, args.id<"flags">());
    long expected = ignore_case ? kEngineUnicode | kEngineIgnoreCase : kEngineUnicode;
    bool same_text =
        source.is_valid() && PyUnicode_CheckExact(source.ptr()) && PyUnicode_Compare(source.ptr(), text.ptr()) == 0;
    return same_text && vx::guard::exact_int(flags) == std::optional<int64_t>(expected);
}

// re turns an alternation of words that differ only in their last character
// into a character set, and a case-insensitive set keeps its astral letters
// as written instead of lower-casing them, so that an upper-case one matches
// nothing there while the same letter matches both cases elsewhere. Such a
// word list keeps to re's own search.
bool re_keeps_astral_letters_unlowered(const lex::WordList &list) {
    bool has_unlowered_astral = false;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list.size() < 2 || list.length_of(i) != list.length_of(0))
            return false;
        for (size_t depth = 1; depth < list.length_of(i); ++depth)
            if (list.from_end(i, depth) != list.from_end(0, depth))
                return false;
        lex::CodePoint last = list.from_end(i, 0);
        has_unlowered_astral |= last > 0xFFFF && Py_UNICODE_TOLOWER(last) != last;
    }
    return has_unlowered_astral;
}

// The automaton of the words a build escaped, made while re.compile runs
// (each needs only the words): on a thread of its own when the list is long
// enough to repay one, so that a load costs about what the compile does,
// else when taken (a very long list too: see kLastBackgroundLength). It
// only speeds up searches, so running out of memory or threads leaves the
// pattern to re's own search rather than failing the build. Dropped
// untaken (the compile raised, or gave another pattern), it stops the build
// and waits for it.
class AutomatonBuild {
  public:
    using Result = std::shared_ptr<const lex::Matcher>;

    AutomatonBuild(lex::WordList words, const lex::CaseMapping &mapping)
        : words_(std::move(words)), length_(words_.total_length()), mapping_(mapping) {
        if (length_ < kFirstBackgroundLength || length_ > kLastBackgroundLength)
            return;
        try {
            // from a copy: a child forked meanwhile builds from words_ intact
            result_ = std::async(std::launch::async, [this] { return build(words_, stopping_); });
            owner_ = process_id();
        } catch (const std::system_error &) { // no thread: built when taken
        }
    }

    AutomatonBuild(const AutomatonBuild &) = delete;
    AutomatonBuild &operator=(const AutomatonBuild &) = delete;

    ~AutomatonBuild() {
        stop_ = true;
        // A forked child leaves the future alone; elsewhere the future's end
        // waits for the thread, which stops at its next checkpoint.
        thread_here();
    }

    Result take() {
        if (!waited_for_thread()) // here, fair to other threads when long
            return run_released(length_ >= kTrimLength,
                                [&](lex::Checkpoints &checkpoints) { return build(std::move(words_), checkpoints); });
        Result matcher = result_.get();
#ifdef __GLIBC__
        if (length_ >= kTrimLength)
            malloc_trim(0); // the build's scratch memory (several times the automaton's) goes back
#endif
        return matcher;
    }

  private:
    struct Stopped {};

    static long process_id() {
#ifdef _WIN32
        return 0;
#else
        return static_cast<long>(getpid());
#endif
    }

    // True while there is a thread to wait for. In a child forked meanwhile
    // (by code the compile ran, or by a signal handler while the build waits)
    // the thread is not there: its future is left alone, never to be waited
    // for, and the child builds in place.
    bool thread_here() {
        if (result_.valid() && process_id() != owner_)
            new std::future<Result>(std::move(result_)); // NOLINT: deliberately never freed
        return result_.valid();
    }

    // Waits for the thread without the interpreter's lock, running pending
    // signal handlers about every millisecond, as run_released does. False
    // when there is no thread to wait for.
    bool waited_for_thread() {
        if (!thread_here())
            return false;
        vx::ReleasedLock released;
        while (result_.wait_for(kSlice) != std::future_status::ready) {
            released.with_lock(check_signals);
            if (!thread_here())
                return false;
        }
        return true;
    }

    // Runs once, here or on the thread (which passes the words to copy).
    template <class Words> Result build(Words &&words, lex::Checkpoints &checkpoints) {
        try {
            return std::make_shared<const lex::Matcher>(std::forward<Words>(words), mapping_, checkpoints);
        } catch (const std::bad_alloc &) {
        } catch (const std::length_error &) {
        } catch (const Stopped &) {
        }
        return nullptr;
    }

    lex::WordList words_;
    const size_t length_; // of the words, in code points
    lex::CaseMapping mapping_;
    std::atomic<bool> stop_ = false;
    lex::Checkpoints stopping_{[this] {
        if (stop_)
            throw Stopped();
    }};
    long owner_ = 0;
    std::future<Result> result_; // last: made once the rest is
};

// The build of an automaton for the pattern this checker's build compiles
// from `words`, or none when none would answer for it. A checker that
// cannot be referred to weakly gets none.
std::unique_ptr<AutomatonBuild> start_automaton(State &state, nb::handle checker, lex::WordList words,
                                                bool ignore_case) {
    if (words.size() == 0 || !PyType_SUPPORTS_WEAKREFS(Py_TYPE(checker.ptr())))
        return nullptr;
    std::optional<lex::CaseMapping> mapping = ignore_case ? state.folding.mapping() : lex::exact_case();
    if (!mapping || (ignore_case && re_keeps_astral_letters_unlowered(words)))
        return nullptr;
    try {
        return std::make_unique<AutomatonBuild>(std::move(words), *mapping);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// The automaton for the compiled pattern: the one another checker uses for
// that very pattern (re's cache gave it back), else the one built.
std::shared_ptr<const lex::Matcher> matcher_for(State &state, nb::handle compiled, AutomatonBuild &build) {
    if (std::shared_ptr<const lex::Matcher> shared = state.automata->shared(compiled.ptr()))
        return shared;
    return build.take();
}

// --- reading the word file ----------------------------------------------------

// Appends the stripped lines of the file to `words` as they are read, empty
// ones and repeats left out: when a line fails and the file's __exit__
// swallows the error, the words before it are the list.
//
// seen = set()
// for line in file:
//     word = line.strip()
//     if word and word not in seen:
//         seen.add(word); words.append(word)
void read_distinct_words(const vx::Args &args, nb::handle file, nb::handle words) {
    nb::object seen = vx::call(args.global<"set">(), {});
    nb::object lines = vx::steal_or_throw(PyObject_GetIter(file.ptr()));
    while (nb::object line = vx::next(lines)) {
        nb::object word = vx::call_method(line, args.id<"strip">());
        if (!vx::truth(word))
            continue;
        int known = PySequence_Contains(seen.ptr(), word.ptr());
        if (known < 0)
            throw nb::python_error();
        if (known)
            continue;
        vx::call_method(seen, args.id<"add">(), {word});
        if (PyList_Append(words.ptr(), word.ptr()) < 0)
            throw nb::python_error();
    }
    vx::throw_if_error();
}

// --- PromptBanChecker ----------------------------------------------------------

nb::object checker_init(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str ban_word_file = args.str(1);
    bool ignore_case = args.truth(2);
    vx::set_attribute(self, args.id<"ban_word_file">(), ban_word_file);
    vx::set_attribute(self, args.id<"ignore_case">(), ignore_case ? Py_True : Py_False);
    vx::set_attribute(self, args.id<"banned_words">(), vx::steal_or_throw(PyList_New(0)));
    vx::set_attribute(self, args.id<"_ban_regex">(), Py_None);
    vx::call(nb::getattr(self, args.id<"load_banned_words">()), {});
    return nb::none();
}

nb::object checker_load_banned_words(const vx::Args &args) {
    const State &state = args.state<State>();
    nb::handle self = args[0];
    // os.path.exists(self.ban_word_file): the callee first, then the
    // argument; the message and open read the attribute again.
    nb::object os = args.global<"os">();
    nb::object exists = nb::getattr(nb::getattr(os, args.id<"path">()), args.id<"exists">());
    if (!vx::truth(vx::call(exists, {nb::getattr(self, args.id<"ban_word_file">())}))) {
        // raise FileNotFoundError(f"违禁词文件不存在: {self.ban_word_file}")
        nb::object error_class = args.global<"FileNotFoundError">();
        nb::object path = nb::getattr(self, args.id<"ban_word_file">());
        return vx::raised(vx::call(error_class, {vx::concat({args.id<"违禁词文件不存在: ">(), vx::formatted(path)})}));
    }
    nb::object open = args.global<"open">();
    nb::object manager = vx::call(open, {nb::getattr(self, args.id<"ban_word_file">()), args.id<"r">()},
                                  {{args.id<"encoding">(), args.id<"utf-8">()}});
    nb::object words = vx::steal_or_throw(PyList_New(0));
    vx::with_context(manager, state.names, [&](nb::handle file) { read_distinct_words(args, file, words); });
    // words.sort(key=len, reverse=True)
    nb::object sort = nb::getattr(words, args.id<"sort">());
    nb::object len = args.global<"len">();
    vx::call(sort, {}, {{args.id<"key">(), len}, {args.id<"reverse">(), Py_True}});
    vx::set_attribute(self, args.id<"banned_words">(), words);
    vx::call(nb::getattr(self, args.id<"_build_regex">()), {});
    return nb::none();
}

// "|".join(re.escape(word) for word in words), step by step: the generator
// reads the global `re` and its `escape` anew for every word and calls what
// it finds. `list` receives the words when every escape spells its word as
// this module escapes it, so that the text is known to mean exactly them.
nb::object escaped_alternation(const vx::Args &args, nb::handle banned_words, lex::WordList &list) {
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(banned_words.ptr()));
    nb::object escapes = vx::steal_or_throw(PyList_New(0));
    bool spelled_here = true;
    while (nb::object word = vx::next(iterator)) {
        nb::object escape = nb::getattr(args.global<"re">(), args.id<"escape">());
        nb::object escaped = vx::call(escape, {word});
        spelled_here = spelled_here && escapes_here(word, escaped);
        if (spelled_here)
            vx::visit_units(word, [&](const auto *units, size_t length) { list.add(units, length); });
        if (PyList_Append(escapes.ptr(), escaped.ptr()) < 0)
            throw nb::python_error();
    }
    vx::throw_if_error();
    if (!spelled_here)
        list = lex::WordList();
    return vx::steal_or_throw(PyUnicode_Join(args.id<"|">().ptr(), escapes.ptr()));
}

nb::object checker_build_regex(const vx::Args &args) {
    State &state = args.state<State>();
    nb::handle self = args[0];
    nb::object banned_words = nb::getattr(self, args.id<"banned_words">());
    if (!vx::truth(banned_words)) {
        vx::set_attribute(self, args.id<"_ban_regex">(), Py_None);
        state.automata->release(self.ptr());
        return nb::none();
    }
    lex::WordList words;
    nb::object pattern = escaped_alternation(args, banned_words, words);
    // re.compile(pattern, flags=re.IGNORECASE if self.ignore_case else 0),
    // read in that order.
    nb::object compile = nb::getattr(args.global<"re">(), args.id<"compile">());
    bool ignore_case = vx::truth(nb::getattr(self, args.id<"ignore_case">()));
    nb::object flags = ignore_case ? nb::getattr(args.global<"re">(), args.id<"IGNORECASE">())
                                   : vx::steal_or_throw(PyLong_FromLong(0));
    std::unique_ptr<AutomatonBuild> automaton = start_automaton(state, self, std::move(words), ignore_case);
    nb::object compiled = vx::call(compile, {pattern}, {{args.id<"flags">(), flags}});
    std::shared_ptr<const lex::Matcher> matcher;
    if (automaton && compiled_as_asked(args, compiled, pattern, ignore_case))
        matcher = matcher_for(state, compiled, *automaton);
    vx::set_attribute(self, args.id<"_ban_regex">(), compiled);
    state.automata->release(self.ptr());
    try {
        if (matcher)
            state.automata->use(self, compiled, std::move(matcher), state.automata);
    } catch (const nb::python_error &error) {
        if (!error.matches(PyExc_MemoryError))
            throw; // out of memory for its records, the pattern keeps re's own search
    }
    return nb::none();
}

// `list(set(hits))`: the scan gives each distinct text once, in the order
// of its first occurrence, which leaves the set exactly as adding every hit
// would.
nb::object matched_words(const lex::Matcher &matcher, nb::handle text) {
    std::vector<lex::Match> firsts = vx::visit_units(text, [&](const auto *units, size_t length) {
        using Unit = std::remove_cvref_t<decltype(*units)>;
        return run_released(length >= kReleaseGilLength, [&](lex::Checkpoints &checkpoints) {
            lex::DistinctTexts<Unit> distinct(units);
            auto add = [&](size_t start, size_t size) { distinct.add(start, size); };
            matcher.find_all(units, length, add, checkpoints);
            return distinct.take();
        });
    });
    nb::object distinct = vx::steal_or_throw(PySet_New(nullptr));
    for (const lex::Match &match : firsts) {
        auto start = static_cast<Py_ssize_t>(match.start);
        auto end = static_cast<Py_ssize_t>(match.start + match.length);
        nb::object hit = vx::steal_or_throw(PyUnicode_Substring(text.ptr(), start, end));
        if (PySet_Add(distinct.ptr(), hit.ptr()) < 0)
            throw nb::python_error();
    }
    return vx::steal_or_throw(PySequence_List(distinct.ptr()));
}

nb::object checker_find_matched_words(const vx::Args &args) {
    State &state = args.state<State>();
    nb::handle self = args[0];
    nb::str text = args.str(1);
    nb::object regex = nb::getattr(self, args.id<"_ban_regex">());
    if (regex.is_none())
        return vx::steal_or_throw(PyList_New(0));
    if (state.hit_route.holds(state.captured, args)) {
        if (std::shared_ptr<const lex::Matcher> matcher = state.automata->find(self.ptr(), regex.ptr()))
            return matched_words(*matcher, text);
    }
    // list(set(regex.findall(text))), with the list and set found.
    nb::object list = args.global<"list">();
    nb::object set = args.global<"set">();
    nb::object hits = vx::call(nb::getattr(regex, args.id<"findall">()), {text});
    return vx::call(list, {vx::call(set, {hits})});
}

nb::object checker_check(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str prompt = args.str(1);
    nb::object hit_words = vx::call(nb::getattr(self, args.id<"find_matched_words">()), {prompt});
    if (!vx::truth(hit_words))
        return vx::checked_str_result(nb::borrow(prompt));
    // msg = "Prohibited prompt words: " + ",".join(hit_words)
    // raise PromptBanError(error_msg=msg, data=hit_words)
    nb::object joined = vx::steal_or_throw(PyUnicode_Join(args.id<",">().ptr(), hit_words.ptr()));
    nb::object message = vx::concat({args.id<"Prohibited prompt words: ">(), joined});
    nb::object error_class = args.global<"PromptBanError">();
    nb::object error = vx::call(error_class, {}, {{args.id<"error_msg">(), message}, {args.id<"data">(), hit_words}});
    return vx::raised(error);
}

} // namespace

VX_MODULE(lexgard, State, kSource, module) {
    State &state = module.state_as<State>();
    module.bind("__doc__", nb::str(kModuleDoc));
    module.bind("os", module.import("os"));
    nb::object re = module.import("re");
    module.bind("re", re);
    module.bind_from("typing", {"List", "Set"});
    module.bind_from("exceptions", {"PromptBanError"}, 1);
    capture_re(state, re);

    vx::ClassBuilder checker(module, "PromptBanChecker", kClassDoc);
    checker.method({.name = "__init__",
                    .implementation = checker_init,
                    .params = {{"self"}, {"ban_word_file", "str"}, {"ignore_case", "bool", nb::bool_(true)}},
                    .doc = kInitDoc,
                    .source_line = __LINE__});
    checker.method({.name = "load_banned_words",
                    .implementation = checker_load_banned_words,
                    .params = {{"self"}},
                    .doc = kLoadDoc,
                    .source_line = __LINE__});
    checker.method({.name = "_build_regex",
                    .implementation = checker_build_regex,
                    .params = {{"self"}},
                    .doc = kBuildDoc,
                    .source_line = __LINE__});
    checker.method({.name = "find_matched_words",
                    .implementation = checker_find_matched_words,
                    .params = {{"self"}, {"text", "str"}},
                    .doc = kFindDoc,
                    .return_annotation = "List[str]",
                    .source_line = __LINE__});
    checker.method({.name = "check",
                    .implementation = checker_check,
                    .params = {{"self"}, {"prompt", "str"}},
                    .doc = kCheckDoc,
                    .return_annotation = "str",
                    .source_line = __LINE__});
    checker.finish();
}
