// Multi-word matcher for prompt screening: an Aho-Corasick automaton over
// code points that finds the same matches as a regular-expression alternation
// of literal words, w1|w2|...|wn, scanned left to right:
//   - the leftmost position where any word matches wins;
//   - at that position the word earliest in the list wins;
//   - the next search starts where that match ends (no overlaps).
// How characters compare is pluggable (exact, or a case-insensitive mapping
// supplied by the caller), so this header needs nothing from the interpreter.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <span>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

namespace vxcore::lexgard {

using CodePoint = std::uint32_t;
inline constexpr CodePoint kMaxCodePoint = 0x10FFFF;

// A code point whose comparison key is not the code point itself.
struct Variant {
    CodePoint code_point;
    CodePoint key;
};

// How characters compare: a word character and a text character match when
// their keys are equal. Word characters are keyed by `word_key`; a text
// character is its own key unless `text_variants` lists it. A consistent
// mapping keys every character the same way on both sides.
struct CaseMapping {
    std::function<CodePoint(CodePoint)> word_key;
    std::span<const Variant> text_variants;
};

inline CaseMapping exact_case() {
    return {[](CodePoint c) { return c; }, {}};
}

// One match, in code points of the scanned text.
struct Match {
    std::size_t start;
    std::size_t length;
};

// The words to match, in priority order, as one run of code points.
class WordList {
  public:
    void reserve(std::size_t words, std::size_t code_points) {
        ends_.reserve(words);
        code_points_.reserve(code_points);
    }

    template <class Unit> void add(const Unit *units, std::size_t count) {
        if (count == 0)
            throw std::invalid_argument("empty words cannot be matched");
        code_points_.insert(code_points_.end(), units, units + count);
        ends_.push_back(code_points_.size());
    }

    std::size_t size() const { return ends_.size(); }
    std::size_t total_length() const { return code_points_.size(); }
    std::size_t begin_of(std::size_t word) const { return word == 0 ? 0 : ends_[word - 1]; }
    std::size_t length_of(std::size_t word) const { return ends_[word] - begin_of(word); }
    std::vector<CodePoint> &code_points() { return code_points_; }
    const std::vector<CodePoint> &code_points() const { return code_points_; }

