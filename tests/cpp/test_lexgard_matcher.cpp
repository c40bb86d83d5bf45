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

template <class Unit> std::vector<Match> find_all(const Matcher &matcher, const Unit *text, std::size_t length) {
    std::vector<Match> matches;
    vxcore::lexgard::Checkpoints none;
    matcher.find_all(
        text, length, [&](std::size_t start, std::size_t size) { matches.push_back({start, size}); }, none);
    return matches;
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
    std::vector<Match> wide = find_all(matcher, text.data(), text.size());
    CodePoint widest = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    if (widest <= 0xFFFF) {
        std::vector<std::uint16_t> units(text.begin(), text.end());
        CHECK_EQ(show(find_all(matcher, units.data(), units.size())), show(wide));
    }
    if (widest <= 0xFF) {
        std::vector<std::uint8_t> units(text.begin(), text.end());
        CHECK_EQ(show(find_all(matcher, units.data(), units.size())), show(wide));
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

} // namespace

VX_TEST(matcher_known_cases) {
    auto find = [](std::vector<std::u32string> words, std::u32string text) {
        WordList list;
        for (const std::u32string &word : words)
            list.add(word.data(), word.size());
        Matcher matcher(std::move(list), vxcore::lexgard::exact_case());
        return show(find_all(matcher, text.data(), text.size()));
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
        Matcher matcher(word_list(words), vxcore::lexgard::exact_case());
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
        Matcher matcher(word_list(words), folded.mapping());
        for (int t = 0; t < 5; ++t) {
            Text text = random_string(rng, alphabet, 0, 80);
            auto key = [&](CodePoint c) { return folded.key(c); };
            CHECK_EQ(show(find_in_every_width(matcher, text)), show(brute_force(words, text, key, key)));
        }
    }
}

// Classes are 16 bits: a list of more distinct characters is refused (the
// module then keeps to re's own search), 65535 of them are matched.
VX_TEST(matcher_with_65535_character_classes_and_more) {
    auto rng = vxtest::rng("wide");
    for (CodePoint distinct : {65535u, 65536u}) {
        std::vector<Text> words;
        for (CodePoint c = 0x20000; c < 0x20000 + distinct - 1; ++c)
            words.push_back({c});
        for (int n = 0; n < 200; ++n)
            words.push_back(random_string(rng, {0x20001, 0x20002, 'q'}, 2, 4));
        std::shuffle(words.begin(), words.end(), rng);
        if (distinct > 65535) {
            bool refused = false;
            try {
                Matcher(word_list(words), vxcore::lexgard::exact_case());
            } catch (const std::length_error &) {
                refused = true;
            }
            CHECK(refused);
            continue;
        }
        Matcher matcher(word_list(words), vxcore::lexgard::exact_case());
        auto identity = [](CodePoint c) { return c; };
        for (int t = 0; t < 20; ++t) {
            Text text = random_string(rng, {0x20001, 0x20002, 0x30000, 'q', 'r'}, 0, 60);
            CHECK_EQ(show(find_all(matcher, text.data(), text.size())),
                     show(brute_force(words, text, identity, identity)));
        }
    }
}

// Shapes that make a look-ahead matcher slow, on texts longer than a chunk,
// whose matches cross chunk boundaries: a word listed before a longer one it
// begins, long shared prefixes longest first, nested prefixes in both orders,
// and a word long enough to lengthen the chunk.
VX_TEST(matcher_adversarial_shapes_across_chunks) {
    auto repeat = [](const Text &piece, std::size_t length) {
        Text text;
        while (text.size() < length)
            text.insert(text.end(), piece.begin(), piece.end());
        text.resize(length);
        return text;
    };
    auto run_of = [](CodePoint c, std::size_t count) { return Text(count, c); };
    auto then = [](Text left, const Text &right) {
        left.insert(left.end(), right.begin(), right.end());
        return left;
    };
    std::vector<Text> nested_longest_first, nested_shortest_first;
    for (std::size_t k = 1; k <= 60; ++k) {
        nested_shortest_first.push_back(run_of('a', k));
        nested_longest_first.insert(nested_longest_first.begin(), run_of('a', k));
    }
    struct Shape {
        std::vector<Text> words;
        Text text;
    };
    const std::size_t length = 3 * Matcher::kChunkLength + 77;
    const Shape shapes[] = {
        {{{'a'}, then(run_of('a', 300), {'b'})}, repeat(then(run_of('a', 500), {'b'}), length)},
        {{then(run_of('a', 300), {'b'}), {'a'}}, repeat(then(run_of('a', 299), {'b'}), length)},
        {{then(repeat({'a', 'b'}, 200), {'x'}), then(repeat({'a', 'b'}, 120), {'y'}), {'b', 'a', 'b'}},
         then(repeat({'a', 'b'}, length), repeat({'a', 'b'}, 120))},
        {nested_longest_first, repeat(then(run_of('a', 45), {'b'}), length)},
        {nested_shortest_first, repeat(then(run_of('a', 45), {'b'}), length)},
        {{then(run_of('c', 2500), {'d'}), {'c', 'c'}}, repeat(then(run_of('c', 2600), {'d'}), 3 * length)},
    };
    auto identity = [](CodePoint c) { return c; };
    for (const Shape &shape : shapes) {
        Matcher matcher(word_list(shape.words), vxcore::lexgard::exact_case());
        CHECK_EQ(show(find_in_every_width(matcher, shape.text)),
                 show(brute_force(shape.words, shape.text, identity, identity)));
    }
}

// Lists whose openings are rare among all possible ones get the start
// filter: texts of mostly other letters and spaces, with words (and words
// cut short) spliced in, long enough to cross chunks; classes of 8 bits and
// of 16 (more than 255 distinct characters).
VX_TEST(matcher_with_a_start_filter_equals_brute_force) {
    auto rng = vxtest::rng("filter");
    std::vector<CodePoint> latin, wide;
    for (CodePoint c = 'a'; c <= 'z'; ++c)
        latin.push_back(c);
    for (CodePoint c = 0x4E00; c < 0x4E00 + 400; ++c)
        wide.push_back(c);
    auto identity = [](CodePoint c) { return c; };
    for (int n = 0; n < 24; ++n) {
        const std::vector<CodePoint> &alphabet = n % 2 ? wide : latin;
        std::vector<Text> words(1 + rng() % 150);
        for (Text &word : words)
            word = random_string(rng, alphabet, 3, 3 + rng() % 8);
        Matcher matcher(word_list(words), vxcore::lexgard::exact_case());
        Text text;
        while (text.size() < Matcher::kChunkLength + 5000) {
            Text piece = rng() % 4 ? random_string(rng, alphabet, 1, 9) : words[rng() % words.size()];
            text.insert(text.end(), piece.begin(),
                        piece.begin() + static_cast<std::ptrdiff_t>(piece.size() - rng() % 2 * (piece.size() / 2)));
            text.push_back(rng() % 3 ? ' ' : alphabet[rng() % alphabet.size()]);
        }
        CHECK_EQ(show(find_in_every_width(matcher, text)), show(brute_force(words, text, identity, identity)));
    }
}

// Each distinct text once, in the order of its first occurrence, through
// the growth of the table.
VX_TEST(distinct_texts_keep_first_occurrences_in_order) {
    std::u32string text = U"ab ba ab abc ba x";
    vxcore::lexgard::DistinctTexts<char32_t> distinct(text.data());
    const Match hits[] = {{0, 2}, {3, 2}, {6, 2}, {9, 2}, {9, 3}, {13, 2}, {16, 1}, {0, 2}};
    for (const Match &hit : hits)
        distinct.add(hit.start, hit.length);
    CHECK_EQ(show(distinct.take()), "(0,2)(3,2)(9,3)(16,1)");
    std::u32string many;
    for (char32_t c = 0x4E00; c < 0x4E00 + 500; ++c)
        many += std::u32string(3, c);
    vxcore::lexgard::DistinctTexts<char32_t> grown(many.data());
    for (std::size_t i = 0; i < many.size(); ++i)
        grown.add(i, 1);
    CHECK_EQ(grown.take().size(), std::size_t{500});
}

// A pause that throws abandons the build or the scan it interrupts, and
// the sanitizers see nothing of it left behind.
VX_TEST(checkpoints_pause_long_work_and_may_end_it) {
    struct Stop {};
    std::vector<Text> words;
    for (CodePoint c = 0; c < 4000; ++c)
        words.push_back({'w', 0x4E00 + c, 'x', 'y', 'z'});
    std::size_t pauses = 0;
    bool stopped = false;
    try {
        Matcher(word_list(words), vxcore::lexgard::exact_case(), vxcore::lexgard::Checkpoints([&] {
                    if (++pauses == 1)
                        throw Stop{};
                }));
    } catch (const Stop &) {
        stopped = true;
    }
    CHECK(stopped);
    Matcher matcher(word_list(words), vxcore::lexgard::exact_case());
    Text text(10 * Matcher::kChunkLength, 'w');
    pauses = 0;
    vxcore::lexgard::Checkpoints counting([&] {
        if (++pauses == 3)
            throw Stop{};
    });
    stopped = false;
    try {
        matcher.find_all(text.data(), text.size(), [](std::size_t, std::size_t) {}, counting);
    } catch (const Stop &) {
        stopped = true;
    }
    CHECK(stopped);
    CHECK_EQ(pauses, std::size_t{3});
}

// A list's automaton costs a few bytes per character of its words: a small
// part of what re's compiled pattern of the same words takes.
VX_TEST(matcher_memory_grows_with_the_list) {
    auto rng = vxtest::rng("memory");
    std::vector<CodePoint> latin;
    for (CodePoint c = 'a'; c <= 'z'; ++c)
        latin.push_back(c);
    for (std::size_t count : {100, 1000, 5000, 50000}) {
        std::vector<Text> words(count);
        std::size_t characters = 0;
        for (Text &word : words) {
            word = random_string(rng, latin, 5, 12);
            characters += word.size();
        }
        Matcher matcher(word_list(words), vxcore::lexgard::exact_case());
        CHECK(matcher.memory_bytes() <= 160 * 1024 + 6 * characters);
    }
}
