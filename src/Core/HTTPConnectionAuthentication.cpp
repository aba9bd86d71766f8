// HTTPConnection: digest and basic authentication, and the class-wide digest nonces.
#include <cstdlib>
#include <deque>
#include <optional>
#include <unordered_map>
#include <utility>

#include "Core/Categories/LxData.h"
#include "Core/HTTPAuthenticationRequest.h"
#include "Core/HTTPConnection.h"
#include "Core/detail/HTTPText.h"
#include "Platform/Crypto/Digest.h"
#include "Platform/Format.h"
#include "Platform/Text/StringEncoding.h"

namespace {

using Clock = std::chrono::steady_clock;

// The nonces issued in challenges, shared by every connection. Made on first use and never
// destroyed: a connection may ask on any thread while the process exits.
struct NonceList {
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::createSerial("HTTPConnection-Nonce");
    // Touched on queue only. Each nonce is in both: the map answers a look-up without a scan,
    // the order gives the oldest, which leaves first.
    std::unordered_map<std::string, Clock::time_point> issuedAt;
    std::deque<std::string> order;  // oldest first
    std::function<Clock::time_point()> clock;

    Clock::time_point now() const { return clock ? clock() : Clock::now(); }
    bool isYoung(Clock::time_point issued, Clock::time_point at) const {
        return at - issued < HTTPConnection::kNonceLifetime;
    }
    void dropOldest() {
        issuedAt.erase(order.front());
        order.pop_front();
    }
    // A nonce leaves the list once its life is over, so the list holds no more than the
    // nonces of the last kNonceLifetime.
    void dropExpired(Clock::time_point at) {
        while (!order.empty() && !isYoung(issuedAt.at(order.front()), at)) dropOldest();
    }
    void add(std::string nonce, Clock::time_point at) {
        dropExpired(at);
        while (order.size() >= HTTPConnection::kMaxRecentNonces) dropOldest();
        // A UUID made from random bytes does not repeat; were it to, the older entry stays.
        if (issuedAt.emplace(nonce, at).second) order.push_back(std::move(nonce));
    }
};

NonceList& nonceList() {
    static NonceList* list = new NonceList();
    return *list;
}

// The lower-case hexadecimal MD5 of the text, or nullopt when the crypto library makes none.
std::optional<std::string> md5Hex(const std::string& text) {
    const LxData::Bytes digest = LxData::md5Digest(std::string_view(text));
    if (digest.size() != 16) return std::nullopt;
    return LxData::hexStringValue(digest);
}

}  // namespace

std::string HTTPConnection::generateNonce() {
    std::string nonce = core_detail::newUuidString();
    nonceList().queue->async([nonce] {
        NonceList& list = nonceList();
        list.add(nonce, list.now());
    });
    return nonce;
}

bool HTTPConnection::hasRecentNonce(const std::string& nonce) {
    return nonceList().queue->syncResult([&nonce] {
        NonceList& list = nonceList();
        const Clock::time_point now = list.now();
        list.dropExpired(now);
        const auto found = list.issuedAt.find(nonce);
        return found != list.issuedAt.end() && list.isYoung(found->second, now);
    });
}

void HTTPConnection::setNonceClock(std::function<Clock::time_point()> clock) {
    nonceList().queue->sync([&clock] { nonceList().clock = std::move(clock); });
}

bool HTTPConnection::isPasswordProtected(const std::string&) { return false; }
bool HTTPConnection::useDigestAccessAuthentication() { return true; }
std::string HTTPConnection::realm() { return "defaultRealm@host.com"; }
std::optional<std::string> HTTPConnection::passwordForUser(const std::string&) { return std::nullopt; }

bool HTTPConnection::isAuthenticated() {
    if (!request_) return false;
    const HTTPAuthenticationRequest auth(*request_);

    if (!useDigestAccessAuthentication()) {
        if (!auth.isBasic() || !auth.base64Credentials()) return false;
        const std::optional<std::string> credentials = platform::stringFromBytes(
            LxData::base64Decoded(std::string_view(*auth.base64Credentials())), platform::StringEncoding::UTF8);
        if (!credentials) return false;
        const size_t colon = credentials->find(':');
        if (colon == std::string::npos) return false;
        const std::optional<std::string> password = passwordForUser(credentials->substr(0, colon));
        return password && platform::constantTimeEquals(*password, std::string_view(*credentials).substr(colon + 1));
    }

    if (!auth.isDigest() || !auth.username()) return false;
    // Refused as it stands: nothing is adopted or counted for a field that lacks what the
    // response is computed from.
    if (!auth.realm() || !auth.nonce() || !auth.uri() || !auth.qop() || !auth.nc() || !auth.cnonce() ||
        !auth.response())
        return false;
    const std::optional<std::string> password = passwordForUser(*auth.username());
    if (!password) return false;
    if (requestURI() != *auth.uri()) return false;

    if (*auth.nonce() != nonce_) {
        if (!hasRecentNonce(*auth.nonce())) return false;
        nonce_ = *auth.nonce();
        lastNC_ = 0;
    }
    // Strictly growing counts: a replayed field (or an old one) is refused.
    const long long nc = std::strtoll(auth.nc()->c_str(), nullptr, 16);
    if (nc <= lastNC_) return false;
    lastNC_ = nc;

    // Without MD5 every digest would be empty, and so would the expected response: refused,
    // or an empty response would pass without the password.
    const std::optional<std::string> ha1 =
        md5Hex(platform::format("%@:%@:%@", *auth.username(), *auth.realm(), *password));
    const std::optional<std::string> ha2 = md5Hex(platform::format("%@:%@", request_->method(), *auth.uri()));
    if (!ha1 || !ha2) return false;
    const std::optional<std::string> expected = md5Hex(
        platform::format("%@:%@:%@:%@:%@:%@", *ha1, *auth.nonce(), *auth.nc(), *auth.cnonce(), *auth.qop(), *ha2));
    return expected && platform::constantTimeEquals(*expected, *auth.response());
}

void HTTPConnection::addDigestAuthChallenge(HTTPMessage& response) {
    response.setHeaderField("WWW-Authenticate",
                            platform::format("Digest realm=\"%@\", qop=\"auth\", nonce=\"%@\"", realm(), generateNonce()));
}

void HTTPConnection::addBasicAuthChallenge(HTTPMessage& response) {
    response.setHeaderField("WWW-Authenticate", platform::format("Basic realm=\"%@\"", realm()));
}
