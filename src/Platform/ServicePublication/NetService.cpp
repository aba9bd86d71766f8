#include "Platform/ServicePublication/NetService.h"

#include <algorithm>
#include <set>

namespace platform {

namespace {

std::mutex& registryMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

std::set<std::string>& registry() {  // guarded by registryMutex()
    static std::set<std::string>* names = new std::set<std::string>();
    return *names;
}

}  // namespace

std::shared_ptr<NetService> NetService::create(std::string domain, std::string type, std::string name, int port) {
    return std::shared_ptr<NetService>(new NetService(std::move(domain), std::move(type), std::move(name), port));
}

NetService::NetService(std::string domain, std::string type, std::string name, int port)
    : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), port_(port) {}

NetService::~NetService() {
    if (published_) {
        std::lock_guard lock(registryMutex());
        registry().erase(key());
    }
}

std::string NetService::name() const { return name_.empty() ? std::string("pellix") : name_; }

std::string NetService::key() const {
    // Types and domains are written with their trailing dot ("_http._tcp.", "local.").
    std::string key = name() + "." + type_;
    if (key.back() != '.') key.push_back('.');
    return key + domain_;
}

void NetService::publish() {
    if (published_) return;
    if (type_.empty() || port_ <= 0 || port_ > 65535) {
        answer(false, kBadArgumentError);
        return;
    }
    bool inserted = false;
    {
        std::lock_guard lock(registryMutex());
        inserted = registry().insert(key()).second;
    }
    published_ = inserted;
    answer(inserted, inserted ? 0 : kCollisionError);
}

void NetService::stop() {
    if (!published_) return;
    published_ = false;
    std::lock_guard lock(registryMutex());
    registry().erase(key());
}

bool NetService::isPublished() const { return published_; }

void NetService::answer(bool published, long code) {
    std::weak_ptr<NetServiceDelegate> delegate = delegate_;
    std::shared_ptr<NetService> self = shared_from_this();
    auto call = [delegate, self, published, code] {
        auto d = delegate.lock();
        if (!d) return;
        if (published) d->netServiceDidPublish(self);
        else d->netServiceDidNotPublish(self, {{"NSNetServicesErrorCode", code}, {"NSNetServicesErrorDomain", 10}});
    };
    if (queue_) queue_->async(std::move(call));
    else call();
}

bool NetService::setTXTRecordData(std::optional<std::vector<uint8_t>> data) {
    txtRecord_ = std::move(data);
    return true;
}

std::optional<std::vector<uint8_t>> NetService::TXTRecordData() const { return txtRecord_; }

std::vector<uint8_t> NetService::dataFromTXTRecordDictionary(const std::map<std::string, std::string>& dictionary) {
    std::vector<uint8_t> data;
    for (const auto& [key, value] : dictionary) {
        const std::string entry = key + "=" + value;
        if (key.empty() || entry.size() > 255) continue;
        data.push_back(static_cast<uint8_t>(entry.size()));
        data.insert(data.end(), entry.begin(), entry.end());
    }
    if (data.empty()) data.push_back(0);
    return data;
}

std::map<std::string, std::string> NetService::dictionaryFromTXTRecordData(const std::vector<uint8_t>& data) {
    std::map<std::string, std::string> dictionary;
    size_t i = 0;
    while (i < data.size()) {
        const size_t length = data[i++];
        if (length > data.size() - i) break;
        const std::string entry(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + length));
        i += length;
        const size_t eq = entry.find('=');
        if (entry.empty() || eq == 0) continue;
        if (eq == std::string::npos) dictionary.emplace(entry, "");
        else dictionary.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return dictionary;
}

std::vector<std::string> NetService::publishedServices() {
    std::lock_guard lock(registryMutex());
    return {registry().begin(), registry().end()};
}

}  // namespace platform
