// Multi-word matcher for prompt screening: finds the same matches as a
// regular-expression alternation of literal words, w1|w2|...|wn, scanned
// left to right: the leftmost position where any word matches wins, there
// the word earliest in the list, and the next search starts where that
// match ends.
//
// An Aho-Corasick automaton over the reversed words, fed the text from
// right to left, is after each character in a state whose outputs are
// exactly the words that start there, and each state knows the earliest
// listed of them. The text goes in chunks: a chunk is fed backwards from as
// far past its end as the longest word reaches, noting where words start,
// and the matches are then chosen forwards. Time is linear in the text
// whatever the words, and a scan's memory is bounded by the chunk. Nothing
// here needs the interpreter.
#pragma once

#include "lexgard_parts.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vxcore::lexgard {

// The automaton over the reversed words, its nodes in breadth-first order:
// a node's children are contiguous and sorted by class, and every failure
// link leads to a node before it. The first nodes, where a scan spends
// most of its steps, also get a full row of transitions with their output
// beside it, so that a step from them is one load.
class Matcher {
  public:
    // Chunks are this long at least, and eight times the longest word, so
    // that feeding each from past its end costs little.
    static constexpr std::size_t kChunkLength = std::size_t{1} << 14;

    Matcher(WordList words, const CaseMapping &mapping, Checkpoints checkpoints = {}) {
        std::uint32_t class_count = assign_classes(words.code_points(), mapping);
        apply_text_variants(mapping);
        build_trie(words, class_count, checkpoints);
        build_filter(words, class_count);
        dense_count_ = dense_rows(class_count);
        build_links(words, checkpoints);
        build_dense_rows(checkpoints);
        compress_child_index();
        for (CodePoint c = 0; c < low_classes_.size(); ++c)
            low_classes_[c] = table_(c);
    }

    // Gives every match to on_match(start, length), in order: each chunk's
    // starts are noted from its last position down, then the matches taken
    // from its first up (the leftmost start at or after the last match's end).
    template <class Unit, class OnMatch>
    void find_all(const Unit *text, std::size_t length, OnMatch &&on_match, Checkpoints &checkpoints) const {
        const std::size_t chunk = std::max(kChunkLength, 8 * longest_);
        Scratch scratch;
        std::size_t resume = 0; // where the last match ended
        for (std::size_t begin = 0; begin < length; begin += chunk) {
            std::size_t end = std::min(length, begin + chunk);
            std::size_t from = std::max(begin, resume);
            if (from >= end)
                continue;
            starts(text, from, end, length, scratch);
            for (auto it = scratch.starts.rbegin(); it != scratch.starts.rend(); ++it) {
                std::size_t start = from + it->offset;
                if (start < resume)
                    continue;
                on_match(start, it->length);
                resume = start + it->length;
            }
            checkpoints.add(end - from);
        }
    }

    std::size_t memory_bytes() const {
        return labels_.memory_bytes() + child_base_.capacity() * 4 + child_offset_.memory_bytes() +
               links_.memory_bytes() + dense_.capacity() * 4 + output_lengths_.memory_bytes() + filter_.capacity() * 8 +
               table_.memory_bytes();
    }

  private:
    static constexpr std::uint32_t kOutput = 1u << 31; // the state has an output
    static constexpr std::uint32_t kSparse = 1u << 30; // the state has no row: the entry holds its node
    static constexpr std::uint32_t kIndexMask = kSparse - 1;
    static constexpr std::uint32_t kRoot = 0;
    static constexpr std::uint32_t kNone = UINT32_MAX;
    // Memory for the rows. With a start filter the automaton runs only near
    // the few positions the filter lets through, and a little does. Without
    // one it runs on every character: a few times the rest of the automaton,
    // so that a small list (dense with hits) has a row for every node.
    static constexpr std::size_t kFilteredDenseBudget = std::size_t{128} << 10;
    static constexpr std::size_t kSmallestDenseBudget = std::size_t{256} << 10;
    static constexpr std::size_t kLargestDenseBudget = std::size_t{1} << 20;
    // Rows longer than this (alphabets of thousands of characters) would
    // each cost more than they save; only the root gets one then.
    static constexpr std::size_t kLongestDenseRow = 4096;
    static constexpr std::size_t kLanes = 4;
    static constexpr std::size_t kShortestLanes = 1024; // characters of a chunk
    static constexpr std::size_t kChildBlock = 16;
    static constexpr std::size_t kLargestFilter = std::size_t{1} << 16; // blocks

