#include "Platform/ServicePublication/NetService.h"

#include <gtest/gtest.h>

namespace {

using platform::NetService;

struct RecordingDelegate : platform::NetServiceDelegate {
    void netServiceDidPublish(const std::shared_ptr<NetService>&) override { ++published; }
    void netServiceDidNotPublish(const std::shared_ptr<NetService>&, const std::map<std::string, long>& error) override {
        errors.push_back(error.at("NSNetServicesErrorCode"));
    }
    int published = 0;
    std::vector<long> errors;
};

TEST(NetService, PublishesOnceAndCollidesOnTheSameName) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto a = NetService::create("local.", "_http._tcp.", "", 8080);
    auto b = NetService::create("local.", "_http._tcp.", "pellix", 8081);
    auto bad = NetService::create("local.", "", "x", 8082);
    for (const auto& s : {a, b, bad}) s->setDelegate(delegate);
    a->publish();
    b->publish();
    bad->publish();
    EXPECT_EQ(a->name(), "pellix");  // the default name
    EXPECT_EQ(delegate->published, 1);
    EXPECT_EQ(delegate->errors, (std::vector<long>{NetService::kCollisionError, NetService::kBadArgumentError}));
    EXPECT_EQ(NetService::publishedServices(), std::vector<std::string>{"pellix._http._tcp.local."});
    a->stop();
    EXPECT_TRUE(NetService::publishedServices().empty());
    b->publish();
    EXPECT_EQ(delegate->published, 2);
    b.reset();  // a released service leaves the registry
    EXPECT_TRUE(NetService::publishedServices().empty());
}

TEST(NetService, TextRecordsRoundTrip) {
    const std::map<std::string, std::string> dict{{"a", "1"}, {"path", "/x"}, {"", "skipped"}, {"long", std::string(300, 'v')}};
    const auto data = NetService::dataFromTXTRecordDictionary(dict);
    EXPECT_EQ(data, (std::vector<uint8_t>{3, 'a', '=', '1', 7, 'p', 'a', 't', 'h', '=', '/', 'x'}));
    EXPECT_EQ(NetService::dictionaryFromTXTRecordData(data), (std::map<std::string, std::string>{{"a", "1"}, {"path", "/x"}}));
    EXPECT_EQ(NetService::dataFromTXTRecordDictionary({}), std::vector<uint8_t>{0});
    // A length byte that runs past the end stops the reading.
    EXPECT_EQ(NetService::dictionaryFromTXTRecordData({3, 'a', '=', '1', 9, 'b'}), (std::map<std::string, std::string>{{"a", "1"}}));
}

}  // namespace
