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
#include <array>
#include <bit>
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

// How a matcher scans. Both ways find the same matches; `automatic` picks
// the start filter when the words' opening characters are rare among all
// possible ones, the other two force a way (for tests and benchmarks).
enum class ScanPlan { automatic, automaton, start_filter };

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
// The shallowest nodes, where a scan spends nearly all its steps, also get
// a full row of transitions, so that a step from them is one load.
template <class Label> class Automaton {
  public:
    // Memory for the rows of full transitions: at most 3 MiB, and for small
    // lists about what the rest of the automaton takes (re keeps hundreds
    // of compiled patterns in its cache, and each keeps its automaton, so a
    // host that reloads small lists often must not pay megabytes for each).
    static constexpr std::size_t kDenseBudgetBytes = std::size_t{3} << 20;
    static constexpr std::size_t kDenseBytesPerNode = 24;
    static constexpr std::size_t kSmallestDenseBudget = std::size_t{64} << 10;
    // Rows longer than this (alphabets of thousands of characters) would
    // each cost more than they save; only the root gets one then.
    static constexpr std::size_t kLongestDenseRow = 4096;

    // `classes` holds the class of every word character, word by word.
    Automaton(const WordList &words, const std::vector<std::uint32_t> &classes, std::uint32_t class_count,
              CharClassTable<Label> table, ScanPlan plan)
        : table_(std::move(table)) {
        build_trie(words, classes);
        build_root_table(class_count);
        build_failure_links();
        build_dense_rows(class_count);
        build_start_filter(words, classes, class_count, plan);
        for (CodePoint c = 0; c < low_classes_.size(); ++c)
            low_classes_[c] = table_(c);
    }

    template <class Unit> void find_all(const Unit *text, std::size_t length, std::vector<Match> &matches) const {
        if (filter_width_ != 0)
            find_all_filtered(text, length, matches);
        else
            find_all_from(text, length, 0, matches);
    }

    bool uses_start_filter() const { return filter_width_ != 0; }

    std::size_t memory_bytes() const {
        return labels_.capacity() * sizeof(Label) + first_child_.capacity() * 4 + links_.capacity() * 4 +
               root_next_.capacity() * 4 + level_begin_.capacity() * 4 + terminals_.capacity() * sizeof(Terminal) +
               dense_output_.capacity() * sizeof(Output) + depth_.capacity() + dense_.capacity() * 4 +
               table_.memory_bytes() + start_filter_.capacity() * 8 + opening_windows_.capacity() * 8 +
               opening_nodes_.capacity() * 4;
    }

  private:
    template <class Unit>
    void find_all_from(const Unit *text, std::size_t length, std::size_t position, std::vector<Match> &matches) const {
        while (position < length) {
            Candidate found = leftmost(text, length, position);
            if (!found.valid)
                return;
            matches.push_back({found.start, found.length});
            position = found.start + found.length;
        }
    }

    static constexpr std::uint32_t kTerminal = 1u << 31;  // a word ends here
    static constexpr std::uint32_t kHasOutput = 1u << 30; // a word ends here or at a suffix of this node
    static constexpr std::uint32_t kLinkMask = kHasOutput - 1;
    static constexpr std::uint32_t kRoot = 0;
    static constexpr std::uint32_t kNone = 0; // the root is nobody's child
    // Flags of a step's result (see encode).
    static constexpr std::uint32_t kEntryOutput = 1u << 31;
    static constexpr std::uint32_t kEntrySparse = 1u << 30;
    static constexpr std::uint32_t kEntryNode = kEntrySparse - 1;
    static constexpr std::uint32_t kNoOutput = UINT32_MAX;
    static constexpr std::size_t kDeep = 255; // depths from here on are looked up by level

    struct Terminal {
        std::uint32_t node;
        std::uint32_t priority; // index of the first word in the list that ends here
        std::uint32_t length;   // of that word
    };

    struct Output {
        std::uint32_t priority; // of the word
        std::uint32_t length;
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
                mark_terminal(node, word, depth + 1);
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
    void mark_terminal(std::uint32_t node, std::uint32_t word, std::size_t length) {
        if (terminals_.empty() || terminals_.back().node != node)
            terminals_.push_back({node, word, static_cast<std::uint32_t>(length)});
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
        // Each node's longest output: its own word, or its failure link's.
        output_.assign(labels_.size(), kNoOutput);
        for (std::uint32_t index = 0; index < terminals_.size(); ++index)
            output_[terminals_[index].node] = index;
        for (std::uint32_t node = 1; node < labels_.size(); ++node) {
            if (output_[node] == kNoOutput)
                output_[node] = output_[link(node)];
        }
        depth_.resize(labels_.size());
        for (std::size_t level = 0; level + 1 < level_begin_.size(); ++level)
            std::fill(depth_.begin() + level_begin_[level], depth_.begin() + level_begin_[level + 1],
                      static_cast<std::uint8_t>(std::min<std::size_t>(level, kDeep)));
    }

    // Rows for the first nodes in breadth-first order, as many as the budget
    // holds. A missing edge of a node leads where its failure link's row
    // leads, and that node is shallower, so its row is already complete.
    // An entry holds the offset of its target's row, so that a step from a
    // node with a row is one addition and one load.
    void build_dense_rows(std::uint32_t class_count) {
        stride_ = class_count + 1;
        // node = offset * reciprocal_ >> 30 is exact for every multiple of
        // the stride below 2^30.
        reciprocal_ = ((std::uint64_t{1} << 30) + stride_ - 1) / stride_;
        std::size_t budget =
            std::min(kDenseBudgetBytes, std::max(kSmallestDenseBudget, labels_.size() * kDenseBytesPerNode));
        std::size_t rows = std::max<std::size_t>(1, budget / (std::size_t{stride_} * sizeof(std::uint32_t)));
        if (stride_ > kLongestDenseRow)
            rows = 1;
        rows = std::min<std::size_t>(rows, (std::size_t{kEntrySparse} - 1) / stride_);
        dense_count_ = static_cast<std::uint32_t>(std::min<std::size_t>(rows, labels_.size()));
        dense_.assign(std::size_t{dense_count_} * stride_, 0);
        for (std::uint32_t node = 0; node < dense_count_; ++node) {
            std::uint32_t *row = dense_.data() + std::size_t{node} * stride_;
            if (node != kRoot) {
                const std::uint32_t *fallback = dense_.data() + std::size_t{link(node)} * stride_;
                std::copy(fallback, fallback + stride_, row);
            } else {
                for (std::size_t cls = 0; cls < stride_; ++cls)
                    row[cls] = encode(root_next_[cls]);
            }
            for (std::uint32_t child = first_child_[node]; child < first_child_[node + 1]; ++child)
                row[labels_[child]] = encode(child);
        }
        // Scans that find words are in these nodes nearly always, and on
        // hit-dense text at every step: their output's word is kept beside
        // them. The others find theirs along their failure chain.
        dense_output_.resize(dense_count_);
        for (std::uint32_t node = 0; node < dense_count_; ++node) {
            if (output_[node] != kNoOutput)
                dense_output_[node] = {terminals_[output_[node]].priority, terminals_[output_[node]].length};
        }
        std::vector<std::uint32_t>().swap(output_);
    }

    // The start filter: a Bloom filter of every word's first few classes,
    // packed into one 64-bit window (8 classes of 8 bits or 4 of 16). A text
    // position can start a match only if the window of classes from it is
    // in the filter, so where the words' openings are rare among all
    // possible ones most positions cost a shift, a multiplication and one
    // load, none of them waiting on the one before, instead of a chain of
    // dependent steps through the automaton.
    void build_start_filter(const WordList &words, const std::vector<std::uint32_t> &classes, std::uint32_t class_count,
                            ScanPlan plan) {
        if (plan == ScanPlan::automaton || words.size() == 0)
            return;
        filter_class_bits_ = class_count < 0x100 ? 8 : class_count < 0x10000 ? 16 : 0;
        if (filter_class_bits_ == 0)
            return;
        std::size_t shortest = words.length_of(0);
        for (std::size_t word = 1; word < words.size(); ++word)
            shortest = std::min(shortest, words.length_of(word));
        std::size_t width = std::min<std::size_t>(shortest, 64 / filter_class_bits_);
        // Distinct openings are the trie's nodes at that depth.
        std::size_t openings = level_begin_[width + 1] - level_begin_[width];
        if (plan == ScanPlan::automatic && !filter_pays(width, openings, class_count))
            return;
        filter_width_ = static_cast<unsigned>(width);
        std::size_t blocks = 2;
        while (blocks * 2 < openings)
            blocks *= 2; // at least 32 bits per opening: about 0.5% of other windows pass
        start_filter_.assign(blocks, 0);
        filter_shift_ = static_cast<unsigned>(64 - std::countr_zero(blocks));
        std::size_t slots = 2;
        while (slots <= openings + openings / 4) // an empty slot ends every search
            slots *= 2;
        opening_windows_.assign(slots, 0);
        opening_nodes_.assign(slots, kNone);
        opening_shift_ = static_cast<unsigned>(64 - std::countr_zero(slots));
        for (std::size_t word = 0; word < words.size(); ++word) {
            std::uint64_t window = 0;
            std::uint32_t node = kRoot;
            for (std::size_t k = 0; k < width; ++k) {
                std::uint32_t cls = classes[words.begin_of(word) + k];
                window = (window << filter_class_bits_) | cls;
                node = child(node, static_cast<Label>(cls));
            }
            std::uint64_t hash = window * kFilterMultiplier;
            start_filter_[hash >> filter_shift_] |=
                (std::uint64_t{1} << first_filter_bit(hash)) | (std::uint64_t{1} << second_filter_bit(hash));
            add_opening(window, node);
        }
    }

    // The openings' nodes by their windows, in a table with linear probing:
    // a try starts at its opening's node with one lookup instead of a walk
    // through `width` levels of the trie, and a window the filter let
    // through wrongly ends there.
    std::size_t opening_slot(std::uint64_t window) const {
        return static_cast<std::size_t>((window * kOpeningMultiplier) >> opening_shift_);
    }

    void add_opening(std::uint64_t window, std::uint32_t node) {
        std::size_t mask = opening_nodes_.size() - 1;
        for (std::size_t slot = opening_slot(window);; slot = (slot + 1) & mask) {
            if (opening_nodes_[slot] == kNone) {
                opening_windows_[slot] = window;
                opening_nodes_[slot] = node;
                return;
            }
            if (opening_windows_[slot] == window)
                return;
        }
    }

    std::uint32_t opening_node(std::uint64_t window) const {
        std::size_t mask = opening_nodes_.size() - 1;
        for (std::size_t slot = opening_slot(window);; slot = (slot + 1) & mask) {
            std::uint32_t node = opening_nodes_[slot];
            if (node == kNone || opening_windows_[slot] == window)
                return node;
        }
    }

    // Worth it when a window is long enough to be selective and at most one
    // in 64 of all possible windows opens a word.
    static bool filter_pays(std::size_t width, std::size_t openings, std::uint32_t class_count) {
        if (width < 3)
            return false;
        double possible = 1;
        for (std::size_t k = 0; k < width; ++k)
            possible *= class_count;
        return static_cast<double>(openings) * 64 <= possible;
    }

    // --- scanning ----------------------------------------------------------

    std::uint32_t link(std::uint32_t node) const { return links_[node] & kLinkMask; }

    // A step's result: the offset of the target's row, or kEntrySparse with
    // the target node when it has none, and kEntryOutput when a word ends
    // at the target or at a suffix of it.
    std::uint32_t encode(std::uint32_t node) const {
        std::uint32_t output = links_[node] & kHasOutput ? kEntryOutput : 0;
        if (node < dense_count_)
            return (node * stride_) | output;
        return kEntrySparse | node | output;
    }

    std::uint32_t decode(std::uint32_t entry) const {
        if (entry & kEntrySparse)
            return entry & kEntryNode;
        return static_cast<std::uint32_t>((std::uint64_t{entry & ~kEntryOutput} * reciprocal_) >> 30);
    }

    template <class Unit> std::uint32_t class_of(Unit unit) const {
        auto c = static_cast<CodePoint>(unit);
        if constexpr (sizeof(Unit) == 1)
            return low_classes_[c];
        else
            return c < low_classes_.size() ? low_classes_[c] : static_cast<std::uint32_t>(table_(c));
    }

    // The step from a node without a row: its own edges, else its failure
    // link's, down to the first node that has a row.
    std::uint32_t sparse_step(std::uint32_t node, std::uint32_t cls) const {
        if (cls == 0)
            return encode(kRoot); // no word holds the character
        for (;;) {
            std::uint32_t next = child(node, static_cast<Label>(cls));
            if (next != kNone)
                return encode(next);
            node = link(node);
            if (node < dense_count_)
                return dense_[std::size_t{node} * stride_ + cls];
        }
    }

    // One step from an entry that carries no output flag.
    std::uint32_t step_entry(std::uint32_t entry, std::uint32_t cls) const {
        if (entry & kEntrySparse) [[unlikely]]
            return sparse_step(entry & kEntryNode, cls);
        return dense_[entry + cls];
    }

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
        if (depth_[node] < kDeep) [[likely]]
            return depth_[node];
        return static_cast<std::size_t>(std::upper_bound(level_begin_.begin(), level_begin_.end(), node) -
                                        level_begin_.begin() - 1);
    }

    std::uint32_t terminal_index(std::uint32_t terminal_node) const {
        auto it = std::lower_bound(terminals_.begin(), terminals_.end(), terminal_node,
                                   [](const Terminal &t, std::uint32_t node) { return t.node < node; });
        return static_cast<std::uint32_t>(it - terminals_.begin());
    }

    // The longest word ending at `node` (the first terminal on its failure
    // chain): it starts earliest, and the others cannot be leftmost.
    Candidate longest_output(std::uint32_t node, std::size_t end) const {
        if (node >= dense_count_) [[unlikely]] {
            while (!(links_[node] & kTerminal))
                node = link(node);
            if (node >= dense_count_) {
                const Terminal &terminal = terminals_[terminal_index(node)];
                return {true, end - terminal.length, terminal.length, terminal.priority};
            }
        }
        const Output &output = dense_output_[node];
        return {true, end - output.length, output.length, output.priority};
    }

    static bool better(const Candidate &challenger, const Candidate &best) {
        if (!best.valid)
            return true;
        return challenger.start < best.start || (challenger.start == best.start && challenger.priority < best.priority);
    }

    // Steps from the root at `i` until a word ends, leaving `i` at its last
    // character (or at `length`) and returning the entry reached. Most of a
    // scan happens here, so the step from a node with a row is kept to an
    // addition, a load and a comparison with the flags.
    template <class Unit> std::uint32_t first_output(const Unit *text, std::size_t length, std::size_t &i) const {
        const std::uint32_t *dense = dense_.data();
        const std::uint32_t *low_classes = low_classes_.data();
        auto class_at = [&](std::size_t at) -> std::uint32_t {
            if constexpr (sizeof(Unit) == 1)
                return low_classes[text[at]];
            else
                return class_of(text[at]);
        };
        std::uint32_t entry = encode(kRoot);
        for (; i < length; ++i) {
            entry = dense[entry + class_at(i)];
            if (entry >= kEntrySparse) [[unlikely]] {
                for (;;) {
                    if (entry & kEntryOutput)
                        return entry;
                    if (!(entry & kEntrySparse))
                        break;
                    if (++i == length)
                        return entry;
                    entry = sparse_step(entry & kEntryNode, class_at(i));
                }
            }
        }
        return entry;
    }

    // The automaton's state is the longest live attempt, the one that
    // started earliest. A found word is final once every live attempt
    // started after it: no word starting at or before it can still end.
    // Until the first output the scan needs nothing but the steps.
    template <class Unit> Candidate leftmost(const Unit *text, std::size_t length, std::size_t from) const {
        std::size_t i = from;
        std::uint32_t entry = first_output(text, length, i);
        if (i == length)
            return {};
        std::uint32_t state = decode(entry);
        Candidate best = longest_output(state, i + 1);
        for (++i; i < length; ++i) {
            entry = step_entry(entry & ~kEntryOutput, class_of(text[i]));
            state = decode(entry);
            if (i + 1 - depth(state) > best.start)
                break;
            if (entry & kEntryOutput) {
                Candidate found = longest_output(state, i + 1);
                if (better(found, best))
                    best = found;
            }
        }
        return best;
    }

    static constexpr std::uint64_t kFilterMultiplier = 0x9E3779B97F4A7C15ull;
    static constexpr std::uint64_t kOpeningMultiplier = 0xD6E8FEB86659FD93ull;

    // A window's hash picks a block of the filter by its high bits (which
    // depend on every class of the window) and two bits in the block by
    // bits below them; the filter's size never reaches those.
    static unsigned first_filter_bit(std::uint64_t hash) { return (hash >> 20) & 63; }
    static unsigned second_filter_bit(std::uint64_t hash) { return (hash >> 26) & 63; }

    // The windows slide over the text; a position that passes the filter is
    // tried as the start of a match by walking the trie from there. When
    // failed tries cost more than one step in eight characters (text made of
    // the words' own openings), the rest of the text goes to the automaton,
    // whose cost does not grow with the length of the words.
    template <class Unit>
    void find_all_filtered(const Unit *text, std::size_t length, std::vector<Match> &matches) const {
        if (filter_class_bits_ == 8)
            find_all_filtered<8>(text, length, matches);
        else
            find_all_filtered<16>(text, length, matches);
    }

    template <unsigned kClassBits, class Unit>
    void find_all_filtered(const Unit *text, std::size_t length, std::vector<Match> &matches) const {
        // Locals, so that the loop keeps them in registers across the
        // calls on its rare paths.
        const std::size_t width = filter_width_;
        const unsigned shift = filter_shift_;
        const std::uint64_t mask =
            width * kClassBits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (width * kClassBits)) - 1;
        const std::uint64_t *filter = start_filter_.data();
        std::uint64_t window = 0;
        std::size_t opening = width; // the end of the first window that may open a match
        std::size_t failed_work = 0; // tries that found nothing, and their steps in the trie
        for (std::size_t i = 0; i < length; ++i) {
            window = (window << kClassBits) | class_of(text[i]);
            std::uint64_t hash = (window & mask) * kFilterMultiplier;
            std::uint64_t block = filter[hash >> shift];
            if (!((block >> first_filter_bit(hash)) & 1) || !((block >> second_filter_bit(hash)) & 1) ||
                i + 1 < opening) [[likely]]
                continue;
            std::size_t from = i + 1 - width;
            std::size_t steps = 0;
            Candidate found = match_at(text, length, from, window & mask, steps);
            if (found.valid) {
                matches.push_back({from, found.length});
                i = from + found.length - 1; // at least the window's end
                opening = i + 1 + width;
            } else if ((failed_work += steps + 1) > 64 + i / 8) {
                find_all_from(text, length, from, matches);
                return;
            }
        }
    }

    // The word that a regex alternation matches at `from`, if any: of all
    // words starting there, the one earliest in the list. `window` holds the
    // classes of the opening there.
    template <class Unit>
    Candidate match_at(const Unit *text, std::size_t length, std::size_t from, std::uint64_t window,
                       std::size_t &steps) const {
        Candidate best;
        std::uint32_t node = opening_node(window);
        for (std::size_t i = from + filter_width_; node != kNone; ++i, ++steps) {
            if (links_[node] & kTerminal) {
                Candidate found = longest_output(node, i); // the word ending here, which starts at `from`
                if (!best.valid || found.priority < best.priority)
                    best = found;
            }
            std::uint32_t cls = i < length ? class_of(text[i]) : 0;
            node = cls == 0 ? kNone : child(node, static_cast<Label>(cls));
        }
        return best;
    }

    CharClassTable<Label> table_;
    std::vector<Label> labels_;                    // per node: class of the edge from the parent
    std::vector<std::uint32_t> first_child_;       // per node, plus one past the last
    std::vector<std::uint32_t> links_;             // per node: failure link | kTerminal | kHasOutput
    std::vector<std::uint32_t> root_next_;         // per class: the root's child, or kNone
    std::vector<std::uint32_t> level_begin_;       // first node of each depth, plus one past the last
    std::vector<Terminal> terminals_;              // sorted by node
    std::vector<std::uint32_t> output_;            // per node while building: its longest output, in terminals_
    std::vector<Output> dense_output_;             // per node with a row: its longest output's word
    std::vector<std::uint8_t> depth_;              // per node: its depth, up to kDeep
    std::vector<std::uint32_t> dense_;             // rows of full transitions, as entries
    std::uint32_t dense_count_ = 0;                // nodes below this have a row
    std::uint32_t stride_ = 1;                     // entries per row: one per class and class 0
    std::uint64_t reciprocal_ = 0;                 // of the stride, to turn offsets back into nodes
    std::array<std::uint32_t, 256> low_classes_{}; // the classes of code points below 256
    std::vector<std::uint64_t> start_filter_;      // blocks of the Bloom filter of word openings
    unsigned filter_width_ = 0;                    // classes in a window; 0: no filter
    unsigned filter_class_bits_ = 8;               // bits of one class in a window
    unsigned filter_shift_ = 63;                   // of a hash, to its block
    std::vector<std::uint64_t> opening_windows_;   // per slot: an opening's window
    std::vector<std::uint32_t> opening_nodes_;     // per slot: its node, or kNone for an empty slot
    unsigned opening_shift_ = 63;                  // of a hash, to its slot
};

