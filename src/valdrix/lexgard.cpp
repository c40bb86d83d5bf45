// valdrix.lexgard: screens prompts against a file of banned words. The words
// are compiled into one `re` alternation, as the host expects to find it on
// the instance; beside it a native automaton built from the same words and
// flags answers the searches of that very pattern object.
//
// Every step of the plain code runs as it would in Python: each word goes
// through `re.escape` and the text through `re.compile`, whatever they are.
// The automaton is only attached to a pattern object when a guard proves,
// by identities alone, that the object is re's own compiled form of exactly
// those words: every escape the text was joined from is the module's own
// escaping of an exact str word, re's machinery (its modules, functions,
// classes, case table and the built-ins its code reads) is as it was at
// import and runs the standard library's own code, no entry of re's caches
// could have answered the compile, and no other Python code of this thread
// could run inside it (no trace, profile or monitoring callback, no
// collection, nothing re's caches drop that would run code when released).
#include <vxcore/lexgard_matcher.hpp>
#include <vxnative/guard.hpp>
#include <vxnative/native.hpp>
#include <vxnative/with_statement.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <initializer_list>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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
// Building an automaton from this many characters is, too.
constexpr size_t kReleaseGilBuildLength = 1 << 16;

// re's submodules, as its package namespace binds them, whose code compiles
// a pattern (with `enum`, whose code turns re.IGNORECASE into its value, and
// `_sre`, which the compiler calls), each where the running version has it.
constexpr const char *kReSubmodules[] = {"_compiler", "_parser", "_constants", "_casefix"};

// The flag bits of the regular expression engine (sre_constants.h) that a
// str pattern compiled without flags, or with re.IGNORECASE, reports: the
// automaton models exactly these.
constexpr long kEngineUnicode = 32;
constexpr long kEngineIgnoreCase = 2;

// --- the re module's case-insensitive comparison ----------------------------

bool is_cased(Py_UCS4 c) {
    return Py_UNICODE_TOLOWER(c) != c || Py_UNICODE_TOUPPER(c) != c;
}

// A code point held by an exact int, or nothing.
std::optional<lex::CodePoint> code_point(PyObject *value) {
    std::optional<int64_t> number = vx::guard::exact_int(value, lex::kMaxCodePoint);
    if (!number || *number < 0)
        return std::nullopt;
    return static_cast<lex::CodePoint>(*number);
}

// With IGNORECASE a str pattern compares characters by their one-character
// lower case (Py_UNICODE_TOLOWER, as re does), and re's table of extra cases
// makes a few lower-case letters equal to each other (U+017F and "s", the
// sigma forms, ...). A character's key is the least member of its group; an
// uncased pattern character only matches itself, which the keys reproduce
// as long as no character lowers to an uncased other one (checked below).
class ReCaseFolding {
  public:
    // `extra_cases` maps each lowered character to the other members of its
    // group, as re's compiler reads it. The keys reproduce every branch of
    // re's compile only for a table of the shape re ships: an exact dict of
    // exact ints to exact tuples of them, not empty (an empty table sends
    // re's compile down its ASCII-only branch), whose every member is a
    // cased character of the BMP that is its own lower case (re looks the
    // table up by lowered characters only, emits an uncased character as
    // itself, and its character sets cannot hold astral members), in closed
    // groups. Any other table leaves the folding unusable.
    void load(nb::handle extra_cases) {
        if (!PyDict_CheckExact(extra_cases.ptr()) || PyDict_GET_SIZE(extra_cases.ptr()) == 0)
            return;
        std::unordered_map<lex::CodePoint, std::vector<lex::CodePoint>> groups;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *others = nullptr;
        while (PyDict_Next(extra_cases.ptr(), &position, &key, &others)) {
            std::optional<lex::CodePoint> lowered = modelled_member(key);
            if (!lowered || !PyTuple_CheckExact(others))
                return;
            std::vector<lex::CodePoint> &group = groups[*lowered];
            group.push_back(*lowered);
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(others); ++i) {
                std::optional<lex::CodePoint> other = modelled_member(PyTuple_GET_ITEM(others, i));
                if (!other)
                    return;
                group.push_back(*other);
            }
            std::sort(group.begin(), group.end());
            group.erase(std::unique(group.begin(), group.end()), group.end());
        }
        for (const auto &[lowered, group] : groups)
            least_of_group_[lowered] = group.front();
        usable_ = groups_are_closed(groups);
    }

    bool usable() const { return usable_; }

    lex::CodePoint key(lex::CodePoint c) const {
        lex::CodePoint lower = Py_UNICODE_TOLOWER(c);
        auto it = least_of_group_.find(lower);
        return it == least_of_group_.end() ? lower : it->second;
    }

    lex::CodePoint word_key(lex::CodePoint c) const { return is_cased(c) ? key(c) : c; }

    // Every text character whose key is another character. Computed once,
    // on first use, over all code points.
    std::span<const lex::Variant> text_variants() {
        if (!variants_computed_)
            compute_variants();
        return variants_;
    }

  private:
    static constexpr lex::CodePoint kLastBmp = 0xFFFF;

    static std::optional<lex::CodePoint> modelled_member(PyObject *value) {
        std::optional<lex::CodePoint> c = code_point(value);
        if (!c || *c > kLastBmp || !is_cased(*c) || Py_UNICODE_TOLOWER(*c) != *c)
            return std::nullopt;
        return c;
    }

    // Every member of a group must list the same group, or keys would not
    // be an equivalence.
    static bool groups_are_closed(const std::unordered_map<lex::CodePoint, std::vector<lex::CodePoint>> &groups) {
        for (const auto &[lowered, group] : groups) {
            for (lex::CodePoint member : group) {
                auto it = groups.find(member);
                if (it == groups.end() || it->second != group)
                    return false;
            }
        }
        return true;
    }

    void compute_variants() {
        for (lex::CodePoint c = 0; c <= lex::kMaxCodePoint; ++c) {
            lex::CodePoint lower = Py_UNICODE_TOLOWER(c);
            lex::CodePoint text_key = key(c);
            bool lowers_to_uncased = lower != c && !is_cased(lower);
            bool uncased_keyed_elsewhere = !is_cased(c) && text_key != c;
            if (lowers_to_uncased || uncased_keyed_elsewhere)
                usable_ = false;
            if (text_key != c)
                variants_.push_back({c, text_key});
        }
        variants_computed_ = true;
    }

    std::unordered_map<lex::CodePoint, lex::CodePoint> least_of_group_;
    std::vector<lex::Variant> variants_;
    bool variants_computed_ = false;
    bool usable_ = false;
};

