#include "Core/HTTPServer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "Core/HTTPServerTestSupport.h"
#include "tools/Eventually.h"
#include "tools/LoopbackClient.h"
#include "Logging/LoggingTestSupport.h"
#include "Logging/LxLog.h"

namespace {

using namespace server_test;

class HTTPServerTest : public ::testing::Test {
protected:
    void SetUp() override { LxLog::addLogger(logger); }
    void TearDown() override {
        LxLog::flushLog();
        LxLog::removeLogger(logger);
    }
    std::vector<std::string> logTexts() {
        LxLog::flushLog();
        return logger->texts();
    }
    std::shared_ptr<logging_test::RecordingLogger> logger = std::make_shared<logging_test::RecordingLogger>();
};

// Defined first: while no type is set, nothing is published and no network-service thread
// is made.
TEST_F(HTTPServerTest, WithoutATypeNothingIsPublished) {
    ServerFixture f;
    ASSERT_TRUE(f.start());
    EXPECT_EQ(f.server->publishedName(), std::nullopt);
    EXPECT_FALSE(HTTPServer::hasNetworkServiceThread());
    EXPECT_TRUE(platform::NetService::publishedServices().empty());
}

TEST_F(HTTPServerTest, DefaultsAndSettersBeforeStart) {
    auto server = HTTPServer::create();
    EXPECT_EQ(server->port(), 0);
    EXPECT_EQ(server->interface(), std::nullopt);
    EXPECT_EQ(server->domain(), "local.");
    EXPECT_EQ(server->name(), "");
    EXPECT_EQ(server->type(), std::nullopt);
    EXPECT_EQ(server->documentRoot(), std::nullopt);
    EXPECT_FALSE(server->isRunning());
    EXPECT_EQ(server->listeningPort(), 0);
    EXPECT_EQ(server->serverQueue()->label(), "HTTPServer");
    EXPECT_EQ(server->connectionQueue()->label(), "HTTPConnection");

    // The stores land before the start that follows them.
    server->setPort(0);
    server->setInterface(std::string("127.0.0.1"));
    server->setDocumentRoot(std::string("/tmp/a/../b/"));
    ASSERT_TRUE(server->start());
    EXPECT_TRUE(server->isRunning());
    EXPECT_NE(server->listeningPort(), 0);
    EXPECT_EQ(server->documentRoot(), std::optional<std::string>("/tmp/a/../b/"));
    EXPECT_EQ(server->config()->documentRoot(), std::optional<std::string>("/tmp/b"));
    EXPECT_EQ(server->config()->queue(), server->connectionQueue());
    EXPECT_EQ(server->config()->server(), server);
    server->setDocumentRoot(std::nullopt);
    EXPECT_EQ(server->documentRoot(), std::nullopt);
    server->stop();
    EXPECT_FALSE(server->isRunning());
    EXPECT_EQ(server->listeningPort(), 0);
}

TEST_F(HTTPServerTest, StartFailsOnAPortInUseAndLogsIt) {
    ServerFixture first;
    ASSERT_TRUE(first.start());
    auto second = HTTPServer::create();
    second->setInterface(std::string("127.0.0.1"));
    second->setPort(first.port);
    platform::Error error;
    EXPECT_FALSE(second->start(&error));
    EXPECT_FALSE(error.domain.empty());
    EXPECT_FALSE(second->isRunning());
    auto texts = logTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "HTTPServer: Failed to start HTTP Server: " + error.describe());
    EXPECT_EQ(logger->messages()[0]->logFlag, LogFlagError);
    EXPECT_EQ(logger->messages()[0]->logContext, LogContextHttpServer);
    // The server stays usable.
    second->setPort(0);
    EXPECT_TRUE(second->start(&error));
    EXPECT_TRUE(error.domain.empty());
}

