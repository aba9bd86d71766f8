// The memory that decoding one request body takes, counted by the test tools' operator new:
// a body of 5 MB costs at most a small multiple of its size, however deep it nests and however
// many tiny values it holds, and the largest real requests still decode. Each figure is
// printed, for comparison with the resident memory of the running program.
#include "Model/SCJsonRequest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Model/SCApduRequest.h"
#include "Model/SCHashDocRequest.h"
#include "Model/SCStoreDocRequest.h"
#include "Model/detail/JsonValues.h"
#include "tools/AllocationCount.h"
#include "tools/LogCapture.h"

namespace {

using testtools::LogCapture;

constexpr size_t kBodySize = 5 * 1000 * 1000;

std::string repeat(const std::string& piece, size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// `open` and `close` repeated until the body is about kBodySize bytes, around `inner`.
std::string nested(const std::string& open, const std::string& inner, const std::string& close) {
    const size_t levels = (kBodySize - inner.size()) / (open.size() + close.size());
    return repeat(open, levels) + inner + repeat(close, levels);
}

// `[piece,piece,...]` of about kBodySize bytes.
std::string flat(const std::string& piece) {
    std::string out = "[" + piece;
    out.reserve(kBodySize + piece.size() + 2);
    while (out.size() + piece.size() + 2 <= kBodySize) out += "," + piece;
    return out + "]";
}

// The most bytes held above what was held before `decode` began.
template <class Decode>
size_t peakDuring(Decode decode) {
    const int64_t before = testtools::resetPeakAllocatedBytes();
    decode();
    return static_cast<size_t>(testtools::peakAllocatedBytes() - before);
}

TEST(SCJsonRequestMemory, ABodyOfFiveMegabytesCostsAtMostASmallMultipleOfItsSize) {
    std::string distinctKeys = "{";
    for (size_t i = 0; distinctKeys.size() < kBodySize - 16; ++i) distinctKeys += "\"k" + std::to_string(i) + "\":0,";
    distinctKeys.back() = '}';

    struct Case {
        const char* name;
        std::string body;
    };
    const Case cases[] = {
        {"nested arrays", nested("[", "", "]")},
        {"nested objects", nested("{\"a\":", "{}", "}")},
        {"nested arrays and objects", nested("[{\"a\":", "0", "}]")},
        {"nested arrays in a hash request", R"({"sessionref":"1","hashalg":"SHA1","x":)" + nested("[", "", "]") + "}"},
        {"numbers", flat("0")},
        {"empty arrays", flat("[]")},
        {"small objects", flat("{\"a\":{}}")},
        {"short texts", flat("\"\"")},
        {"members with distinct keys", distinctKeys},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const size_t peak = peakDuring([&] { SCHashDocRequest request(scmodel::bytesOf(c.body)); });
        std::printf("%-30s %8zu bytes: peak %9zu bytes during the decoding\n", c.name, c.body.size(), peak);
        EXPECT_LE(peak, 4 * c.body.size());
    }
}

TEST(SCJsonRequestMemory, RealRequestsOfFiveMegabytesStillDecode) {
    const std::string document(kBodySize, 'A');
    const std::string storeBody = R"({"contenttype":"text/plain","document":")" + document + "\"}";
    size_t peak = peakDuring([&] {
        SCStoreDocRequest request(scmodel::bytesOf(storeBody));
        EXPECT_EQ(request.documentInHex, document);
        EXPECT_EQ(request.contentType, "text/plain");
    });
    std::printf("%-30s %8zu bytes: peak %9zu bytes during the decoding\n", "store request", storeBody.size(), peak);

    std::string apduBody = R"({"session":"s","apducommands":[)";
    const size_t commands = (scmodel::kMaxJsonValues - 8) / 2;
    for (size_t i = 0; i < commands; ++i) apduBody += std::string(i ? "," : "") + R"({"apdu":"00A4040008A000000003000000"})";
    apduBody += "]}";
    peak = peakDuring([&] {
        SCApduRequest request(scmodel::bytesOf(apduBody));
        EXPECT_EQ(request.requestAPDUs.size(), commands);
        EXPECT_EQ(request.session, "s");
    });
    std::printf("%-30s %8zu bytes: peak %9zu bytes during the decoding\n", "APDU request", apduBody.size(), peak);
}

}  // namespace
