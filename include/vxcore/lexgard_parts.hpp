// The pieces of the prompt matcher (lexgard_matcher.hpp) that are not the
// automaton: the words as code points, how characters compare, packed
// arrays, the table of character classes, the distinct texts among matches,
// and where long work may pause. Nothing here needs the interpreter.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <stdexcept>
#include <utility>
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
// character is its own key unless `text_variants` lists it.
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

// Where long work may pause: `pause` runs after about every kInterval units
// of work (characters scanned, nodes built). It may throw to abandon the
// work; everything made so far is freed on the way out.
class Checkpoints {
  public:
    static constexpr std::size_t kInterval = std::size_t{1} << 14;

    Checkpoints() = default;
    explicit Checkpoints(std::function<void()> pause) : pause_(std::move(pause)) {}

    void add(std::size_t work) {
        done_ += work;
        if (done_ < kInterval || !pause_)
            return;
        done_ = 0;
        pause_();
    }

  private:
    std::function<void()> pause_;
    std::size_t done_ = 0;
};

// The words to match, in priority order, as one run of code points.
class WordList {
  public:
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
    CodePoint at(std::size_t word, std::size_t index) const { return code_points_[begin_of(word) + index]; }
    CodePoint from_end(std::size_t word, std::size_t depth) const { return code_points_[ends_[word] - 1 - depth]; }
    std::span<const CodePoint> span_of(std::size_t word) const {
        return std::span(code_points_).subspan(begin_of(word), length_of(word));
    }
    std::vector<CodePoint> &code_points() { return code_points_; }

  private:
    std::vector<CodePoint> code_points_;
    std::vector<std::size_t> ends_;
};

// Unsigned values of one to four bytes each, as few as the largest needs.
class PackedArray {
  public:
    PackedArray() = default;
    // Three bytes more, so that a whole word can be read at the last value.
    PackedArray(std::size_t size, std::uint32_t largest)
        : bytes_(std::max<unsigned>(1, (std::bit_width(largest) + 7) / 8)), mask_(UINT32_MAX >> (32 - 8 * bytes_)),
          data_(size * bytes_ + 3, 0) {}

    std::uint32_t operator[](std::size_t index) const {
        const std::uint8_t *at = data_.data() + index * bytes_;
        std::uint32_t value = 0;
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(&value, at, sizeof value);
        else
            value = std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
                    std::uint32_t{at[3]} << 24;
        return value & mask_;
    }

    void set(std::size_t index, std::uint32_t value) {
        for (unsigned byte = 0; byte < bytes_; ++byte)
            data_[index * bytes_ + byte] = static_cast<std::uint8_t>(value >> (8 * byte));
    }

    std::size_t memory_bytes() const { return data_.capacity(); }

  private:
    unsigned bytes_ = 1;
    std::uint32_t mask_ = 0xFF;
    std::vector<std::uint8_t> data_;
};

// Maps every code point to the class of its key (0: no word uses it), in
// pages of 256 so that only the pages words touch take memory. Classes are
// 16 bits: a list of more distinct characters is refused (length_error).
class CharClassTable {
  public:
    CharClassTable() : page_of_(kPageCount, 0), entries_(kPageSize, 0) {}

    std::uint32_t operator()(CodePoint c) const {
        if (c > kMaxCodePoint)
            return 0;
        return entries_[std::size_t{page_of_[c / kPageSize]} * kPageSize + c % kPageSize];
    }

    void set(CodePoint c, std::uint32_t value) {
        if (value > UINT16_MAX)
            throw std::length_error("too many distinct characters in the word list");
        if (c > kMaxCodePoint)
            return;
        std::uint16_t &page = page_of_[c / kPageSize];
        if (page == 0) {
            if (value == 0)
                return;
            page = static_cast<std::uint16_t>(entries_.size() / kPageSize);
            entries_.resize(entries_.size() + kPageSize, 0);
        }
        entries_[std::size_t{page} * kPageSize + c % kPageSize] = static_cast<std::uint16_t>(value);
    }

    std::size_t memory_bytes() const { return (page_of_.capacity() + entries_.capacity()) * 2; }

  private:
    static constexpr std::size_t kPageSize = 256;
    static constexpr std::size_t kPageCount = kMaxCodePoint / kPageSize + 1;
    std::vector<std::uint16_t> page_of_; // page 0 is all zeros, shared by untouched pages
    std::vector<std::uint16_t> entries_;
};

// The distinct texts among matches, each as its first occurrence, in the
// order they first occur. Texts compare by their units; nothing is made or
// kept for a repeat.
template <class Unit> class DistinctTexts {
  public:
    explicit DistinctTexts(const Unit *text) : text_(text) {}

    // The first few are compared one by one (a prompt has few hits), the
    // others found by hash.
    void add(std::size_t start, std::size_t length) {
        if (firsts_.size() < kCompared) {
            for (const Match &seen : firsts_)
                if (seen.length == length && std::equal(text_ + start, text_ + start + length, text_ + seen.start))
                    return;
            if (firsts_.empty())
                firsts_.reserve(kCompared);
            firsts_.push_back({start, length});
            return;
        }
        if (slots_.empty()) { // past a few, a prompt is likely to have many
            slots_.assign(kFirstSlots, kEmpty);
            firsts_.reserve(kFirstSlots / 2);
            rehash();
        }
        std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash(start, length) & mask;; slot = (slot + 1) & mask) {
            if (slots_[slot] == kEmpty) {
                slots_[slot] = firsts_.size();
                firsts_.push_back({start, length});
                if (firsts_.size() * 2 > slots_.size()) {
                    slots_.assign(slots_.size() * 4, kEmpty);
                    rehash();
                }
                return;
            }
            const Match &seen = firsts_[slots_[slot]];
            if (seen.length == length && std::equal(text_ + start, text_ + start + length, text_ + seen.start))
                return;
        }
    }

    std::vector<Match> take() { return std::move(firsts_); }

  private:
    static constexpr std::size_t kEmpty = SIZE_MAX;
    static constexpr std::size_t kCompared = 8;
    static constexpr std::size_t kFirstSlots = 256;

    // Each unit is multiplied on its own, so that the products do not wait
    // on each other.
    std::size_t hash(std::size_t start, std::size_t length) const {
        std::uint64_t value = length;
        for (std::size_t k = 0; k < length; ++k)
            value += (std::uint64_t{text_[start + k]} + 1) * (0x9E3779B97F4A7C15ull + 2 * k);
        value *= 0xBF58476D1CE4E5B9ull;
        return static_cast<std::size_t>(value ^ (value >> 31));
    }

    void rehash() {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t index = 0; index < firsts_.size(); ++index) {
            std::size_t slot = hash(firsts_[index].start, firsts_[index].length) & mask;
            while (slots_[slot] != kEmpty)
                slot = (slot + 1) & mask;
            slots_[slot] = index;
        }
    }

    const Unit *text_;
    std::vector<std::size_t> slots_;
    std::vector<Match> firsts_;
};

} // namespace vxcore::lexgard