TEST_F(HTTPServerTest, ConnectionsAreListedFromAcceptUntilTheirDeath) {
    ServerFixture f;
    ASSERT_TRUE(f.start());
    {
        Client a(f.port), b(f.port);
        ASSERT_TRUE(a.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        ASSERT_TRUE(a.readReply());
        ASSERT_TRUE(f.waitForConnections(2));
    }
    // Both clients closed: both connections died and left the list, and nothing else holds them.
    EXPECT_TRUE(f.waitForConnections(0));
    auto record = f.record();
    std::unique_lock lock(record->mutex);
    EXPECT_TRUE(record->cv.wait_for(lock, std::chrono::seconds(10), [&] { return record->destroyed == 2; }));
}

TEST_F(HTTPServerTest, RegressionConnectionsPastTheBoundWaitInTheBacklogUntilOneCloses) {
    ServerFixture f;
    f.server->setMaxConnections(2);
    ASSERT_TRUE(f.start());
    auto first = std::make_unique<Client>(f.port);
    Client second(f.port);
    ASSERT_TRUE(f.waitForConnections(2));

    // The system completes the third connection in the backlog; the server neither takes nor
    // resets it while two are open.
    Client third(f.port, false, 300);
    ASSERT_TRUE(third.connected());
    ASSERT_TRUE(third.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_FALSE(third.readReply());
    EXPECT_FALSE(third.eof());
    EXPECT_EQ(f.server->numberOfHTTPConnections(), 2u);

    // One closes: the third is accepted and answered.
    first.reset();
    std::optional<Reply> reply;
    EXPECT_TRUE(testtools::eventually([&] { return (reply = third.readReply()).has_value() || third.eof(); }));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "hello");
    EXPECT_LE(f.server->numberOfHTTPConnections(), 2u);
}

// A client that resets its connection at once may have its socket closed, and the close
// reported on the connection queue, while the server is still making and listing the
// connection on its own queue: the connection must neither race that set-up (the sanitizer
// build sees it) nor stay listed after its death.
TEST_F(HTTPServerTest, RegressionClientsThatResetAtOnceNeitherRaceTheirSetUpNorStayListed) {
    ServerFixture f;
    ASSERT_TRUE(f.start());
    for (int i = 0; i < 2000; ++i) {
        const int fd = testtools::connectClient(f.port);
        if (fd < 0) continue;
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    EXPECT_TRUE(f.waitForConnections(0, std::chrono::seconds(30)));
    Client c(f.port);
    ASSERT_TRUE(c.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    auto reply = c.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
}

TEST_F(HTTPServerTest, ADeathOfAnUnknownObjectChangesNothing) {
    ServerFixture f;
    ASSERT_TRUE(f.start());
    Client a(f.port);
    ASSERT_TRUE(f.waitForConnections(1));
    auto stranger = std::make_shared<int>(7);
    platform::NotificationCenter::defaultCenter().post(HTTPConnectionDidDieNotification, stranger);
    EXPECT_EQ(f.server->numberOfHTTPConnections(), 1u);
}

TEST_F(HTTPServerTest, StopEndsListeningAndConnectionsUnlessKept) {
    ServerFixture f;
    ASSERT_TRUE(f.start());
    Client a(f.port);
    ASSERT_TRUE(f.waitForConnections(1));
    f.server->stop(true);
    EXPECT_EQ(f.server->numberOfHTTPConnections(), 1u);
    ASSERT_TRUE(a.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_TRUE(a.readReply());  // the kept connection still answers
    Client refused(f.port);
    EXPECT_FALSE(refused.connected());

    ASSERT_TRUE(f.server->start());
    const uint16_t port = f.server->listeningPort();
    Client b(port);
    ASSERT_TRUE(f.waitForConnections(2));
    f.server->stop();
    EXPECT_EQ(f.server->numberOfHTTPConnections(), 0u);
    EXPECT_TRUE(a.closedByPeer());
    EXPECT_TRUE(b.closedByPeer());
}

TEST_F(HTTPServerTest, ReleasingTheServerStopsIt) {
    auto f = std::make_unique<ServerFixture>();
    ASSERT_TRUE(f->start());
    Client a(f->port);
    ASSERT_TRUE(f->waitForConnections(1));
    std::weak_ptr<HTTPServer> weak = f->server;
    f->server.reset();
    // The accept that listed the connection may still be finishing on the server queue, holding
    // the server until it returns; the last of them to let go ends it.
    EXPECT_TRUE(testtools::eventually([&] { return weak.expired(); }));
    EXPECT_TRUE(a.closedByPeer());
}

TEST_F(HTTPServerTest, ConnectionClassIsTheFactoryOfEveryConnection) {
    ServerFixture f;
    int made = 0;
    f.server->setConnectionClass([&made](std::shared_ptr<AsyncSocket> socket, std::shared_ptr<HTTPConfig> config) {
        ++made;  // on the server queue only
        return std::static_pointer_cast<HTTPConnection>(HTTPConnection::create<TestConnection>(socket, config));
    });
    ASSERT_TRUE(f.start());
    for (int i = 0; i < 3; ++i) {
        Client c(f.port);
        ASSERT_TRUE(c.send("GET / HTTP/1.0\r\n\r\n"));
        auto reply = c.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->body, "hello");
    }
    f.server->serverQueue()->sync([&] { EXPECT_EQ(made, 3); });
}

TEST_F(HTTPServerTest, BaseConnectionClassAnswers404WithoutADocumentRoot) {
    auto server = HTTPServer::create();
    server->setInterface(std::string("127.0.0.1"));
    ASSERT_TRUE(server->start());
    Client c(server->listeningPort());
    ASSERT_TRUE(c.send("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    auto reply = c.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 404);
    auto texts = logTexts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.find("]: No configured document root") != std::string::npos; }));
}

TEST_F(HTTPServerTest, PublishesAndUnpublishesWhenATypeIsSet) {
    ServerFixture f;
    f.server->setType(std::string("_pellix._tcp."));
    f.server->setName("box");
    f.server->setTXTRecordDictionary(HTTPServer::TXTRecordDictionary{{"path", "/scard"}});
    ASSERT_TRUE(f.start());
    EXPECT_TRUE(HTTPServer::hasNetworkServiceThread());
    EXPECT_EQ(f.server->publishedName(), std::optional<std::string>("box"));
    EXPECT_EQ(platform::NetService::publishedServices(), std::vector<std::string>{"box._pellix._tcp.local."});

    // A second server of the same name collides: the failure is only logged.
    ServerFixture g;
    g.server->setType(std::string("_pellix._tcp."));
    g.server->setName("box");
    ASSERT_TRUE(g.start());
    bool warned = false;
    for (int i = 0; i < 500 && !warned; ++i) {
        auto texts = logTexts();
        warned = std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
            return t.rfind("Failed to Publish Service: domain(local.) type(_pellix._tcp.) name(box) - {", 0) == 0 &&
                   t.find("NSNetServicesErrorCode = -72001;") != std::string::npos;
        });
        if (!warned) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(warned);
    g.server->stop();

    f.server->stop();
    EXPECT_EQ(f.server->publishedName(), std::nullopt);
    EXPECT_TRUE(platform::NetService::publishedServices().empty());
}

}  // namespace