// The characters this module escapes, written here rather than read from
// re: every one of them is ASCII and neither a letter nor a digit, so a
// backslash before it stands for the character itself, and a text escaped
// this way means exactly its word. (They are also the characters re.escape
// escapes.)
constexpr std::string_view kSpecialCharacters = "()[]{}?*+-|^$\\.&~# \t\n\r\v\f";

class EscapeTable {
  public:
    EscapeTable() {
        for (char c : kSpecialCharacters)
            special_[static_cast<unsigned char>(c)] = true;
    }

    bool special(Py_UCS4 c) const { return c < special_.size() && special_[c]; }

    // True when `escaped` (what re.escape returned for `word`) is an exact
    // str that spells `word`, an exact str, with a backslash before each
    // special character and nowhere else: then it means exactly the word.
    // Compares code points only, so runs no Python code.
    bool escapes_here(nb::handle word, nb::handle escaped) const {
        if (!PyUnicode_CheckExact(word.ptr()) || !PyUnicode_CheckExact(escaped.ptr()))
            return false;
        Py_ssize_t length = PyUnicode_GET_LENGTH(word.ptr());
        Py_ssize_t escaped_length = PyUnicode_GET_LENGTH(escaped.ptr());
        int kind = PyUnicode_KIND(word.ptr()), escaped_kind = PyUnicode_KIND(escaped.ptr());
        const void *data = PyUnicode_DATA(word.ptr()), *escaped_data = PyUnicode_DATA(escaped.ptr());
        Py_ssize_t at = 0;
        auto next_is = [&](Py_UCS4 expected) {
            return at < escaped_length && PyUnicode_READ(escaped_kind, escaped_data, at++) == expected;
        };
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if ((special(c) && !next_is('\\')) || !next_is(c))
                return false;
        }
        return at == escaped_length;
    }

  private:
    std::array<bool, 128> special_{};
};

// --- automata of the patterns proved to spell their words ----------------------

struct RegisteredPattern {
    nb::object weak_reference;
    nb::object text; // the pattern's own text object, held
    std::shared_ptr<const lex::Matcher> matcher;
};

// A module's automata, keyed by the identity of their pattern objects. An
// entry goes when its pattern is released (the callback of a weak reference,
// which finds the registry through its own bound object), so an address is
// never reused while it is still listed.
class PatternRegistry {
  public:
    const RegisteredPattern *find(PyObject *pattern) const {
        auto it = patterns_.find(pattern);
        return it == patterns_.end() ? nullptr : &it->second;
    }

    void add(PyObject *pattern, RegisteredPattern entry) { patterns_[pattern] = std::move(entry); }

    // Only the entry of that very weak reference: a later entry for another
    // object at the same address keeps its own.
    void forget(PyObject *pattern, PyObject *weak_reference) {
        auto it = patterns_.find(pattern);
        if (it != patterns_.end() && it->second.weak_reference.ptr() == weak_reference)
            patterns_.erase(it);
    }

    int traverse(visitproc visit, void *arg) const {
        for (const auto &[pattern, entry] : patterns_) {
            Py_VISIT(entry.weak_reference.ptr());
            Py_VISIT(entry.text.ptr());
        }
        return 0;
    }

    // Dropping weak references and strs runs no Python code.
    void clear() { patterns_.clear(); }

  private:
    std::unordered_map<PyObject *, RegisteredPattern> patterns_;
};

// What the callback of one pattern's weak reference is bound to: the
// registry of the module that registered it (which may be gone by then) and
// the pattern's address.
struct RegistrySlot {
    std::weak_ptr<PatternRegistry> registry;
    PyObject *pattern;
};

constexpr const char *kRegistrySlotName = "valdrix.lexgard.registry_slot";

void free_registry_slot(PyObject *capsule) {
    delete static_cast<RegistrySlot *>(PyCapsule_GetPointer(capsule, kRegistrySlotName));
}