    // Where in a chunk a word starts, and the length of the match there.
    struct Start {
        std::uint32_t offset;
        std::uint32_t length;
    };

    // What a scan notes per chunk, kept from one chunk to the next.
    struct Scratch {
        std::vector<Start> starts;
        std::vector<std::uint32_t> candidates;
        std::array<std::vector<Start>, kLanes> lanes;
    };

    // Replaces every word character by the class of its key, numbering keys
    // in order of first use from 1; each character's key is asked for once.
    std::uint32_t assign_classes(std::vector<CodePoint> &code_points, const CaseMapping &mapping) {
        std::uint32_t count = 0;
        CharClassTable seen; // the class of each word character met so far
        for (CodePoint &c : code_points) {
            std::uint32_t cls = seen(c);
            if (cls == 0) {
                CodePoint key = mapping.word_key(c);
                if (table_(key) == 0)
                    table_.set(key, ++count);
                seen.set(c, cls = table_(key));
            }
            c = cls;
        }
        return count;
    }

    // Text characters whose key is another character take that character's
    // class (or none), read before any of them is changed.
    void apply_text_variants(const CaseMapping &mapping) {
        std::vector<std::uint32_t> classes;
        for (const Variant &variant : mapping.text_variants)
            classes.push_back(table_(variant.key));
        for (std::size_t i = 0; i < classes.size(); ++i)
            table_.set(mapping.text_variants[i].code_point, classes[i]);
    }

    // --- the trie and its links ----------------------------------------------

    // From the words sorted by their reversed class sequences, which is the
    // trie's depth-first order: a word's nodes from the depth where it parts
    // from the word before it are new, and at each depth nodes are numbered
    // in the order they appear, which is breadth-first order, with each
    // node's children contiguous and in class order.
    void build_trie(const WordList &words, std::uint32_t class_count, Checkpoints &checkpoints) {
        std::vector<std::uint32_t> order = reversed_order(words);
        std::vector<std::uint32_t> parted(order.size()), level_sizes;
        for (std::size_t slot = 0; slot < order.size(); ++slot) {
            std::size_t length = words.length_of(order[slot]);
            parted[slot] = slot == 0 ? 0 : common_suffix(words, order[slot - 1], order[slot]);
            level_sizes.resize(std::max(level_sizes.size(), length), 0);
            for (std::size_t depth = parted[slot]; depth < length; ++depth)
                ++level_sizes[depth];
            longest_ = std::max(longest_, length);
        }
        std::vector<std::uint32_t> next_node(level_sizes.size() + 1, 1), path(level_sizes.size());
        std::inclusive_scan(level_sizes.begin(), level_sizes.end(), next_node.begin() + 1, std::plus<>(), 1u);
        std::size_t nodes = next_node.back();
        if (nodes >= kIndexMask)
            throw std::length_error("too many characters in the word list");
        labels_ = PackedArray(nodes, class_count);
        own_priority_.assign(nodes, kNone);
        std::vector<std::uint32_t> child_counts(nodes, 0);
        for (std::size_t slot = 0; slot < order.size(); ++slot) {
            std::uint32_t word = order[slot];
            for (std::size_t depth = parted[slot]; depth < words.length_of(word); ++depth) {
                std::uint32_t node = next_node[depth]++;
                labels_.set(node, words.from_end(word, depth));
                ++child_counts[depth == 0 ? kRoot : path[depth - 1]];
                path[depth] = node;
            }
            std::uint32_t &own = own_priority_[path[words.length_of(word) - 1]];
            own = std::min(own, word);
            checkpoints.add(words.length_of(word));
        }
        first_child_.resize(nodes + 1);
        std::exclusive_scan(child_counts.begin(), child_counts.end(), first_child_.begin(), 1u);
        first_child_.back() = static_cast<std::uint32_t>(nodes);
        node_count_ = static_cast<std::uint32_t>(nodes);
    }

