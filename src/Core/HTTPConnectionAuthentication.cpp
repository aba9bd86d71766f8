// HTTPConnection: digest and basic authentication, and the class-wide digest nonces.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <deque>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "Core/Categories/LxData.h"
#include "Core/HTTPAuthenticationRequest.h"
#include "Core/HTTPConnection.h"
#include "Core/detail/HTTPText.h"
#include "Platform/Crypto/Digest.h"
#include "Platform/Crypto/SecureRandom.h"
#include "Platform/Format.h"
#include "Platform/Text/StringEncoding.h"

namespace {

using Clock = std::chrono::steady_clock;

// A nonce is a UUID text whose 16 bytes are 8 random ones (the version nibble set in them)
// followed by the first 8 bytes of their HMAC-SHA-256 under the process's nonce key (the
// variant bits set in them). The server thus knows a nonce it made after it has dropped it
// from the list, without keeping it: a client that answers one rightly gets stale=true, and a
// nonce that anybody else made - a forgery, or one of an earlier run of the program - does not
// pass for one.
using NonceKey = std::array<uint8_t, 32>;
using NonceBytes = std::array<uint8_t, 16>;
constexpr size_t kNonceRandomLength = 8;

// The 8 bytes that follow the random ones, or nullopt when the crypto library makes no HMAC.
std::optional<std::array<uint8_t, 8>> nonceTag(const NonceKey& key, std::span<const uint8_t> random) {
    const std::vector<uint8_t> mac = platform::hmac(platform::DigestAlgorithm::SHA256, key, random);
    if (mac.size() < 8) return std::nullopt;
    std::array<uint8_t, 8> tag;
    std::copy_n(mac.begin(), tag.size(), tag.begin());
    tag[0] = static_cast<uint8_t>((tag[0] & 0x3F) | 0x80);
    return tag;
}

std::string nonceText(const NonceBytes& b) {
    return platform::format("%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1], b[2],
                            b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

// The bytes of a text in exactly the form nonceText writes; nullopt for any other text.
std::optional<NonceBytes> nonceBytes(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    NonceBytes b{};
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return std::nullopt;
        if (dash) continue;
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        b[n / 2] = static_cast<uint8_t>(b[n / 2] << 4 | digit);
        ++n;
    }
    return b;
}

// The nonces issued in challenges, shared by every connection. Made on first use and never
// destroyed: a connection may ask on any thread while the process exits.
struct NonceList {
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::createSerial("HTTPConnection-Nonce");
    // The nonce key, random for each process and set before the list is shared, so that any
    // thread may read it; nullopt when the secure generator failed (nonces are then plain
    // UUIDs, none of them recognised once dropped).
    const std::optional<NonceKey> key = makeKey();
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
        // A nonce made from random bytes does not repeat; were it to, the older entry stays.
        if (issuedAt.emplace(nonce, at).second) order.push_back(std::move(nonce));
    }

    // A new nonce text: tagged under the key, or a plain UUID when there is no key or no HMAC.
    std::string make() const {
        NonceBytes b;
        if (!key || !platform::secureRandomBytes(std::span(b).first(kNonceRandomLength))) return core_detail::newUuidString();
        b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
        const auto tag = nonceTag(*key, std::span(b).first(kNonceRandomLength));
        if (!tag) return core_detail::newUuidString();
        std::copy(tag->begin(), tag->end(), b.begin() + kNonceRandomLength);
        return nonceText(b);
    }

    // Whether this process made the nonce, held or not.
    bool madeHere(std::string_view nonce) const {
        if (!key) return false;
        const std::optional<NonceBytes> b = nonceBytes(nonce);
        if (!b) return false;
        const auto tag = nonceTag(*key, std::span(*b).first(kNonceRandomLength));
        if (!tag) return false;
        const std::string_view expected(reinterpret_cast<const char*>(tag->data()), tag->size());
        const std::string_view given(reinterpret_cast<const char*>(b->data()) + kNonceRandomLength, tag->size());
        return platform::constantTimeEquals(expected, given);
    }

private:
    static std::optional<NonceKey> makeKey() {
        NonceKey key;
        if (!platform::secureRandomBytes(key)) return std::nullopt;
        return key;
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

// The response a digest field must carry for the password and the request's method, or
// nullopt when the crypto library makes no MD5. The field has every parameter it needs.
std::optional<std::string> expectedDigestResponse(const HTTPAuthenticationRequest& auth, const std::string& password,
                                                  const std::string& method) {
    // Without MD5 every digest would be empty, and so would the expected response: refused,
    // or an empty response would pass without the password.
    const std::optional<std::string> ha1 =
        md5Hex(platform::format("%@:%@:%@", *auth.username(), *auth.realm(), password));
    const std::optional<std::string> ha2 = md5Hex(platform::format("%@:%@", method, *auth.uri()));
    if (!ha1 || !ha2) return std::nullopt;
    return md5Hex(
        platform::format("%@:%@:%@:%@:%@:%@", *ha1, *auth.nonce(), *auth.nc(), *auth.cnonce(), *auth.qop(), *ha2));
}

}  // namespace

std::string HTTPConnection::generateNonce() {
    std::string nonce = nonceList().make();
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
    staleNonce_ = false;
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
        if (!hasRecentNonce(*auth.nonce())) {
            // Refused whatever it holds: only a nonce the list holds admits. But one this
            // process made and has since dropped - pushed out by newer ones, or past its life
            // - answered with the right password is a client that knows the password and
            // only needs a new nonce: the challenge says so (stale), and the client retries
            // without asking its user.
            if (nonceList().madeHere(*auth.nonce())) {
                const std::optional<std::string> expected = expectedDigestResponse(auth, *password, request_->method());
                staleNonce_ = expected && platform::constantTimeEquals(*expected, *auth.response());
            }
            return false;
        }
        nonce_ = *auth.nonce();
        lastNC_ = 0;
    }
    // Strictly growing counts: a replayed field (or an old one) is refused.
    const long long nc = std::strtoll(auth.nc()->c_str(), nullptr, 16);
    if (nc <= lastNC_) return false;
    lastNC_ = nc;

    const std::optional<std::string> expected = expectedDigestResponse(auth, *password, request_->method());
    return expected && platform::constantTimeEquals(*expected, *auth.response());
}

void HTTPConnection::addDigestAuthChallenge(HTTPMessage& response) {
    // stale=true as RFC 7616 writes it: a token, not quoted, after the nonce it replaces.
    response.setHeaderField("WWW-Authenticate",
                            platform::format("Digest realm=\"%@\", qop=\"auth\", nonce=\"%@\"%@", realm(), generateNonce(),
                                             staleNonce_ ? ", stale=true" : ""));
    staleNonce_ = false;
}

void HTTPConnection::addBasicAuthChallenge(HTTPMessage& response) {
    response.setHeaderField("WWW-Authenticate", platform::format("Basic realm=\"%@\"", realm()));
}