PyObject *forget_pattern(PyObject *capsule, PyObject *weak_reference) {
    auto *slot = static_cast<RegistrySlot *>(PyCapsule_GetPointer(capsule, kRegistrySlotName));
    if (!slot)
        return nullptr;
    if (std::shared_ptr<PatternRegistry> registry = slot->registry.lock())
        registry->forget(slot->pattern, weak_reference);
    Py_RETURN_NONE;
}

// A method definition is plain data; the callbacks made from it are each
// module's own objects.
PyMethodDef forget_pattern_def = {"_forget_pattern", forget_pattern, METH_O, nullptr};

// --- the module's state -------------------------------------------------------------

struct State : vx::ModuleState {
    // What the module found at import, where re's own code reaches it:
    // re.compile and re.IGNORECASE as the module `re` binds them, and from
    // the namespace re.compile runs in, re's pattern type and its caches.
    // Left empty when not found as expected; then no automaton is made.
    nb::object compile, ignorecase, pattern_type;
    std::vector<nb::object> caches;
    std::optional<int64_t> ignorecase_key; // the int re's caches key re.IGNORECASE by
    vx::guard::NamespaceSnapshot re_machinery;
    vx::guard::StandardLibraryCode standard_code;
    vx::guard::MonitoringTools monitoring;
    vx::guard::CollectionCount collections;
    ReCaseFolding folding;
    EscapeTable escapes;

    // The built-ins find_matched_words calls, as found at import.
    nb::object list, set;
    vx::guard::GlobalsGuard hit_names;

    std::shared_ptr<PatternRegistry> patterns = std::make_shared<PatternRegistry>();
    vx::guard::DictClock clock;

    int traverse(visitproc visit, void *arg) override {
        for (const nb::object *held : {&compile, &ignorecase, &pattern_type, &list, &set})
            Py_VISIT(held->ptr());
        for (const nb::object &cache : caches)
            Py_VISIT(cache.ptr());
        if (int result = re_machinery.traverse(visit, arg))
            return result;
        if (int result = monitoring.traverse(visit, arg))
            return result;
        if (int result = collections.traverse(visit, arg))
            return result;
        return patterns->traverse(visit, arg);
    }

    void clear() override {
        for (nb::object *held : {&compile, &ignorecase, &pattern_type, &list, &set})
            *held = nb::object();
        caches.clear();
        re_machinery.clear();
        standard_code.clear();
        monitoring.clear();
        collections.clear();
        hit_names.forget();
        patterns->clear();
    }
};

// re's pattern type can neither be subclassed nor changed, so an object of
// it answers `pattern`, `flags` and `findall` with re's own code.
bool is_re_pattern_type(PyObject *type) {
    if (!type || !PyType_Check(type))
        return false;
    auto *pattern_type = reinterpret_cast<PyTypeObject *>(type);
    unsigned long flags = PyType_GetFlags(pattern_type);
    return (flags & Py_TPFLAGS_IMMUTABLETYPE) && !(flags & Py_TPFLAGS_BASETYPE) &&
           std::string_view(pattern_type->tp_name) == "re.Pattern";
}

// --- where re's code reaches its machinery -----------------------------------------

// `name` in a namespace keyed by exact strs (so the lookup runs no code),
// or null: missing, or a namespace that could run code on a lookup.
PyObject *bound_in(PyObject *names, const char *name) {
    if (!names || !vx::guard::keyed_by_exact_str(names))
        return nullptr;
    return PyDict_GetItemString(names, name);
}

// The module bound to `name` in a namespace, or nothing.
nb::object module_bound_in(PyObject *names, const char *name) {
    PyObject *value = bound_in(names, name);
    return value && PyModule_CheckExact(value) ? nb::borrow(value) : nb::object();
}

PyObject *namespace_of(nb::handle module) {
    return module.is_valid() ? PyModule_GetDict(module.ptr()) : nullptr;
}

// The int re's compile keys its caches by for the flags object `flag` (it
// takes the `value` of a RegexFlag, an int as it is), read without running
// Python code: an exact int, or an exact member of re's own RegexFlag whose
// `_value_` (what `value` returns) is one, captured with the machinery so it
// stays that.
std::optional<int64_t> cache_key_of(State &state, PyObject *re_names, nb::handle flag) {
    if (!flag.is_valid())
        return std::nullopt;
    if (PyLong_CheckExact(flag.ptr()))
        return vx::guard::exact_int(flag);
    PyObject *regex_flag = bound_in(re_names, "RegexFlag");
    if (!regex_flag || !PyType_Check(regex_flag) ||
        !Py_IS_TYPE(flag.ptr(), reinterpret_cast<PyTypeObject *>(regex_flag)))
        return std::nullopt;
    PyObject *attributes = PyObject_GenericGetDict(flag.ptr(), nullptr);
    if (!attributes) {
        PyErr_Clear(); // raised by this read itself: no value read
        return std::nullopt;
    }
    nb::object held = nb::steal(attributes);
    std::optional<int64_t> value = vx::guard::exact_int(bound_in(attributes, "_value_"));
    if (value)
        state.re_machinery.capture_object(flag);
    return value;
}