  private:
    std::vector<CodePoint> code_points_;
    std::vector<std::size_t> ends_;
};

// Maps every code point to the class of its key (0: no word uses it), in
// pages of 256 so that only the pages words touch take memory.
template <class Label> class CharClassTable {
  public:
    static constexpr unsigned kPageBits = 8;
    static constexpr std::size_t kPageSize = std::size_t{1} << kPageBits;
    static constexpr std::size_t kPageCount = (kMaxCodePoint >> kPageBits) + 1;

    CharClassTable() : page_of_(kPageCount, 0), entries_(kPageSize, 0) {}

    Label operator()(CodePoint c) const {
        if (c > kMaxCodePoint)
            return 0;
        return entries_[(std::size_t{page_of_[c >> kPageBits]} << kPageBits) | (c & (kPageSize - 1))];
    }

    void set(CodePoint c, Label value) {
        if (c > kMaxCodePoint)
            return;
        std::uint16_t &page = page_of_[c >> kPageBits];
        if (page == 0) {
            if (value == 0)
                return;
            page = static_cast<std::uint16_t>(entries_.size() >> kPageBits);
            entries_.resize(entries_.size() + kPageSize, 0);
        }
        entries_[(std::size_t{page} << kPageBits) | (c & (kPageSize - 1))] = value;
    }

    // The same table with narrower (or wider) entries.
    template <class Other> CharClassTable<Other> converted() const {
        CharClassTable<Other> result;
        result.page_of_ = page_of_;
        result.entries_.assign(entries_.begin(), entries_.end());
        return result;
    }

    void shrink() { entries_.shrink_to_fit(); }
    std::size_t memory_bytes() const {
        return page_of_.capacity() * sizeof(std::uint16_t) + entries_.capacity() * sizeof(Label);
    }

  private:
    template <class> friend class CharClassTable;
    std::vector<std::uint16_t> page_of_; // page 0 is all zeros, shared by untouched pages
    std::vector<Label> entries_;
};

// The trie of all words over character classes, in breadth-first order,
// with failure links. Nodes take three words of memory: the class of the
// edge from the parent, the index of the first child (children are
// contiguous and sorted by class), and the failure link with two flags.
template <class Label> class Automaton {
  public:
    // `classes` holds the class of every word character, word by word.
    Automaton(const WordList &words, const std::vector<std::uint32_t> &classes, std::uint32_t class_count,
              CharClassTable<Label> table)
        : table_(std::move(table)) {
        build_trie(words, classes);
        build_root_table(class_count);
        build_failure_links();
    }

    template <class Unit> void find_all(const Unit *text, std::size_t length, std::vector<Match> &matches) const {
        std::size_t position = 0;
        while (position < length) {
            Candidate found = leftmost(text, length, position);
            if (!found.valid)
                return;
            matches.push_back({found.start, found.length});
            position = found.start + found.length;
        }
    }

    std::size_t node_count() const { return labels_.size(); }

    std::size_t memory_bytes() const {
        return labels_.capacity() * sizeof(Label) + first_child_.capacity() * 4 + links_.capacity() * 4 +
               root_next_.capacity() * 4 + level_begin_.capacity() * 4 + terminals_.capacity() * sizeof(Terminal) +
               table_.memory_bytes();
    }

  private:
    static constexpr std::uint32_t kTerminal = 1u << 31;  // a word ends here
    static constexpr std::uint32_t kHasOutput = 1u << 30; // a word ends here or at a suffix of this node
    static constexpr std::uint32_t kLinkMask = kHasOutput - 1;
    static constexpr std::uint32_t kRoot = 0;
    static constexpr std::uint32_t kNone = 0; // the root is nobody's child

    struct Terminal {
        std::uint32_t node;
        std::uint32_t priority; // index of the first word in the list that ends here
    };

    struct Candidate {
        bool valid = false;
        std::size_t start = 0;
        std::size_t length = 0;
        std::uint32_t priority = 0;
    };

    // --- construction ------------------------------------------------------

    // Words sorted by their class sequences share prefixes with their
    // neighbours, so each level of the trie is one pass over the words that
    // are still long enough, and nodes come out in breadth-first order.
    void build_trie(const WordList &words, const std::vector<std::uint32_t> &classes) {
        std::vector<std::uint32_t> order = sorted_words(words, classes);
        std::vector<std::uint32_t> node_of(order.size(), kRoot);
        std::vector<std::uint32_t> active(order.size());
        std::iota(active.begin(), active.end(), 0u);
        std::vector<std::uint32_t> child_counts;
        child_counts.reserve(words.total_length() + 2); // one per node, plus one past the last
        child_counts.push_back(0);
        labels_.reserve(words.total_length() + 1);
        labels_.push_back(0);
        level_begin_ = {0, 1};
        for (std::size_t depth = 0; !active.empty(); ++depth) {
            active = build_level(words, classes, order, depth, active, node_of, child_counts);
            level_begin_.push_back(static_cast<std::uint32_t>(labels_.size()));
        }
        labels_.shrink_to_fit();
        level_begin_.shrink_to_fit();
        terminals_.shrink_to_fit();
        first_child_ = std::move(child_counts);
        first_child_.push_back(0);
        first_child_.shrink_to_fit();
        std::exclusive_scan(first_child_.begin(), first_child_.end(), first_child_.begin(), 1u);
    }

    static std::vector<std::uint32_t> sorted_words(const WordList &words, const std::vector<std::uint32_t> &classes) {
        std::vector<std::uint32_t> order(words.size());
        std::iota(order.begin(), order.end(), 0u);
        auto sequence = [&](std::uint32_t word) {
            return std::span<const std::uint32_t>(classes.data() + words.begin_of(word), words.length_of(word));
        };
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            auto left = sequence(a), right = sequence(b);
            return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
        });
        return order;
    }

    // Adds the nodes at depth + 1; returns the words that go deeper still.
    std::vector<std::uint32_t> build_level(const WordList &words, const std::vector<std::uint32_t> &classes,
                                           const std::vector<std::uint32_t> &order, std::size_t depth,
                                           const std::vector<std::uint32_t> &active,
                                           std::vector<std::uint32_t> &node_of,
                                           std::vector<std::uint32_t> &child_counts) {
        std::vector<std::uint32_t> deeper;
        std::uint32_t last_parent = kLinkMask, last_class = 0, node = kRoot;
        for (std::uint32_t slot : active) {
            std::uint32_t word = order[slot];
            std::uint32_t parent = node_of[slot];
            std::uint32_t cls = classes[words.begin_of(word) + depth];
            if (parent != last_parent || cls != last_class) {
                node = add_node(cls, parent, child_counts);
                last_parent = parent;
                last_class = cls;
            }
            node_of[slot] = node;
            if (words.length_of(word) == depth + 1)
                mark_terminal(node, word);
            else
                deeper.push_back(slot);
        }
        return deeper;
    }

    std::uint32_t add_node(std::uint32_t cls, std::uint32_t parent, std::vector<std::uint32_t> &child_counts) {
        if (labels_.size() >= kLinkMask)
            throw std::length_error("too many characters in the word list");
        labels_.push_back(static_cast<Label>(cls));
        ++child_counts[parent];
        child_counts.push_back(0);
        return static_cast<std::uint32_t>(labels_.size() - 1);
    }

    // Words with the same class sequence are neighbours in sorted order, the
    // earliest in the list first: that one takes the node.
    void mark_terminal(std::uint32_t node, std::uint32_t word) {
        if (terminals_.empty() || terminals_.back().node != node)
            terminals_.push_back({node, word});
    }

    void build_root_table(std::uint32_t class_count) {
        root_next_.assign(std::size_t{class_count} + 1, kNone);
        for (std::uint32_t child = first_child_[kRoot]; child < first_child_[kRoot + 1]; ++child)
            root_next_[labels_[child]] = child;
    }

    // Breadth-first order means a node's failure link is known before its
    // children need it.
    void build_failure_links() {
        links_.assign(labels_.size(), 0);
        for (const Terminal &terminal : terminals_)
            links_[terminal.node] = kTerminal | kHasOutput;
        for (std::uint32_t node = 0; node < labels_.size(); ++node) {
            for (std::uint32_t child = first_child_[node]; child < first_child_[node + 1]; ++child) {
                std::uint32_t fail = node == kRoot ? kRoot : step(link(node), labels_[child]);
                links_[child] |= fail | (links_[fail] & kHasOutput);
            }
        }
    }

    // --- scanning ----------------------------------------------------------

    std::uint32_t link(std::uint32_t node) const { return links_[node] & kLinkMask; }

    std::uint32_t child(std::uint32_t node, Label cls) const {
        if (node == kRoot)
            return root_next_[cls];
        const Label *begin = labels_.data() + first_child_[node];
        const Label *end = labels_.data() + first_child_[node + 1];
        if (end - begin <= 8) {
            for (const Label *it = begin; it != end; ++it)
                if (*it == cls)
                    return static_cast<std::uint32_t>(it - labels_.data());
            return kNone;
        }
        const Label *it = std::lower_bound(begin, end, cls);
        return it != end && *it == cls ? static_cast<std::uint32_t>(it - labels_.data()) : kNone;
    }

    // The transition of the automaton: the longest suffix of (node + cls)
    // that is a prefix of some word.
    std::uint32_t step(std::uint32_t node, Label cls) const {
        if (cls == 0)
            return kRoot;
        for (;;) {
            std::uint32_t next = child(node, cls);
            if (next != kNone || node == kRoot)
                return next;
            node = link(node);
        }
    }

    std::size_t depth(std::uint32_t node) const {
        return static_cast<std::size_t>(std::upper_bound(level_begin_.begin(), level_begin_.end(), node) -
                                        level_begin_.begin() - 1);
    }

    std::uint32_t priority(std::uint32_t terminal_node) const {
        auto it = std::lower_bound(terminals_.begin(), terminals_.end(), terminal_node,
                                   [](const Terminal &t, std::uint32_t node) { return t.node < node; });
        return it->priority;
    }

    // The longest word ending at `node` (the first terminal on its failure
    // chain): it starts earliest, and the others cannot be leftmost.
    Candidate longest_output(std::uint32_t node, std::size_t end) const {
        while (!(links_[node] & kTerminal))
            node = link(node);
        std::size_t length = depth(node);
        return {true, end - length, length, priority(node)};
    }

    static bool better(const Candidate &challenger, const Candidate &best) {
        if (!best.valid)
            return true;
        return challenger.start < best.start || (challenger.start == best.start && challenger.priority < best.priority);
    }

    // The automaton's state is the longest live attempt, the one that
    // started earliest. A found word is final once every live attempt
    // started after it: no word starting at or before it can still end.
    template <class Unit> Candidate leftmost(const Unit *text, std::size_t length, std::size_t from) const {
        Candidate best;
        std::uint32_t state = kRoot;
        for (std::size_t i = from; i < length; ++i) {
            state = step(state, table_(static_cast<CodePoint>(text[i])));
            if (best.valid && i + 1 - depth(state) > best.start)
                break;
            if (links_[state] & kHasOutput) {
                Candidate found = longest_output(state, i + 1);
                if (better(found, best))
                    best = found;
            }
        }
        return best;
    }

    CharClassTable<Label> table_;
    std::vector<Label> labels_;              // per node: class of the edge from the parent
    std::vector<std::uint32_t> first_child_; // per node, plus one past the last
    std::vector<std::uint32_t> links_;       // per node: failure link | kTerminal | kHasOutput
    std::vector<std::uint32_t> root_next_;   // per class: the root's child, or kNone
    std::vector<std::uint32_t> level_begin_; // first node of each depth, plus one past the last
    std::vector<Terminal> terminals_;        // sorted by node
};

