#include "PlxHttp/HttpScardResponse.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Model/detail/JsonValues.h"
#include "Platform/UrlLoading/HTTPCookieStorage.h"
#include "Platform/UrlLoading/LoopbackHttpServer.h"
#include "Platform/UrlLoading/URLSession.h"
#include "PlxHttp/HttpScardTestSupport.h"
#include "tools/LogCapture.h"
#include "PlxHttp/PlxFileResponse.h"
#include "Util/Bytes.h"
#include "Util/CommonUtil.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using pellix_test::CannedReply;
using pellix_test::LoopbackHttpServer;
using pellix_test::RecordedRequest;
using webapi_test::post;

const ByteBuffer kKey = CommonUtil::dataFromHexString(std::string_view("000102030405060708090A0B0C0D0E0F"));
const std::string kKeyHex = "000102030405060708090A0B0C0D0E0F";
const std::string kPlain = "8-bytes!the document itself";
const std::string kDocument = "the document itself";

std::string text(const ByteBuffer& b) { return std::string(b.begin(), b.end()); }
ByteBuffer bytes(const std::string& s) { return ByteBuffer(s.begin(), s.end()); }

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/pellix-doc-test-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        root_ = templ;
        tmp_ = root_ + "/tmp";
        ASSERT_EQ(::mkdir(tmp_.c_str(), 0700), 0);
        const char* old = std::getenv("TMPDIR");
        if (old) savedTmpdir_ = old;
        ::setenv("TMPDIR", tmp_.c_str(), 1);
        cookies_ = std::make_shared<platform::HTTPCookieStorage>(root_ + "/data/Cookies.txt");
        platform::HTTPCookieStorage::setShared(cookies_);
        savedWait_ = HttpScardResponse::downloadWait();

        server_ = std::make_unique<LoopbackHttpServer>(false, [this](const RecordedRequest& r) { return reply(r); });
        tlsServer_ = std::make_unique<LoopbackHttpServer>(true, [this](const RecordedRequest& r) { return reply(r); });
        platform::URLSessionConfiguration config;
        config.trustedCertificatesFile = tlsServer_->certificateFile();
        platform::URLSessionConfiguration::setDefaultConfiguration(config);
    }
    void TearDown() override {
        server_->stop();
        tlsServer_->stop();
        platform::URLSessionConfiguration::setDefaultConfiguration({});
        platform::HTTPCookieStorage::setShared(nullptr);
        HttpScardResponse::setDownloadWait(savedWait_);
        if (savedTmpdir_) ::setenv("TMPDIR", savedTmpdir_->c_str(), 1);
        else ::unsetenv("TMPDIR");
        fs::remove_all(root_);
    }

    static CannedReply reply(const RecordedRequest& r) {
        if (r.target == "/aes") return {200, "application/pdf", text(*Bytes::AES256EncryptWithKeyData(bytes(kPlain), kKey)), {}, false};
        if (r.target == "/3des") return {200, "application/pdf", text(*Bytes::tripleDesEncryptWithKeyData(bytes(kPlain), kKey)), {}, false};
        if (r.target == "/short") return {200, "", text(*Bytes::AES256EncryptWithKeyData(bytes("1234567"), kKey)), {}, false};
        if (r.target == "/missing") return {404, "text/html", "<h1>Not Found</h1>", {}, false};
        if (r.target == "/hang") return {200, "", "", {}, true};
        return {200, "text/plain; charset=utf-8", "plain download", {}, false};
    }

    std::string url(const std::string& path, bool tls = false) const { return (tls ? tlsServer_ : server_)->baseUrl() + path; }

    json getdoc(json body) { return post("/scard/getdoc", body.dump()); }

    // What loaddoc of the reference answers: the body and the headers.
    std::pair<std::string, std::map<std::string, std::string>> loaddoc(const std::optional<std::string>& ref) {
        PlxFileResponse r(ref);
        EXPECT_EQ(r.status(), 200);
        return {webapi_test::bodyText(r), r.httpHeaders()};
    }

    std::vector<std::string> storedFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(tmp_)) names.push_back(e.path().filename());
        return names;
    }

    std::string root_, tmp_;
    std::optional<std::string> savedTmpdir_;
    std::chrono::nanoseconds savedWait_{};
    std::shared_ptr<platform::HTTPCookieStorage> cookies_;
    std::unique_ptr<LoopbackHttpServer> server_, tlsServer_;
    testtools::LogCapture log_;
};

