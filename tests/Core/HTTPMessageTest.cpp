#include "Core/HTTPMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string text(const HTTPMessage::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Appends the request one CRLF line at a time, as the connection does; false at the first
// line the message refuses.
bool appendLines(HTTPMessage& message, const std::string& request) {
    size_t start = 0;
    while (start < request.size()) {
        auto end = request.find("\r\n", start);
        end = end == std::string::npos ? request.size() : end + 2;
        if (!message.appendData(std::string_view(request).substr(start, end - start))) return false;
        start = end;
    }
    return true;
}

TEST(HTTPMessageTest, RequestIsParsedLineByLine) {
    auto request = HTTPMessage::initEmptyRequest();
    EXPECT_FALSE(request->url());
    EXPECT_TRUE(request->appendData("POST /scard/status/Reader%20A?x=1 HTTP/1.1\r\n"));
    EXPECT_FALSE(request->isHeaderComplete());
    EXPECT_EQ(request->method(), "POST");
    EXPECT_EQ(request->version(), "HTTP/1.1");
    ASSERT_TRUE(request->url());
    EXPECT_EQ(request->url()->relativeString(), "/scard/status/Reader%20A?x=1");
    EXPECT_TRUE(request->appendData("Host: localhost:31505 \r\n"));
    EXPECT_TRUE(request->appendData("content-length: 5\r\n"));
    EXPECT_TRUE(request->appendData("Origin:   https://signer.pellix.com  \r\n"));
    EXPECT_TRUE(request->appendData("X-!#$%&'*+.^_`|~09az: every token character\r\n"));
    EXPECT_FALSE(request->isHeaderComplete());
    EXPECT_TRUE(request->appendData("\r\n"));
    EXPECT_TRUE(request->isHeaderComplete());

    EXPECT_EQ(request->headerField("Content-Length"), "5");
    EXPECT_EQ(request->headerField("CONTENT-LENGTH"), "5");
    // Blanks after a value are part of it (an Origin check must see them); the URL's host is
    // the Host field's name without them.
    EXPECT_EQ(request->headerField("origin"), "https://signer.pellix.com  ");
    EXPECT_EQ(request->headerField("Host"), "localhost:31505 ");
    EXPECT_EQ(request->headerField("Transfer-Encoding"), std::nullopt);
    EXPECT_EQ(request->headerField("x-!#$%&'*+.^_`|~09AZ"), "every token character");
    const auto url = request->url();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->relativeString(), "/scard/status/Reader%20A?x=1");
    EXPECT_EQ(url->absoluteString(), "http://localhost:31505/scard/status/Reader%20A?x=1");
    EXPECT_EQ(url->host(), "localhost");
    EXPECT_EQ(url->query(), "x=1");
    EXPECT_EQ(url->pathComponents(), (std::vector<std::string>{"/", "scard", "status", "Reader A"}));
    EXPECT_TRUE(request->body().empty());
}

TEST(HTTPMessageTest, BytesAfterTheHeaderAreTheBodyInOrder) {
    auto request = HTTPMessage::initEmptyRequest();
    // The header's last line and the start of the body in one piece, then more pieces.
    ASSERT_TRUE(request->appendData("POST / HTTP/1.1\r\nHost: localhost\r\n\r\nhel"));
    EXPECT_TRUE(request->isHeaderComplete());
    ASSERT_TRUE(request->appendData("lo\r\n"));
    ASSERT_TRUE(request->appendData(std::string("\0wor", 4)));
    ASSERT_TRUE(request->appendData("ld\r\n\r\nGET / HTTP/1.1\r\n"));
    EXPECT_EQ(text(request->body()), std::string("hello\r\n") + '\0' + "world\r\n\r\nGET / HTTP/1.1\r\n");
    EXPECT_EQ(request->headerField("Host"), "localhost");
}