// re's machinery as its code reaches it, never through sys.modules (which
// may hold another module meanwhile): the namespace re.compile runs in, the
// submodules and enum bound there, and the _sre the compiler calls. Each
// namespace is captured under the module name its code was compiled as.
void capture_machinery(State &state, PyObject *re_names) {
    vx::guard::NamespaceSnapshot &snapshot = state.re_machinery;
    snapshot.capture_namespace(re_names, "re", {"_cache", "_cache2"});
    for (const char *name : kReSubmodules) {
        if (nb::object module = module_bound_in(re_names, name); module.is_valid())
            snapshot.capture_module(module, std::string("re.") + name);
    }
    nb::object compiler = module_bound_in(re_names, "_compiler");
    if (nb::object parser = module_bound_in(namespace_of(compiler), "_parser"); parser.is_valid())
        snapshot.capture_module(parser, "re._parser");
    if (nb::object sre = module_bound_in(namespace_of(compiler), "_sre"); sre.is_valid())
        snapshot.capture_module(sre, "_sre");
    if (nb::object enum_module = module_bound_in(re_names, "enum"); enum_module.is_valid())
        snapshot.capture_module(enum_module, "enum");
    if (PyObject *extra_cases = bound_in(namespace_of(compiler), "_EXTRA_CASES"))
        state.folding.load(extra_cases);
}

// Captures what re gave at import. What cannot be captured as expected
// (re changed before this import: a name deleted or rebound to something
// else) leaves the capture empty, so that no automaton is made; the import
// itself goes on, as the plain module's would, and the plain route builds
// with whatever re gives then.
void capture_re(State &state, nb::handle re) {
    state.monitoring.capture();
    state.collections.capture();
    if (!PyModule_CheckExact(re.ptr()))
        return;
    PyObject *re_module_names = PyModule_GetDict(re.ptr());
    PyObject *compile = bound_in(re_module_names, "compile");
    if (!compile || !PyFunction_Check(compile))
        return;
    state.compile = nb::borrow(compile);
    state.ignorecase = nb::borrow(bound_in(re_module_names, "IGNORECASE"));
    PyObject *re_names = PyFunction_GetGlobals(compile);
    capture_machinery(state, re_names);
    state.ignorecase_key = cache_key_of(state, re_names, state.ignorecase);
    state.re_machinery.capture_names_read();
    PyObject *pattern_type = bound_in(re_names, "Pattern");
    std::array<PyObject *, 2> caches = {bound_in(re_names, "_cache"), bound_in(re_names, "_cache2")};
    if (!is_re_pattern_type(pattern_type) || !caches[0] || !caches[1])
        return; // both caches must be there to be checked, or nothing is proved
    state.pattern_type = nb::borrow(pattern_type);
    for (PyObject *cache : caches)
        state.caches.push_back(nb::borrow(cache));
    state.standard_code.locate();
}

// --- proving that a pattern object spells its words ---------------------------------

// True when no entry of re's caches can answer a compile of `text` with
// flags `key_flags` (the int re's compile keys its caches by), and nothing
// the compile drops from them to make room runs Python code when released.
// Each cache is an exact dict whose keys are (type, text, flags) tuples of
// exact types, so that looking one up runs no Python code, none of them is
// (str, <our text>, key_flags), so that re compiles the text anew, and each
// value is an object of re's pattern type that goes quietly: no weak
// reference with a callback but this module's, nothing referenced that
// would run code.
bool caches_leave_the_compile_alone(const State &state, nb::handle text, long key_flags) {
    vx::guard::QuietRelease quiet(reinterpret_cast<PyTypeObject *>(state.pattern_type.ptr()), &forget_pattern_def);
    for (const nb::object &cache : state.caches) {
        if (!PyDict_CheckExact(cache.ptr()))
            return false;
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(cache.ptr(), &position, &key, &value)) {
            if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 3)
                return false;
            PyObject *kind = PyTuple_GET_ITEM(key, 0), *cached = PyTuple_GET_ITEM(key, 1);
            std::optional<int64_t> flags = vx::guard::exact_int(PyTuple_GET_ITEM(key, 2));
            bool plain_text = PyUnicode_CheckExact(cached) || PyBytes_CheckExact(cached);
            if (!Py_IS_TYPE(kind, &PyType_Type) || !plain_text || !flags)
                return false;
            bool answers = kind == reinterpret_cast<PyObject *>(&PyUnicode_Type) && *flags == key_flags &&
                           PyUnicode_CheckExact(cached) && PyUnicode_Compare(cached, text.ptr()) == 0;
            if (answers || !Py_IS_TYPE(value, reinterpret_cast<PyTypeObject *>(state.pattern_type.ptr())) ||
                !quiet(value))
                return false;
        }
    }
    return true;
}

// No callback can run Python code beside what this thread runs now: no
// trace or profile function is set and no sys.monitoring tool registered.
bool unobserved(const State &state) {
    return vx::guard::untraced() && state.monitoring.none_in_use();
}

// Before the call of re.compile: the function about to be called is re's
// compile as captured, with exactly the flags the plain code passes (0, or
// re.IGNORECASE as captured), re's machinery is as it was at import and is
// the standard library's code, no cache entry can answer or runs code when
// dropped, and no callback will run beside it. Then, with the collector
// paused over the call, nothing but that machinery runs in the compile of
// this thread, on our text.
bool compile_is_provable(State &state, nb::handle compile, nb::handle flags, nb::handle text, bool ignore_case) {
    if (!state.pattern_type.is_valid() || !compile.is(state.compile))
        return false;
    bool flags_as_captured = ignore_case ? flags.is(state.ignorecase) && state.ignorecase_key.has_value()
                                         : vx::guard::exact_int(flags) == std::optional<int64_t>(0);
    // (The code was compared with the sources once, before the words were
    // escaped: this asks for the answer kept.)
    if (!flags_as_captured || !state.standard_code.genuine(state.re_machinery))
        return false;
    long key_flags = ignore_case ? static_cast<long>(*state.ignorecase_key) : 0;
    return unobserved(state) && state.re_machinery.holds() && caches_leave_the_compile_alone(state, text, key_flags);
}