TEST_F(DocumentTest, ParameterRefusalsStoreNothing) {
    struct Case { json body; const char* message; };
    const Case cases[] = {
        {json({{"cookie", "c"}, {"keyalg", "DES"}, {"key", "00"}, {"hashalg", "MD5"}}), "Missing document URL"},
        {json({{"url", url("/x")}, {"key", "00"}}), "Missing key algorithm parameter"},
        {json({{"url", url("/x")}, {"key", "00"}, {"keyalg", "DES"}}), "Invalid key algorithm parameter"},
        {json({{"url", url("/x")}, {"hashalg", "MD5"}}), "Invalid hash algorithm parameter"},
        {json({{"url", 5}}), "Missing document URL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.dump());
        EXPECT_EQ(getdoc(c.body), json({{"errorcode", 500}, {"errordetail", 0}, {"sessionref", "0"}, {"errormessage", c.message}}));
    }
    EXPECT_TRUE(log_.contains("Not a valid hash algorithm MD5, will be set to nil."));
    EXPECT_TRUE(server_->requests().empty());
    EXPECT_TRUE(storedFiles().empty());
}

TEST_F(DocumentTest, UrlThatIsNoHttpUrlIsADownloadError) {
    for (const char* bad : {"ftp://127.0.0.1/x", "not a url", "file:///etc/passwd", ""}) {
        SCOPED_TRACE(bad);
        json r = getdoc(json({{"url", bad}}));
        EXPECT_EQ(r["errorcode"], 500);
        EXPECT_EQ(r["sessionref"], "0");
        EXPECT_EQ(r["errormessage"], "unsupported URL");
    }
    EXPECT_TRUE(storedFiles().empty());
}

TEST_F(DocumentTest, DecryptionDropsEightBytesAndTheHashCoversExactlyTheDocument) {
    for (const auto& [path, alg] : std::vector<std::pair<std::string, std::string>>{{"/aes", "AES"}, {"/3des", "3DES"}}) {
        SCOPED_TRACE(alg);
        json r = getdoc(json({{"url", url(path)}, {"key", kKeyHex}, {"keyalg", alg}, {"hashalg", "sha256"}}));
        EXPECT_EQ(r["errorcode"], 0);
        EXPECT_EQ(r["errordetail"], 0);
        ASSERT_TRUE(r["sessionref"].is_string());
        EXPECT_FALSE(r.contains("errormessage"));
        EXPECT_EQ(r["documenthash"], CommonUtil::hexStringFromData(Bytes::sha256(bytes(kDocument))));
        auto [body, headers] = loaddoc(r["sessionref"].get<std::string>());
        EXPECT_EQ(body, kDocument);
        EXPECT_EQ(headers, (std::map<std::string, std::string>{{"Content-Type", "application/pdf"}}));
    }
}

TEST_F(DocumentTest, KeyWithAnotherSpellingStoresTheDownloadAsReceived) {
    json r = getdoc(json({{"url", url("/aes")}, {"key", kKeyHex}, {"keyalg", "3des"}, {"hashalg", "SHA1"}}));
    EXPECT_TRUE(log_.contains("Unknown algorithm!"));
    EXPECT_EQ(r["errorcode"], 0);
    EXPECT_FALSE(r.contains("documenthash"));
    EXPECT_EQ(loaddoc(r["sessionref"].get<std::string>()).first, text(*Bytes::AES256EncryptWithKeyData(bytes(kPlain), kKey)));

    // A wrong key fails the decryption the same way.
    json wrong = getdoc(json({{"url", url("/aes")}, {"key", "FF"}, {"keyalg", "AES"}, {"hashalg", "SHA1"}}));
    EXPECT_EQ(wrong["errorcode"], 0);
    EXPECT_FALSE(wrong.contains("documenthash"));
}

TEST_F(DocumentTest, RegressionPlaintextShorterThanEightBytesCountsAsFailedDecryption) {
    json r = getdoc(json({{"url", url("/short")}, {"key", kKeyHex}, {"keyalg", "AES"}, {"hashalg", "SHA512"}}));
    EXPECT_EQ(r["errorcode"], 0);
    EXPECT_FALSE(r.contains("documenthash"));
    EXPECT_EQ(loaddoc(r["sessionref"].get<std::string>()).first, text(*Bytes::AES256EncryptWithKeyData(bytes("1234567"), kKey)));
}

TEST_F(DocumentTest, WithoutKeyTheHashCoversTheDownloadAndErrorPagesAreDocuments) {
    json r = getdoc(json({{"url", url("/plain")}, {"hashalg", "SHA384"}}));
    EXPECT_EQ(r["documenthash"], CommonUtil::hexStringFromData(Bytes::sha384(bytes("plain download"))));
    auto [body, headers] = loaddoc(r["sessionref"].get<std::string>());
    EXPECT_EQ(body, "plain download");
    EXPECT_EQ(headers.at("Content-Type"), "text/plain");

    json page = getdoc(json({{"url", url("/missing")}}));
    EXPECT_EQ(page["errorcode"], 0);
    EXPECT_EQ(loaddoc(page["sessionref"].get<std::string>()).first, "<h1>Not Found</h1>");
}

TEST_F(DocumentTest, HttpsDownload) {
    json r = getdoc(json({{"url", url("/plain", true)}}));
    EXPECT_EQ(r["errorcode"], 0);
    EXPECT_EQ(loaddoc(r["sessionref"].get<std::string>()).first, "plain download");
}

TEST_F(DocumentTest, DownloadErrorAnswers500WithItsDescription) {
    int port;
    {
        LoopbackHttpServer gone(false, [](const RecordedRequest&) { return CannedReply{}; });
        port = gone.port();
    }
    std::string u = "http://127.0.0.1:" + std::to_string(port) + "/x";
    json r = getdoc(json({{"url", u}}));
    EXPECT_EQ(r, json({{"errorcode", 500}, {"errordetail", 0}, {"sessionref", "0"}, {"errormessage", "Could not connect to the server."}}));
    bool logged = false;
    for (const auto& l : log_.lines()) logged = logged || l.rfind("Error retrieving document from " + u + ", Error: ", 0) == 0;
    EXPECT_TRUE(logged);
    EXPECT_TRUE(storedFiles().empty());
}

TEST_F(DocumentTest, DownloadThatNeverCompletesWithinTheWait) {
    HttpScardResponse::setDownloadWait(200ms);
    json r = getdoc(json({{"url", url("/hang")}}));
    EXPECT_EQ(r, json({{"errorcode", 0}, {"errordetail", 0}, {"sessionref", "0"}}));
    EXPECT_TRUE(storedFiles().empty());
}

TEST_F(DocumentTest, CookieIsSentAndStoredForLaterDownloadsToTheHost) {
    getdoc(json({{"url", url("/plain")}, {"cookie", "token=abc"}}));
    getdoc(json({{"url", url("/plain")}}));
    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].count("cookie"), 1u);
    EXPECT_EQ(requests[0].header("cookie"), "token=abc");
    EXPECT_EQ(requests[1].header("cookie"), "PellixGetDoc=token=abc");

    // The store outlives the process: a fresh store on the same file still has it.
    platform::HTTPCookieStorage reread(cookies_->filePath());
    auto stored = reread.cookiesFor("127.0.0.1", "/", false);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].name(), "PellixGetDoc");
    auto life = stored[0].expiresAt() - platform::HTTPCookie::Clock::now();
    EXPECT_GT(life, std::chrono::hours(24 * 30) - std::chrono::minutes(5));
    EXPECT_LE(life, std::chrono::hours(24 * 30));
}

