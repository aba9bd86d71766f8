// What a connection needs of every response object: the body's length, a read position, the
// body in pieces, and whether it is all sent; optionally a status, extra header fields, chunked
// framing, delayed headers and a notice that the connection is done with it.
//
// The optional operations have the defaults that the connection uses for a response that does
// not offer them (status 200, no extra fields, not chunked, headers not delayed, nothing done on
// close), so the connection may simply call them. implementedOperations() tells which ones a
// class really offers, for a caller that must tell the two apart.
//
// A response is created, asked and released on the connection's queue; it is never called from
// two threads at once. A response that produces its body later tells its connection through the
// connection's responseHasAvailableData / responseDidAbort calls (the connection's header has
// them; they are safe from any thread).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Core/Responses/DataSlice.h"

class HTTPResponse {
public:
    enum Operation : unsigned {
        kNone = 0,
        kDelayResponseHeaders = 1u << 0,
        kStatus = 1u << 1,
        kHttpHeaders = 1u << 2,
        kIsChunked = 1u << 3,
        kConnectionDidClose = 1u << 4,
    };

    virtual ~HTTPResponse() = default;

    // Total body length in bytes; not asked of a chunked response.
    virtual uint64_t contentLength() = 0;
    // Position of the next byte readDataOfLength returns.
    virtual uint64_t offset() = 0;
    virtual void setOffset(uint64_t offset) = 0;
    // The next bytes from offset(), at most length of them; advances offset() by the count
    // returned. Empty means nothing is available now.
    virtual DataSlice readDataOfLength(uint64_t length) = 0;
    // True when the whole body has been returned.
    virtual bool isDone() = 0;

    // Optional operations (see above), as a set of Operation bits.
    virtual unsigned implementedOperations() const { return kNone; }
    bool implements(Operation operation) const { return (implementedOperations() & operation) != 0; }

    // True: the connection waits for responseHasAvailableData before it sends the header.
    virtual bool delayResponseHeaders() { return false; }
    virtual int64_t status() { return 200; }
    // Set on the response header after "Date" and "Accept-Ranges"; may replace any field.
    virtual std::map<std::string, std::string> httpHeaders() { return {}; }
    // True: sent with "Transfer-Encoding: chunked"; contentLength() is then never asked.
    virtual bool isChunked() { return false; }
    // The response has been sent, or its connection died or was destroyed.
    virtual void connectionDidClose() {}
};
