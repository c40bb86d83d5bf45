// The prompt matcher against a brute-force search with the rules of a regex
// alternation of literal words: the leftmost start wins, then the word
// earliest in the list, and the next search starts where that match ends.
#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness.hpp"
#include "vxcore/lexgard_matcher.hpp"

namespace {

using vxcore::lexgard::CaseMapping;
using vxcore::lexgard::CodePoint;
using vxcore::lexgard::Match;
using vxcore::lexgard::Matcher;
using vxcore::lexgard::ScanPlan;
using vxcore::lexgard::Variant;
using vxcore::lexgard::WordList;
using Text = std::vector<CodePoint>;

// A case-insensitive mapping in the matcher's terms: word characters keyed by
// their lower case, upper-case text characters (and the Kelvin sign, one of
// the extra equivalences of `re`) listed as variants of that key.
struct FoldedCase {
    std::vector<Variant> variants;
    std::map<CodePoint, CodePoint> key_of;

    FoldedCase() {
        for (CodePoint c = 'A'; c <= 'Z'; ++c)
            add(c, c + 32);
        add(0x212A, 'k');      // KELVIN SIGN
        add(0x0130, 0x0069);   // LATIN CAPITAL LETTER I WITH DOT ABOVE, one-way as in re
        add(0x1E9E, 0x00DF);   // LATIN CAPITAL LETTER SHARP S
        add(0x10400, 0x10428); // DESERET CAPITAL LONG I: an astral pair
    }
    void add(CodePoint variant, CodePoint key) {
        variants.push_back({variant, key});
        key_of[variant] = key;
    }
    CodePoint key(CodePoint c) const {
        auto found = key_of.find(c);
        return found == key_of.end() ? c : found->second;
    }
    CaseMapping mapping() const {
        return {[this](CodePoint c) { return key(c); }, variants};
    }
};

template <class TextKey, class WordKey>
std::vector<Match> brute_force(const std::vector<Text> &words, const Text &text, TextKey text_key, WordKey word_key) {
    std::vector<Match> found;
    std::size_t position = 0;
    while (position < text.size()) {
        bool matched = false;
        for (std::size_t start = position; start < text.size() && !matched; ++start)
            for (const Text &word : words) {
                if (start + word.size() > text.size())
                    continue;
                bool equal = true;
                for (std::size_t k = 0; k < word.size() && equal; ++k)
                    equal = text_key(text[start + k]) == word_key(word[k]);
                if (equal) {
                    found.push_back({start, word.size()});
                    position = start + word.size();
                    matched = true;
                    break;
                }
            }
        if (!matched)
            break;
    }
    return found;
}

WordList word_list(const std::vector<Text> &words) {
    WordList list;
    for (const Text &word : words)
        list.add(word.data(), word.size());
    return list;
}

std::string show(const std::vector<Match> &matches) {
    std::string text;
    for (const Match &match : matches)
        text += "(" + std::to_string(match.start) + "," + std::to_string(match.length) + ")";
    return text;
}

// The matcher reads text in any unit width (the interpreter stores a str in
// 1, 2 or 4 bytes per code point): every width that holds the text must agree.
std::vector<Match> find_in_every_width(const Matcher &matcher, const Text &text) {
    std::vector<Match> wide = matcher.find_all(text.data(), text.size());
    CodePoint widest = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    if (widest <= 0xFFFF) {
        std::vector<std::uint16_t> units(text.begin(), text.end());
        CHECK_EQ(show(matcher.find_all(units.data(), units.size())), show(wide));
    }
    if (widest <= 0xFF) {
        std::vector<std::uint8_t> units(text.begin(), text.end());
        CHECK_EQ(show(matcher.find_all(units.data(), units.size())), show(wide));
    }
    return wide;
}

// Small alphabets make words overlap, share prefixes and repeat, where
// leftmost-first and the failure links have the most to get wrong.
Text random_string(std::mt19937_64 &rng, const std::vector<CodePoint> &alphabet, std::size_t min_length,
                   std::size_t max_length) {
    Text text(min_length + rng() % (max_length - min_length + 1));
    for (CodePoint &c : text)
        c = alphabet[rng() % alphabet.size()];
    return text;
}

// Every plan in turn: the start filter is forced on words that would not
// get it, so that it meets the same overlaps and repeats as the automaton.
ScanPlan plan_of(int round) {
    constexpr ScanPlan plans[] = {ScanPlan::automatic, ScanPlan::automaton, ScanPlan::start_filter};
    return plans[round % 3];
}

} // namespace