TEST_F(DocumentTest, CookieWithLineBreakIsNeitherSentNorStored) {
    json r = getdoc(json({{"url", url("/plain")}, {"cookie", "a\r\nX-Injected: 1"}}));
    EXPECT_EQ(r["errorcode"], 500);
    EXPECT_TRUE(server_->requests().empty());
    EXPECT_TRUE(cookies_->cookiesFor("127.0.0.1", "/", false).empty());
}

TEST_F(DocumentTest, StoreLoadHashDelete) {
    json stored = post("/scard/storedoc", R"({"document":"0A0B0C","contenttype":"application/x-test"})");
    EXPECT_EQ(stored["errorcode"], 0);
    EXPECT_EQ(stored["errordetail"], 0);
    EXPECT_FALSE(stored.contains("errormessage"));
    std::string ref = stored["sessionref"].get<std::string>();
    ASSERT_TRUE(HttpScardResponse::isDocumentReference(ref));

    // The file is private, named by the reference, and holds no plaintext.
    struct stat st {};
    ASSERT_EQ(::stat((tmp_ + "/" + ref).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 16);
    EXPECT_EQ(storedFiles(), std::vector<std::string>{ref});

    auto [body, headers] = loaddoc(ref);
    EXPECT_EQ(body, std::string("\x0A\x0B\x0C"));
    EXPECT_EQ(headers, (std::map<std::string, std::string>{{"Content-Type", "application/x-test"}}));

    json hash = post("/scard/hashdoc", json({{"sessionref", ref}, {"hashalg", "SHA1"}}).dump());
    EXPECT_EQ(hash, json({{"errorcode", 0}, {"errordetail", 0}, {"documenthash", CommonUtil::hexStringFromData(Bytes::sha1(ByteBuffer{10, 11, 12}))}}));
    json noAlg = post("/scard/hashdoc", json({{"sessionref", ref}, {"hashalg", "MD5"}}).dump());
    EXPECT_EQ(noAlg["errorcode"], 502);

    for (int i = 0; i < 2; ++i) {
        auto r = webapi_test::call("POST", "/scard/deletedoc", json({{"sessionref", ref}}).dump());
        EXPECT_EQ(webapi_test::bodyText(*r), "");
        EXPECT_EQ(r->status(), 200);
    }
    EXPECT_TRUE(storedFiles().empty());
    EXPECT_EQ(post("/scard/hashdoc", json({{"sessionref", ref}, {"hashalg", "SHA1"}}).dump()),
              json({{"errorcode", 502}, {"errordetail", 0}, {"errormessage", "Failed to compute document hash. "}}));
    EXPECT_EQ(loaddoc(ref).first, "");
}

TEST_F(DocumentTest, StoredocWithoutContentTypeOrDocument) {
    json r = post("/scard/storedoc", R"({"document":"zz"})");
    EXPECT_EQ(r["errorcode"], 0);
    auto [body, headers] = loaddoc(r["sessionref"].get<std::string>());
    EXPECT_EQ(body, "");
    EXPECT_TRUE(headers.empty());

    json none = post("/scard/storedoc", "{}");
    EXPECT_EQ(none["errorcode"], 501);
    EXPECT_EQ(none["errormessage"], "File creation failed.");
}

TEST_F(DocumentTest, StoredocWithoutTemporaryDirectoryFails) {
    ::setenv("TMPDIR", (root_ + "/nowhere").c_str(), 1);
    json r = post("/scard/storedoc", R"({"document":"01"})");
    EXPECT_EQ(r["errorcode"], 501);
    EXPECT_EQ(r["errormessage"], "File creation failed.");
    EXPECT_NE(r["sessionref"], "0");
}

TEST_F(DocumentTest, RegressionReferencesThatAreNotDigitsTouchNothing) {
    // Files where a path-like reference would land.
    std::ofstream(root_ + "/x") << "outside";
    fs::create_directories(tmp_ + "/1");
    std::ofstream(tmp_ + "/1/2") << "inside a subdirectory";
    json stored = post("/scard/storedoc", R"({"document":"01","contenttype":"text/x"})");
    std::string ref = stored["sessionref"].get<std::string>();

    for (const char* bad : {"../x", "1/2", "/etc/passwd", "0x10", " 12", "", "-1", "１２"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(post("/scard/hashdoc", json({{"sessionref", bad}, {"hashalg", "SHA1"}}).dump())["errorcode"], 502);
        EXPECT_EQ(webapi_test::bodyText(*webapi_test::call("POST", "/scard/deletedoc", json({{"sessionref", bad}}).dump())), "");
        auto [body, headers] = loaddoc(std::string(bad));
        EXPECT_EQ(body, "");
        EXPECT_TRUE(headers.empty());
    }
    EXPECT_TRUE(log_.contains("Key not found to decrypt the file. sessionRef: ../x"));
    // A reference of another type counts as absent.
    EXPECT_EQ(post("/scard/hashdoc", R"({"sessionref":12,"hashalg":"SHA1"})")["errorcode"], 502);
    EXPECT_EQ(loaddoc(std::nullopt).first, "");

    EXPECT_TRUE(fs::exists(root_ + "/x"));
    EXPECT_TRUE(fs::exists(tmp_ + "/1/2"));
    EXPECT_TRUE(fs::exists(tmp_ + "/" + ref));
}

TEST_F(DocumentTest, RegressionContentTypeWithLineBreakIsNotSentAsHeader) {
    json stored = post("/scard/storedoc", json({{"document", "01"}, {"contenttype", "text/plain\r\nSet-Cookie: x=1"}}).dump());
    auto [body, headers] = loaddoc(stored["sessionref"].get<std::string>());
    EXPECT_EQ(body, "\x01");
    EXPECT_TRUE(headers.empty());
}

// `levels` arrays or objects, each holding the next, the innermost one holding 0.
std::string nestedValue(size_t levels, const std::string& open, const std::string& close) {
    std::string out;
    for (size_t i = 0; i < levels; ++i) out += open;
    out += "0";
    for (size_t i = 0; i < levels; ++i) out += close;
    return out;
}

// Arrays and objects in turn, outermost an array: [{"a":[{"a":...0...}]}].
std::string mixedValue(size_t levels) {
    std::string out;
    for (size_t i = 0; i < levels; ++i) out += i % 2 ? "{\"a\":" : "[";
    out += "0";
    for (size_t i = levels; i-- > 0;) out += i % 2 ? "}" : "]";
    return out;
}

// A body nested deeper than any request, or holding more values than any, is answered as a body
// that is not JSON: "Error processing request!" and every field empty, so that hashdoc finds no
// reference. Up to the bound the same request is an ordinary one and gets its hash.
TEST_F(DocumentTest, RegressionBodiesNestedTooDeepOrTooWideAreNoJson) {
    const std::string ref = post("/scard/storedoc", R"({"document":"0A0B0C"})")["sessionref"].get<std::string>();
    const json hashed = {{"errorcode", 0}, {"errordetail", 0}, {"documenthash", CommonUtil::hexStringFromData(Bytes::sha1(ByteBuffer{10, 11, 12}))}};
    const json refused = {{"errorcode", 502}, {"errordetail", 0}, {"errormessage", "Failed to compute document hash. "}};
    const std::string keys = R"("sessionref":")" + ref + R"(","hashalg":"SHA1")";
    // The hash request with `value` under one more key; the request object is one level itself.
    auto request = [&](const std::string& value) { return "{" + keys + R"(,"x":)" + value + "}"; };
    auto zeros = [](size_t count) {
        std::string out = "[0";
        for (size_t i = 1; i < count; ++i) out += ",0";
        return out + "]";
    };
    constexpr size_t kDepth = scmodel::kMaxJsonDepth;
    // The request object, its two texts and the array: four values before the array's own.
    constexpr size_t kZeros = scmodel::kMaxJsonValues - 4;

    struct Case {
        const char* name;
        std::string body;
        bool accepted;  // a JSON object that holds the request
    };
    const Case cases[] = {
        {"arrays up to the bound", request(nestedValue(kDepth - 1, "[", "]")), true},
        {"arrays one past the bound", request(nestedValue(kDepth, "[", "]")), false},
        {"objects up to the bound", request(nestedValue(kDepth - 1, R"({"a":)", "}")), true},
        {"objects one past the bound", request(nestedValue(kDepth, R"({"a":)", "}")), false},
        {"arrays and objects up to the bound", request(mixedValue(kDepth - 1)), true},
        {"arrays and objects one past the bound", request(mixedValue(kDepth)), false},
        {"far too deep before the keys", R"({"x":)" + nestedValue(100000, "[", "]") + "," + keys + "}", false},
        {"far too deep and unfinished", request(std::string(1000000, '[')), false},
        {"values up to the bound", request(zeros(kZeros)), true},
        {"values one past the bound", request(zeros(kZeros + 1)), false},
        {"an array as deep as the bound", nestedValue(kDepth, "[", "]"), false},
        {"an array one past the bound", nestedValue(kDepth + 1, "[", "]"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testtools::LogCapture log;
        EXPECT_EQ(post("/scard/hashdoc", c.body), c.accepted ? hashed : refused);
        EXPECT_EQ(log.lines(), c.accepted ? std::vector<std::string>{} : std::vector<std::string>{"Error processing request!"});
    }
}

}  // namespace
