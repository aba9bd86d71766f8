#include "Core/Mime/MultipartFormDataParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string readDataFile(const std::string& name) {
    std::ifstream in(std::string(PELLIX_MIME_TEST_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string textOf(std::span<const uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

// What a parser reported, with the pieces of one kind that follow each other joined: the
// same body must give the same record however it is split.
struct Part {
    std::shared_ptr<const MultipartMessageHeader> header;
    std::string content;
    bool ended = false;
};
struct Outcome {
    std::string preamble;
    std::vector<Part> parts;
    std::string epilogue;
    std::vector<std::string> order;  // "preamble", "start", "content", "end", "epilogue", joined runs
    bool ok = true;
};

class RecordingDelegate : public MultipartFormDataParserDelegate {
public:
    void processPreambleData(std::span<const uint8_t> data) override {
        EXPECT_FALSE(data.empty());
        outcome.preamble += textOf(data);
        note("preamble");
    }
    void processStartOfPartWithHeader(const std::shared_ptr<const MultipartMessageHeader>& header) override {
        outcome.parts.push_back({header, "", false});
        note("start");
    }
    void processContent(std::span<const uint8_t> data, const std::shared_ptr<const MultipartMessageHeader>& header) override {
        EXPECT_FALSE(data.empty());
        ASSERT_FALSE(outcome.parts.empty());
        EXPECT_EQ(header, outcome.parts.back().header);
        outcome.parts.back().content += textOf(data);
        note("content");
    }
    void processEndOfPartWithHeader(const std::shared_ptr<const MultipartMessageHeader>& header) override {
        ASSERT_FALSE(outcome.parts.empty());
        EXPECT_EQ(header, outcome.parts.back().header);
        outcome.parts.back().ended = true;
        note("end");
    }
    void processEpilogueData(std::span<const uint8_t> data) override {
        EXPECT_FALSE(data.empty());
        outcome.epilogue += textOf(data);
        note("epilogue");
    }

    Outcome outcome;

private:
    void note(const std::string& event) {
        const bool joins = event == "preamble" || event == "content" || event == "epilogue";
        if (joins && !outcome.order.empty() && outcome.order.back() == event) return;
        outcome.order.push_back(event);
    }
};

// Feeds the body in the given pieces (their lengths) and then whatever is left.
Outcome parse(const std::string& boundary, std::string_view body, const std::vector<size_t>& pieces = {}) {
    auto parser = MultipartFormDataParser::initWithBoundary(boundary, platform::StringEncoding::UTF8);
    auto delegate = std::make_shared<RecordingDelegate>();
    parser->setDelegate(delegate);
    size_t at = 0;
    for (size_t length : pieces) {
        if (!delegate->outcome.ok || at >= body.size()) break;
        length = std::min(length, body.size() - at);
        delegate->outcome.ok = parser->appendData(bytesOf(body.substr(at, length)));
        at += length;
    }
    if (delegate->outcome.ok && at < body.size()) delegate->outcome.ok = parser->appendData(bytesOf(body.substr(at)));
    return delegate->outcome;
}

std::string headerText(const Outcome& outcome) {
    std::string text;
    for (const Part& part : outcome.parts) text += part.header->description() + "|";
    return text;
}

void expectSameOutcome(const Outcome& expected, const Outcome& actual) {
    EXPECT_EQ(actual.ok, expected.ok);
    EXPECT_EQ(actual.order, expected.order);
    EXPECT_EQ(actual.preamble, expected.preamble);
    EXPECT_EQ(actual.epilogue, expected.epilogue);
    ASSERT_EQ(actual.parts.size(), expected.parts.size());
    for (size_t i = 0; i < actual.parts.size(); ++i) {
        EXPECT_TRUE(actual.parts[i].content == expected.parts[i].content) << "part " << i;
        EXPECT_EQ(actual.parts[i].ended, expected.parts[i].ended) << "part " << i;
    }
    EXPECT_EQ(headerText(actual), headerText(expected));
}

const MultipartMessageHeaderField& field(const Part& part, const std::string& name) {
    static const auto none = MultipartMessageHeaderField::initWithData(bytesOf("None: none"), platform::StringEncoding::UTF8);
    const auto it = part.header->fields().find(name);
    EXPECT_NE(it, part.header->fields().end()) << name;
    return it == part.header->fields().end() ? *none : *it->second;
}

struct Body {
    const char* name;
    std::string boundary;
    std::string body;
};

std::vector<Body> realBodies() {
    return {
        {"curl -F", readDataFile("curl-form.boundary"), readDataFile("curl-form.body")},
        {"python email", readDataFile("email-qp.boundary"), readDataFile("email-qp.body")},
    };
}

// ----- Bodies from real encoders --------------------------------------------------------

TEST(MultipartFormDataParser, CurlFormGivesItsThreeFields) {
    const Outcome outcome = parse(readDataFile("curl-form.boundary"), readDataFile("curl-form.body"));
    ASSERT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.preamble, "");
    EXPECT_EQ(outcome.epilogue, "");
    EXPECT_EQ(outcome.order, (std::vector<std::string>{"start", "content", "end", "start", "content", "end", "start",
                                                       "content", "end"}));
    ASSERT_EQ(outcome.parts.size(), 3u);

    const MultipartMessageHeaderField& greeting = field(outcome.parts[0], "Content-Disposition");
    EXPECT_EQ(greeting.value(), "form-data");
    EXPECT_EQ(greeting.params(), (MultipartMessageHeaderField::Params{{"name", "greeting"}}));
    EXPECT_EQ(outcome.parts[0].content, "hello world");

    const MultipartMessageHeaderField& notes = field(outcome.parts[1], "Content-Disposition");
    EXPECT_EQ(notes.params(), (MultipartMessageHeaderField::Params{{"name", "notes"}, {"filename", "hello.txt"}}));
    EXPECT_EQ(field(outcome.parts[1], "Content-Type").value(), "text/plain");
    EXPECT_EQ(outcome.parts[1].content, "Hello, multipart!\r\nSecond line.\n");

    const MultipartMessageHeaderField& blob = field(outcome.parts[2], "Content-Disposition");
    EXPECT_EQ(blob.params(), (MultipartMessageHeaderField::Params{{"name", "blob"}, {"filename", "binary.bin"}}));
    EXPECT_EQ(field(outcome.parts[2], "Content-Type").value(), "application/octet-stream");
    EXPECT_TRUE(outcome.parts[2].content == readDataFile("binary.bin"));
}

TEST(MultipartFormDataParser, EmailFormGivesPreambleQuotedPrintablePartFoldedHeaderAndEpilogue) {
    const Outcome outcome = parse(readDataFile("email-qp.boundary"), readDataFile("email-qp.body"));
    ASSERT_TRUE(outcome.ok);
    // The CR LF before the first boundary line belongs to the preamble: the first boundary
    // is looked for without it.
    EXPECT_EQ(outcome.preamble, "This is the preamble; mail readers skip it.\r\n");
    EXPECT_EQ(outcome.epilogue, "This is the epilogue.\r\n");
    ASSERT_EQ(outcome.parts.size(), 2u);

    const Part& comment = outcome.parts[0];
    EXPECT_EQ(comment.header->fields().size(), 4u);
    EXPECT_EQ(field(comment, "Content-Type").value(), "text/plain");
    EXPECT_EQ(field(comment, "Content-Type").params(), (MultipartMessageHeaderField::Params{{"charset", "utf-8"}}));
    EXPECT_EQ(field(comment, "Content-Transfer-Encoding").value(), "quoted-printable");
    EXPECT_EQ(comment.header->encoding(), ContentTransferEncodingUnknown);
    // Content is delivered as sent; the quoted-printable decoder gives the text back.
    EXPECT_NE(comment.content.find("Caf=C3=A9"), std::string::npos);
    EXPECT_EQ(textOf(MultipartFormDataParser::decodedDataFromData(bytesOf(comment.content),
                                                                  ContentTransferEncodingQuotedPrintable)),
              "Caf\xC3\xA9 cr\xC3\xA8me = tasty; a line long enough that quoted-printable has to break it softly "
              "somewhere.\r\n");

    // The folded Content-Disposition stays one field; the fold's CR LF and blank stay in the
    // line, so the parameter after the fold is named with them.
    const Part& folded = outcome.parts[1];
    EXPECT_EQ(folded.header->fields().size(), 4u);
    const MultipartMessageHeaderField& disposition = field(folded, "Content-Disposition");
    EXPECT_EQ(disposition.value(), "form-data");
    EXPECT_EQ(disposition.params(),
              (MultipartMessageHeaderField::Params{{"name", "attachment-with-a-long-name"},
                                                   {"\n filename", "a-rather-long-file-name-that-makes-the-header-fold.txt"}}));
    EXPECT_EQ(folded.content, "folded header part\r\n");
}

TEST(MultipartFormDataParser, EverySplitGivesTheSameEventsAndBytes) {
    for (const Body& body : realBodies()) {
        SCOPED_TRACE(body.name);
        const Outcome whole = parse(body.boundary, body.body);
        ASSERT_TRUE(whole.ok);
        for (size_t split = 1; split < body.body.size(); ++split) {
            SCOPED_TRACE("split at " + std::to_string(split));
            expectSameOutcome(whole, parse(body.boundary, body.body, {split}));
            if (HasFailure()) return;
        }
        for (size_t step : {1u, 2u, 3u, 7u, 41u}) {
            SCOPED_TRACE("pieces of " + std::to_string(step));
            expectSameOutcome(whole, parse(body.boundary, body.body, std::vector<size_t>(body.body.size(), step)));
        }
    }
}

// ----- Preamble, closing line and epilogue ----------------------------------------------

struct FrameCase {
    const char* name;
    const char* body;
    const char* preamble;
    const char* content;
    const char* epilogue;
    std::vector<std::string> order;
};

TEST(MultipartFormDataParser, PreambleAndEpilogueAreReportedAroundTheParts) {
    const FrameCase cases[] = {
        {"no preamble when the body begins with the boundary line", "--XyZ\r\nA: b\r\n\r\nbody\r\n--XyZ--\r\n", "", "body", "",
         {"start", "content", "end"}},
        {"preamble and epilogue", "pre\r\namble\r\n--XyZ\r\nA: b\r\n\r\nbody\r\n--XyZ--\r\nepi\r\nlogue", "pre\r\namble\r\n",
         "body", "epi\r\nlogue", {"preamble", "start", "content", "end", "epilogue"}},
        {"the rest of the closing line is skipped", "--XyZ\r\nA: b\r\n\r\nbody\r\n--XyZ-- padding\r\nafter", "", "body",
         "after", {"start", "content", "end", "epilogue"}},
        {"transport padding after a boundary", "--XyZ  \r\nA: b\r\n\r\nbody\r\n--XyZ\t\r\nA: c\r\n\r\n\r\n--XyZ--\r\n", "",
         "body", "", {"start", "content", "end", "start", "end"}},
        {"near boundaries inside content", "--XyZ\r\nA: b\r\n\r\n--XyZ\r\n-XyZ\r\n--Xy\r\n--XyZ--", "",
         "--XyZ\r\n-XyZ\r\n--Xy", "", {"start", "content", "end"}},
        {"a body that stops inside a part leaves it open, the last bytes held back", "--XyZ\r\nA: b\r\n\r\nunfinished content", "",
         "unfinished ", "", {"start", "content"}},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome whole = parse("XyZ", c.body);
        ASSERT_TRUE(whole.ok);
        EXPECT_EQ(whole.preamble, c.preamble);
        EXPECT_EQ(whole.epilogue, c.epilogue);
        EXPECT_EQ(whole.order, c.order);
        ASSERT_FALSE(whole.parts.empty());
        EXPECT_EQ(whole.parts[0].content, c.content);
        for (size_t split = 1; split < std::string_view(c.body).size(); ++split) {
            SCOPED_TRACE("split at " + std::to_string(split));
            expectSameOutcome(whole, parse("XyZ", c.body, {split}));
        }
        expectSameOutcome(whole, parse("XyZ", c.body, std::vector<size_t>(std::string_view(c.body).size(), 1)));
    }
}

TEST(MultipartFormDataParser, RegressionABoundaryEndingInCrIsNeverTakenForItsLineEnd) {
    // The CR that ends such a boundary came last in a piece: it was kept as the start of the
    // boundary line's CR LF, so the line ended one line early only when the body was split
    // there.
    const std::string body = "preamble\r\n--ab\r\nA: b\r\nC: d\r\n\r\ncontent\r\n--ab\r--\r\nepilogue";
    const Outcome whole = parse("ab\r", body);
    ASSERT_TRUE(whole.ok);
    for (size_t split = 1; split < body.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        expectSameOutcome(whole, parse("ab\r", body, {split}));
    }
    expectSameOutcome(whole, parse("ab\r", body, std::vector<size_t>(body.size(), 1)));
}

// ----- Making a parser, and a boundary without an ASCII form ------------------------------

class MultipartLogTest : public ::testing::Test {
protected:
    void SetUp() override { LxLog::addLogger(logger); }
    void TearDown() override {
        LxLog::flushLog();
        LxLog::removeLogger(logger);
    }
    // The texts logged since the last call, each with "E" (error) or "W" (warning) before it;
    // every one must have context 80.
    std::vector<std::string> takeLog() {
        LxLog::flushLog();
        std::vector<std::string> texts;
        const auto messages = logger->messages();
        for (size_t i = taken; i < messages.size(); ++i) {
            EXPECT_EQ(messages[i]->logContext, LogContextHttpServer);
            texts.push_back((messages[i]->logFlag == LogFlagError ? "E " : "W ") + *messages[i]->logMsg);
        }
        taken = messages.size();
        return texts;
    }
    std::shared_ptr<logging_test::RecordingLogger> logger = std::make_shared<logging_test::RecordingLogger>();
    size_t taken = 0;
};

TEST_F(MultipartLogTest, NoBoundaryGivesNoParser) {
    EXPECT_EQ(MultipartFormDataParser::initWithBoundary(std::nullopt, platform::StringEncoding::UTF8), nullptr);
    EXPECT_EQ(takeLog(), std::vector<std::string>{"W MultipartFormDataParser: init with zero boundary"});
}

TEST_F(MultipartLogTest, ABoundaryWithoutAnAsciiFormRefusesEveryPieceAndTouchesNothing) {
    auto parser = MultipartFormDataParser::initWithBoundary("caf\xC3\xA9", platform::StringEncoding::UTF8);
    ASSERT_NE(parser, nullptr);
    auto delegate = std::make_shared<RecordingDelegate>();
    parser->setDelegate(delegate);
    const std::string body = "preamble\r\n--caf\xC3\xA9\r\nA: b\r\n\r\nx\r\n--caf\xC3\xA9--\r\n";
    EXPECT_FALSE(parser->appendData(bytesOf(body)));
    EXPECT_FALSE(parser->appendData(bytesOf("more")));
    EXPECT_TRUE(delegate->outcome.order.empty());
    const std::string error = "E MultipartFormDataParser: Trying to parse multipart without specifying a valid boundary";
    EXPECT_EQ(takeLog(), (std::vector<std::string>{error, error}));
}

TEST_F(MultipartLogTest, WithoutADelegateTheBodyIsStillParsed) {
    auto parser = MultipartFormDataParser::initWithBoundary("b", platform::StringEncoding::UTF8);
    EXPECT_TRUE(parser->appendData(bytesOf("x\r\n--b\r\nA: b\r\n\r\ncontent\r\n--b--\r\nepilogue")));
    EXPECT_TRUE(takeLog().empty());
}

// A part header that does not end within the limit is refused, however the body is split:
// kept whole between pieces it made every piece search and copy all of it again, so a header
// that never ended, fed in small pieces, held the parser (and its caller's queue) for minutes.
TEST_F(MultipartLogTest, RegressionAPartHeaderLongerThanTheLimitIsRefusedWhateverTheSplit) {
    const std::string start = "--b\r\n";
    // A header block (its lines and the empty line) of the given length.
    auto headerOf = [](size_t length) {
        const std::string head = "Content-Disposition: form-data; name=\"f\"\r\nX-Pad: ";
        return head + std::string(length - head.size() - 4, 'p') + "\r\n\r\n";
    };
    const std::string error =
        "E MultipartFormDataParser: MultipartFormDataParser: wrong input format, coulnd't get a valid header";
    const struct {
        const char* name;
        std::string header;
        bool taken;
    } cases[] = {
        {"a header of the limit's length", headerOf(MultipartFormDataParser::kMaxHeaderLength), true},
        {"one byte longer", headerOf(MultipartFormDataParser::kMaxHeaderLength + 1), false},
        {"a header that never ends", std::string(MultipartFormDataParser::kMaxHeaderLength + 100, 'h'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string body = start + c.header + "content\r\n--b--\r\n";
        const std::vector<std::pair<std::string, std::vector<size_t>>> feeds = {
            {"whole", {}},
            {"split in the header", {start.size() + 100}},
            {"split just before its end", {start.size() + MultipartFormDataParser::kMaxHeaderLength - 2}},
            {"byte by byte", std::vector<size_t>(body.size(), 1)},
        };
        for (const auto& [feed, pieces] : feeds) {
            SCOPED_TRACE(feed);
            const Outcome outcome = parse("b", body, pieces);
            EXPECT_EQ(outcome.ok, c.taken);
            if (c.taken) {
                EXPECT_EQ(outcome.order, (std::vector<std::string>{"start", "content", "end"}));
                ASSERT_EQ(outcome.parts.size(), 1u);
                EXPECT_EQ(outcome.parts[0].content, "content");
                EXPECT_TRUE(takeLog().empty());
            } else {
                EXPECT_TRUE(outcome.order.empty());
                EXPECT_EQ(takeLog(), std::vector<std::string>{error});
            }
        }
    }

    // Once refused, the parser stays refused and keeps no more of the header than the limit.
    auto parser = MultipartFormDataParser::initWithBoundary("b", platform::StringEncoding::UTF8);
    EXPECT_FALSE(parser->appendData(bytesOf(start + std::string(MultipartFormDataParser::kMaxHeaderLength, 'h'))));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(parser->appendData(bytesOf(std::string(1 << 20, 'h') + "\r\n\r\n")));
    EXPECT_EQ(takeLog().size(), 4u);
}

// ----- Part headers -----------------------------------------------------------------------

std::shared_ptr<const MultipartMessageHeader> header(std::string_view block) {
    return MultipartMessageHeader::initWithData(bytesOf(block), platform::StringEncoding::UTF8);
}

TEST_F(MultipartLogTest, DispositionWithTwoQuotedParametersAndAContentType) {
    auto h = header("Content-Disposition: form-data; name=\"upload\"; filename=\"report 1.pdf\"\r\n"
                    "Content-Type: application/pdf\r\n");
    ASSERT_EQ(h->fields().size(), 2u);
    const auto& disposition = *h->fields().at("Content-Disposition");
    EXPECT_EQ(disposition.name(), "Content-Disposition");
    EXPECT_EQ(disposition.value(), "form-data");
    EXPECT_EQ(disposition.params(),
              (MultipartMessageHeaderField::Params{{"name", "upload"}, {"filename", "report 1.pdf"}}));
    EXPECT_EQ(h->fields().at("Content-Type")->value(), "application/pdf");
    EXPECT_TRUE(h->fields().at("Content-Type")->params().empty());
    EXPECT_EQ(disposition.description(), "Content-Disposition:form-data\n params: {\n    filename = report 1.pdf;\n"
                                         "    name = upload;\n}");
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(MultipartLogTest, HeaderLinesThatGiveNoFieldAreSkippedWithTheirWarning) {
    {
        SCOPED_TRACE("every line fails: the text/plain entry");
        auto h = header("no colon here\r\nX:\r\n");
        ASSERT_EQ(h->fields().size(), 1u);
        EXPECT_EQ(h->fields().at("Content-Type")->value(), "text/plain");
        EXPECT_TRUE(h->fields().at("Content-Type")->params().empty());
        EXPECT_EQ(takeLog(), (std::vector<std::string>{
                                 "E MultipartFormDataParser: Bad format.No colon in field header.",
                                 "W MultipartFormDataParser: Failed to parse MIME header field. Input ASCII string:no colon here",
                                 "E MultipartFormDataParser: Bad format.No colon in field header.",
                                 "W MultipartFormDataParser: Failed to parse MIME header field. Input ASCII string:X:",
                             }));
    }
    {
        SCOPED_TRACE("the other lines still count");
        auto h = header("A: one\r\nno colon\r\nB:x\r\nC: three\r\n");
        EXPECT_EQ(h->fields().size(), 2u);
        EXPECT_EQ(h->fields().at("A")->value(), "one");
        EXPECT_EQ(h->fields().at("C")->value(), "three");
        EXPECT_EQ(h->fields().count("B"), 0u);
        EXPECT_EQ(takeLog().size(), 4u);
    }
    {
        SCOPED_TRACE("a later field replaces an earlier one of the same name; names keep their case");
        auto h = header("A: one\r\na: lower\r\nA: two\r\n");
        EXPECT_EQ(h->fields().size(), 2u);
        EXPECT_EQ(h->fields().at("A")->value(), "two");
        EXPECT_EQ(h->fields().at("a")->value(), "lower");
    }
}

struct FieldCase {
    const char* name;
    std::string line;
    bool gives;
    std::optional<std::string> value;
    MultipartMessageHeaderField::Params params;
    std::vector<std::string> log;
};

TEST_F(MultipartLogTest, FieldLinesAndTheirParameters) {
    const std::string paramsFailed = "E MultipartFormDataParser: Bad params for header with name 'D' and value 'v'";
    const FieldCase cases[] = {
        {"plain value", "Name: value", true, "value", {}, {}},
        {"the name is not trimmed, one blank after the colon is skipped", " N :  two", true, " two", {}, {}},
        {"backslash-quote inside a quoted value", R"(D: v; filename="a\"b.txt"; x=y)", true, "v",
         {{"filename", "a\"b.txt"}, {"x", "y"}}, {}},
        {"a doubled backslash leaves one, in quotes or not", R"(D: v; p="c:\\dir"; q=a\\b)", true, "v",
         {{"p", "c:\\dir"}, {"q", "a\\b"}}, {}},
        {"separators inside quotes", R"(D: v; a="x;y=z"; b=2)", true, "v", {{"a", "x;y=z"}, {"b", "2"}}, {}},
        {"a ';' that ends the line ends the list", "D: v; a=1;", true, "v", {{"a", "1"}}, {}},
        {"an unterminated quote still gives the last parameter", R"(D: v; a="open)", true, "v", {{"a", "ope"}},
         {"W MultipartFormDataParser: unterminated quote in header D"}},
        {"an empty value after ';' is skipped with a warning", "D: v; a=; b=2", true, "v", {{"b", "2"}},
         {"W MultipartFormDataParser: Failed to exctract paramValue for key a in header D"}},
        {"an empty value at the end is an error", "D: v; a=1; b=", true, "v", {{"a", "1"}},
         {"E MultipartFormDataParser: Failed to exctract paramValue for key b in header D"}},
        {"';' without a name", "D: v; junk; a=1", false, std::nullopt, {},
         {"E MultipartFormDataParser: Unexpected ';' when parsing header", paramsFailed,
          "E MultipartFormDataParser: Params str: junk; a=1"}},
        {"a second '=' before the value ends", "D: v; a=b=c", false, std::nullopt, {},
         {paramsFailed, "E MultipartFormDataParser: Params str: a=b=c"}},
        {"a name that is not ASCII", "N\xC3\xA4me: v", false, std::nullopt, {},
         {"E MultipartFormDataParser: Bad MIME header name."}},
        {"a value that is not UTF-8", "N: \xFF", false, std::nullopt, {},
         {"E MultipartFormDataParser: Bad MIME header value for header name: 'N'"}},
        {"a value before ';' that is not UTF-8 stays none", "N: \xFF; a=1", true, std::nullopt, {{"a", "1"}}, {}},
        {"the colon in the last two bytes", "Name: ", false, std::nullopt, {},
         {"E MultipartFormDataParser: Bad format.No colon in field header."}},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = MultipartMessageHeaderField::initWithData(bytesOf(c.line), platform::StringEncoding::UTF8);
        ASSERT_EQ(f != nullptr, c.gives);
        if (f) {
            EXPECT_EQ(f->value(), c.value);
            EXPECT_EQ(f->params(), c.params);
        }
        EXPECT_EQ(takeLog(), c.log);
    }
}

TEST_F(MultipartLogTest, HeaderValuesAreReadInTheFormEncoding) {
    auto latin = MultipartMessageHeaderField::initWithData(bytesOf("D: caf\xE9; n=\"\xE9t\xE9\""), platform::StringEncoding::ISOLatin1);
    ASSERT_NE(latin, nullptr);
    EXPECT_EQ(latin->value(), "caf\xC3\xA9");
    EXPECT_EQ(latin->params().at("n"), "\xC3\xA9t\xC3\xA9");

    auto parser = MultipartFormDataParser::initWithBoundary("b", platform::StringEncoding::UTF8);
    parser->setFormEncoding(platform::StringEncoding::ISOLatin1);
    EXPECT_EQ(parser->formEncoding(), platform::StringEncoding::ISOLatin1);
    auto delegate = std::make_shared<RecordingDelegate>();
    parser->setDelegate(delegate);
    EXPECT_TRUE(parser->appendData(bytesOf("--b\r\nD: \xE9\r\n\r\nx\r\n--b--")));
    ASSERT_EQ(delegate->outcome.parts.size(), 1u);
    EXPECT_EQ(delegate->outcome.parts[0].header->fields().at("D")->value(), "\xC3\xA9");
}

// ----- Content decoders -------------------------------------------------------------------

struct DecodeCase {
    const char* name;
    std::string input;
    std::string output;
    bool trailingWarning;
};

TEST_F(MultipartLogTest, QuotedPrintableDecoding) {
    const DecodeCase cases[] = {
        {"two escapes of letters", "=41=42", "AB", false},
        {"text around an escape", "a=3Db", "a=b", false},
        {"soft line break", "long=\r\nline", "longline", false},
        {"'=' and a CR without LF", "a=\rb", "ab", false},
        {"lower-case digits count 0", "=3d=z1", std::string("0\x01", 2), false},
        {"bytes other than '=' are copied", "a\r\nb\t\xFF", "a\r\nb\t\xFF", false},
        {"a trailing '='", "end=", "end", true},
        {"'=' with one byte after it", "end=4", "end4", true},
        {"'=' and a CR at the end", "end=\r", "end", true},
        {"empty", "", "", false},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(textOf(MultipartFormDataParser::decodedDataFromQuotedPrintableData(bytesOf(c.input))), c.output);
        const auto log = takeLog();
        if (c.trailingWarning) {
            EXPECT_EQ(log, std::vector<std::string>{"W MultipartFormDataParser: warning, trailing '=' in quoted printable data"});
        } else {
            EXPECT_TRUE(log.empty());
        }
    }
}

TEST(MultipartFormDataParser, DecodingByContentTransferEncoding) {
    EXPECT_EQ(textOf(MultipartFormDataParser::decodedDataFromData(bytesOf("aGVs\r\nbG8="), ContentTransferEncodingBase64)),
              "hello");
    EXPECT_EQ(textOf(MultipartFormDataParser::decodedDataFromData(bytesOf("=41"), ContentTransferEncodingQuotedPrintable)),
              "A");
    for (int32_t code : {0, 1, 2, 3, 6}) {
        EXPECT_EQ(textOf(MultipartFormDataParser::decodedDataFromData(bytesOf("=41 aGVs"), code)), "=41 aGVs");
    }
}

TEST(MultipartFormDataParser, BytesHeldBackSoThatNoEscapeOrGroupIsCut) {
    struct Case {
        std::string data;
        int32_t encoding;
        size_t leave;
    };
    const Case cases[] = {
        {"ab", ContentTransferEncodingQuotedPrintable, 2},   {"abc=4", ContentTransferEncodingQuotedPrintable, 2},
        {"abcd=", ContentTransferEncodingQuotedPrintable, 1}, {"abcde", ContentTransferEncodingQuotedPrintable, 0},
        {"aGVsbG8", ContentTransferEncodingBase64, 3},         {"aGVs\r\nbG8=", ContentTransferEncodingBase64, 0},
        {"aGVs\r\nb", ContentTransferEncodingBase64, 1},       {"a\r\n", ContentTransferEncodingBase64, 3},
        {"=4", ContentTransferEncodingBinary, 0},              {"=4", ContentTransferEncodingUnknown, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        EXPECT_EQ(MultipartFormDataParser::numberOfBytesToLeavePendingWithData(bytesOf(c.data), c.encoding), c.leave);
    }
}

}  // namespace
