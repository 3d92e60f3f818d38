// Sessions with a device recorded report by report, and played back as a
// device: what a person with a real speaker sends us, and what our tests
// replay through the library.
#pragma once

#include "Transport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hiddfu {

struct SessionReport {
    // 'S' set by the host, 'G' got by the host, 'L' the host watched for the
    // device leaving the bus after a failed reset: outcome gone, or ok (stayed)
    char direction = 'S';
    double atMs = 0;                 // since the device was opened
    std::size_t size = 0;            // on the wire, the report id included
    std::vector<std::uint8_t> bytes; // trailing zeros left out
    IoResult outcome;
};

struct Session {
    std::string library;
    std::uint16_t vendorId = 0, productId = 0;
    std::string serial; // empty: none or blanked
    std::vector<SessionReport> reports;
};

// Reads a recording; why names the line that is wrong.
bool readSession(const std::string& path, Session& session, std::string& why);

// Wraps device so that every report in and out is written to path as it
// happens. Only a new or regular file is written; why says why not.
std::unique_ptr<Transport> recordSession(std::unique_ptr<Transport> device, const std::string& path,
                                         const Session& header, std::string& why);

// Plays a recording back as the device: each status read gets the recorded
// reply that follows the host's reports so far, whatever the time; a host
// report that differs from the recording is refused with the first differing
// byte. Not thread-safe: the owner serialises.
class Replay {
public:
    explicit Replay(Session session) : session_(std::move(session)) {}

    IoResult set(const std::uint8_t* data, std::size_t size);
    IoResult get(std::uint8_t* buffer, std::size_t size, std::size_t& received);
    bool watchLeaving(); // whether the device left, as recorded
    const Session& session() const { return session_; }
    bool left() const { return left_; } // the device left the bus (a reset, an unplug)
    std::vector<std::uint8_t> image() const { return image_; }

private:
    IoResult diverged(std::string what);

    const Session session_;
    std::size_t next_ = 0;           // first report not played yet
    std::size_t lastGot_ = SIZE_MAX; // last status reply played since the host's last report
    std::size_t hostReports_ = 0;
    std::string diverged_;
    bool left_ = false;
    std::vector<std::uint8_t> image_;
};

} // namespace hiddfu