// The matcher: class table and automaton, with entries as narrow as the
// number of distinct characters allows.
class Matcher {
  public:
    Matcher(WordList words, const CaseMapping &mapping, ScanPlan plan = ScanPlan::automatic)
        : automaton_(build(std::move(words), mapping, plan)) {}

    template <class Unit> std::vector<Match> find_all(const Unit *text, std::size_t length) const {
        std::vector<Match> matches;
        std::visit([&](const auto &automaton) { automaton.find_all(text, length, matches); }, automaton_);
        return matches;
    }

    std::size_t memory_bytes() const {
        return std::visit([](const auto &automaton) { return automaton.memory_bytes(); }, automaton_);
    }

    bool uses_start_filter() const {
        return std::visit([](const auto &automaton) { return automaton.uses_start_filter(); }, automaton_);
    }

  private:
    using AnyAutomaton = std::variant<Automaton<std::uint16_t>, Automaton<std::uint32_t>>;

    static AnyAutomaton build(WordList words, const CaseMapping &mapping, ScanPlan plan) {
        CharClassTable<std::uint32_t> table;
        std::uint32_t class_count = assign_classes(words.code_points(), mapping, table);
        apply_text_variants(mapping, table);
        table.shrink();
        const std::vector<std::uint32_t> &classes = words.code_points();
        if (class_count <= 0xFFFF)
            return AnyAutomaton(std::in_place_index<0>, words, classes, class_count, table.converted<std::uint16_t>(),
                                plan);
        return AnyAutomaton(std::in_place_index<1>, words, classes, class_count, std::move(table), plan);
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