// Reads a member of an object of re's pattern type, which runs no Python
// code; null (with only the read's own error cleared) when it fails.
nb::object pattern_member(nb::handle compiled, nb::handle name) {
    PyObject *value = PyObject_GetAttr(compiled.ptr(), name.ptr());
    if (!value)
        PyErr_Clear(); // raised by this read itself (out of memory)
    return nb::steal(value);
}

// Right after the call: what it returned is of re's own pattern type, holds
// our very text object and the flags such a compile gives, and the
// machinery is still as captured, with no callback set meanwhile.
bool compiled_as_proved(const vx::Args &args, nb::handle compiled, nb::handle text, bool ignore_case) {
    const State &state = args.state<State>();
    if (!state.pattern_type.is_valid() ||
        !Py_IS_TYPE(compiled.ptr(), reinterpret_cast<PyTypeObject *>(state.pattern_type.ptr())))
        return false;
    nb::object source = pattern_member(compiled, args.id<"pattern">());
    nb::object flags = pattern_member(compiled, args.id<"flags">());
    long expected = ignore_case ? kEngineUnicode | kEngineIgnoreCase : kEngineUnicode;
    return source.is(text) && vx::guard::exact_int(flags) == std::optional<int64_t>(expected) &&
           state.re_machinery.holds() && unobserved(state);
}

// True while `weak_reference` still leads to `object`.
bool still_refers_to(nb::handle weak_reference, nb::handle object) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(weak_reference.ptr(), &target) < 0) {
        PyErr_Clear(); // raised by this call itself (not a weak reference): no
        return false;
    }
    bool same = target == object.ptr();
    Py_XDECREF(target);
    return same;
#else
    return PyWeakref_GetObject(weak_reference.ptr()) == object.ptr();
#endif
}

// The automaton of this very pattern object: an entry whose weak reference
// no longer leads to it belongs to an earlier object at the same address,
// and the object must still hold the very text the automaton was built for.
std::shared_ptr<const lex::Matcher> registered_matcher(const vx::Args &args, nb::handle pattern) {
    const State &state = args.state<State>();
    if (!state.pattern_type.is_valid() ||
        !Py_IS_TYPE(pattern.ptr(), reinterpret_cast<PyTypeObject *>(state.pattern_type.ptr())))
        return nullptr;
    const RegisteredPattern *entry = state.patterns->find(pattern.ptr());
    if (!entry || !still_refers_to(entry->weak_reference, pattern))
        return nullptr;
    PyObject *text = PyObject_GetAttr(pattern.ptr(), args.id<"pattern">().ptr());
    if (!text) {
        PyErr_Clear(); // raised by this read itself (out of memory): no
        return nullptr;
    }
    bool same_text = text == entry->text.ptr();
    Py_DECREF(text);
    return same_text ? entry->matcher : nullptr;
}

void register_matcher(State &state, nb::handle pattern, nb::handle text, std::shared_ptr<const lex::Matcher> matcher) {
    auto slot = std::make_unique<RegistrySlot>(RegistrySlot{state.patterns, pattern.ptr()});
    PyObject *capsule = PyCapsule_New(slot.get(), kRegistrySlotName, free_registry_slot);
    if (!capsule)
        throw nb::python_error();
    slot.release(); // the capsule owns it now
    nb::object held_capsule = nb::steal(capsule);
    nb::object callback = vx::steal_or_throw(PyCFunction_New(&forget_pattern_def, capsule));
    nb::object weak_reference = vx::steal_or_throw(PyWeakref_NewRef(pattern.ptr(), callback.ptr()));
    state.patterns->add(pattern.ptr(), {std::move(weak_reference), nb::borrow(text), std::move(matcher)});
}

// --- building ----------------------------------------------------------------

// The code units of a str, read while the interpreter's lock is held; the
// str is immutable, so they stay valid for as long as it is referenced.
struct TextUnits {
    const void *data;
    size_t length;
    int kind;

    explicit TextUnits(nb::handle text)
        : data(PyUnicode_DATA(text.ptr())), length(static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr()))),
          kind(PyUnicode_KIND(text.ptr())) {}

    template <class Visit> decltype(auto) visit(Visit visit) const {
        switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return visit(static_cast<const Py_UCS1 *>(data), length);
        case PyUnicode_2BYTE_KIND:
            return visit(static_cast<const Py_UCS2 *>(data), length);
        default:
            return visit(static_cast<const Py_UCS4 *>(data), length);
        }
    }
};

