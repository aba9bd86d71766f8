// Event sources bound to a serial target queue: readiness of a file descriptor for reading or
// writing, and timers. One reactor thread (epoll) watches every descriptor and every timer;
// handlers always run on the target queue, never on the reactor thread.
//
// Life of a source, as with the platform's dispatch sources:
// - A source is created suspended (suspend count 1); resume() must be called to start it.
//   suspend()/resume() are counted: events are delivered only while the count is 0, and an
//   event that happens while suspended is delivered after the last resume.
// - The event handler runs on the target queue, never twice at the same time.
// - cancel() stops further events. The cancel handler runs exactly once, on the target queue,
//   after the last event handler has finished - and, as with the platform, only once the
//   source is not suspended (a suspended source must be resumed for it to run).
// - Read source: data() is the number of bytes readable (FIONREAD) when the handler runs; 0
//   at the end of the stream. For a listening socket data() is the number of connections
//   waiting to be accepted (at least 1). A regular file is always readable and data() is the bytes left
//   from the current offset to the end.
// - Write source: fires while the descriptor takes bytes; data() is an estimate of the space
//   (1 when it cannot be told).
// - Timer source: set with setTimer(start, interval, leeway); data() is the number of times it
//   fired since its handler last ran. An interval of zero (or kForever) fires once.
//
// The source holds its handlers (and what they capture) until it is cancelled; release
// cycles there by cancelling.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

class DispatchSource {
public:
    enum class Type { Read, Write, Timer };
    static constexpr std::chrono::nanoseconds kForever = std::chrono::nanoseconds::max();

    // A read or write source on the descriptor. Returns nullptr (and sets errno) when the
    // descriptor cannot be watched (closed or invalid).
    static std::shared_ptr<DispatchSource> makeRead(int fd, std::shared_ptr<DispatchQueue> target);
    static std::shared_ptr<DispatchSource> makeWrite(int fd, std::shared_ptr<DispatchQueue> target);
    static std::shared_ptr<DispatchSource> makeTimer(std::shared_ptr<DispatchQueue> target);

    virtual ~DispatchSource() = default;

    virtual Type type() const = 0;
    virtual int fd() const = 0;  // -1 for timers

    virtual void setEventHandler(Task handler) = 0;
    virtual void setCancelHandler(Task handler) = 0;

    // Timers only: first fire at now + start, then every interval (kForever or 0: once);
    // leeway is the latitude allowed for coalescing. Setting again replaces the schedule.
    virtual void setTimer(std::chrono::nanoseconds start, std::chrono::nanoseconds interval,
                          std::chrono::nanoseconds leeway) = 0;

    // Valid inside the event handler (see above).
    virtual uint64_t data() const = 0;

    // Read sources, from inside the event handler only: the handler has read every byte
    // data() reported (or read until the descriptor would block). The source then waits for
    // new bytes or the end of the stream without looking at the descriptor once more, which
    // saves a system call per event. Without it, bytes the handler leaves behind are reported
    // again, as they always are; with it, bytes left unread wait for the next ones to arrive.
    // Ignored by write and timer sources.
    virtual void markDrained() = 0;

    virtual void suspend() = 0;
    virtual void resume() = 0;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

}  // namespace platform
