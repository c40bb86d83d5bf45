// valdrix.lexgard: screens prompts against a file of banned words. The words
// are compiled into one `re` alternation, as the host expects to find it on
// the instance; beside it a native automaton built from the same words and
// flags answers the searches of that very pattern object.
#include <vxcore/lexgard_matcher.hpp>
#include <vxnative/native.hpp>
#include <vxnative/with_statement.hpp>

#include <algorithm>
#include <array>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
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

// --- the re module's case-insensitive comparison ----------------------------

bool is_cased(Py_UCS4 c) {
    return Py_UNICODE_TOLOWER(c) != c || Py_UNICODE_TOUPPER(c) != c;
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
    // group, as re's compiler reads it.
    void load(nb::handle extra_cases) {
        std::unordered_map<lex::CodePoint, std::vector<lex::CodePoint>> groups;
        for (auto [key, others] : nb::borrow<nb::dict>(extra_cases)) {
            std::vector<lex::CodePoint> &group = groups[nb::cast<lex::CodePoint>(key)];
            group.push_back(nb::cast<lex::CodePoint>(key));
            for (nb::handle other : others)
                group.push_back(nb::cast<lex::CodePoint>(other));
            std::sort(group.begin(), group.end());
        }
        for (const auto &[key, group] : groups)
            least_of_group_[key] = group.front();
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
    // Every member of a group must list the same group, or keys would not
    // be an equivalence.
    static bool groups_are_closed(const std::unordered_map<lex::CodePoint, std::vector<lex::CodePoint>> &groups) {
        for (const auto &[key, group] : groups) {
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

// The characters re.escape puts a backslash before, written here rather than
// read from re: every one of them is ASCII and neither a letter nor a digit,
// so a backslash before it stands for the character itself, and the pattern
// text this module writes therefore means exactly its words.
constexpr std::string_view kSpecialCharacters = "()[]{}?*+-|^$\\.&~# \t\n\r\v\f";

class EscapeTable {
  public:
    EscapeTable() {
        for (char c : kSpecialCharacters)
            special_[static_cast<unsigned char>(c)] = true;
    }

    bool special(Py_UCS4 c) const { return c < special_.size() && special_[c]; }

    // True while `map` (re.escape's translation table, as re.escape will
    // read it) gives every character exactly this table's escape: then the
    // text written here is what re.escape returns for an exact str.
    bool agrees_with(nb::handle map) const {
        if (!map.is_valid() || !PyDict_CheckExact(map.ptr()) ||
            PyDict_GET_SIZE(map.ptr()) != static_cast<Py_ssize_t>(kSpecialCharacters.size()))
            return false;
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(map.ptr(), &position, &key, &value)) {
            if (!PyLong_CheckExact(key) || !PyUnicode_CheckExact(value) || PyUnicode_GET_LENGTH(value) != 2)
                return false;
            int overflow = 0;
            long code = PyLong_AsLongAndOverflow(key, &overflow);
            if (overflow || code < 0 || code >= 128 || !special_[static_cast<size_t>(code)])
                return false;
            if (PyUnicode_READ_CHAR(value, 0) != '\\' || PyUnicode_READ_CHAR(value, 1) != static_cast<Py_UCS4>(code))
                return false;
        }
        return true;
    }

  private:
    std::array<bool, 128> special_{};
};

// What the module captured from `re` when it was imported. The automaton is
// only built for a pattern object when the build went through these very
// objects, in the state they had then, and the object is of re's own
// pattern type with our text and flags.
struct ReModule {
    nb::object module;
    nb::object escape;
    nb::object escape_code;
    nb::object compile;
    nb::object pattern_type;
    nb::object compiler_module;
    nb::object extra_cases;      // the table re's compiler reads
    nb::object extra_cases_copy; // its contents when captured
    long ignorecase = 0;
    long unicode = 0;
    ReCaseFolding folding;
    EscapeTable escapes;
};
// Lives until the process ends, like the module itself.
ReModule &captured_re() {
    static ReModule *re = new ReModule;
    return *re;
}

long flag_value(nb::handle flag) {
    long value = PyLong_AsLong(flag.ptr());
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

// re's pattern type can neither be subclassed nor changed, so an object of
// it answers `pattern`, `flags` and `findall` with re's own code.
bool is_re_pattern_type(nb::handle type) {
    if (!PyType_Check(type.ptr()))
        return false;
    auto *pattern_type = reinterpret_cast<PyTypeObject *>(type.ptr());
    unsigned long flags = PyType_GetFlags(pattern_type);
    return (flags & Py_TPFLAGS_IMMUTABLETYPE) && !(flags & Py_TPFLAGS_BASETYPE) &&
           std::string_view(pattern_type->tp_name) == "re.Pattern";
}

void capture_re(nb::handle re) {
    ReModule &captured = captured_re();
    captured.module = nb::borrow(re);
    captured.escape = re.attr("escape");
    captured.escape_code = nb::getattr(captured.escape, "__code__", nb::none());
    captured.compile = re.attr("compile");
    nb::object pattern_type = re.attr("Pattern");
    if (is_re_pattern_type(pattern_type))
        captured.pattern_type = pattern_type;
    captured.ignorecase = flag_value(re.attr("IGNORECASE"));
    captured.unicode = flag_value(re.attr("UNICODE"));
    try {
        captured.compiler_module = nb::module_::import_("re._compiler");
        nb::object extra_cases = captured.compiler_module.attr("_EXTRA_CASES");
        if (PyDict_CheckExact(extra_cases.ptr())) {
            captured.folding.load(extra_cases);
            captured.extra_cases = extra_cases;
            captured.extra_cases_copy = vx::steal_or_throw(PyDict_Copy(extra_cases.ptr()));
        }
    } catch (const nb::python_error &) {
        // Without the table, case-insensitive patterns keep to re's own search.
    } catch (const nb::cast_error &) {
    }
}

// True while re.escape is the function captured at import, running the code
// it had then against a translation table equal to ours, with the built-in
// isinstance and str: exact str words may then be escaped here.
bool escape_is_ours(nb::handle escape) {
    const ReModule &captured = captured_re();
    if (!escape.is(captured.escape) || !PyFunction_Check(escape.ptr()))
        return false;
    if (!nb::handle(PyFunction_GetCode(escape.ptr())).is(captured.escape_code))
        return false;
    nb::handle map = PyDict_GetItemWithError(PyFunction_GetGlobals(escape.ptr()), VX_ID("_special_chars_map").ptr());
    vx::throw_if_error();
    if (!captured.escapes.agrees_with(map))
        return false;
    return vx::is_builtin_function(vx::global_seen_by(escape.ptr(), VX_ID("isinstance")), "isinstance") &&
           vx::global_seen_by(escape.ptr(), VX_ID("str")) == reinterpret_cast<PyObject *>(&PyUnicode_Type);
}

// True while re's compiler reads the same table of extra cases, with the
// contents the case folding here was built from.
bool extra_cases_unchanged() {
    const ReModule &captured = captured_re();
    if (!captured.extra_cases.is_valid() || !captured.folding.usable())
        return false;
    PyObject *current = PyObject_GetAttrString(captured.compiler_module.ptr(), "_EXTRA_CASES");
    if (!current) {
        PyErr_Clear();
        return false;
    }
    nb::object held = nb::steal(current);
    if (!held.is(captured.extra_cases))
        return false;
    int equal = PyObject_RichCompareBool(held.ptr(), captured.extra_cases_copy.ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal == 1;
}

// --- automata of the patterns our builds produced ----------------------------

// Keyed by the pattern object's identity; an entry goes when its pattern is
// released (a weak reference's callback), so an address is never reused
// while it is still listed.
struct RegisteredPattern {
    nb::object weak_reference;
    nb::object text; // the pattern's own text object, held
    std::shared_ptr<const lex::Matcher> matcher;
};

std::unordered_map<PyObject *, RegisteredPattern> &registry() {
    static auto *patterns = new std::unordered_map<PyObject *, RegisteredPattern>;
    return *patterns;
}

PyObject *forget_pattern(PyObject *address, PyObject *weak_reference) {
    void *pattern = PyLong_AsVoidPtr(address);
    if (!pattern && PyErr_Occurred())
        return nullptr;
    auto &patterns = registry();
    auto it = patterns.find(static_cast<PyObject *>(pattern));
    if (it != patterns.end() && it->second.weak_reference.ptr() == weak_reference)
        patterns.erase(it);
    Py_RETURN_NONE;
}

PyMethodDef forget_pattern_def = {"_forget_pattern", forget_pattern, METH_O, nullptr};

void register_matcher(nb::handle pattern, nb::handle text, std::shared_ptr<const lex::Matcher> matcher) {
    nb::object address = vx::steal_or_throw(PyLong_FromVoidPtr(pattern.ptr()));
    nb::object callback = vx::steal_or_throw(PyCFunction_New(&forget_pattern_def, address.ptr()));
    nb::object weak_reference = vx::steal_or_throw(PyWeakref_NewRef(pattern.ptr(), callback.ptr()));
    registry()[pattern.ptr()] = {std::move(weak_reference), nb::borrow(text), std::move(matcher)};
}

// True while `weak_reference` still leads to `object`.
bool still_refers_to(nb::handle weak_reference, nb::handle object) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(weak_reference.ptr(), &target) < 0) {
        PyErr_Clear();
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
std::shared_ptr<const lex::Matcher> registered_matcher(nb::handle pattern) {
    auto &patterns = registry();
    auto it = patterns.find(pattern.ptr());
    if (it == patterns.end() || !still_refers_to(it->second.weak_reference, pattern))
        return nullptr;
    if (!Py_IS_TYPE(pattern.ptr(), reinterpret_cast<PyTypeObject *>(captured_re().pattern_type.ptr())))
        return nullptr;
    PyObject *text = PyObject_GetAttr(pattern.ptr(), VX_ID("pattern").ptr());
    if (!text) {
        PyErr_Clear();
        return nullptr;
    }
    bool same_text = text == it->second.text.ptr();
    Py_DECREF(text);
    return same_text ? it->second.matcher : nullptr;
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

// True when `compiled` is re's own compiled form of exactly `pattern` (the
// text written here) with our flags, built through the function captured
// at import.
bool is_our_pattern(nb::handle re, nb::handle compile, nb::handle compiled, nb::handle pattern, bool ignore_case) {
    const ReModule &captured = captured_re();
    if (!re.is(captured.module) || !compile.is(captured.compile) || !captured.pattern_type.is_valid())
        return false;
    if (!Py_IS_TYPE(compiled.ptr(), reinterpret_cast<PyTypeObject *>(captured.pattern_type.ptr())))
        return false;
    if (ignore_case && !extra_cases_unchanged())
        return false;
    long expected_flags = captured.unicode | (ignore_case ? captured.ignorecase : 0);
    if (flag_value(compiled.attr("flags")) != expected_flags)
        return false;
    nb::object source = compiled.attr("pattern");
    return PyUnicode_CheckExact(source.ptr()) && PyUnicode_Compare(source.ptr(), pattern.ptr()) == 0;
}

std::shared_ptr<const lex::Matcher> build_matcher(lex::WordList words, bool ignore_case) {
    ReCaseFolding &folding = captured_re().folding;
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

// Gives the pattern its automaton unless one is already registered for it
// (re hands out its cached object for the same text and flags). The
// automaton only speeds up searches, so running out of memory building it
// leaves the pattern to re's own search rather than failing the load.
void attach_matcher(nb::handle compiled, const std::vector<nb::object> &words, bool ignore_case) {
    if (registered_matcher(compiled))
        return;
    nb::object text = compiled.attr("pattern");
    try {
        lex::WordList list;
        if (!collect_words(words, list) || (ignore_case && re_keeps_astral_letters_unlowered(list)))
            return;
        std::shared_ptr<const lex::Matcher> matcher = build_matcher(std::move(list), ignore_case);
        if (matcher)
            register_matcher(compiled, text, std::move(matcher));
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
void read_distinct_words(nb::handle file, nb::handle words) {
    nb::object seen = vx::steal_or_throw(PySet_New(nullptr));
    nb::object lines = vx::steal_or_throw(PyObject_GetIter(file.ptr()));
    while (PyObject *raw_line = PyIter_Next(lines.ptr())) {
        nb::object line = nb::steal(raw_line);
        nb::object word = vx::steal_or_throw(PyObject_CallMethodNoArgs(line.ptr(), VX_ID("strip").ptr()));
        if (!vx::truth(word))
            continue;
        int known = PySet_Contains(seen.ptr(), word.ptr());
        if (known < 0)
            throw nb::python_error();
        if (known)
            continue;
        if (PySet_Add(seen.ptr(), word.ptr()) < 0)
            throw nb::python_error();
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
    self.attr(VX_ID("ban_word_file")) = ban_word_file;
    self.attr(VX_ID("ignore_case")) = nb::bool_(ignore_case);
    self.attr(VX_ID("banned_words")) = nb::list();
    self.attr(VX_ID("_ban_regex")) = nb::none();
    self.attr(VX_ID("load_banned_words"))();
    return nb::none();
}

nb::object checker_load_banned_words(const vx::Args &args) {
    nb::handle self = args[0];
    // os.path.exists(self.ban_word_file): the callee first, then the
    // argument; the message and open read the attribute again.
    nb::object exists = args.global(VX_ID("os")).attr(VX_ID("path")).attr(VX_ID("exists"));
    if (!vx::truth(exists(self.attr(VX_ID("ban_word_file"))))) {
        nb::object path = self.attr(VX_ID("ban_word_file"));
        nb::object shown = vx::steal_or_throw(PyObject_Format(path.ptr(), nullptr));
        nb::object message = vx::steal_or_throw(PyUnicode_Concat(nb::str("违禁词文件不存在: ").ptr(), shown.ptr()));
        vx::raise_object(PyExc_FileNotFoundError, message);
    }
    nb::object open = args.global(VX_ID("open"));
    nb::object manager = open(self.attr(VX_ID("ban_word_file")), "r", "encoding"_a = "utf-8");
    nb::list words;
    vx::with_context(manager, [&](nb::handle file) { read_distinct_words(file, words); });
    words.attr(VX_ID("sort"))("key"_a = args.global(VX_ID("len")), "reverse"_a = true);
    self.attr(VX_ID("banned_words")) = words;
    self.attr(VX_ID("_build_regex"))();
    return nb::none();
}

// --- the pattern text ------------------------------------------------------------

// A word of the alternation: the word itself, to be escaped with re's table
// here, or what re.escape returned for it.
struct AlternationItem {
    nb::object text;
    bool escape_here;
};

size_t escaped_length(const AlternationItem &item) {
    TextUnits units(item.text);
    if (!item.escape_here)
        return units.length;
    const EscapeTable &table = captured_re().escapes;
    return units.visit([&](const auto *code_units, size_t length) {
        return length + static_cast<size_t>(
                            std::count_if(code_units, code_units + length, [&](auto c) { return table.special(c); }));
    });
}

// Writes the item's text at `position` of `out`, escaping as re.escape does.
size_t write_item(const AlternationItem &item, PyObject *out, size_t position) {
    int kind = PyUnicode_KIND(out);
    void *data = PyUnicode_DATA(out);
    const EscapeTable &table = captured_re().escapes;
    TextUnits(item.text).visit([&](const auto *code_units, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            Py_UCS4 c = code_units[i];
            if (item.escape_here && table.special(c))
                PyUnicode_WRITE(kind, data, position++, '\\');
            PyUnicode_WRITE(kind, data, position++, c);
        }
    });
    return position;
}

nb::object materialize(const AlternationItem &item) {
    if (!item.escape_here)
        return item.text;
    nb::object out = vx::steal_or_throw(
        PyUnicode_New(static_cast<Py_ssize_t>(escaped_length(item)), PyUnicode_MAX_CHAR_VALUE(item.text.ptr())));
    write_item(item, out.ptr(), 0);
    return out;
}

// "|".join(items), written in one piece when every item is a str, else left
// to str.join for its own error.
nb::object join_alternation(const std::vector<AlternationItem> &items) {
    if (items.empty())
        return nb::str("");
    size_t length = items.size() - 1;
    Py_UCS4 max_char = '|';
    for (const AlternationItem &item : items) {
        if (!PyUnicode_Check(item.text.ptr())) {
            nb::list texts;
            for (const AlternationItem &each : items)
                texts.append(materialize(each));
            return vx::steal_or_throw(PyUnicode_Join(nb::str("|").ptr(), texts.ptr()));
        }
        length += escaped_length(item);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(item.text.ptr()));
    }
    nb::object pattern = vx::steal_or_throw(PyUnicode_New(static_cast<Py_ssize_t>(length), max_char));
    size_t position = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            PyUnicode_WRITE(PyUnicode_KIND(pattern.ptr()), PyUnicode_DATA(pattern.ptr()), position++, '|');
        position = write_item(items[i], pattern.ptr(), position);
    }
    return pattern;
}

// "|".join(re.escape(word) for word in words). While re.escape is re's own
// function with its own table, exact str words are escaped here: the same
// text, without a str object per word. Everything else goes through
// re.escape, in list order. The generator reads the global `re` and its
// `escape` anew for every word; that can only give something else after
// Python code ran (a word's own translate, a replaced escape, an iterator
// other than a list's or tuple's), so they are read again after each.
// `words` receives the words only when every one of them was escaped here,
// so that the pattern text is known to spell exactly them.
nb::object escaped_alternation(const vx::Args &args, nb::handle banned_words, std::vector<nb::object> &words) {
    bool plain_iteration = PyList_CheckExact(banned_words.ptr()) || PyTuple_CheckExact(banned_words.ptr());
    nb::object escape;
    bool escape_natively = false;
    bool all_escaped_here = true;
    std::vector<AlternationItem> items;
    for (nb::handle word : banned_words) {
        if (!escape.is_valid()) {
            escape = args.global(VX_ID("re")).attr(VX_ID("escape"));
            escape_natively = escape_is_ours(escape);
        }
        if (escape_natively && PyUnicode_CheckExact(word.ptr())) {
            items.push_back({nb::borrow(word), true});
        } else {
            all_escaped_here = false;
            items.push_back({escape(word), false});
            escape = nb::object();
        }
        if (!plain_iteration)
            escape = nb::object();
    }
    nb::object pattern = join_alternation(items);
    if (all_escaped_here) {
        for (const AlternationItem &item : items)
            words.push_back(item.text);
    }
    return pattern;
}

// --- PromptBanChecker, continued -----------------------------------------------------

nb::object checker_build_regex(const vx::Args &args) {
    nb::handle self = args[0];
    nb::object banned_words = self.attr(VX_ID("banned_words"));
    if (!vx::truth(banned_words)) {
        self.attr(VX_ID("_ban_regex")) = nb::none();
        return nb::none();
    }
    std::vector<nb::object> words;
    nb::object pattern = escaped_alternation(args, banned_words, words);
    // re.compile(pattern, flags=re.IGNORECASE if self.ignore_case else 0),
    // read in that order.
    nb::object re = args.global(VX_ID("re"));
    nb::object compile = re.attr(VX_ID("compile"));
    bool ignore_case = vx::truth(self.attr(VX_ID("ignore_case")));
    nb::object flags =
        ignore_case ? nb::object(args.global(VX_ID("re")).attr(VX_ID("IGNORECASE"))) : nb::object(nb::int_(0));
    nb::object compiled = compile(pattern, "flags"_a = flags);
    self.attr(VX_ID("_ban_regex")) = compiled;
    if (!words.empty() && is_our_pattern(re, compile, compiled, pattern, ignore_case))
        attach_matcher(compiled, words, ignore_case);
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

nb::object checker_find_matched_words(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str text = args.str(1);
    nb::object regex = self.attr(VX_ID("_ban_regex"));
    if (regex.is_none())
        return nb::list();
    if (std::shared_ptr<const lex::Matcher> matcher = registered_matcher(regex))
        return distinct_texts(text, scan(*matcher, text));
    nb::object hits = regex.attr(VX_ID("findall"))(text);
    nb::object distinct = vx::steal_or_throw(PySet_New(hits.ptr()));
    return vx::steal_or_throw(PySequence_List(distinct.ptr()));
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

nb::object checker_check(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str prompt = args.str(1);
    nb::object hit_words = self.attr(VX_ID("find_matched_words"))(prompt);
    if (vx::truth(hit_words)) {
        nb::object joined = vx::steal_or_throw(PyUnicode_Join(VX_ID(",").ptr(), hit_words.ptr()));
        nb::object message =
            vx::steal_or_throw(PyUnicode_Concat(VX_ID("Prohibited prompt words: ").ptr(), joined.ptr()));
        // PromptBanError(error_msg=message, data=hit_words), keyword names
        // made once.
        static PyObject *keyword_names = nullptr;
        if (!keyword_names && !(keyword_names = Py_BuildValue("(ss)", "error_msg", "data")))
            throw nb::python_error();
        nb::object error_class = args.global(VX_ID("PromptBanError"));
        PyObject *call_args[] = {nullptr, message.ptr(), hit_words.ptr()};
        nb::object error = vx::steal_or_throw(
            PyObject_Vectorcall(error_class.ptr(), call_args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword_names));
        return raise_as_python_does(error);
    }
    return vx::checked_str_result(nb::borrow(prompt));
}

// --- module set-up ---------------------------------------------------------------

// `from .exceptions import PromptBanError`, resolved against this module's
// package, failing the import like the statement would.
nb::object import_prompt_ban_error(nb::handle module) {
    nb::str name = nb::borrow<nb::str>(module.attr("__name__"));
    nb::object package = nb::getattr(module, "__package__", nb::none());
    if (!PyUnicode_Check(package.ptr()) || PyUnicode_GET_LENGTH(package.ptr()) == 0)
        package = name.attr("rpartition")(".")[0];
    nb::dict globals;
    globals["__name__"] = name;
    globals["__package__"] = package;
    nb::tuple fromlist = nb::make_tuple("PromptBanError");
    nb::object exceptions =
        vx::steal_or_throw(PyImport_ImportModuleLevel("exceptions", globals.ptr(), nullptr, fromlist.ptr(), 1));
    return vx::ModuleContext::take_from(exceptions, nb::str("PromptBanError"));
}

} // namespace

VX_MODULE(lexgard, module) {
    module.attr("__doc__") = kModuleDoc;
    vx::ModuleContext context{module, kSource};
    context.bind("os", vx::ModuleContext::import("os"));
    nb::object re = vx::ModuleContext::import("re");
    context.bind("re", re);
    nb::object typing = vx::ModuleContext::import("typing");
    context.bind("List", typing.attr("List"));
    context.bind("Set", typing.attr("Set"));
    context.bind("PromptBanError", import_prompt_ban_error(module));
    capture_re(re);

    vx::ClassBuilder checker(context, "PromptBanChecker", kClassDoc);
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