// The words as the automaton needs them, or false when there are none or
// one of them is not a non-empty str (an empty pattern or alternative
// matches the empty string, which changes how re's findall proceeds).
bool collect_words(const std::vector<nb::object> &words, lex::WordList &list) {
    if (words.empty())
        return false;
    size_t total_length = 0;
    for (const nb::object &word : words) {
        if (!PyUnicode_CheckExact(word.ptr()) || PyUnicode_GET_LENGTH(word.ptr()) == 0)
            return false;
        total_length += static_cast<size_t>(PyUnicode_GET_LENGTH(word.ptr()));
    }
    list.reserve(words.size(), total_length);
    for (const nb::object &word : words) {
        TextUnits(word).visit([&](const auto *units, size_t length) { list.add(units, length); });
    }
    return true;
}

// re turns an alternation of words that differ only in their last character
// into a character set, and a case-insensitive set keeps its astral letters
// as written instead of lower-casing them, so that an upper-case one matches
// nothing there while the same letter matches both cases elsewhere. Such a
// word list keeps to re's own search.
bool re_keeps_astral_letters_unlowered(const lex::WordList &list) {
    size_t count = list.size();
    if (count < 2)
        return false;
    size_t length = list.length_of(0);
    const std::vector<lex::CodePoint> &code_points = list.code_points();
    auto word = [&](size_t index) { return code_points.begin() + static_cast<std::ptrdiff_t>(list.begin_of(index)); };
    bool has_unlowered_astral = false;
    for (size_t i = 0; i < count; ++i) {
        if (list.length_of(i) != length || !std::equal(word(0), word(0) + length - 1, word(i)))
            return false;
        lex::CodePoint last = word(i)[length - 1];
        has_unlowered_astral |= last > 0xFFFF && Py_UNICODE_TOLOWER(last) != last;
    }
    return has_unlowered_astral;
}

std::shared_ptr<const lex::Matcher> build_matcher(State &state, lex::WordList words, bool ignore_case) {
    ReCaseFolding &folding = state.folding;
    lex::CaseMapping mapping = lex::exact_case();
    if (ignore_case) {
        std::span<const lex::Variant> variants = folding.text_variants();
        if (!folding.usable())
            return nullptr;
        mapping = {[&folding](lex::CodePoint c) { return folding.word_key(c); }, variants};
    }
    if (words.total_length() < kReleaseGilBuildLength)
        return std::make_shared<const lex::Matcher>(std::move(words), mapping);
    nb::gil_scoped_release release;
    auto matcher = std::make_shared<const lex::Matcher>(std::move(words), mapping);
#ifdef __GLIBC__
    // A large build's scratch memory (several times the automaton's size)
    // is free now; give it back rather than keep it resident.
    malloc_trim(0);
#endif
    return matcher;
}