    static std::vector<std::uint32_t> reversed_order(const WordList &words) {
        std::vector<std::uint32_t> order(words.size());
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            auto x = words.span_of(a), y = words.span_of(b);
            return std::lexicographical_compare(x.rbegin(), x.rend(), y.rbegin(), y.rend());
        });
        return order;
    }

    static std::size_t common_suffix(const WordList &words, std::uint32_t a, std::uint32_t b) {
        auto x = words.span_of(a), y = words.span_of(b);
        return static_cast<std::size_t>(std::mismatch(x.rbegin(), x.rend(), y.rbegin(), y.rend()).first - x.rbegin());
    }

    // Breadth-first order means a node's failure link, and so its earliest
    // listed output (its own or its link's), is known before its children
    // need them. A node with a row gets it here, as the nodes its steps lead
    // to (entries once every output is known): its link's row (complete, as
    // the link comes first) with its own edges, so that a step from it, here
    // and when scanning, is one load.
    void build_links(const WordList &words, Checkpoints &checkpoints) {
        links_ = PackedArray(node_count_, node_count_);
        output_lengths_ = PackedArray(node_count_, static_cast<std::uint32_t>(longest_));
        dense_.assign(std::size_t{dense_count_} * stride_, kRoot);
        for (std::uint32_t node = 0; node < node_count_; ++node) {
            if (node != kRoot)
                own_priority_[node] = std::min(own_priority_[node], own_priority_[links_[node]]);
            if (own_priority_[node] != kNone)
                output_lengths_.set(node, static_cast<std::uint32_t>(words.length_of(own_priority_[node])));
            if (node < dense_count_)
                fill_row(node);
            for (std::uint32_t child = first_child(node); child < first_child(node + 1); ++child)
                links_.set(child, node == kRoot ? kRoot : walk(links_[node], labels_[child], std::identity()));
            checkpoints.add(1);
        }
        std::vector<std::uint32_t>().swap(own_priority_);
    }

    void fill_row(std::uint32_t node) {
        std::uint32_t *row = dense_.data() + std::size_t{node} * stride_;
        if (node != kRoot)
            std::copy_n(dense_.data() + std::size_t{links_[node]} * stride_, stride_, row);
        for (std::uint32_t child = first_child(node); child < first_child(node + 1); ++child)
            row[labels_[child]] = child;
    }

    // A Bloom filter of every word's first few classes, packed into one
    // 64-bit window: 8 classes of 8 bits or 4 of 16. Worth it when a window
    // is long enough to be selective and at most one in 64 of all possible
    // windows opens a word: then most positions cost a shift, a
    // multiplication and one load, none of them waiting on the one before.
    void build_filter(const WordList &words, std::uint32_t class_count) {
        class_bits_ = class_count < 0x100 ? 8 : 16;
        std::size_t width = 64 / class_bits_;
        for (std::size_t word = 0; word < words.size(); ++word)
            width = std::min(width, words.length_of(word));
        std::vector<std::uint64_t> openings(words.size());
        for (std::size_t word = 0; word < words.size(); ++word)
            for (std::size_t k = 0; k < width; ++k)
                openings[word] = openings[word] << class_bits_ | words.at(word, k);
        std::sort(openings.begin(), openings.end());
        openings.erase(std::unique(openings.begin(), openings.end()), openings.end());
        if (width < 3 || double(openings.size()) * 64 > std::pow(double(class_count), double(width)))
            return;
        filter_width_ = static_cast<unsigned>(width);
        // 32 bits per opening or more, up to 512 kB (16 or more bits then)
        filter_.assign(std::min(std::bit_ceil(openings.size() / 2 + 1), kLargestFilter), 0);
        filter_shift_ = static_cast<unsigned>(std::min(63, 64 - std::countr_zero(filter_.size())));
        for (std::uint64_t window : openings) {
            std::uint64_t hash = window * kFilterMultiplier;
            filter_[filter_block(hash)] |= filter_bits(hash);
        }
    }

    static constexpr std::uint64_t kFilterMultiplier = 0x9E3779B97F4A7C15ull;

    // The block from the hash's high bits (block 0 of a filter of one),
    // four bits in it from lower ones (the filter's size never reaches them).
    std::size_t filter_block(std::uint64_t hash) const { return (hash >> filter_shift_) & (filter_.size() - 1); }
    static unsigned filter_bit(std::uint64_t hash, unsigned k) { return (hash >> (20 + 6 * k)) & 63; }
    static std::uint64_t filter_bits(std::uint64_t hash) {
        return std::uint64_t{1} << filter_bit(hash, 0) | std::uint64_t{1} << filter_bit(hash, 1) |
               std::uint64_t{1} << filter_bit(hash, 2) | std::uint64_t{1} << filter_bit(hash, 3);
    }

    std::uint32_t dense_rows(std::uint32_t class_count) {
        stride_ = class_count + 2;
        std::size_t budget = filter_width_ != 0 ? kFilteredDenseBudget
                                                : std::clamp(8 * table_.memory_bytes() + 48 * std::size_t{node_count_},
                                                             kSmallestDenseBudget, kLargestDenseBudget);
        std::size_t rows = stride_ > kLongestDenseRow ? 1 : std::max<std::size_t>(1, budget / (4 * stride_));
        return static_cast<std::uint32_t>(
            std::min({rows, std::size_t{node_count_}, std::size_t{kIndexMask / stride_}}));
    }

    // The rows as entries: the offset of the target's row (or its index),
    // flagged when it has an output; a step is one addition and one load.
    // Last in a row is the length of its node's earliest-listed output.
    void build_dense_rows(Checkpoints &checkpoints) {
        for (std::size_t slot = 0; slot < dense_.size(); ++slot)
            dense_[slot] = slot % stride_ == stride_ - 1 ? output_lengths_[slot / stride_] : entry_of(dense_[slot]);
        checkpoints.add(dense_.size() / 16);
    }

    // After the build a node's children are looked up one by one only for
    // the nodes without a row: for them a base per block of 16 nodes and an
    // offset from it per node, as narrow as the largest offset allows.
    void compress_child_index() {
        std::size_t count = first_child_.size() - dense_count_; // from the first node without a row
        child_base_.resize(count / kChildBlock + 1);
        std::uint32_t largest = 0;
        for (std::size_t index = 0; index < count; ++index) {
            if (index % kChildBlock == 0)
                child_base_[index / kChildBlock] = first_child_[dense_count_ + index];
            largest = std::max(largest, first_child_[dense_count_ + index] - child_base_[index / kChildBlock]);
        }
        child_offset_ = PackedArray(count, largest);
        for (std::size_t index = 0; index < count; ++index)
            child_offset_.set(index, first_child_[dense_count_ + index] - child_base_[index / kChildBlock]);
        std::vector<std::uint32_t>().swap(first_child_);
    }

    // --- scanning --------------------------------------------------------------

    // Notes where words start in [from, end), from the last position down,
    // as offsets from `from`. Without a filter every character is fed, from
    // as far past `end` as the longest word reaches; with one, only around
    // the positions it lets through: from each, onwards from the last
    // position fed when that is near, else afresh from as far as a word
    // from there can reach (the longest word, or a character no word holds).
    template <class Unit>
    void starts(const Unit *text, std::size_t from, std::size_t end, std::size_t length, Scratch &scratch) const {
        scratch.starts.clear();
        if (filter_width_ == 0) {
            feed_lanes(text, from, end, length, scratch);
            return;
        }
        if (class_bits_ == 8)
            filter<8>(text, from, end, length, scratch.candidates);
        else
            filter<16>(text, from, end, length, scratch.candidates);
        std::size_t fed = SIZE_MAX; // the last position fed
        std::uint32_t entry = 0;
        scratch.starts.reserve(scratch.candidates.size());
        for (auto it = scratch.candidates.rbegin(); it != scratch.candidates.rend(); ++it) {
            std::size_t position = from + *it;
            bool near = fed - position <= longest_;
            std::size_t top = near ? fed : reach(text, position, length);
            entry = feed(text, from, position, end, top, near ? entry : 0, scratch.starts);
            fed = position;
        }
    }

    // The offsets from `from` of the positions in [from, end) whose window
    // is in the filter, in order.
    template <unsigned bits, class Unit>
    void filter(const Unit *text, std::size_t from, std::size_t end, std::size_t length,
                std::vector<std::uint32_t> &candidates) const {
        candidates.clear();
        const std::size_t width = filter_width_;
        const std::uint64_t mask = width * bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (width * bits)) - 1;
        // Locals, kept in registers across the pushes.
        const std::uint64_t *blocks = filter_.data();
        const unsigned shift = filter_shift_;
        const std::size_t block_mask = filter_.size() - 1;
        std::uint64_t window = 0;
        for (std::size_t i = from, last = std::min(length, end + width - 1); i < last; ++i) {
            window = window << bits | class_of(text[i]);
            std::uint64_t hash = (window & mask) * kFilterMultiplier;
            std::uint64_t block = blocks[(hash >> shift) & block_mask];
            if (!((block >> filter_bit(hash, 0)) & 1) || !((block >> filter_bit(hash, 1)) & 1) ||
                !((block >> filter_bit(hash, 2)) & 1) || !((block >> filter_bit(hash, 3)) & 1) || i + 1 < from + width)
                [[likely]]
                continue;
            if (candidates.empty())
                candidates.reserve(64); // one allocation for the few a chunk of prompt text has
            candidates.push_back(static_cast<std::uint32_t>(i + 1 - width - from));
        }
    }

    // Where a word starting at `position`, whose opening passed the filter,
    // ends at the latest.
    template <class Unit> std::size_t reach(const Unit *text, std::size_t position, std::size_t length) const {
        std::size_t limit = std::min(length, position + longest_);
        for (std::size_t i = position + filter_width_; i < limit; ++i)
            if (class_of(text[i]) == 0)
                return i;
        return limit;
    }

    // Parts of [from, end) fed side by side, each from as far past its end
    // as the longest word reaches: the steps of one do not wait on the
    // others', so that the time one spends waiting for memory the others use.
    template <class Unit>
    void feed_lanes(const Unit *text, std::size_t from, std::size_t end, std::size_t length, Scratch &scratch) const {
        if (end - from < kShortestLanes) { // not worth the lanes' buffers
            scratch.starts.reserve(end - from);
            feed(text, from, from, end, std::min(length, end + longest_ - 1), 0, scratch.starts);
            return;
        }
        std::size_t part = (end - from + kLanes - 1) / kLanes;
        std::array<std::size_t, kLanes> tops, ends;
        std::array<std::uint32_t, kLanes> entries{};
        std::size_t common = SIZE_MAX;
        for (std::size_t k = 0; k < kLanes; ++k) {
            ends[k] = std::min(end, from + (k + 1) * part);
            tops[k] = std::min(length, ends[k] + longest_ - 1);
            common = std::min(common, tops[k] - std::min(end, from + k * part));
            scratch.lanes[k].clear();
            scratch.lanes[k].reserve(part);
        }
        const Rows rows = this->rows();
        for (std::size_t n = 0; n < common; ++n)
            for (std::size_t k = 0; k < kLanes; ++k)
                entries[k] = step(rows, text, from, ends[k], tops[k]--, entries[k], scratch.lanes[k]);
        scratch.starts.reserve(end - from);
        for (std::size_t k = kLanes; k-- > 0;) {
            feed(text, from, std::min(end, from + k * part), ends[k], tops[k], entries[k], scratch.lanes[k]);
            scratch.starts.insert(scratch.starts.end(), scratch.lanes[k].begin(), scratch.lanes[k].end());
        }
    }

    // Feeds the characters before `top` down to `bottom` from `entry`, noting
    // outputs before `end` as offsets from `base`; returns the entry reached.
    template <class Unit>
    std::uint32_t feed(const Unit *text, std::size_t base, std::size_t bottom, std::size_t end, std::size_t top,
                       std::uint32_t entry, std::vector<Start> &found) const {
        const Rows rows = this->rows();
        for (std::size_t i = top; i > bottom; --i)
            entry = step(rows, text, base, end, i, entry, found);
        return entry;
    }

    // The rows, copied where the compiler sees that noting a start cannot
    // change them, so that a step does not reload them.
    struct Rows {
        const std::uint32_t *entries;
        std::size_t stride;
    };
    Rows rows() const { return {dense_.data(), stride_}; }

    template <class Unit>
    std::uint32_t step(const Rows &rows, const Unit *text, std::size_t base, std::size_t end, std::size_t i,
                       std::uint32_t entry, std::vector<Start> &found) const {
        std::uint32_t cls = class_of(text[i - 1]);
        if (!(entry & kSparse)) [[likely]]
            entry = rows.entries[(entry & kIndexMask) + cls];
        else
            entry = sparse_step(entry & kIndexMask, cls);
        if ((entry & kOutput) && i <= end) [[unlikely]] {
            std::uint32_t length = entry & kSparse ? output_lengths_[entry & kIndexMask]
                                                   : rows.entries[(entry & kIndexMask) + rows.stride - 1];
            found.push_back({static_cast<std::uint32_t>(i - 1 - base), length});
        }
        return entry;
    }

    // The entry of a step into `node`: its row's offset, or its index when
    // it has none, flagged when it has an output.
    std::uint32_t entry_of(std::uint32_t node) const {
        std::uint32_t output = output_lengths_[node] != 0 ? kOutput : 0;
        return (node < dense_count_ ? node * stride_ : kSparse | node) | output;
    }

    template <class Unit> std::uint32_t class_of(Unit unit) const {
        auto c = static_cast<CodePoint>(unit);
        if constexpr (sizeof(Unit) == 1)
            return low_classes_[c];
        else
            return c < low_classes_.size() ? low_classes_[c] : table_(c);
    }

    std::uint32_t first_child(std::uint32_t node) const {
        if (!first_child_.empty())
            return first_child_[node];
        std::size_t index = node - dense_count_;
        return child_base_[index / kChildBlock] + child_offset_[index];
    }

    // The child of `node` along `cls`, or kNone; children are sorted by class.
    std::uint32_t child(std::uint32_t node, std::uint32_t cls) const {
        std::uint32_t low = first_child(node), high = first_child(node + 1);
        while (high - low > 8) {
            std::uint32_t middle = low + (high - low) / 2;
            if (labels_[middle] < cls)
                low = middle + 1;
            else
                high = middle + 1;
        }
        for (; low < high; ++low)
            if (labels_[low] == cls)
                return low;
        return kNone;
    }

    // A step from a node without a row: its own edges, else its failure
    // link's, down to the first node that has a row.
    std::uint32_t sparse_step(std::uint32_t node, std::uint32_t cls) const {
        if (cls == 0)
            return 0; // no word holds the character: the root
        return walk(node, cls, [this](std::uint32_t next) { return entry_of(next); });
    }

    // The longest suffix of (node + cls) that is a node, as `found` gives
    // it, or the entry for cls in the row of the first node on the way that
    // has one (a node while building, an entry after).
    template <class Found> std::uint32_t walk(std::uint32_t node, std::uint32_t cls, Found found) const {
        for (;; node = links_[node]) {
            if (node < dense_count_)
                return dense_[std::size_t{node} * stride_ + cls];
            if (std::uint32_t next = child(node, cls); next != kNone)
                return found(next);
        }
    }

    CharClassTable table_;
    std::array<std::uint32_t, 256> low_classes_{}; // the classes of code points below 256
    std::uint32_t node_count_ = 0;
    std::size_t longest_ = 0;                 // of the words
    PackedArray labels_;                      // per node: class of the edge from the parent
    std::vector<std::uint32_t> first_child_;  // while building: per node, plus one past the last
    std::vector<std::uint32_t> child_base_;   // per block of nodes without a row: its first node's first child
    PackedArray child_offset_;                // per such node, plus one past the last: from its block's base
    PackedArray links_;                       // per node: failure link
    std::vector<std::uint32_t> own_priority_; // while building: per node, its earliest-listed output
    std::vector<std::uint32_t> dense_;        // rows of full transitions, as entries (nodes while building)
    std::uint32_t dense_count_ = 0;           // nodes below this have a row
    std::uint32_t stride_ = 1;                // entries per row: class 0, every class, the output
    PackedArray output_lengths_;              // per node: its earliest-listed output's length (0: none)
    std::vector<std::uint64_t> filter_;       // blocks of the start filter
    unsigned filter_width_ = 0;               // classes in a window; 0: no filter
    unsigned filter_shift_ = 63;              // of a hash, to its block
    unsigned class_bits_ = 0;                 // of a class in a window
};

} // namespace vxcore::lexgard