VX_TEST(matcher_known_cases) {
    auto find = [](std::vector<std::u32string> words, std::u32string text) {
        WordList list;
        for (const std::u32string &word : words)
            list.add(word.data(), word.size());
        Matcher matcher(std::move(list), vxcore::lexgard::exact_case());
        return show(matcher.find_all(text.data(), text.size()));
    };
    CHECK_EQ(find({U"abcd", U"abc", U"ab", U"xy"}, U"xabcx ab"), "(1,3)(6,2)");
    CHECK_EQ(find({U"ab", U"abcd"}, U"abcd"), "(0,2)");  // the earlier word wins at one start
    CHECK_EQ(find({U"bcd", U"abcx"}, U"abcd"), "(1,3)"); // a failed longer attempt gives way
    CHECK_EQ(find({U"aa"}, U"aaaaa"), "(0,2)(2,2)");     // no overlaps
    CHECK_EQ(find({U"b", U"abc"}, U"abc"), "(0,3)");     // the leftmost start beats an earlier word
    CHECK_EQ(find({U"禁止", U"词"}, U"这是禁止词"), "(2,2)(4,1)");
    CHECK_EQ(find({U"a"}, U""), "");
    WordList list;
    const CodePoint none[] = {0};
    bool refused = false;
    try {
        list.add(none, 0);
    } catch (const std::invalid_argument &) {
        refused = true;
    }
    CHECK(refused);
}

VX_TEST(matcher_equals_brute_force_exact) {
    auto rng = vxtest::rng("exact");
    // ASCII, a Latin-1 letter, CJK and an astral code point, so that the
    // character table spans several pages.
    const std::vector<CodePoint> alphabets[] = {
        {'a', 'b'}, {'a', 'b', 'c', 'd'}, {'a', 'b', 0xE9, 0x4E2D, 0x1F600}, {'x', 'y', 'z', ' ', 0x10FFFF}};
    for (int n = 0; n < 4000; ++n) {
        const std::vector<CodePoint> &alphabet = alphabets[rng() % std::size(alphabets)];
        std::vector<Text> words(1 + rng() % 25);
        for (Text &word : words)
            word = random_string(rng, alphabet, 1, 1 + rng() % 6);
        Matcher matcher(word_list(words), vxcore::lexgard::exact_case(), plan_of(n));
        for (int t = 0; t < 5; ++t) {
            Text text = random_string(rng, alphabet, 0, 80);
            if (rng() % 8 == 0)
                text.push_back(0x110000 + static_cast<CodePoint>(rng() % 1000)); // beyond Unicode: never a match
            auto identity = [](CodePoint c) { return c; };
            CHECK_EQ(show(find_in_every_width(matcher, text)), show(brute_force(words, text, identity, identity)));
        }
    }
}

VX_TEST(matcher_equals_brute_force_case_insensitive) {
    auto rng = vxtest::rng("folded");
    FoldedCase folded;
    const std::vector<CodePoint> alphabet = {'a', 'A',    'b',  'B',    'k',     'K',     0x212A,
                                             'i', 0x0130, 0xDF, 0x1E9E, 0x10400, 0x10428, '-'};
    for (int n = 0; n < 4000; ++n) {
        std::vector<Text> words(1 + rng() % 25);
        for (Text &word : words)
            word = random_string(rng, alphabet, 1, 1 + rng() % 5);
        Matcher matcher(word_list(words), folded.mapping(), plan_of(n));
        for (int t = 0; t < 5; ++t) {
            Text text = random_string(rng, alphabet, 0, 80);
            auto key = [&](CodePoint c) { return folded.key(c); };
            CHECK_EQ(show(find_in_every_width(matcher, text)), show(brute_force(words, text, key, key)));
        }
    }
}

// More distinct characters than a 16-bit class can number.
VX_TEST(matcher_with_more_than_65535_character_classes) {
    auto rng = vxtest::rng("wide");
    std::vector<Text> words;
    for (CodePoint c = 0x20000; c < 0x20000 + 70000; ++c)
        words.push_back({c});
    for (int n = 0; n < 200; ++n)
        words.push_back(random_string(rng, {0x20001, 0x2FFFF, 0x31170, 'q'}, 2, 4));
    std::shuffle(words.begin(), words.end(), rng);
    Matcher matcher(word_list(words), vxcore::lexgard::exact_case());
    auto identity = [](CodePoint c) { return c; };
    for (int t = 0; t < 20; ++t) {
        Text text = random_string(rng, {0x20001, 0x2FFFF, 0x31170, 0x31171, 'q', 'r'}, 0, 60);
        CHECK_EQ(show(matcher.find_all(text.data(), text.size())), show(brute_force(words, text, identity, identity)));
    }
}