// The matcher: class table and automaton, with entries as narrow as the
// number of distinct characters allows.
class Matcher {
  public:
    Matcher(WordList words, const CaseMapping &mapping) : automaton_(build(std::move(words), mapping)) {}

    template <class Unit> std::vector<Match> find_all(const Unit *text, std::size_t length) const {
        std::vector<Match> matches;
        std::visit([&](const auto &automaton) { automaton.find_all(text, length, matches); }, automaton_);
        return matches;
    }

    std::size_t memory_bytes() const {
        return std::visit([](const auto &automaton) { return automaton.memory_bytes(); }, automaton_);
    }

    std::size_t node_count() const {
        return std::visit([](const auto &automaton) { return automaton.node_count(); }, automaton_);
    }

  private:
    using AnyAutomaton = std::variant<Automaton<std::uint16_t>, Automaton<std::uint32_t>>;

    static AnyAutomaton build(WordList words, const CaseMapping &mapping) {
        CharClassTable<std::uint32_t> table;
        std::uint32_t class_count = assign_classes(words.code_points(), mapping, table);
        apply_text_variants(mapping, table);
        table.shrink();
        const std::vector<std::uint32_t> &classes = words.code_points();
        if (class_count <= 0xFFFF)
            return AnyAutomaton(std::in_place_index<0>, words, classes, class_count, table.converted<std::uint16_t>());
        return AnyAutomaton(std::in_place_index<1>, words, classes, class_count, std::move(table));
    }

    // Replaces every word character by the class of its key, numbering keys
    // in order of first use from 1.
    static std::uint32_t assign_classes(std::vector<CodePoint> &code_points, const CaseMapping &mapping,
                                        CharClassTable<std::uint32_t> &table) {
        std::uint32_t count = 0;
        for (CodePoint &c : code_points) {
            CodePoint key = mapping.word_key(c);
            std::uint32_t cls = table(key);
            if (cls == 0) {
                cls = ++count;
                table.set(key, cls);
            }
            c = cls;
        }
        return count;
    }

    // Text characters whose key is another character take that character's
    // class (or none), read before any of them is changed.
    static void apply_text_variants(const CaseMapping &mapping, CharClassTable<std::uint32_t> &table) {
        std::vector<std::uint32_t> classes;
        classes.reserve(mapping.text_variants.size());
        for (const Variant &variant : mapping.text_variants)
            classes.push_back(table(variant.key));
        for (std::size_t i = 0; i < classes.size(); ++i)
            table.set(mapping.text_variants[i].code_point, classes[i]);
    }

    AnyAutomaton automaton_;
};

} // namespace vxcore::lexgard
