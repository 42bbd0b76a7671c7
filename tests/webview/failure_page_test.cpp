#include "webview/failure_page.hpp"

#include <gtest/gtest.h>

namespace tarno_vesk {
namespace {

TEST(FailurePage, AddressIsShownAsTextOnly) {
    const std::string address = "http://x/?a=<script>alert('1')</script>&b=\"c\"";
    std::string page = failure_page_html(address, LoadFailure::unreachable);
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(
        page.find(
            "http://x/?a=&lt;script&gt;alert(&#39;1&#39;)&lt;/script&gt;&amp;b=&quot;c&quot;"),
        std::string::npos);
    EXPECT_EQ(page.find("{{"), std::string::npos);  // every placeholder is filled
    EXPECT_NE(page.find("dir=\"rtl\""), std::string::npos);
}

TEST(FailurePage, ReasonFollowsTheKindOfFailure) {
    std::string unreachable = failure_page_html("http://a", LoadFailure::unreachable);
    std::string name = failure_page_html("http://a", LoadFailure::name_not_found);
    std::string secure = failure_page_html("http://a", LoadFailure::secure_connection);
    std::string file = failure_page_html("file:///a", LoadFailure::missing_file);
    EXPECT_NE(unreachable, name);
    EXPECT_NE(name, secure);
    EXPECT_NE(secure, file);
    EXPECT_NE(name.find("نشانی سرور پیدا نشد"), std::string::npos);
}

}  // namespace
}  // namespace tarno_vesk
