#include "shell/web_address.hpp"

#include <gtest/gtest.h>

namespace tarno_vesk {
namespace {

TEST(WebAddress, AbsoluteUri) {
    struct Case {
        const char* text;
        bool absolute;
    } cases[] = {
        {"https://shop.example/app?desktop=windows", true},
        {"file:///usr/share/tarno-vesk/demo/index.html", true},
        {"about:blank", true},
        {"http://[::1]:8080/a%20b#top", true},
        {"https://\u0641\u0631\u0648\u0634\u06AF\u0627\u0647.example/", true},
        {"", false},
        {"shop.example/app", false},
        {"://x", false},
        {"1http://x", false},
        {"http://a b/", false},
        {"http://a/\n", false},
        {"http://a/%zz", false},
        {"http://a/%4", false},
        {"http://a/<script>", false},
        {"http://a/\xff", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_absolute_uri(c.text), c.absolute) << c.text;
}

TEST(WebAddress, WebServerNeedsHttpSchemeAndHost) {
    struct Case {
        const char* text;
        bool accepted;
    } cases[] = {
        {"http://shop.example", true},
        {"https://shop.example:8443/app?x=1#y", true},
        {"http://user:pw@10.0.0.2:80/", true},
        {"http://[fe80::1]/", true},
        {"http://host:/", true},
        {"http://", false},
        {"https://", false},
        {"http:///path", false},
        {"http://:80/", false},
        {"http://user@/", false},
        {"http://host:8o/", false},
        {"http://[::1/", false},
        {"HTTP://shop.example", false},
        {"ftp://shop.example", false},
        {"http:shop.example", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_web_server_address(c.text), c.accepted) << c.text;
}

}  // namespace
}  // namespace tarno_vesk