TEST(HTTPMessageTest, HeaderDetails) {
    auto request = HTTPMessage::initEmptyRequest();
    ASSERT_TRUE(appendLines(*request,
                            "\r\n"  // an empty line before the request line is skipped
                            "GET http://127.0.0.1/page HTTP/2.0\r\n"
                            "Host:localhost\r\n"
                            "Accept: a\r\n"
                            "accept: b\r\n"
                            "Accept:\r\n"  // an empty element adds nothing
                            "X-Late:\r\n"
                            "X-Late: v\r\n"
                            "Content-Length: 3\r\n"
                            "Content-Length: 3\r\n"
                            "X-Empty:\r\n"
                            "X-Tab:\tv\talue\t\r\n"
                            "\r\n"));
    EXPECT_TRUE(request->isHeaderComplete());
    EXPECT_EQ(request->version(), "HTTP/2.0");  // as sent; the connection answers 505
    EXPECT_EQ(request->headerField("Host"), "localhost");
    EXPECT_EQ(request->headerField("Accept"), "a, b");
    EXPECT_EQ(request->headerField("Content-Length"), "3");
    EXPECT_EQ(request->headerField("X-Empty"), "");
    EXPECT_EQ(request->headerField("X-Late"), "v");
    EXPECT_EQ(request->headerField("x-tab"), "v\talue\t");
    // A target in absolute form names its own host.
    EXPECT_EQ(request->url()->host(), "127.0.0.1");
    EXPECT_EQ(request->url()->relativeString(), "http://127.0.0.1/page");
    const auto all = request->allHeaderFields();
    EXPECT_EQ(all.size(), 6u);
    EXPECT_EQ(all.at("Accept"), "a, b");
}