// Gives a pattern proved to spell `words` its automaton unless one is
// already registered for it. The automaton only speeds up searches, so
// running out of memory building it leaves the pattern to re's own search
// rather than failing the load.
void attach_matcher(const vx::Args &args, nb::handle compiled, nb::handle text, const std::vector<nb::object> &words,
                    bool ignore_case) {
    State &state = args.state<State>();
    if (registered_matcher(args, compiled))
        return;
    try {
        lex::WordList list;
        if (!collect_words(words, list) || (ignore_case && re_keeps_astral_letters_unlowered(list)))
            return;
        std::shared_ptr<const lex::Matcher> matcher = build_matcher(state, std::move(list), ignore_case);
        if (matcher)
            register_matcher(state, compiled, text, std::move(matcher));
    } catch (const nb::python_error &error) {
        if (!error.matches(PyExc_MemoryError))
            throw;
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
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
    nb::object set = args.global<"set">();
    bool builtin_set = vx::guard::is_builtin_type(set, &PySet_Type);
    nb::object seen = builtin_set ? vx::steal_or_throw(PySet_New(nullptr)) : vx::call(set, {});
    nb::object lines = vx::steal_or_throw(PyObject_GetIter(file.ptr()));
    while (PyObject *raw_line = PyIter_Next(lines.ptr())) {
        nb::object line = nb::steal(raw_line);
        nb::object word = vx::call_method(line, args.id<"strip">());
        if (!vx::truth(word))
            continue;
        int known = PySequence_Contains(seen.ptr(), word.ptr());
        if (known < 0)
            throw nb::python_error();
        if (known)
            continue;
        if (!builtin_set)
            vx::call_method(seen, args.id<"add">(), {word});
        else if (PySet_Add(seen.ptr(), word.ptr()) < 0)
            throw nb::python_error();
        if (PyList_Append(words.ptr(), word.ptr()) < 0)
            throw nb::python_error();
    }
    vx::throw_if_error();
}

// --- PromptBanChecker ----------------------------------------------------------

void set_attribute(nb::handle object, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// `raise error`, by the interpreter's rules: a class is called without
// arguments, an instance is raised as it is, anything else is refused.
// The exception is left set and no result returned, which the function
// layer passes on as it is: no C++ exception on this common way out.
nb::object raise_as_python_does(nb::handle error) {
    nb::object instance;
    nb::handle type;
    if (PyExceptionClass_Check(error.ptr())) {
        type = error;
        instance = vx::steal_or_throw(PyObject_CallNoArgs(error.ptr()));
        if (!PyExceptionInstance_Check(instance.ptr())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         error.ptr(), Py_TYPE(instance.ptr()));
            throw nb::python_error();
        }
    } else if (PyExceptionInstance_Check(error.ptr())) {
        instance = nb::borrow(error);
        type = reinterpret_cast<PyObject *>(Py_TYPE(error.ptr()));
    } else {
        vx::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    PyErr_SetObject(type.ptr(), instance.ptr());
    return nb::object();
}

nb::object checker_init(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str ban_word_file = args.str(1);
    bool ignore_case = args.truth(2);
    set_attribute(self, args.id<"ban_word_file">(), ban_word_file);
    set_attribute(self, args.id<"ignore_case">(), ignore_case ? Py_True : Py_False);
    set_attribute(self, args.id<"banned_words">(), vx::steal_or_throw(PyList_New(0)));
    set_attribute(self, args.id<"_ban_regex">(), Py_None);
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
        nb::object shown = vx::steal_or_throw(PyObject_Format(path.ptr(), nullptr));
        nb::object message = vx::steal_or_throw(PyUnicode_Concat(args.id<"违禁词文件不存在: ">().ptr(), shown.ptr()));
        return raise_as_python_does(vx::call(error_class, {message}));
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
    set_attribute(self, args.id<"banned_words">(), words);
    vx::call(nb::getattr(self, args.id<"_build_regex">()), {});
    return nb::none();
}

// "|".join(re.escape(word) for word in words), step by step: the generator
// reads the global `re` and its `escape` anew for every word and calls what
// it finds. `words` receives the words when every escape is an exact str
// that escapes an exact str word exactly as this module does, so that the
// text is known to spell exactly them.
nb::object escaped_alternation(const vx::Args &args, nb::handle banned_words, std::vector<nb::object> &words) {
    const State &state = args.state<State>();
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(banned_words.ptr()));
    nb::object escapes = vx::steal_or_throw(PyList_New(0));
    bool spelled_here = true;
    while (PyObject *raw_word = PyIter_Next(iterator.ptr())) {
        nb::object word = nb::steal(raw_word);
        nb::object escape = nb::getattr(args.global<"re">(), args.id<"escape">());
        nb::object escaped = vx::call(escape, {word});
        spelled_here = spelled_here && state.escapes.escapes_here(word, escaped);
        if (spelled_here)
            words.push_back(word);
        if (PyList_Append(escapes.ptr(), escaped.ptr()) < 0)
            throw nb::python_error();
    }
    vx::throw_if_error();
    if (!spelled_here)
        words.clear();
    return vx::steal_or_throw(PyUnicode_Join(args.id<"|">().ptr(), escapes.ptr()));
}

nb::object checker_build_regex(const vx::Args &args) {
    State &state = args.state<State>();
    nb::handle self = args[0];
    nb::object banned_words = nb::getattr(self, args.id<"banned_words">());
    if (!vx::truth(banned_words)) {
        set_attribute(self, args.id<"_ban_regex">(), Py_None);
        return nb::none();
    }
    // The first build compares re's code with the standard library's sources
    // here, before the words go through re.escape: the garbage that leaves
    // is collected (if at all) while Python code runs there, not inside the
    // compile, which a collection would leave unproved.
    if (state.pattern_type.is_valid())
        state.standard_code.genuine(state.re_machinery);
    std::vector<nb::object> words;
    nb::object pattern = escaped_alternation(args, banned_words, words);
    // re.compile(pattern, flags=re.IGNORECASE if self.ignore_case else 0),
    // read in that order.
    nb::object compile = nb::getattr(args.global<"re">(), args.id<"compile">());
    bool ignore_case = vx::truth(nb::getattr(self, args.id<"ignore_case">()));
    nb::object flags = ignore_case ? nb::getattr(args.global<"re">(), args.id<"IGNORECASE">())
                                   : vx::steal_or_throw(PyLong_FromLong(0));
    bool provable = !words.empty() && compile_is_provable(state, compile, flags, pattern, ignore_case);
    nb::object compiled;
    if (provable) {
        vx::guard::CollectorPause pause(state.collections);
        compiled = vx::call(compile, {pattern}, {{args.id<"flags">(), flags}});
        provable = pause.undisturbed();
    } else {
        compiled = vx::call(compile, {pattern}, {{args.id<"flags">(), flags}});
    }
    bool proved = provable && compiled_as_proved(args, compiled, pattern, ignore_case);
    set_attribute(self, args.id<"_ban_regex">(), compiled);
    if (proved)
        attach_matcher(args, compiled, pattern, words, ignore_case);
    return nb::none();
}

std::vector<lex::Match> scan(const lex::Matcher &matcher, nb::handle text) {
    TextUnits units(text);
    auto find_all = [&](const auto *code_units, size_t length) { return matcher.find_all(code_units, length); };
    if (units.length < kReleaseGilLength)
        return units.visit(find_all);
    nb::gil_scoped_release release;
    return units.visit(find_all);
}

// The first occurrence of each distinct hit text, in order of first
// occurrence. Adding only those to a set, in that order, leaves the set
// exactly as adding every hit would.
template <class Unit>
std::vector<lex::Match> first_occurrences(const Unit *units, const std::vector<lex::Match> &matches) {
    if (matches.size() < 2)
        return matches;
    size_t capacity = 8;
    while (capacity < matches.size() * 2)
        capacity *= 2;
    constexpr uint32_t kEmpty = UINT32_MAX;
    std::vector<uint32_t> slots(capacity, kEmpty);
    std::vector<lex::Match> firsts;
    for (const lex::Match &match : matches) {
        const Unit *begin = units + match.start;
        uint64_t hash = 1469598103934665603ull ^ match.length;
        for (size_t i = 0; i < match.length; ++i)
            hash = (hash ^ begin[i]) * 1099511628211ull;
        size_t slot = static_cast<size_t>(hash ^ (hash >> 29)) & (capacity - 1);
        for (;; slot = (slot + 1) & (capacity - 1)) {
            if (slots[slot] == kEmpty) {
                slots[slot] = static_cast<uint32_t>(firsts.size());
                firsts.push_back(match);
                break;
            }
            const lex::Match &seen = firsts[slots[slot]];
            if (seen.length == match.length && std::equal(begin, begin + match.length, units + seen.start))
                break;
        }
    }
    return firsts;
}

// `list(set(hits))` for hits given as spans of the text.
nb::object distinct_texts(nb::handle text, const std::vector<lex::Match> &matches) {
    nb::object distinct = vx::steal_or_throw(PySet_New(nullptr));
    std::vector<lex::Match> firsts =
        TextUnits(text).visit([&](const auto *units, size_t) { return first_occurrences(units, matches); });
    for (const lex::Match &match : firsts) {
        auto start = static_cast<Py_ssize_t>(match.start);
        auto end = static_cast<Py_ssize_t>(match.start + match.length);
        nb::object hit = vx::steal_or_throw(PyUnicode_Substring(text.ptr(), start, end));
        if (PySet_Add(distinct.ptr(), hit.ptr()) < 0)
            throw nb::python_error();
    }
    return vx::steal_or_throw(PySequence_List(distinct.ptr()));
}

// `list` and `set` resolve to the built-in types found at import.
bool hit_names_hold(State &state, const vx::Args &args) {
    return state.hit_names.holds(state.clock, args, [&](vx::guard::PureReads &reads) {
        return vx::guard::is_original(reads.global<"list">(), state.list) &&
               vx::guard::is_original(reads.global<"set">(), state.set);
    });
}

nb::object checker_find_matched_words(const vx::Args &args) {
    State &state = args.state<State>();
    nb::handle self = args[0];
    nb::str text = args.str(1);
    nb::object regex = nb::getattr(self, args.id<"_ban_regex">());
    if (regex.is_none())
        return vx::steal_or_throw(PyList_New(0));
    if (hit_names_hold(state, args)) {
        if (std::shared_ptr<const lex::Matcher> matcher = registered_matcher(args, regex))
            return distinct_texts(text, scan(*matcher, text));
    }
    // list(set(regex.findall(text))), with the list and set found.
    nb::object list = args.global<"list">();
    nb::object set = args.global<"set">();
    nb::object hits = vx::call(nb::getattr(regex, args.id<"findall">()), {text});
    nb::object distinct = vx::guard::is_builtin_type(set, &PySet_Type) ? vx::steal_or_throw(PySet_New(hits.ptr()))
                                                                       : vx::call(set, {hits});
    if (vx::guard::is_builtin_type(list, &PyList_Type))
        return vx::steal_or_throw(PySequence_List(distinct.ptr()));
    return vx::call(list, {distinct});
}

nb::object checker_check(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str prompt = args.str(1);
    nb::object hit_words = vx::call(nb::getattr(self, args.id<"find_matched_words">()), {prompt});
    if (!vx::truth(hit_words))
        return vx::checked_str_result(nb::borrow(prompt));
    // raise PromptBanError(error_msg="Prohibited prompt words: " + ",".join(hit_words), data=hit_words)
    nb::object error_class = args.global<"PromptBanError">();
    nb::object joined = vx::steal_or_throw(PyUnicode_Join(args.id<",">().ptr(), hit_words.ptr()));
    nb::object message =
        vx::steal_or_throw(PyUnicode_Concat(args.id<"Prohibited prompt words: ">().ptr(), joined.ptr()));
    nb::object error = vx::call(error_class, {}, {{args.id<"error_msg">(), message}, {args.id<"data">(), hit_words}});
    return raise_as_python_does(error);
}

// --- module set-up ---------------------------------------------------------------

// `from .exceptions import PromptBanError`, resolved against this module's
// package as the statement resolves it (its __package__ and __spec__),
// failing the import like the statement would.
nb::object import_prompt_ban_error(nb::handle module) {
    nb::str name("PromptBanError");
    nb::object fromlist = nb::make_tuple(name);
    nb::str exceptions_name("exceptions");
    nb::object exceptions = vx::steal_or_throw(PyImport_ImportModuleLevelObject(
        exceptions_name.ptr(), PyModule_GetDict(module.ptr()), nullptr, fromlist.ptr(), 1));
    return vx::ModuleContext::take_from(exceptions, name);
}

} // namespace

VX_MODULE(lexgard, State, kSource, module) {
    State &state = module.state_as<State>();
    module.bind("__doc__", nb::str(kModuleDoc));
    module.bind("os", vx::ModuleContext::import("os"));
    nb::object re = vx::ModuleContext::import("re");
    module.bind("re", re);
    module.bind("List", vx::ModuleContext::import_from("typing", "List"));
    module.bind("Set", vx::ModuleContext::import_from("typing", "Set"));
    module.bind("PromptBanError", import_prompt_ban_error(module.module));
    state.clock.start();
    capture_re(state, re);
    state.list = vx::guard::original_builtin_type("list", &PyList_Type);
    state.set = vx::guard::original_builtin_type("set", &PySet_Type);

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