// Long texts: the start filter hands the rest of a text to the automaton
// after many failed tries, at any point of it; and the automatic plan takes
// the filter only for openings that are rare.
VX_TEST(matcher_start_filter_on_long_texts) {
    auto rng = vxtest::rng("filter");
    const std::vector<CodePoint> small = {'a', 'b', 'c'}, letters = {'a', 'e', 'k', 'q', 'x', 'z', 0x4E2D, 'M'};
    for (int n = 0; n < 300; ++n) {
        const std::vector<CodePoint> &alphabet = n % 2 ? small : letters;
        std::vector<Text> words(1 + rng() % 40);
        for (Text &word : words)
            word = random_string(rng, alphabet, 3, 3 + rng() % 6);
        Matcher matcher(word_list(words), vxcore::lexgard::exact_case(), ScanPlan::start_filter);
        Text text = random_string(rng, alphabet, 500, 3000);
        auto identity = [](CodePoint c) { return c; };
        CHECK_EQ(show(find_in_every_width(matcher, text)), show(brute_force(words, text, identity, identity)));
    }
    auto plan_for = [&](const std::vector<CodePoint> &alphabet) {
        std::vector<Text> words(2000);
        for (Text &word : words)
            word = random_string(rng, alphabet, 5, 12);
        return Matcher(word_list(words), vxcore::lexgard::exact_case()).uses_start_filter();
    };
    std::vector<CodePoint> latin;
    for (CodePoint c = 'a'; c <= 'z'; ++c)
        latin.push_back(c);
    CHECK(plan_for(latin));
    CHECK(!plan_for({'a', 'b', 'c', 'd'}));
}

// The start filter packs a window of 8 classes of 8 bits or 4 of 16 bits:
// class counts at both limits, and words as short as one class, as long as
// a full window and longer. One word uses every class; the others share a
// few letters, so that texts of them are dense with openings.
VX_TEST(matcher_start_filter_at_window_limits) {
    auto rng = vxtest::rng("window limits");
    for (std::uint32_t class_count : {255u, 256u, 65535u}) {
        std::vector<CodePoint> every(class_count);
        std::iota(every.begin(), every.end(), CodePoint{'a'});
        const std::vector<CodePoint> few = {'a', 'b', 'c'};
        for (std::size_t shortest : {1, 4, 8, 9}) {
            for (int n = 0; n < 12; ++n) {
                std::vector<Text> words(1 + rng() % 12);
                for (Text &word : words)
                    word = random_string(rng, few, shortest, shortest + 3);
                words.insert(words.begin() + static_cast<std::ptrdiff_t>(rng() % (words.size() + 1)), every);
                Matcher matcher(word_list(words), vxcore::lexgard::exact_case(), ScanPlan::start_filter);
                CHECK(matcher.uses_start_filter());
                for (int t = 0; t < 8; ++t) {
                    Text text = random_string(rng, few, 0, 300);
                    if (rng() % 2 && !text.empty())
                        text[rng() % text.size()] = every[rng() % every.size()];
                    const Text &word = words[rng() % words.size()];
                    text.insert(text.end(), word.begin(),
                                word.begin() + static_cast<std::ptrdiff_t>(rng() % 10 % (word.size() + 1)));
                    auto identity = [](CodePoint c) { return c; };
                    CHECK_EQ(show(find_in_every_width(matcher, text)),
                             show(brute_force(words, text, identity, identity)));
                }
            }
        }
    }
}

// re keeps compiled patterns cached, each with its automaton: a list's
// automaton costs tens of bytes per character of its words, not megabytes.
VX_TEST(matcher_memory_grows_with_the_list) {
    auto rng = vxtest::rng("memory");
    std::vector<CodePoint> latin;
    for (CodePoint c = 'a'; c <= 'z'; ++c)
        latin.push_back(c);
    for (std::size_t count : {100, 1000, 5000}) {
        std::vector<Text> words(count);
        std::size_t characters = 0;
        for (Text &word : words) {
            word = random_string(rng, latin, 5, 12);
            characters += word.size();
        }
        Matcher matcher(word_list(words), vxcore::lexgard::exact_case());
        CHECK(matcher.memory_bytes() <= 64 * 1024 + 48 * characters);
    }
}
