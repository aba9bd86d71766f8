// Network-service publication, as the HTTP server uses it: a service of a domain, a type and
// a name on a port, published with an optional text record, and a delegate told whether the
// publication succeeded.
//
// This machine has no multicast-DNS responder that the program talks to, so this stand-in
// publishes into a registry of this process: a publication succeeds unless a service of the
// same domain, type and name is already published (the name collision of the real service),
// and the registry can be read back. Nothing is sent on the network. An empty name stands for
// the computer's default name, "pellix" here.
//
// Threads: a service is used from one thread at a time (the server's network-service thread).
// The delegate's answers to publish() are posted to the queue given to scheduleOnQueue (the
// network-service thread's queue), or made before publish() returns when there is none. The
// delegate is held weakly. The registry is guarded by a lock of its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

class NetService;

class NetServiceDelegate {
public:
    virtual ~NetServiceDelegate() = default;
    virtual void netServiceDidPublish(const std::shared_ptr<NetService>& sender) { (void)sender; }
    // errorDict holds "NSNetServicesErrorCode" and "NSNetServicesErrorDomain".
    virtual void netServiceDidNotPublish(const std::shared_ptr<NetService>& sender,
                                         const std::map<std::string, long>& errorDict) {
        (void)sender, (void)errorDict;
    }
};

class NetService : public std::enable_shared_from_this<NetService> {
public:
    static constexpr long kCollisionError = -72001;
    static constexpr long kBadArgumentError = -72004;

    // initWithDomain:type:name:port:
    static std::shared_ptr<NetService> create(std::string domain, std::string type, std::string name, int port);
    ~NetService();

    const std::string& domain() const { return domain_; }
    const std::string& type() const { return type_; }
    // The name the service is published under (the default name for an empty one).
    std::string name() const;
    int port() const { return port_; }

    void setDelegate(std::weak_ptr<NetServiceDelegate> delegate) { delegate_ = std::move(delegate); }
    // Where the delegate's answers are delivered (the run loop the service is scheduled in).
    void scheduleOnQueue(std::shared_ptr<DispatchQueue> queue) { queue_ = std::move(queue); }
    void removeFromQueue() { queue_.reset(); }

    void publish();
    void stop();
    bool isPublished() const;

    // The text record in its wire form; set before or after publishing.
    bool setTXTRecordData(std::optional<std::vector<uint8_t>> data);
    std::optional<std::vector<uint8_t>> TXTRecordData() const;

    // The text record of a dictionary: each entry as one length byte and "key=value" (entries
    // longer than 255 bytes, and empty keys, are left out), in key order. An empty dictionary
    // gives a record of one zero byte.
    static std::vector<uint8_t> dataFromTXTRecordDictionary(const std::map<std::string, std::string>& dictionary);
    static std::map<std::string, std::string> dictionaryFromTXTRecordData(const std::vector<uint8_t>& data);

    // What is published in this process now: "name.type.domain" texts ("box._http._tcp.local."),
    // in no particular order.
    static std::vector<std::string> publishedServices();

private:
    NetService(std::string domain, std::string type, std::string name, int port);
    void answer(bool published, long code);
    std::string key() const;

    const std::string domain_;
    const std::string type_;
    const std::string name_;
    const int port_;
    std::weak_ptr<NetServiceDelegate> delegate_;
    std::shared_ptr<DispatchQueue> queue_;
    bool published_ = false;
    std::optional<std::vector<uint8_t>> txtRecord_;
};

}  // namespace platform
