// Masking the user-info of URL authorities: known texts, then the invariants
// on random texts over the characters that matter (every mask stands right
// before an "@"; text without "//" or without "@" is never changed).
#include <optional>
#include <string>

#include "harness.hpp"
#include "vxcore/url_credentials.hpp"

namespace {

using vxcore::credentials::masked;
using vxcore::credentials::Shape;
using vxcore::credentials::url_user_info;

std::string shown(const std::string &text, Shape shape) {
    return masked(text, shape).value_or(text);
}

} // namespace

VX_TEST(credentials_known_texts) {
    struct Case {
        const char *text;
        Shape shape;
        const char *expected;
    };
    const Case cases[] = {
        {"http://user:pw@engine:8188/x", Shape::url, "http://***@engine:8188/x"},
        {"//user@engine", Shape::url, "//***@engine"},
        {"https://a:b@c@engine/x?y=http://u:p@q", Shape::url, "https://***@engine/x?y=http://***@q"},
        {"http://u:p w@h/x", Shape::url, "http://***@h/x"},
        {"mailto:ops@example.com", Shape::url, "mailto:ops@example.com"},
        {"user:pw@engine:8188", Shape::url, "user:pw@engine:8188"},
        {"http:user@engine", Shape::url, "http:user@engine"},
        {"http://@engine", Shape::url, "http://@engine"},
        {"engine/a//b@c", Shape::url, "engine/a//b@c"},
        {"prefix [http://u:p@engine:8188] 连接 user@x", Shape::text, "prefix [http://***@engine:8188] 连接 user@x"},
        {"[//u:p@engine]", Shape::text, "[//***@engine]"},
        {"Invalid URL 'http://u:p@h': No host", Shape::text, "Invalid URL 'http://***@h': No host"},
        {"http://u:p w@h", Shape::text, "http://u:p w@h"},
        {"1http://u:p@h", Shape::text, "1http://***@h"},
        {"x ://u:p@h", Shape::text, "x ://u:p@h"},
    };
    for (const Case &c : cases)
        CHECK_EQ(shown(c.text, c.shape), std::string(c.expected));
    CHECK_EQ(url_user_info("http://u:p w@h/x").value_or("-"), std::string("u:p w"));
    CHECK_EQ(url_user_info("mailto:ops@example.com").value_or("-"), std::string("-"));
    CHECK_EQ(masked("GET u:p@h failed", Shape::text, {"u:p"}).value_or("-"), std::string("GET ***@h failed"));
}

VX_TEST(credentials_random_texts) {
    auto rng = vxtest::rng("credentials_random_texts");
    const std::string alphabet = "ab:/@[] '=?#1.\xe4";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (size_t length = rng() % 16; length > 0; --length)
            text += alphabet[rng() % alphabet.size()];
        for (Shape shape : {Shape::url, Shape::text}) {
            std::optional<std::string> result = masked(text, shape);
            if (text.find("//") == std::string::npos || text.find('@') == std::string::npos) {
                CHECK(!result);
                continue;
            }
            if (!result)
                continue;
            // Every mask stands where a user-info was: right before an "@".
            for (size_t at = result->find("***"); at != std::string::npos; at = result->find("***", at + 3))
                CHECK(result->compare(at + 3, 1, "@") == 0);
        }
    }
}