TEST(HTTPMessageTest, RequestWithoutHostHasARelativeUrl) {
    auto request = HTTPMessage::initEmptyRequest();
    ASSERT_TRUE(appendLines(*request, "GET /x?y HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(request->url());
    EXPECT_EQ(request->url()->host(), std::nullopt);
    EXPECT_EQ(request->url()->absoluteString(), "/x?y");
    EXPECT_EQ(request->url()->query(), "y");
}

TEST(HTTPMessageTest, MalformedRequestsAreRefused) {
    const struct {
        const char* name;
        std::string request;
    } cases[] = {
        {"no target or version", "GET\r\n"},
        {"no version", "GET /\r\n"},
        {"two spaces", "GET  / HTTP/1.1\r\n"},
        {"trailing part", "GET / HTTP/1.1 x\r\n"},
        {"empty method", " / HTTP/1.1\r\n"},
        {"method not a token", "G(T / HTTP/1.1\r\n"},
        {"method with a byte above ASCII", "G\xC3\xA9T / HTTP/1.1\r\n"},
        {"comma in a field name", "GET / HTTP/1.1\r\nX,Y: a\r\n"},
        {"NUL in a field name", std::string("GET / HTTP/1.1\r\nX") + '\0' + "Y: a\r\n"},
        {"version word", "GET / HTTP/x\r\n"},
        {"version case", "GET / http/1.1\r\n"},
        {"version without minor", "GET / HTTP/2\r\n"},
        {"bad escape in target", "GET /%zz HTTP/1.1\r\n"},
        {"control in target", "GET /\x7f HTTP/1.1\r\n"},
        {"bare LF", "GET / HTTP/1.1\n"},
        {"bare CR", "GET / HTTP/1.1\rHost: x\r\n"},
        {"blank before colon", "GET / HTTP/1.1\r\nHost : localhost\r\n"},
        {"no colon", "GET / HTTP/1.1\r\nHost\r\n"},
        {"empty name", "GET / HTTP/1.1\r\n: value\r\n"},
        {"continuation line", "GET / HTTP/1.1\r\nX: a\r\n b\r\n"},
        {"control in value", std::string("GET / HTTP/1.1\r\nX: a") + '\0' + "b\r\n"},
        {"two Host fields", "GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil\r\n"},
        {"lengths that disagree", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n"},
        {"Host with a path", "GET / HTTP/1.1\r\nHost: localhost/x\r\n\r\n"},
        {"Host with a bad port", "GET / HTTP/1.1\r\nHost: localhost:http\r\n\r\n"},
        {"empty line alone cannot be a request line", "\r\n\r\nGET\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto request = HTTPMessage::initEmptyRequest();
        EXPECT_FALSE(appendLines(*request, c.request));
        EXPECT_FALSE(request->isHeaderComplete());
        // Refused for good: nothing parses afterwards.
        EXPECT_FALSE(request->appendData("\r\n"));
    }
}

TEST(HTTPMessageTest, LineLengthAndLineCountAreBounded) {
    const std::string requestLine = "GET / HTTP/1.1\r\n";
    const auto fieldOfLength = [](size_t total) {  // total bytes, CRLF included
        return "X: " + std::string(total - 5, 'a') + "\r\n";
    };
    {
        auto request = HTTPMessage::initEmptyRequest();
        ASSERT_TRUE(request->appendData(requestLine));
        EXPECT_TRUE(request->appendData(fieldOfLength(HTTPMessage::kMaxLineLength)));
        EXPECT_TRUE(request->appendData("\r\n"));
        EXPECT_EQ(request->headerField("X")->size(), HTTPMessage::kMaxLineLength - 5);
    }
    {
        auto request = HTTPMessage::initEmptyRequest();
        ASSERT_TRUE(request->appendData(requestLine));
        EXPECT_FALSE(request->appendData(fieldOfLength(HTTPMessage::kMaxLineLength + 1)));
    }
    {
        // A line that never ends is refused once it is too long, in whatever pieces it comes.
        auto request = HTTPMessage::initEmptyRequest();
        const std::string piece(1000, 'a');
        bool ok = true;
        size_t appended = 0;
        while (ok && appended < 100000) {
            ok = request->appendData(piece);
            appended += piece.size();
        }
        EXPECT_FALSE(ok);
        EXPECT_LE(appended, HTTPMessage::kMaxLineLength + piece.size());
    }
    {
        // The connection's own limit (100 lines) is reached well before the message's.
        auto request = HTTPMessage::initEmptyRequest();
        ASSERT_TRUE(request->appendData(requestLine));
        size_t lines = 1;
        while (lines < HTTPMessage::kMaxHeaderLines) {
            ASSERT_TRUE(request->appendData("X-" + std::to_string(lines) + ": v\r\n"));
            ++lines;
        }
        EXPECT_GT(lines, 101u);
        EXPECT_FALSE(request->appendData("X-last: v\r\n"));
    }
}

TEST(HTTPMessageTest, ResponseSerialisesByteForByte) {
    auto response = HTTPMessage::initResponseWithStatusCode(404, std::nullopt, HTTPVersion1_1);
    response->setHeaderField("Content-Length", "0");
    response->setHeaderField("Date", "Wed, 09 Dec 2026 07:50:24 GMT");
    response->setHeaderField("Accept-Ranges", "bytes");
    response->setHeaderField("content-length", "7");  // replaces, in place
    EXPECT_EQ(response->statusCode(), 404);
    EXPECT_EQ(response->headerField("Content-Length"), "7");
    EXPECT_EQ(text(response->messageData()),
              "HTTP/1.1 404 Not Found\r\n"
              "Content-Length: 7\r\n"
              "Date: Wed, 09 Dec 2026 07:50:24 GMT\r\n"
              "Accept-Ranges: bytes\r\n"
              "\r\n");

    const struct {
        int64_t code;
        std::optional<std::string> description;
        const char* statusLine;
    } lines[] = {
        {200, std::nullopt, "HTTP/1.1 200 OK\r\n"},
        {206, std::nullopt, "HTTP/1.1 206 Partial Content\r\n"},
        {505, std::nullopt, "HTTP/1.1 505 HTTP Version Not Supported\r\n"},
        {299, std::nullopt, "HTTP/1.1 299 \r\n"},
        {101, "Web Socket Protocol Handshake", "HTTP/1.1 101 Web Socket Protocol Handshake\r\n"},
        {200, "Split\r\nX: y", "HTTP/1.1 200 Split  X: y\r\n"},
    };
    for (const auto& l : lines) {
        SCOPED_TRACE(l.statusLine);
        auto message = HTTPMessage::initResponseWithStatusCode(l.code, l.description, "HTTP/1.1");
        EXPECT_EQ(text(message->messageData()), std::string(l.statusLine) + "\r\n");
    }
}

TEST(HTTPMessageTest, FieldsSetOnAResponseCannotBreakItsHeader) {
    auto response = HTTPMessage::initResponseWithStatusCode(200, std::nullopt, "HTTP/1.1");
    response->setHeaderField("Access-Control-Allow-Origin", "https://a\r\nSet-Cookie: x=1");
    response->setHeaderField("Bad Name", "v");
    response->setHeaderField("", "v");
    EXPECT_EQ(text(response->messageData()),
              "HTTP/1.1 200 OK\r\n"
              "Access-Control-Allow-Origin: https://a  Set-Cookie: x=1\r\n"
              "\r\n");
    EXPECT_FALSE(response->appendData("GET / HTTP/1.1\r\n"));
}

TEST(HTTPMessageTest, RequestMadeFromItsPiecesSerialises) {
    auto url = platform::Url::parseReference("/scard/list?x=1");
    ASSERT_TRUE(url);
    auto request = HTTPMessage::initRequestWithMethod("POST", *url, HTTPVersion1_0);
    request->setHeaderField("Host", "localhost");
    request->setBody({'{', '}'});
    EXPECT_TRUE(request->isHeaderComplete());
    EXPECT_EQ(text(request->messageData()), "POST /scard/list?x=1 HTTP/1.0\r\nHost: localhost\r\n\r\n{}");
}

}  // namespace
